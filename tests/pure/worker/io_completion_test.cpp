// Which failed completions end a run: only what says the device is gone.
#include <gtest/gtest.h>

#include "engine/io_completion.h"

namespace {

TEST(IoCompletion, TimeOutsAndAbortsKeepThePortDeviceErrorsEndIt)
{
    struct Case {
        uint32_t error;
        CompletionVerdict verdict;
    } const cases[] = {
        {996, CompletionVerdict::kPending},   {997, CompletionVerdict::kPending},
        {0, CompletionVerdict::kSpurious},    {121, CompletionVerdict::kSpurious},
        {258, CompletionVerdict::kSpurious},  {1121, CompletionVerdict::kSpurious},
        {1460, CompletionVerdict::kSpurious}, {995, CompletionVerdict::kAborted},
        {6, CompletionVerdict::kFatal},       // invalid handle
        {22, CompletionVerdict::kFatal},      // device does not recognise the command
        {31, CompletionVerdict::kFatal},      // device not functioning
        {109, CompletionVerdict::kFatal},     // peer hung up
        {1167, CompletionVerdict::kFatal},    // device not connected
    };
    for (const Case& c : cases) EXPECT_EQ(ClassifyCompletionError(c.error), c.verdict) << c.error;
}

}  // namespace

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

// The worker's verdicts on completions that moved nothing, as real drivers deliver them.
namespace verdicts {

using namespace completion_limits;

// With fAbortOnError left set by the driver or another program, every request fails with 995
// until ClearCommError is called (ClearCommError, Microsoft's Win32 documentation; the
// serial driver sample in microsoft/Windows-driver-samples, serial/serial, completes every
// queued request with STATUS_CANCELLED from its error path). A noisy line can do that again
// and again: the port must never be given up for it.
TEST(CompletionVerdicts, AbortsAreClearedAndNeverEndTheRun)
{
    for (bool isWrite : {false, true}) {
        CRequestHistory h;
        h.Began(0);
        EXPECT_EQ(h.Empty(995, isWrite, 1), NextStep::kClearFirst);
        EXPECT_EQ(h.Empty(995, isWrite, 2), NextStep::kClearFirst);
        // From then on each one also waits a little, so that a port aborting everything
        // costs no core.
        for (uint32_t t = 3; t < 100; ++t) {
            if (isWrite) h.Progressed(t);  // a write that still moves bytes between aborts
            const NextStep step = h.Empty(995, isWrite, t);
            EXPECT_NE(step, NextStep::kEnd) << t;
            EXPECT_NE(step, NextStep::kCarryOn) << t;
        }
    }
}

// Reads that complete at once with nothing (seen on handles left over after a surprise
// removal and on USB CDC drivers; node-serialport and pyserial issue threads report a core
// spinning on them) make the worker pause after a few, and a byte received ends the pause.
TEST(CompletionVerdicts, EmptyCompletionsPauseAfterAFewUntilSomethingMoves)
{
    CRequestHistory h;
    for (uint32_t error : {0u, 121u, 258u, 1460u}) {
        SCOPED_TRACE(error);
        for (int i = 1; i < kEmptyInRow; ++i) EXPECT_EQ(h.Empty(error, false, 0), NextStep::kCarryOn);
        for (int i = 0; i < 50; ++i) EXPECT_EQ(h.Empty(error, false, 0), NextStep::kClearAndPause);
        h.Progressed(0);
        EXPECT_EQ(h.EmptyInRow(), 0);
    }
    // Errors that say the device is gone still end the run at once.
    EXPECT_EQ(h.Empty(109, false, 0), NextStep::kEnd);
    EXPECT_EQ(h.Empty(1167, true, 0), NextStep::kEnd);
}

// A write that a device stopped taking completes with 0 bytes or ERROR_SEM_TIMEOUT (121)
// whenever the write time-outs left in the driver expire (reported for USB CDC devices in
// .NET's System.IO.Ports issues): it ends the run once nothing has moved for kWriteStallMs,
// measured from the last byte taken, and bytes taken at any time restart the clock.
TEST(CompletionVerdicts, WriteThatStopsMovingEndsAfterTheStallLimit)
{
    CRequestHistory h;
    const uint32_t start = 0xFFFFF000u;  // the tick counter wraps during the write
    h.Began(start);
    EXPECT_NE(h.Empty(121, true, start + 100), NextStep::kEnd);
    h.Progressed(start + 1000);
    EXPECT_NE(h.Empty(0, true, start + 1000 + kWriteStallMs - 1), NextStep::kEnd);
    EXPECT_EQ(h.Empty(121, true, start + 1000 + kWriteStallMs), NextStep::kEnd);

    // Reads have no such limit: a quiet line is no fault.
    CRequestHistory reads;
    EXPECT_NE(reads.Empty(0, false, 10 * kWriteStallMs), NextStep::kEnd);
}

// Line-event waits completed with an error (995 from USB CDC drivers at the end of a
// transfer; Wine whenever its poll of the modem lines fails) are re-armed after
// ClearCommError; only a few in a row with no event between stop the arming, and only
// device-gone errors end the run.
TEST(CompletionVerdicts, FailedWaitsAreRearmedThenGivenUpButNeverEndTheRun)
{
    CRequestHistory h;
    for (int round = 0; round < 3; ++round) {
        for (int i = 1; i < kWaitFailuresInRow; ++i) EXPECT_EQ(h.WaitFailed(995), NextStep::kClearFirst);
        h.Progressed(0);  // an event came between
    }
    for (int i = 1; i < kWaitFailuresInRow; ++i) EXPECT_EQ(h.WaitFailed(i % 2 ? 87u : 0u), NextStep::kClearFirst);
    EXPECT_EQ(h.WaitFailed(995), NextStep::kStopArming);

    CRequestHistory gone;
    EXPECT_EQ(gone.WaitFailed(5), NextStep::kEnd);  // access denied: the adapter was pulled
    EXPECT_EQ(gone.WaitFailed(31), NextStep::kEnd);
}

TEST(CompletionVerdicts, DeviceGoneErrors)
{
    for (uint32_t e : {2u, 5u, 6u, 21u, 22u, 31u, 109u, 433u, 1167u, 1617u}) EXPECT_TRUE(MeansDeviceGone(e)) << e;
    for (uint32_t e : {0u, 50u, 87u, 121u, 995u, 997u}) EXPECT_FALSE(MeansDeviceGone(e)) << e;
}

}  // namespace verdicts

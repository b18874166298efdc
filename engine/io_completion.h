// What the worker makes of an overlapped request that came back with an error. Kept apart
// from the I/O so that the table can be checked directly. Pure: no platform headers (the
// numbers are the platform's documented error codes).
#pragma once
#include <cstdint>

enum class CompletionVerdict {
    kPending,  // not finished yet: keep waiting for it
    kSpurious, // finished without harm (a time-out, or a failure with no error): carry on
    kAborted,  // the driver aborted it after a line error: clear the error and carry on
    kFatal,    // the device is gone or refuses the handle: end the run
};

namespace io_error {
constexpr uint32_t kNone = 0;
constexpr uint32_t kSemTimeout = 121;         // ERROR_SEM_TIMEOUT (STATUS_IO_TIMEOUT)
constexpr uint32_t kWaitTimeout = 258;        // WAIT_TIMEOUT (STATUS_TIMEOUT)
constexpr uint32_t kOperationAborted = 995;   // ERROR_OPERATION_ABORTED
constexpr uint32_t kIoIncomplete = 996;       // ERROR_IO_INCOMPLETE
constexpr uint32_t kIoPending = 997;          // ERROR_IO_PENDING
constexpr uint32_t kCounterTimeout = 1121;    // ERROR_COUNTER_TIMEOUT
constexpr uint32_t kTimeout = 1460;           // ERROR_TIMEOUT
}  // namespace io_error

// Some drivers (and Wine, while a long write is in progress) complete a read that has only
// an interval time-out with a time-out status and no bytes; on Windows such a read would
// simply have waited. None of those says anything about the device.
inline CompletionVerdict ClassifyCompletionError(uint32_t lastError)
{
    switch (lastError) {
    case io_error::kIoIncomplete:
    case io_error::kIoPending:
        return CompletionVerdict::kPending;
    case io_error::kNone:
    case io_error::kSemTimeout:
    case io_error::kWaitTimeout:
    case io_error::kCounterTimeout:
    case io_error::kTimeout:
        return CompletionVerdict::kSpurious;
    case io_error::kOperationAborted:
        return CompletionVerdict::kAborted;
    default:
        return CompletionVerdict::kFatal;
    }
}

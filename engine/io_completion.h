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

// Errors after which the port is not worth another request: the handle or the device
// behind it is gone (an unplugged adapter answers with one of these, often access denied).
inline bool MeansDeviceGone(uint32_t lastError)
{
    switch (lastError) {
    case 2:     // ERROR_FILE_NOT_FOUND
    case 5:     // ERROR_ACCESS_DENIED
    case 6:     // ERROR_INVALID_HANDLE
    case 21:    // ERROR_NOT_READY
    case 22:    // ERROR_BAD_COMMAND
    case 31:    // ERROR_GEN_FAILURE
    case 109:   // ERROR_BROKEN_PIPE
    case 433:   // ERROR_NO_SUCH_DEVICE
    case 1167:  // ERROR_DEVICE_NOT_CONNECTED
    case 1617:  // ERROR_DEVICE_REMOVED
        return true;
    default:
        return false;
    }
}

// What the worker does after one of its requests came back (or was refused at once) in a
// way that moved nothing.
enum class NextStep {
    kCarryOn,         // issue the next request now
    kClearFirst,      // call ClearCommError first (its failure means the device is gone)
    kClearAndPause,   // the same, then wait kIdlePauseMs on the stop request
    kStopArming,      // line-event waits only: arm none again on this connection
    kEnd,             // end the run as a failed request does
};

namespace completion_limits {
// Completions in a row that carry nothing before the worker suspects the device.
constexpr int kEmptyInRow = 3;
// The pause before the next request once it suspects it, so that nothing spins.
constexpr uint32_t kIdlePauseMs = 20;
// Line-event waits that fail in a row, with no event between, before arming stops.
constexpr int kWaitFailuresInRow = 5;
// A write whose completions carry nothing for this long ends the run.
constexpr uint32_t kWriteStallMs = 8000;
}  // namespace completion_limits

// The history of one kind of request (reads, writes or line-event waits) within a run, and
// the verdict on each completion. Times are millisecond ticks; only differences count, so a
// wrapping tick counter is fine.
class CRequestHistory {
public:
    // A completion (or a request refused at once) that moved something: all is well again.
    void Progressed(uint32_t nowMs)
    {
        emptyInRow = 0;
        failuresInRow = 0;
        lastProgressMs = nowMs;
    }

    // A write of a new record begins: its stall is measured from now.
    void Began(uint32_t nowMs)
    {
        if (emptyInRow == 0) lastProgressMs = nowMs;
    }

    // A read or write came back with nothing: `lastError` 0 for a success that moved no
    // byte, else the error (never 996/997, which are still pending).
    NextStep Empty(uint32_t lastError, bool isWrite, uint32_t nowMs)
    {
        const CompletionVerdict verdict = ClassifyCompletionError(lastError);
        if (verdict == CompletionVerdict::kFatal) return NextStep::kEnd;
        if (isWrite && nowMs - lastProgressMs >= completion_limits::kWriteStallMs) return NextStep::kEnd;
        ++emptyInRow;
        if (emptyInRow >= completion_limits::kEmptyInRow) return NextStep::kClearAndPause;
        // A driver abort after a line error lasts until the error is cleared.
        return verdict == CompletionVerdict::kAborted ? NextStep::kClearFirst : NextStep::kCarryOn;
    }

    // A line-event wait came back failed with `lastError` (0: succeeded with no event).
    NextStep WaitFailed(uint32_t lastError)
    {
        if (MeansDeviceGone(lastError)) return NextStep::kEnd;
        if (++failuresInRow >= completion_limits::kWaitFailuresInRow) return NextStep::kStopArming;
        return NextStep::kClearFirst;
    }

    int EmptyInRow() const { return emptyInRow; }

private:
    int emptyInRow = 0;
    int failuresInRow = 0;
    uint32_t lastProgressMs = 0;
};

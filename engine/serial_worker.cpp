#include "serial_worker.h"

#include <cstring>
#include <memory>
#include <new>

#include "assert_report.h"
#include "io_completion.h"
#include "port_settings.h"
#include "receive_buffer.h"
#include "serial_port.h"

namespace {

// Settings the worker reads while the control's thread may write them: whole aligned
// words, read afresh at each use.
template <typename T>
T ReadShared(const T& field)
{
    return *static_cast<const volatile T*>(&field);
}

// How long the worker waits before offering a notification again after the window's
// queue refused it; the stop request still ends the wait at once.
constexpr DWORD kRepostDelayMs = 50;

// How long the end of a run waits, in all, for cancelled requests to come back before it
// gives up on them and leaves their memory allocated rather than risk a late completion
// into it. Stop runs on the host's thread, so this bounds how long closing can block it.
constexpr DWORD kCancelWaitMs = 2000;
// Within that budget, how long a cancelled request may take before it is cancelled again.
constexpr DWORD kRecancelMs = 25;

// While the host's handler holds the slot the worker keeps reading and gathering. Past this
// many undelivered bytes it stops issuing reads until the host has taken them, so that the
// driver's own buffering and flow control hold the line back instead of memory growing
// until an allocation fails and the connection drops.
constexpr uint32_t kMaxHeldBytes = 64u * 1024 * 1024;

// A request refused at once with a harmless status is issued again, but only a few times
// in a row, so that a port that keeps refusing ends the run instead of spinning.
constexpr int kImmediateRetries = 3;

// Consumes one of `count` marks; false when there was none.
bool TakeMark(volatile LONG& count)
{
    for (LONG seen = count; seen > 0; seen = count)
        if (InterlockedCompareExchange(&count, seen - 1, seen) == seen) return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CWorkerThread

CWorkerThread::CWorkerThread() : stopEvent(CreateAutoResetEvent()) {}

CWorkerThread::~CWorkerThread()
{
    Stop();
}

bool CWorkerThread::Start()
{
    if (th) Stop();
    // Without its stop event a thread could never be stopped: make one now if the
    // constructor could not, and run nothing if it still cannot be had.
    if (!stopEvent) stopEvent = CreateAutoResetEvent();
    if (!stopEvent || !PrepareRun()) return false;
    ResetEvent(stopEvent.Get());
    th.Reset(CreateThread(nullptr, 0, ThreadEntry, this, 0, nullptr));
    return static_cast<bool>(th);
}

void CWorkerThread::Stop()
{
    if (!th) return;
    SetEvent(stopEvent.Get());
    WaitForSingleObject(th.Get(), INFINITE);
    th.Reset();
}

DWORD WINAPI CWorkerThread::ThreadEntry(void* self)
{
    static_cast<CWorkerThread*>(self)->Run();
    return 0;
}

// ---------------------------------------------------------------------------------------
// One run of the serial loop and the state that lives exactly as long as it.

class CSerialWorker::CRun {
public:
    explicit CRun(CSerialWorker& worker)
        : w(worker), port(worker.pCtrl->PortHandle()), hwnd(worker.pCtrl->NotifyWindow())
    {
        for (auto& ev : events) ev = CreateAutoResetEvent();
        ovRead.hEvent = events[0].Get();
        ovWrite.hEvent = events[1].Get();
        ovWait.hEvent = events[2].Get();
    }

    bool IsReady() const { return events[0] && events[1] && events[2]; }
    // Whether the stop request (rather than a failure) ended the loop.
    bool Stopped() const { return stopped; }

    void Loop()
    {
        SetCommMask(port, kWatchedLineEvents);
        ArmLineEventWait();
        for (;;) {
            if (!ReadsPaused() && !IssueRead()) return;
            if (!WaitCycle()) return;
        }
    }

    // The end of a run: cancels what is still outstanding and waits for it, then drops
    // everything not yet written. False when a request did not come back: the caller must
    // then keep this object's memory (buffer, overlapped records, record in flight), which
    // a late completion could still write into.
    bool Finish()
    {
        const bool settled = DrainOutstanding();
        if (!settled) {
            writeInFlight.release();
            for (auto& ev : events) ev.Release();
            buffer.release();
        } else {
            // Written or not, its block is free now; it may serve the next connection's Send.
            w.txQueue.Recycle(std::move(writeInFlight));
        }
        w.txQueue.DiscardAll();
        return settled;
    }

private:
    enum Position { kStop = 0, kRead = 1, kSlotFree = 2, kWriteDone = 3, kTxReady = 4, kLineEvent = 5 };

    // Counted as outstanding only when the driver really holds it: a wait refused at once
    // never completes, and the end of the run must not wait for it. A refusal after a line
    // error (995) lasts until the error is cleared; any other leaves the connection without
    // line events, as on a port whose driver cannot watch its lines.
    void ArmLineEventWait()
    {
        for (int attempt = 0;; ++attempt) {
            waitOutstanding = WaitCommEvent(port, &lineEventWord, &ovWait) || GetLastError() == ERROR_IO_PENDING;
            if (waitOutstanding || GetLastError() != ERROR_OPERATION_ABORTED || attempt >= kImmediateRetries) return;
            if (!ClearLineErrors()) return;
        }
    }

    // Whether the port is still usable after a request ended with `err` (not pending) and
    // moved nothing; paces the next request when such completions keep coming.
    bool SurvivesEmpty(CRequestHistory& history, DWORD err, bool isWrite)
    {
        return Follow(history.Empty(err, isWrite, GetTickCount()));
    }

    bool Follow(NextStep step)
    {
        switch (step) {
        case NextStep::kCarryOn:
            return true;
        case NextStep::kClearFirst:
            return ClearLineErrors();
        case NextStep::kClearAndPause:
            return ClearLineErrors() && Pause();
        default:
            return false;
        }
    }

    // A driver that aborts requests after a line error keeps doing so until the error is
    // cleared; a handle whose device has gone fails here too, which ends the run.
    bool ClearLineErrors()
    {
        DWORD lineErrors = 0;
        COMSTAT status{};
        return ClearCommError(port, &lineErrors, &status) != FALSE;
    }

    // Waits a little before the next request; only the stop request ends the wait early.
    bool Pause()
    {
        if (WaitForSingleObject(w.StopEvent(), completion_limits::kIdlePauseMs) != WAIT_OBJECT_0) return true;
        stopped = true;
        return false;
    }

    bool ReadsPaused() const { return rx.filled - rx.delivered >= kMaxHeldBytes; }

    // Prepares the buffer and issues one read; false ends the loop.
    bool IssueRead()
    {
        const uint32_t threshold = EffectiveRecvSizeThreshold(ReadShared(w.pCtrl->settings.RecvSizeThreshold));
        const ReadPlan plan = PlanRead(rx, threshold);
        if ((plan.resize || !buffer) && !Reallocate()) return false;

        readRequest = plan.request;
        for (int attempt = 0;; ++attempt) {
            readOutstanding = true;
            if (ReadFile(port, buffer.get() + rx.filled, plan.request, nullptr, &ovRead) ||
                GetLastError() == ERROR_IO_PENDING)
                return true;
            const DWORD err = GetLastError();
            readOutstanding = false;
            if (attempt >= kImmediateRetries || !SurvivesEmpty(reads, err, false)) return false;
        }
    }

    bool Reallocate()
    {
        std::unique_ptr<BYTE[]> grown(new (std::nothrow) BYTE[rx.capacity]);
        if (!grown) return false;
        if (rx.filled) memcpy(grown.get(), buffer.get(), rx.filled);
        buffer = std::move(grown);
        return true;
    }

    // Waits and handles events until a read completes or, while reads are paused, the host
    // has taken what was held (true: issue the next read), or the loop must end (false).
    bool WaitCycle()
    {
        for (;;) {
            const bool haveSomething = HaveSomethingToDeliver();
            // While reads fill their requests, one that is complete already goes before the
            // slot: what a fast stream brings gathers into one delivery instead of one each.
            const bool readFirst = haveSomething && lastReadFull && ReadDoneAlready();
            if (!readFirst && haveSomething && w.ClaimSlotOrWatch()) {
                if (!Deliver()) return false;
                if (!readOutstanding && !ReadsPaused()) return true;
                continue;
            }
            const HANDLE positions[6] = {
                w.StopEvent(),
                ovRead.hEvent,
                haveSomething ? w.slotFreeEvent.Get() : nullptr,
                ovWrite.hEvent,
                writeInFlight ? nullptr : w.txReadyEvent.Get(),
                ovWait.hEvent,
            };
            const int evt = readFirst ? kRead : WaitAny(6, positions);
            switch (evt) {
            case kStop:
                stopped = true;
                return false;
            case kRead: {
                const ReadStep step = FinishRead();
                if (step == kAwaitMore) continue;
                return step == kIssueNext;
            }
            case kSlotFree:
                // Only a wake-up: the flag, read again above, says whose the slot is.
                continue;
            case kWriteDone:
            case kTxReady:
                if (!AdvanceTransmit()) return false;
                continue;
            case kLineEvent:
                if (!CollectLineEvents()) return false;
                continue;
            default:
                TARVEL_VERIFY(evt==1);
                return false;
            }
        }
    }

    enum ReadStep { kAwaitMore, kIssueNext, kEndRun };

    // A read that filled its request is delivered after the reissue, as more is likely
    // waiting: the next reads' bytes gather while the host takes this delivery.
    ReadStep FinishRead()
    {
        switch (CompleteRead()) {
        case kStillPending:
            return kAwaitMore;
        case kFinished:
            return lastReadFull || DeliverIfSlotFree() ? kIssueNext : kEndRun;
        default:
            return kEndRun;
        }
    }

    // Takes the read's signal when it is there (the event resets on the look).
    bool ReadDoneAlready() { return readOutstanding && WaitForSingleObject(ovRead.hEvent, 0) == WAIT_OBJECT_0; }

    enum ReadOutcome { kStillPending, kFinished, kBroken };

    // A read came back. One that ended with a harmless status is finished like any other
    // (with what it transferred, often nothing) and the next read goes out.
    ReadOutcome CompleteRead()
    {
        DWORD n = 0;
        const bool ok = GetOverlappedResult(port, &ovRead, &n, FALSE) != FALSE;
        const DWORD err = ok ? 0 : GetLastError();
        if (!ok && ClassifyCompletionError(err) == CompletionVerdict::kPending) return kStillPending;
        readOutstanding = false;
        if (!ok && ClassifyCompletionError(err) == CompletionVerdict::kFatal) return kBroken;
        if (n > readRequest) n = readRequest;
        lastReadFull = n == readRequest;
        AcceptRead(n);
        if (n == 0) return SurvivesEmpty(reads, err, false) ? kFinished : kBroken;
        reads.Progressed(GetTickCount());
        if (err == io_error::kOperationAborted && !ClearLineErrors()) return kBroken;
        return kFinished;
    }

    void AcceptRead(DWORD n)
    {
        uint32_t moveFrom = 0;
        if (::AcceptRead(rx, n, moveFrom)) memcpy(buffer.get(), buffer.get() + moveFrom, rx.filled);
    }

    // A read that came back short (the driver had nothing more) goes to the host before the
    // next read is issued when the slot is free already, instead of after it: under Wine
    // every request is a round trip to the server, which a byte on a quiet port would wait
    // for, and more so the busier the other ports are. A slot freed just after this look is
    // taken by the wait cycle's.
    bool DeliverIfSlotFree()
    {
        if (!HaveSomethingToDeliver() || w.SlotHeld()) return true;
        return Deliver();
    }

    bool HaveSomethingToDeliver() const { return rx.filled != rx.delivered || pendingEvents != 0; }

    // The slot is ours: fill it with line events first, else with every undelivered byte.
    // It stays ours unless the notification is posted.
    bool Deliver()
    {
        int32_t kind;
        const uint32_t events = pendingEvents;
        if (events != 0) {
            HRESULT rc = VariantClear(&w.eventData);
            TARVEL_VERIFY(rc==S_OK);
            V_VT(&w.eventData) = VT_I4;
            V_I4(&w.eventData) = static_cast<LONG>(events);
            pendingEvents = 0;
            kind = EVT_SERIALEVENT;
        } else {
            if (!w.pCtrl->ConvertReceived(&w.eventData, buffer.get() + rx.delivered, rx.filled - rx.delivered,
                                          ReadShared(w.pCtrl->settings.DataMode),
                                          ReadShared(w.pCtrl->settings.NullSubst))) {
                VariantClear(&w.eventData);
                return false;
            }
            kind = EVT_DATA;
        }
        if (w.PostSlotNotice(hwnd, kind)) {
            if (kind == EVT_DATA) rx.delivered = rx.filled;
            return true;
        }
        // The window's queue refused the message: take the slot back, keep what was to be
        // delivered, and offer it again shortly instead of holding the slot for ever.
        HRESULT rc = VariantClear(&w.eventData);
        TARVEL_VERIFY(rc==S_OK);
        if (kind == EVT_SERIALEVENT) pendingEvents |= events;
        if (WaitForSingleObject(w.StopEvent(), kRepostDelayMs) == WAIT_OBJECT_0) {
            stopped = true;
            return false;
        }
        return true;
    }

    // A write came back, or the queue was signalled. A record is done only when the driver
    // has taken all of it: a write that ended short (a time-out, or a driver that takes
    // part) goes on with the rest before the next record starts.
    bool AdvanceTransmit()
    {
        if (writeInFlight) {
            DWORD n = 0;
            const bool ok = GetOverlappedResult(port, &ovWrite, &n, FALSE) != FALSE;
            const DWORD err = ok ? 0 : GetLastError();
            if (!ok && ClassifyCompletionError(err) == CompletionVerdict::kPending) return true;
            writeOutstanding = false;
            if (!ok && ClassifyCompletionError(err) == CompletionVerdict::kFatal) return false;
            const DWORD left = writeInFlight->length - writeOffset;
            if (n > left) n = left;
            writeOffset += n;
            if (n == 0) {
                if (!SurvivesEmpty(writes, err, true)) return false;
            } else {
                writes.Progressed(GetTickCount());
                if (err == io_error::kOperationAborted && !ClearLineErrors()) return false;
            }
            if (writeOffset < writeInFlight->length) return IssueWrite();
            w.txQueue.Recycle(std::move(writeInFlight));
        }
        writeInFlight = w.txQueue.TakeHead();
        writeOffset = 0;
        if (!writeInFlight) return true;
        writes.Began(GetTickCount());
        return IssueWrite();
    }

    // Writes the record in flight from writeOffset on; false ends the loop.
    bool IssueWrite()
    {
        for (int attempt = 0;; ++attempt) {
            writeOutstanding = true;
            if (WriteFile(port, writeInFlight->data.get() + writeOffset, writeInFlight->length - writeOffset,
                          nullptr, &ovWrite) ||
                GetLastError() == ERROR_IO_PENDING)
                return true;
            const DWORD err = GetLastError();
            writeOutstanding = false;
            if (attempt >= kImmediateRetries || !SurvivesEmpty(writes, err, true)) return false;
        }
    }

    // A line-event wait came back: collect what it saw and arm the next one. A wait that
    // failed (or saw nothing) is armed again after the line errors are cleared, unless
    // several in a row did: the connection then goes on without line events rather than
    // spinning or ending.
    bool CollectLineEvents()
    {
        DWORD n = 0;
        const bool ok = GetOverlappedResult(port, &ovWait, &n, FALSE) != FALSE;
        const DWORD err = ok ? 0 : GetLastError();
        if (!ok && ClassifyCompletionError(err) == CompletionVerdict::kPending) return true;
        waitOutstanding = false;
        // A failure without an error code still reports what the word holds.
        const DWORD seen = err == 0 ? lineEventWord : 0;
        lineEventWord = 0;
        if (seen != 0) {
            waits.Progressed(GetTickCount());
            pendingEvents |= seen;
        } else {
            switch (waits.WaitFailed(err)) {
            case NextStep::kEnd:
                return false;
            case NextStep::kStopArming:
                return ClearLineErrors();
            default:
                if (!ClearLineErrors()) return false;
                break;
            }
        }
        ArmLineEventWait();
        return true;
    }

    // The platform can miss a cancel that meets a request just as the driver wakes it: a
    // write woken by room on the line is sent on for its next part and waits again, for a
    // peer that may not make room before the budget is spent. So the cancel is repeated
    // for whatever has not come back, until all of it has or the budget is spent.
    bool DrainOutstanding()
    {
        if (!readOutstanding && !writeOutstanding && !waitOutstanding) return true;
        // One budget for all of them together, however many are outstanding.
        const DWORD start = GetTickCount();
        for (;;) {
            const bool waitBack = Settled(waitOutstanding, ovWait);
            // A new event mask ends a pending line-event wait; CancelIo ends the rest.
            if (!waitBack) SetCommMask(port, 0);
            CancelIo(port);
            const DWORD spent = GetTickCount() - start;
            const DWORD left = spent < kCancelWaitMs ? kCancelWaitMs - spent : 0;
            const DWORD slice = left < kRecancelMs ? left : kRecancelMs;
            bool settled = Settle(readOutstanding, ovRead, slice);
            settled = Settle(writeOutstanding, ovWrite, slice) && settled;
            settled = Settle(waitOutstanding, ovWait, slice) && settled;
            if (settled) return true;
            if (slice == left) return false;
        }
    }

    static bool Settled(bool outstanding, const OVERLAPPED& ov) { return !outstanding || HasOverlappedIoCompleted(&ov); }

    static bool Settle(bool outstanding, OVERLAPPED& ov, DWORD waitMs)
    {
        return Settled(outstanding, ov) || WaitForSingleObject(ov.hEvent, waitMs) == WAIT_OBJECT_0 ||
               HasOverlappedIoCompleted(&ov);
    }

    CSerialWorker& w;
    const HANDLE port;
    const HWND hwnd;

    CUniqueHandle events[3];
    OVERLAPPED ovRead{};
    OVERLAPPED ovWrite{};
    OVERLAPPED ovWait{};
    bool readOutstanding = false;
    bool writeOutstanding = false;
    bool waitOutstanding = false;
    bool stopped = false;
    CRequestHistory reads;
    CRequestHistory writes;
    CRequestHistory waits;

    DWORD lineEventWord = 0;
    std::unique_ptr<BYTE[]> buffer;
    ReceiveBufferState rx;
    DWORD readRequest = 0;
    bool lastReadFull = false;  // the last read brought all it asked for
    uint32_t pendingEvents = 0;
    std::unique_ptr<TxRecord> writeInFlight;
    DWORD writeOffset = 0;  // bytes of the record in flight the driver has taken
};

// ---------------------------------------------------------------------------------------
// CSerialWorker

CSerialWorker::CSerialWorker()
    : slotFreeEvent(CreateAutoResetEvent()), txReadyEvent(CreateAutoResetEvent())
{
    VariantInit(&eventData);
}

CSerialWorker::~CSerialWorker()
{
    Stop();
    VariantClear(&eventData);
}

// The events shared with the control's thread are made with the object; one that could not
// be had then is made now. A late slot event starts unsignalled: the flag says whose the
// slot is, and the event only wakes a worker that said it waits. A late transmit event
// starts signalled, for records queued meanwhile.
bool CSerialWorker::PrepareRun()
{
    // From now on the run counts as going until its final notification is posted, even
    // before its thread first runs.
    disconnectPosted = false;
    if (!slotFreeEvent) slotFreeEvent = CreateAutoResetEvent();
    if (!txReadyEvent) txReadyEvent.Reset(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    return slotFreeEvent && txReadyEvent;
}

bool CSerialWorker::PostSlotNotice(HWND window, int32_t kind)
{
    InterlockedExchange(&slotHeld, 1);
    InterlockedExchange(&slotNotice, kind);
    if (PostMessageA(window, WM_PORT_NOTIFY, static_cast<WPARAM>(kind), 0)) return true;
    // Withdraw the mark, unless a message from elsewhere took it meanwhile: the control's
    // thread then owns the slot and frees it, exactly as for the real message.
    if (InterlockedCompareExchange(&slotNotice, 0, kind) != kind) return true;
    InterlockedExchange(&slotHeld, 0);
    return false;
}

// The flag says whose the slot is; the event only wakes a worker that said it waits for
// it, so that a delivery costs the control's thread no signal while its worker is busy
// elsewhere. Both sides write their own flag before reading the other's (the interlocked
// calls are full barriers): either the worker sees the slot free, or the control's thread
// sees the worker waiting. A signal left over from the first case wakes the worker once
// for nothing.
bool CSerialWorker::ClaimSlotOrWatch()
{
    if (slotHeld == 0) return true;
    InterlockedExchange(&slotWaiter, 1);
    if (InterlockedCompareExchange(&slotHeld, 0, 0) != 0) return false;
    InterlockedExchange(&slotWaiter, 0);
    return true;
}

void CSerialWorker::FreeSlot()
{
    InterlockedExchange(&slotHeld, 0);
    if (InterlockedExchange(&slotWaiter, 0)) SetEvent(slotFreeEvent.Get());
}

bool CSerialWorker::TakeSlotNotice(int32_t kind)
{
    return kind != 0 && InterlockedCompareExchange(&slotNotice, 0, kind) == kind;
}

bool CSerialWorker::PostDisconnectNotice(HWND window)
{
    InterlockedIncrement(&disconnectNotices);
    if (PostMessageA(window, WM_PORT_NOTIFY, EVT_DISCONNECT, 0)) return true;
    return !TakeMark(disconnectNotices);
}

bool CSerialWorker::TakeDisconnectNotice()
{
    return TakeMark(disconnectNotices);
}

int CSerialWorker::WaitAny(int count, const HANDLE* events)
{
    HANDLE listed[MAXIMUM_WAIT_OBJECTS];
    int position[MAXIMUM_WAIT_OBJECTS];
    DWORD evcnt = 0;
    for (int i = 0; i < count && evcnt < MAXIMUM_WAIT_OBJECTS; ++i) {
        if (!events[i]) continue;
        listed[evcnt] = events[i];
        position[evcnt] = i;
        ++evcnt;
    }
    TARVEL_VERIFY(evcnt);
    const DWORD wt = WaitForMultipleObjects(evcnt, listed, FALSE, INFINITE);
    if (wt - WAIT_OBJECT_0 >= evcnt)
        ReportAssertion("wt>=WAIT_OBJECT_0 && wt<WAIT_ABANDONED_0", "-", __LINE__);
    return position[wt - WAIT_OBJECT_0];
}

void CSerialWorker::Run()
{
    TARVEL_VERIFY(pCtrl);
    disconnectPosted = false;
    bool stopRequested = false;
    std::unique_ptr<CRun> run(new (std::nothrow) CRun(*this));
    if (run && run->IsReady()) {
        run->Loop();
        stopRequested = run->Stopped();
        if (!run->Finish()) run.release();  // see Finish: kept alive on purpose
    } else {
        txQueue.DiscardAll();
    }
    run.reset();
    disconnectPosted = PostFinalDisconnect(stopRequested);
}

// After a failure this message is the only way the control's thread learns that the port
// is dead, so a refused post is offered again until it goes through. After a stop request
// the closing thread is waiting for this one and accounts for a refusal itself.
bool CSerialWorker::PostFinalDisconnect(bool stopRequested)
{
    for (;;) {
        if (PostDisconnectNotice(pCtrl->NotifyWindow())) return true;
        if (stopRequested || WaitForSingleObject(StopEvent(), kRepostDelayMs) == WAIT_OBJECT_0) return false;
    }
}

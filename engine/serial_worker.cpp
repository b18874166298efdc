#include "serial_worker.h"

#include <cstring>
#include <memory>
#include <new>

#include "assert_report.h"
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

// How long the end of a run waits for cancelled requests to come back before it gives up
// on them and leaves their memory allocated rather than risk a late completion into it.
constexpr DWORD kCancelWaitMs = 2000;

}  // namespace

// ---------------------------------------------------------------------------------------
// CWorkerThread

CWorkerThread::CWorkerThread() : stopEvent(CreateAutoResetEvent()) {}

CWorkerThread::~CWorkerThread()
{
    Stop();
}

void CWorkerThread::Start()
{
    if (th) Stop();
    ResetEvent(stopEvent.Get());
    th.Reset(CreateThread(nullptr, 0, ThreadEntry, this, 0, nullptr));
    TARVEL_VERIFY(th);
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

    void Loop()
    {
        SetCommMask(port, kWatchedLineEvents);
        ArmLineEventWait();
        while (IssueRead()) {
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
            writeInFlight.reset();
        }
        w.txQueue.DiscardAll();
        return settled;
    }

private:
    enum Position { kStop = 0, kRead = 1, kSlotFree = 2, kWriteDone = 3, kTxReady = 4, kLineEvent = 5 };

    void ArmLineEventWait()
    {
        waitOutstanding = true;
        WaitCommEvent(port, &lineEventWord, &ovWait);
    }

    // Prepares the buffer and issues one read; false ends the loop.
    bool IssueRead()
    {
        const uint32_t threshold = EffectiveRecvSizeThreshold(ReadShared(w.pCtrl->settings.RecvSizeThreshold));
        const ReadPlan plan = PlanRead(rx, threshold);
        if ((plan.resize || !buffer) && !Reallocate()) return false;

        readOutstanding = true;
        if (!ReadFile(port, buffer.get() + rx.filled, plan.request, nullptr, &ovRead) &&
            GetLastError() != ERROR_IO_PENDING) {
            readOutstanding = false;
            return false;
        }
        return true;
    }

    bool Reallocate()
    {
        std::unique_ptr<BYTE[]> grown(new (std::nothrow) BYTE[rx.capacity]);
        if (!grown) return false;
        if (rx.filled) memcpy(grown.get(), buffer.get(), rx.filled);
        buffer = std::move(grown);
        return true;
    }

    // Waits and handles events until a read completes (true: issue the next read) or the
    // loop must end (false).
    bool WaitCycle()
    {
        for (;;) {
            const bool haveSomething = rx.filled != rx.delivered || pendingEvents != 0;
            const HANDLE positions[6] = {
                w.StopEvent(),
                ovRead.hEvent,
                haveSomething ? w.slotFreeEvent.Get() : nullptr,
                ovWrite.hEvent,
                writeInFlight ? nullptr : w.txReadyEvent.Get(),
                ovWait.hEvent,
            };
            const int evt = WaitAny(6, positions);
            switch (evt) {
            case kStop:
                return false;
            case kRead: {
                DWORD n = 0;
                if (!GetOverlappedResult(port, &ovRead, &n, FALSE)) {
                    const DWORD err = GetLastError();
                    if (err == ERROR_IO_INCOMPLETE || err == ERROR_IO_PENDING) continue;
                    return false;
                }
                readOutstanding = false;
                AcceptRead(n);
                return true;
            }
            case kSlotFree:
                if (!Deliver()) return false;
                continue;
            case kWriteDone:
            case kTxReady:
                if (!AdvanceTransmit()) return false;
                continue;
            case kLineEvent: {
                DWORD n = 0;
                if (!GetOverlappedResult(port, &ovWait, &n, FALSE) && GetLastError() != 0) {
                    waitOutstanding = false;
                    return false;
                }
                pendingEvents |= lineEventWord;
                ArmLineEventWait();
                continue;
            }
            default:
                TARVEL_VERIFY(evt==1);
                return false;
            }
        }
    }

    void AcceptRead(DWORD n)
    {
        uint32_t moveFrom = 0;
        if (::AcceptRead(rx, n, moveFrom)) memcpy(buffer.get(), buffer.get() + moveFrom, rx.filled);
    }

    // The slot is ours: fill it with line events first, else with every undelivered byte.
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
                                          ReadShared(w.pCtrl->settings.NullSubst)))
                return false;
            kind = EVT_DATA;
        }
        if (PostMessageA(hwnd, WM_PORT_NOTIFY, kind, 0)) {
            if (kind == EVT_DATA) rx.delivered = rx.filled;
            return true;
        }
        // The window's queue refused the message: take the slot back, keep what was to be
        // delivered, and offer it again shortly instead of holding the slot for ever.
        HRESULT rc = VariantClear(&w.eventData);
        TARVEL_VERIFY(rc==S_OK);
        if (kind == EVT_SERIALEVENT) pendingEvents |= events;
        if (WaitForSingleObject(w.StopEvent(), kRepostDelayMs) == WAIT_OBJECT_0) return false;
        SetEvent(w.slotFreeEvent.Get());
        return true;
    }

    bool AdvanceTransmit()
    {
        if (writeInFlight) {
            DWORD n = 0;
            if (!GetOverlappedResult(port, &ovWrite, &n, FALSE)) return false;
            writeOutstanding = false;
            writeInFlight.reset();
        }
        writeInFlight = w.txQueue.TakeHead();
        if (!writeInFlight) return true;
        writeOutstanding = true;
        if (!WriteFile(port, writeInFlight->data.get(), writeInFlight->length, nullptr, &ovWrite) &&
            GetLastError() != ERROR_IO_PENDING) {
            writeOutstanding = false;
            return false;
        }
        return true;
    }

    bool DrainOutstanding()
    {
        if (!readOutstanding && !writeOutstanding && !waitOutstanding) return true;
        // A new event mask ends a pending line-event wait; CancelIo ends the rest.
        if (waitOutstanding) SetCommMask(port, 0);
        CancelIo(port);
        bool settled = Settle(readOutstanding, ovRead);
        settled = Settle(writeOutstanding, ovWrite) && settled;
        settled = Settle(waitOutstanding, ovWait) && settled;
        return settled;
    }

    bool Settle(bool outstanding, OVERLAPPED& ov)
    {
        if (!outstanding) return true;
        if (HasOverlappedIoCompleted(&ov)) return true;
        return WaitForSingleObject(ov.hEvent, kCancelWaitMs) == WAIT_OBJECT_0 || HasOverlappedIoCompleted(&ov);
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

    DWORD lineEventWord = 0;
    std::unique_ptr<BYTE[]> buffer;
    ReceiveBufferState rx;
    uint32_t pendingEvents = 0;
    std::unique_ptr<TxRecord> writeInFlight;
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
    std::unique_ptr<CRun> run(new (std::nothrow) CRun(*this));
    if (run) {
        run->Loop();
        if (!run->Finish()) run.release();  // see Finish: kept alive on purpose
    } else {
        txQueue.DiscardAll();
    }
    run.reset();
    disconnectPosted = PostMessageA(pCtrl->NotifyWindow(), WM_PORT_NOTIFY, EVT_DISCONNECT, 0) != FALSE;
}

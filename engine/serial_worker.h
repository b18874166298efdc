// The worker thread that serves an open port: one overlapped read always outstanding,
// transmit records written in order, line events collected, every notification handed
// to the control's thread through the pending-event slot and WM_PORT_NOTIFY.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <cstdint>

#include "../common/win_raii.h"
#include "tx_queue.h"

class CSerialPort;

// Private message posted to the marshaling window; wParam is the Event kind, lParam 0.
constexpr UINT WM_PORT_NOTIFY = 0x8065;

class CWorkerThread {
public:
    CWorkerThread();
    virtual ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts a fresh thread running Run(); a thread still running is stopped first. False
    // when the thread or what it needs cannot be created: nothing runs then.
    bool Start();
    // Asks the thread to stop and waits, without a time limit, until it has ended.
    void Stop();
    bool HasThread() const { return static_cast<bool>(th); }
    // A thread was started and has ended by itself (Stop not called yet).
    bool HasEnded() const { return th && WaitForSingleObject(th.Get(), 0) == WAIT_OBJECT_0; }

protected:
    virtual void Run() {}
    // Called by Start before the thread is created; false makes Start fail.
    virtual bool PrepareRun() { return true; }
    HANDLE StopEvent() const { return stopEvent.Get(); }

private:
    static DWORD WINAPI ThreadEntry(void* self);

    CUniqueHandle th;
    CUniqueHandle stopEvent;
};

class CSerialWorker : public CWorkerThread {
public:
    CSerialWorker();
    ~CSerialWorker() override;

    CSerialPort* pCtrl = nullptr;
    CUniqueHandle slotFreeEvent;
    VARIANT eventData;
    TxQueue txQueue;
    CUniqueHandle txReadyEvent;

    // Whether the last run's final EVT_DISCONNECT reached the window's queue.
    bool LastDisconnectPosted() const { return disconnectPosted; }

    // Anything can post WM_PORT_NOTIFY to the window, so every notification that carries the
    // slot or ends a connection is marked before it is posted, and the control's thread acts
    // only on a message whose mark it can take. Post* return whether the notification is
    // on its way (posted, or its mark already taken on the control's thread).
    bool PostSlotNotice(HWND window, int32_t kind);
    bool TakeSlotNotice(int32_t kind);
    // The control's thread is done with the slot a notification handed it (or, before any
    // run, gives it back whatever became of the last one's notification).
    void FreeSlot();
    // The worker's side: true when the slot is free; otherwise slotFreeEvent will be
    // signalled once it is.
    bool ClaimSlotOrWatch();
    // The slot is with the control's thread (false may still find it not yet freed).
    bool SlotHeld() const { return slotHeld != 0; }
    bool PostDisconnectNotice(HWND window);
    bool TakeDisconnectNotice();

    // Position-ordered wait over up to six optional events; returns the argument position
    // of the signalled one, the first listed winning ties.
    static int WaitAny(int count, const HANDLE* events);

protected:
    void Run() override;
    bool PrepareRun() override;

private:
    class CRun;
    bool PostFinalDisconnect(bool stopRequested);

    volatile bool disconnectPosted = true;
    volatile LONG slotNotice = 0;         // the kind of the slot notification in flight, or 0
    volatile LONG slotHeld = 0;           // 1 from a slot notification's post until FreeSlot
    volatile LONG slotWaiter = 0;         // 1 while the worker waits on slotFreeEvent for the slot
    volatile LONG disconnectNotices = 0;  // EVT_DISCONNECT messages posted and not yet taken
};

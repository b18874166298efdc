// The worker thread that serves an open port: one overlapped read always outstanding,
// transmit records written in order, line events collected, every notification handed
// to the control's thread through the pending-event slot and WM_PORT_NOTIFY.
#pragma once
#include <windows.h>
#include <oleauto.h>

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

    // Starts a fresh thread running Run(); a thread still running is stopped first.
    void Start();
    // Asks the thread to stop and waits, without a time limit, until it has ended.
    void Stop();
    bool HasThread() const { return static_cast<bool>(th); }

protected:
    virtual void Run() {}
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

    // Position-ordered wait over up to six optional events; returns the argument position
    // of the signalled one, the first listed winning ties.
    static int WaitAny(int count, const HANDLE* events);

protected:
    void Run() override;

private:
    class CRun;
    volatile bool disconnectPosted = true;
};

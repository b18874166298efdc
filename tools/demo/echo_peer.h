// The far end of a virtual null-modem pair for the demo and the acceptance tests: a thread
// that holds the port open, sends back every byte it receives, drives its own DTR and RTS as
// asked, and keeps what it received and the modem lines it sees (the other end's DTR/RTS as
// DSR/CTS) for the caller to read.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "common/win_raii.h"

class CEchoPeer {
public:
    CEchoPeer() = default;
    ~CEchoPeer() { Stop(); }
    CEchoPeer(const CEchoPeer&) = delete;
    CEchoPeer& operator=(const CEchoPeer&) = delete;

    // Opens \\.\COM<port> and starts echoing with the given output lines; false when the port
    // cannot be opened or the thread cannot start.
    bool Start(int port, bool dtr, bool rts);
    void Stop();

    // Output lines of this end, applied by the thread within a few milliseconds.
    void SetLines(bool dtr, bool rts);
    // Mirror mode: this end's RTS follows the DSR it sees, so the other end's DTR comes back
    // to it as CTS (a line loop-back); DTR stays as set.
    void SetMirror(bool on) { mirror = on; }
    // The modem status bits this end sees (MS_DSR_ON, MS_CTS_ON, ...), refreshed by the thread.
    DWORD ModemStatus() const { return modemStatus.load(); }
    // Waits until (ModemStatus() & mask) == want or timeoutMs passed.
    bool WaitForModemStatus(DWORD mask, DWORD want, DWORD timeoutMs) const;
    // Everything received (and echoed) so far.
    std::string Received() const;

private:
    static DWORD WINAPI ThreadMain(void* self);
    void Run();

    CUniqueFileHandle port;
    CUniqueHandle thread;
    std::atomic<bool> stop{false};
    std::atomic<int> wantedLines{0};  // bit 0 DTR, bit 1 RTS
    std::atomic<bool> mirror{false};
    std::atomic<DWORD> modemStatus{0};
    mutable CCriticalSection lock;
    std::string received;  // under lock
};

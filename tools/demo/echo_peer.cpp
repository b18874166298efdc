#include "echo_peer.h"

#include <cstdio>

bool CEchoPeer::Start(int number, bool dtr, bool rts)
{
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%d", number);
    port.Reset(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!port.IsValid()) return false;
    // Short reads so that the loop notices line requests and Stop quickly.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 5;
    timeouts.ReadTotalTimeoutConstant = 20;
    SetCommTimeouts(port.Get(), &timeouts);
    SetLines(dtr, rts);
    stop = false;
    thread.Reset(CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr));
    return bool(thread);
}

void CEchoPeer::Stop()
{
    stop = true;
    if (thread) WaitForSingleObject(thread.Get(), INFINITE);
    thread.Reset();
    port.Reset();
}

void CEchoPeer::SetLines(bool dtr, bool rts)
{
    wantedLines = (dtr ? 1 : 0) | (rts ? 2 : 0);
}

bool CEchoPeer::WaitForModemStatus(DWORD mask, DWORD want, DWORD timeoutMs) const
{
    const DWORD start = GetTickCount();
    while ((ModemStatus() & mask) != want) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(5);
    }
    return true;
}

std::string CEchoPeer::Received() const
{
    CLockGuard guard(lock);
    return received;
}

DWORD WINAPI CEchoPeer::ThreadMain(void* self)
{
    static_cast<CEchoPeer*>(self)->Run();
    return 0;
}

void CEchoPeer::Run()
{
    int appliedLines = -1;
    while (!stop) {
        DWORD status = 0;
        if (GetCommModemStatus(port.Get(), &status)) modemStatus = status;
        int lines = wantedLines;
        if (mirror) lines = (lines & 1) | ((status & MS_DSR_ON) ? 2 : 0);
        if (lines != appliedLines) {
            EscapeCommFunction(port.Get(), (lines & 1) ? SETDTR : CLRDTR);
            EscapeCommFunction(port.Get(), (lines & 2) ? SETRTS : CLRRTS);
            appliedLines = lines;
        }
        char buffer[512];
        DWORD got = 0, written = 0;
        if (ReadFile(port.Get(), buffer, sizeof buffer, &got, nullptr) && got) {
            {
                CLockGuard guard(lock);
                received.append(buffer, got);
            }
            WriteFile(port.Get(), buffer, got, &written, nullptr);
        }
    }
}

#include "far_end.h"

#include <cstdio>
#include <cstring>

CFarEnd::CFarEnd(int port)
{
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    handle.Reset(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle.IsValid()) return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle.Get(), &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = dcb.fInX = 0;
    SetCommState(handle.Get(), &dcb);
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 20;
    t.ReadTotalTimeoutConstant = 100;
    SetCommTimeouts(handle.Get(), &t);
}

bool CFarEnd::Write(const std::vector<BYTE>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!WriteFile(handle.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr))
            return false;
        done += n;
    }
    return true;
}

bool CFarEnd::Write(const char* text)
{
    return Write(std::vector<BYTE>(text, text + strlen(text)));
}

std::vector<BYTE> CFarEnd::Read(size_t count, DWORD timeoutMs)
{
    std::vector<BYTE> got;
    const DWORD start = GetTickCount();
    BYTE chunk[4096];
    while (got.size() < count && GetTickCount() - start < timeoutMs) {
        DWORD want = static_cast<DWORD>(count - got.size());
        if (want > sizeof chunk) want = sizeof chunk;
        DWORD n = 0;
        if (!ReadFile(handle.Get(), chunk, want, &n, nullptr)) break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

void CFarEnd::SetDtr(bool on)
{
    EscapeCommFunction(handle.Get(), on ? SETDTR : CLRDTR);
}

void CFarEnd::SetRts(bool on)
{
    EscapeCommFunction(handle.Get(), on ? SETRTS : CLRRTS);
}

DWORD CFarEnd::ModemStatus() const
{
    DWORD status = 0;
    GetCommModemStatus(handle.Get(), &status);
    return status;
}

std::vector<BYTE> RandomBytes(size_t count, uint32_t seed)
{
    std::vector<BYTE> bytes(count);
    uint32_t x = seed ? seed : 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<BYTE>(x);
    }
    return bytes;
}

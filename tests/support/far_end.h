// The far end of a virtual null-modem pair, opened in the test's own process with plain
// Win32 calls, the way a peer device would talk to the port under test.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

#include "common/win_raii.h"

class CFarEnd {
public:
    // Opens \\.\COMn at 9600 8N1 with the lines off; IsOpen() tells whether it worked.
    explicit CFarEnd(int port);
    bool IsOpen() const { return handle.IsValid(); }
    HANDLE Handle() const { return handle.Get(); }

    bool Write(const std::vector<BYTE>& bytes);
    bool Write(const char* text);
    // Reads until `count` bytes arrived or timeoutMs passed; returns what arrived.
    std::vector<BYTE> Read(size_t count, DWORD timeoutMs = 5000);
    void SetDtr(bool on);
    void SetRts(bool on);
    DWORD ModemStatus() const;
    void Close() { handle.Reset(); }

private:
    CUniqueFileHandle handle;
};

// Random bytes from a fixed seed, so that a failure can be replayed.
std::vector<BYTE> RandomBytes(size_t count, uint32_t seed);

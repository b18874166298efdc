// Receive throughput through the worker and the hand-off versus a raw overlapped read loop
// on the same virtual port, and the latency from a peer's byte to its EVT_DATA.
// Prints figures; asserts nothing (the machines are shared and noisy).
#include "tools/testbed/client/null_modem.h"  // winsock2.h before windows.h

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tests/support/far_end.h"
#include "tests/support/recording_port.h"

namespace {

class CCountingPort : public CRecordingPort {
public:
    void FireCommEvent(int16_t kind, VARIANT& data) override
    {
        if (kind == EVT_DATA && V_VT(&data) == (VT_ARRAY | VT_UI1)) {
            received += V_ARRAY(&data)->rgsabound[0].cElements;
            lastDataTick = GetTickCount();
            ++dataEvents;
        } else if (kind == EVT_CONNECT) {
            connected = true;
        }
    }
    size_t received = 0;
    size_t dataEvents = 0;
    DWORD lastDataTick = 0;
    bool connected = false;
};

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

// The peer writes `total` bytes from its own thread while this thread receives.
struct Sender {
    int port;
    size_t total;
    static DWORD WINAPI Run(void* p)
    {
        auto* s = static_cast<Sender*>(p);
        CFarEnd peer(s->port);
        const std::vector<BYTE> chunk = RandomBytes(4000, 11);
        for (size_t sent = 0; sent < s->total; sent += chunk.size()) peer.Write(chunk);
        Sleep(3000);  // keep the end open until the reader is done
        return 0;
    }
};

double HandoffRate(CNullModemPair& pair, size_t total)
{
    CCountingPort port;
    port.PutPort(pair.PortA());
    port.PutConnected(true);
    PumpUntil([&] { return port.connected; });
    Sender s{pair.PortB(), total};
    const LARGE_INTEGER start = Now();
    HANDLE th = CreateThread(nullptr, 0, Sender::Run, &s, 0, nullptr);
    PumpUntil([&] { return port.received >= total; }, 60000);
    const LARGE_INTEGER end = Now();
    port.PutConnected(false);
    WaitForSingleObject(th, INFINITE);
    CloseHandle(th);
    printf("  hand-off: %zu bytes in %zu EVT_DATA\n", port.received, port.dataEvents);
    return double(port.received) / Seconds(start, end);
}

double RawRate(CNullModemPair& pair, size_t total)
{
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%d", pair.PortA());
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 30;
    SetCommTimeouts(h, &t);
    Sender s{pair.PortB(), total};
    std::vector<BYTE> buf(1000);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    size_t got = 0;
    const LARGE_INTEGER start = Now();
    HANDLE th = CreateThread(nullptr, 0, Sender::Run, &s, 0, nullptr);
    while (got < total) {
        DWORD n = 0;
        if (!ReadFile(h, buf.data(), 1000, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) break;
        if (!GetOverlappedResult(h, &ov, &n, TRUE)) break;
        got += n;
    }
    const LARGE_INTEGER end = Now();
    CloseHandle(h);
    WaitForSingleObject(th, INFINITE);
    CloseHandle(th);
    CloseHandle(ov.hEvent);
    return double(got) / Seconds(start, end);
}

double MedianLatencyMs(CNullModemPair& pair, int interval, int samples)
{
    CCountingPort port;
    port.PutRecvIntervalTimeout(interval);
    port.PutPort(pair.PortA());
    port.PutConnected(true);
    PumpUntil([&] { return port.connected; });
    CFarEnd peer(pair.PortB());
    std::vector<double> ms;
    for (int i = 0; i < samples; ++i) {
        const size_t before = port.dataEvents;
        const LARGE_INTEGER start = Now();
        peer.Write(std::vector<BYTE>{static_cast<BYTE>(i)});
        if (!PumpUntil([&] { return port.dataEvents > before; }, 5000)) break;
        ms.push_back(1000.0 * Seconds(start, Now()));
        PumpFor(20);
    }
    port.PutConnected(false);
    if (ms.empty()) return -1;
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}  // namespace

int main()
{
    CNullModemPair pair;
    if (!pair.Lease()) {
        fprintf(stderr, "the virtual null-modem test bed is not running\n");
        return 1;
    }
    const size_t total = 4 * 1000 * 1000;
    printf("receive throughput, %zu bytes from the peer (unpaced):\n", total);
    // Alternate the two so that warm-up and background load fall on both alike.
    double raw = 0, handoff = 0;
    for (int round = 0; round < 2; ++round) {
        const double r = RawRate(pair, total);
        const double h = HandoffRate(pair, total);
        printf("  round %d: raw %.0f bytes/s, hand-off %.0f bytes/s\n", round + 1, r, h);
        raw += r;
        handoff += h;
    }
    printf("  raw overlapped ReadFile loop (1000-byte reads): %.0f bytes/s (mean)\n", raw / 2);
    printf("  worker + hand-off, do-nothing handler:          %.0f bytes/s (mean)\n", handoff / 2);
    if (raw > 0) printf("  ratio hand-off / raw: %.2f\n", handoff / raw);
    printf("latency, peer byte -> EVT_DATA (median of 40):\n");
    printf("  RecvIntervalTimeout 30: %.1f ms\n", MedianLatencyMs(pair, 30, 40));
    printf("  RecvIntervalTimeout 1:  %.1f ms\n", MedianLatencyMs(pair, 1, 40));
    return 0;
}

// What the benchmarks share: clocks and percentiles, the CPU of this process and of the
// prefix's wineserver, a message pump that wakes only for messages, a sink that counts what
// arrives, the far end's writer, and the raw Win32 program's port with the requests the
// control's worker keeps pending.
#pragma once
#include "bench/soak/soak_host.h"
#include "common/win_raii.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

inline double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

inline double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size())))];
}

// A whole small file through the Windows file calls (Wine maps the Unix root as Z:); empty
// when it cannot be read. /proc files report no size, so read until the end.
inline std::string ReadUnixFile(const std::string& path)
{
    std::string text;
    CUniqueFileHandle file(CreateFileA(("Z:" + path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid()) return text;
    char chunk[4096];
    for (DWORD got = 1; got && text.size() < 1u << 20;) {
        if (!ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr)) break;
        text.append(chunk, got);
    }
    return text;
}

// The wineserver of this prefix: the process named wineserver* whose environment holds our
// WINEPREFIX (the runner starts it with that environment). 0 when there is none to be seen.
inline unsigned long FindWineserver()
{
    char prefix[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
    if (!length || length >= sizeof prefix) return 0;
    const std::string wanted = std::string("WINEPREFIX=") + prefix + '\0';
    WIN32_FIND_DATAA found;
    struct CFindClose {
        void operator()(HANDLE h) const { FindClose(h); }
    };
    HANDLE first = FindFirstFileA("Z:\\proc\\*", &found);
    if (first == INVALID_HANDLE_VALUE) return 0;
    const std::unique_ptr<void, CFindClose> search(first);
    unsigned long pid = 0;
    do {
        char* end = nullptr;
        const unsigned long candidate = strtoul(found.cFileName, &end, 10);
        if (!candidate || *end) continue;
        const std::string base = "/proc/" + std::to_string(candidate);
        if (ReadUnixFile(base + "/comm").compare(0, 10, "wineserver") != 0) continue;  // wineserver64 too
        if (('\0' + ReadUnixFile(base + "/environ")).find('\0' + wanted) != std::string::npos) pid = candidate;
    } while (!pid && FindNextFileA(search.get(), &found));
    return pid;
}

// User + system CPU of a Unix process in ms from /proc/<pid>/stat (ticks of 10 ms); 0 for pid 0.
inline double UnixProcessCpuMs(unsigned long pid)
{
    if (!pid) return 0;
    const std::string stat = ReadUnixFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t name = stat.rfind(')');  // the command name may hold spaces
    if (name == std::string::npos) return 0;
    // After the name: state, ppid, ... utime is the 12th field, stime the 13th.
    const char* at = stat.c_str() + name + 1;
    unsigned long long values[13] = {};
    for (int field = 0; field < 13 && *at; ++field) {
        while (*at == ' ') ++at;
        values[field] = strtoull(at, nullptr, 10);
        while (*at && *at != ' ') ++at;
    }
    return double(values[11] + values[12]) * 10.0;
}

inline double HostCpuMs()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& t) { return double((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0; };
    return ms(kernel) + ms(user);
}

// CPU spent between construction and Stop, by the host process and by the wineserver.
class CCpuMeter {
public:
    explicit CCpuMeter(unsigned long server) : server(server), host0(HostCpuMs()), server0(UnixProcessCpuMs(server)) {}
    void Stop()
    {
        host = HostCpuMs() - host0;
        serverMs = UnixProcessCpuMs(server) - server0;
    }
    double host = 0, serverMs = 0;

private:
    unsigned long server;
    double host0, server0;
};

// Dispatches messages until done() holds, waking only when a message comes (the sink, and with
// it what done() sees, changes only while one is dispatched), as a host's message loop does,
// so that the host's own polling is not counted against the control; bounded by timeoutMs.
inline bool PumpUntilEvent(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (done()) return true;
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - spent, QS_ALLINPUT);
    }
}

// Counts what arrives without looking at it, as a host that only needs sizes would.
class CCountingSink final : public CCommEventSink {
public:
    unsigned long long received = 0, deliveries = 0;
    double lastData = 0;
    long connects = 0, disconnects = 0;

private:
    HRESULT OnCommEvent(long kind, const VARIANT& data) override
    {
        if (kind == EVT_CONNECT) ++connects;
        if (kind == EVT_DISCONNECT) ++disconnects;
        if (kind == EVT_DATA && (V_VT(&data) & VT_ARRAY)) {
            ++deliveries;
            received += V_ARRAY(&data)->rgsabound[0].cElements;
            lastData = Now();
        }
        return S_OK;
    }
};

// The far end, writing from a thread of its own so that the host side alone sets the pace:
// `total` bytes, or until Stop() when total is kForever, `chunk` bytes per write.
class CPeerWriter {
public:
    static constexpr size_t kForever = ~size_t(0);
    CPeerWriter(HANDLE port, size_t total, size_t chunk = 65536) : port(port), total(total), chunk(chunk) {}
    ~CPeerWriter() { Stop(); Join(); }
    CPeerWriter(const CPeerWriter&) = delete;
    CPeerWriter& operator=(const CPeerWriter&) = delete;
    void Start() { thread.Reset(CreateThread(nullptr, 0, &CPeerWriter::Run, this, 0, nullptr)); }
    void Stop() { stop = true; }
    void Join() { if (thread) WaitForSingleObject(thread.Get(), INFINITE); }

private:
    static DWORD WINAPI Run(void* self)
    {
        auto* writer = static_cast<CPeerWriter*>(self);
        std::vector<BYTE> chunk(writer->chunk, 0x5A);
        for (size_t sent = 0; sent < writer->total && !writer->stop;) {
            const DWORD n = DWORD(std::min(chunk.size(), writer->total - sent));
            DWORD written = 0;
            if (!WriteFile(writer->port, chunk.data(), n, &written, nullptr)) break;
            sent += written;
        }
        return 0;
    }
    HANDLE port;
    size_t total, chunk;
    std::atomic<bool> stop{false};
    CUniqueHandle thread;
};

inline bool SetPeerTimeouts(HANDLE port, DWORD baud = 115200)
{
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return SetCommState(port, &dcb) && SetCommTimeouts(port, &timeouts);
}

// Reads whatever the peer has; the count.
inline size_t ReadAvailable(HANDLE port)
{
    size_t total = 0;
    static BYTE buffer[65536];
    for (DWORD got = 1; got;) {
        got = 0;
        if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr)) break;
        total += got;
    }
    return total;
}

// The raw program: an overlapped handle with the control's own time-outs and a read loop.
class CRawPort {
public:
    bool Open(int com, DWORD intervalMs)
    {
        handle.Reset(CreateFileA(("\\\\.\\COM" + std::to_string(com)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        COMMTIMEOUTS timeouts{intervalMs, 0, 0, 0, 0};
        return handle.IsValid() && SetCommTimeouts(handle.Get(), &timeouts);
    }
    // One overlapped read of up to `size` bytes; the count, or -1 on failure.
    long Read(BYTE* buffer, DWORD size)
    {
        OVERLAPPED overlapped{};
        CUniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        overlapped.hEvent = done.Get();
        DWORD got = 0;
        if (!ReadFile(handle.Get(), buffer, size, &got, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) return -1;
            if (!GetOverlappedResult(handle.Get(), &overlapped, &got, TRUE)) return GetLastError() == ERROR_TIMEOUT ? 0 : -1;
        }
        return long(got);
    }
    // One overlapped write; returns once the call returned (`returnedMs`), then waits for it.
    bool Write(const BYTE* data, DWORD size, double& returnedMs)
    {
        OVERLAPPED overlapped{};
        CUniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        overlapped.hEvent = done.Get();
        const double start = Now();
        DWORD written = 0;
        const BOOL ok = WriteFile(handle.Get(), data, size, &written, &overlapped);
        returnedMs = Now() - start;
        if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
        return GetOverlappedResult(handle.Get(), &overlapped, &written, TRUE) && written == size;
    }
    HANDLE Get() const { return handle.Get(); }
    void Close() { handle.Reset(); }

private:
    CUniqueFileHandle handle;
};

// What the control's worker keeps outstanding on an open port besides its writes: a
// line-event wait and (unless the owner reads itself) a read. A raw program that does the same
// pays what Wine charges for them: a thread polling the port every millisecond for the wait,
// and reads that end with a time-out while a long write is in progress.
class CRawPending {
public:
    CRawPending(HANDLE port, bool withRead) : port(port), withRead(withRead)
    {
        readOverlapped.hEvent = readDone.Get();
        waitOverlapped.hEvent = waitDone.Get();
        SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR);
        if (withRead) IssueRead();
        ArmWait();
    }
    ~CRawPending()
    {
        CancelIo(port);
        SetCommMask(port, 0);
        const HANDLE ended[] = {waitDone.Get(), readDone.Get()};
        WaitForMultipleObjects(withRead ? 2 : 1, ended, TRUE, 2000);
    }
    CRawPending(const CRawPending&) = delete;
    CRawPending& operator=(const CRawPending&) = delete;

    // Waits up to `ms` for one of them to come back and issues it again.
    void Service(DWORD ms)
    {
        const HANDLE pending[] = {waitDone.Get(), readDone.Get()};
        const DWORD which = WaitForMultipleObjects(withRead ? 2 : 1, pending, FALSE, ms);
        if (which == WAIT_OBJECT_0) ArmWait();
        else if (which == WAIT_OBJECT_0 + 1) IssueRead();
    }

private:
    void IssueRead()
    {
        ResetEvent(readDone.Get());
        if (ReadFile(port, buffer, sizeof buffer, &got, &readOverlapped)) SetEvent(readDone.Get());
    }
    void ArmWait()
    {
        ResetEvent(waitDone.Get());
        if (WaitCommEvent(port, &mask, &waitOverlapped)) SetEvent(waitDone.Get());
    }

    HANDLE port;
    bool withRead;
    CUniqueHandle readDone{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    CUniqueHandle waitDone{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED readOverlapped{}, waitOverlapped{};
    BYTE buffer[1000];
    DWORD got = 0, mask = 0;
};

struct CSeries {
    std::string name;
    std::vector<double> control, raw;
};

inline void PrintRound(FILE* out, const char* name, int round, double control, double raw)
{
    fprintf(out, "  round %d  %-44s control %9.2f  raw %9.2f\n", round, name, control, raw);
}

inline void Report(FILE* out, const std::vector<CSeries>& series)
{
    fprintf(out, "%-52s %10s %10s %8s\n", "median of the rounds", "control", "raw", "control/raw");
    for (const CSeries& s : series) {
        const double control = Percentile(s.control, 0.5), raw = Percentile(s.raw, 0.5);
        fprintf(out, "%-52s %10.2f %10.2f %8.2f\n", s.name.c_str(), control, raw, raw ? control / raw : 0);
    }
}

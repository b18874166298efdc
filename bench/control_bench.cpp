// The whole control as users meet it (created by its registered ProgID, or from a module with
// --module, with a sink of ours on CommEvent) side by side with a raw Win32 program on the
// same virtual pair, in one run, alternating rounds: receive rate at equal read sizes,
// latency from a peer's byte to the host, 1 MB Send until the call returns and until the peer
// has it all, CPU per megabyte received from a peer paced at 921600 baud and the CPU of an idle
// open port (both host process + wineserver), and Connected = False with I/O pending against
// closing a raw handle. Where the control's worker keeps requests pending that a plain raw
// loop does not make (a read and a line-event wait beside a write, a line-event wait beside the
// reads), a second row compares it with a raw program that keeps the same requests pending: the
// difference between the two raw rows is what Wine charges for them. Prints every round and the
// medians and writes the medians to a results file. Asserts nothing.
//
//   control_bench [--module PATH] [--rounds N] [--megabytes N] [--cpu-megabytes N]
//                 [--idle-seconds N] [--results FILE]
#include "bench/soak/soak_host.h"
#include "common/tarvel_ids.h"
#include "common/win_raii.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size())))];
}

// A whole small file through the Windows file calls (Wine maps the Unix root as Z:); empty
// when it cannot be read. /proc files report no size, so read until the end.
std::string ReadUnixFile(const std::string& path)
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
unsigned long FindWineserver()
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
double UnixProcessCpuMs(unsigned long pid)
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

double HostCpuMs()
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
bool PumpUntilEvent(const std::function<bool()>& done, DWORD timeoutMs)
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
    unsigned long long received = 0;
    double lastData = 0;
    long connects = 0, disconnects = 0;

private:
    HRESULT OnCommEvent(long kind, const VARIANT& data) override
    {
        if (kind == EVT_CONNECT) ++connects;
        if (kind == EVT_DISCONNECT) ++disconnects;
        if (kind == EVT_DATA && (V_VT(&data) & VT_ARRAY)) {
            received += V_ARRAY(&data)->rgsabound[0].cElements;
            lastData = Now();
        }
        return S_OK;
    }
};

// The far end, writing from a thread of its own so that the host side alone sets the pace.
class CPeerWriter {
public:
    CPeerWriter(HANDLE port, size_t total) : port(port), total(total) {}
    void Start() { thread.Reset(CreateThread(nullptr, 0, &CPeerWriter::Run, this, 0, nullptr)); }
    void Join() { if (thread) WaitForSingleObject(thread.Get(), INFINITE); }

private:
    static DWORD WINAPI Run(void* self)
    {
        auto* writer = static_cast<CPeerWriter*>(self);
        std::vector<BYTE> chunk(65536, 0x5A);
        for (size_t sent = 0; sent < writer->total;) {
            const DWORD n = DWORD(std::min(chunk.size(), writer->total - sent));
            DWORD written = 0;
            if (!WriteFile(writer->port, chunk.data(), n, &written, nullptr)) break;
            sent += written;
        }
        return 0;
    }
    HANDLE port;
    size_t total;
    CUniqueHandle thread;
};

bool SetPeerTimeouts(HANDLE port, DWORD baud = 115200)
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
size_t ReadAvailable(HANDLE port)
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

class CBench {
public:
    CBench(IDispatch* control, CCountingSink& sink, CNullModemPair& pair, HANDLE peer, size_t megabytes,
           unsigned long server)
        : control(control), sink(sink), pair(pair), peer(peer), bytes(megabytes << 20), server(server)
    {
    }

    // Receive rate in MB/s at the given read size.
    double ControlReceive(long threshold)
    {
        PutProperty(control, L"RecvSizeThreshold", CVariant(threshold));
        if (!OpenControl(30)) return 0;
        sink.received = 0;
        CPeerWriter writer(peer, bytes);
        const double start = Now();
        writer.Start();
        PumpUntilEvent([&] { return sink.received >= bytes; }, 120000);
        const double ms = sink.lastData - start;
        writer.Join();
        CloseControl();
        return sink.received >= bytes ? double(bytes) / 1048576.0 / (ms / 1000.0) : 0;
    }

    double RawReceive(DWORD readSize)
    {
        CRawPort raw;
        if (!raw.Open(pair.PortA(), 30)) return 0;
        std::vector<BYTE> buffer(readSize);
        CPeerWriter writer(peer, bytes);
        const double start = Now();
        writer.Start();
        size_t got = 0;
        for (long n = 0; got < bytes && n >= 0; got += size_t(n)) n = raw.Read(buffer.data(), readSize);
        const double ms = Now() - start;
        writer.Join();
        return got >= bytes ? double(bytes) / 1048576.0 / (ms / 1000.0) : 0;
    }

    // Latencies in ms from a peer's byte to the host, `samples` of them.
    std::vector<double> ControlLatency(long intervalMs, int samples)
    {
        std::vector<double> latencies;
        PutProperty(control, L"RecvSizeThreshold", CVariant(1000L));
        if (!OpenControl(intervalMs)) return latencies;
        for (int i = 0; i < samples; ++i) {
            const unsigned long long before = sink.received;
            PumpFor(5);
            const BYTE one = 0x31;
            DWORD written = 0;
            const double start = Now();
            WriteFile(peer, &one, 1, &written, nullptr);
            if (!PumpUntil([&] { return sink.received > before; }, 5000)) break;
            latencies.push_back(sink.lastData - start);
        }
        CloseControl();
        return latencies;
    }

    std::vector<double> RawLatency(DWORD intervalMs, int samples)
    {
        std::vector<double> latencies;
        CRawPort raw;
        if (!raw.Open(pair.PortA(), intervalMs)) return latencies;
        for (int i = 0; i < samples; ++i) {
            Sleep(5);
            const BYTE one = 0x31;
            DWORD written = 0;
            BYTE buffer[1000];
            OVERLAPPED overlapped{};
            CUniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
            overlapped.hEvent = done.Get();
            DWORD got = 0;
            const BOOL immediate = ReadFile(raw.Get(), buffer, sizeof buffer, &got, &overlapped);
            const double start = Now();
            WriteFile(peer, &one, 1, &written, nullptr);
            if (!immediate && !GetOverlappedResult(raw.Get(), &overlapped, &got, TRUE)) break;
            latencies.push_back(Now() - start);
        }
        return latencies;
    }

    // 1 MB through Send: the call's own time and the time until the peer has it all.
    void ControlSend(bool text, double& callMs, double& doneMs)
    {
        callMs = doneMs = 0;
        if (!OpenControl(30)) return;
        CVariant argument;
        if (text) {
            std::wstring chars(size_t(1) << 20, L'Z');
            argument = CVariant(CBstr(chars.c_str(), UINT(chars.size())));
        } else {
            CSafeArray array = CSafeArray::CreateVector(VT_UI1, 1u << 20);
            {
                CSafeArrayLock lock(array.Get());
                memset(lock.Data(), 0x5A, 1u << 20);
            }
            V_VT(&argument) = VT_ARRAY | VT_UI1;
            V_ARRAY(&argument) = array.Detach();
        }
        ReadAvailable(peer);
        DISPID send = 0;
        LPOLESTR name = const_cast<LPOLESTR>(L"Send");
        control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &send);
        // The argument goes in place, as a compiled host passes its own variable: the host's
        // copy of 1 MB is no part of the call.
        DISPPARAMS params{&argument, nullptr, 1, 0};
        CVariant result;
        const double start = Now();
        control->Invoke(send, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Put(), nullptr, nullptr);
        callMs = Now() - start;
        size_t got = 0;
        PumpUntil([&] { got += ReadAvailable(peer); return got >= (1u << 20); }, 60000);
        doneMs = got >= (1u << 20) ? Now() - start : 0;
        CloseControl();
    }

    // With `busy` the raw program keeps a read and a line-event wait pending meanwhile, as the
    // control's worker does.
    void RawSend(bool busy, double& callMs, double& doneMs)
    {
        callMs = doneMs = 0;
        CRawPort raw;
        if (!raw.Open(pair.PortA(), 30)) return;
        std::unique_ptr<CRawPending> pending(busy ? new CRawPending(raw.Get(), true) : nullptr);
        std::vector<BYTE> data(size_t(1) << 20, 0x5A);
        ReadAvailable(peer);
        const double start = Now();
        OVERLAPPED overlapped{};
        CUniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        overlapped.hEvent = done.Get();
        DWORD written = 0;
        const BOOL ok = WriteFile(raw.Get(), data.data(), DWORD(data.size()), &written, &overlapped);
        callMs = Now() - start;
        // The same polling cadence as the control's side, so that neither gains from it.
        size_t got = 0;
        PumpUntil([&] {
            if (pending) pending->Service(0);
            got += ReadAvailable(peer);
            return got >= data.size();
        }, 60000);
        if (!ok) GetOverlappedResult(raw.Get(), &overlapped, &written, TRUE);
        doneMs = got >= data.size() ? Now() - start : 0;
    }

    // CPU (host, wineserver) per megabyte received from a peer paced at 921600 baud, at the
    // default read size. The wire sets the pace, so both sides take the same time.
    void ControlCpu(size_t cpuBytes, CCpuMeter& meter)
    {
        PutProperty(control, L"RecvSizeThreshold", CVariant(1000L));
        PutProperty(control, L"BaudRate", CVariant(long(kPacedBaud)));
        if (StartPacing() && OpenControl(30)) {
            sink.received = 0;
            CPeerWriter writer(peer, cpuBytes);
            meter = CCpuMeter(server);
            writer.Start();
            PumpUntilEvent([&] { return sink.received >= cpuBytes; }, 600000);
            meter.Stop();
            writer.Join();
            CloseControl();
        }
        StopPacing();
        PutProperty(control, L"BaudRate", CVariant(9600L));
    }

    // With `busy` a line-event wait is pending beside the reads, as in the control's worker.
    void RawCpu(bool busy, size_t cpuBytes, CCpuMeter& meter)
    {
        CRawPort raw;
        if (StartPacing() && raw.Open(pair.PortA(), 30)) {
            std::unique_ptr<CRawPending> pending(busy ? new CRawPending(raw.Get(), false) : nullptr);
            std::vector<BYTE> buffer(1000);
            CPeerWriter writer(peer, cpuBytes);
            meter = CCpuMeter(server);
            writer.Start();
            size_t got = 0;
            for (long n = 0; got < cpuBytes && n >= 0; got += size_t(n)) n = raw.Read(buffer.data(), 1000);
            meter.Stop();
            writer.Join();
        }
        StopPacing();
    }

    // CPU of an open port with nothing to do for `ms`.
    void ControlIdle(DWORD ms, CCpuMeter& meter)
    {
        if (!OpenControl(30)) return;
        PumpFor(200);
        meter = CCpuMeter(server);
        PumpFor(ms);
        meter.Stop();
        CloseControl();
    }

    // The raw program idles as the control's worker does: a read and a line-event wait pending.
    void RawIdle(DWORD ms, CCpuMeter& meter)
    {
        CRawPort raw;
        if (!raw.Open(pair.PortA(), 30)) return;
        CRawPending pending(raw.Get(), true);
        Sleep(200);
        meter = CCpuMeter(server);
        const DWORD start = GetTickCount();
        for (DWORD spent = 0; spent < ms; spent = GetTickCount() - start) pending.Service(ms - spent);
        meter.Stop();
    }

    // Connected = False while a read and a line-event wait are pending.
    double ControlClose()
    {
        if (!OpenControl(30)) return 0;
        PumpFor(50);
        const double start = Now();
        PutProperty(control, L"Connected", CVariant(false));
        const double ms = Now() - start;
        PumpUntil([&] { return sink.disconnects > 0; }, 5000);
        return ms;
    }

    double RawClose()
    {
        CRawPort raw;
        if (!raw.Open(pair.PortA(), 30)) return 0;
        SetCommMask(raw.Get(), EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR);
        OVERLAPPED readOverlapped{}, waitOverlapped{};
        CUniqueHandle readDone(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        CUniqueHandle waitDone(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        readOverlapped.hEvent = readDone.Get();
        waitOverlapped.hEvent = waitDone.Get();
        BYTE buffer[1000];
        DWORD got = 0, mask = 0;
        ReadFile(raw.Get(), buffer, sizeof buffer, &got, &readOverlapped);
        WaitCommEvent(raw.Get(), &mask, &waitOverlapped);
        Sleep(50);
        // Closing the handle ends both; the time until both have ended (bounded: this is a
        // figure, not a check).
        const double start = Now();
        raw.Close();
        const HANDLE ended[] = {readDone.Get(), waitDone.Get()};
        WaitForMultipleObjects(2, ended, TRUE, 2000);
        return Now() - start;
    }

private:
    static constexpr DWORD kPacedBaud = 921600;

    bool StartPacing() { return pair.SetPacing(true) && SetPeerTimeouts(peer, kPacedBaud); }
    void StopPacing()
    {
        pair.SetPacing(false);
        SetPeerTimeouts(peer);
    }

    bool OpenControl(long intervalMs)
    {
        sink.connects = sink.disconnects = 0;
        PutProperty(control, L"Port", CVariant(long(pair.PortA())));
        PutProperty(control, L"RecvIntervalTimeout", CVariant(intervalMs));
        PutProperty(control, L"DataMode", CVariant(0L));
        PutProperty(control, L"Connected", CVariant(true));
        return GetBoolProperty(control, L"Connected") && PumpUntil([&] { return sink.connects > 0; }, 5000);
    }
    void CloseControl()
    {
        PutProperty(control, L"Connected", CVariant(false));
        PumpUntil([&] { return sink.disconnects > 0; }, 5000);
        ReadAvailable(peer);
    }

    IDispatch* control;
    CCountingSink& sink;
    CNullModemPair& pair;
    HANDLE peer;
    size_t bytes;
    unsigned long server;
};

void PrintRound(FILE* out, const char* name, int round, double control, double raw)
{
    fprintf(out, "  round %d  %-44s control %9.2f  raw %9.2f\n", round, name, control, raw);
}

void Report(FILE* out, const std::vector<CSeries>& series)
{
    fprintf(out, "%-52s %10s %10s %8s\n", "median of the rounds", "control", "raw", "control/raw");
    for (const CSeries& s : series) {
        const double control = Percentile(s.control, 0.5), raw = Percentile(s.raw, 0.5);
        fprintf(out, "%-52s %10.2f %10.2f %8.2f\n", s.name.c_str(), control, raw, raw ? control / raw : 0);
    }
}

struct COptions {
    std::string module, results = "control_bench_results.txt";
    int rounds = 5;
    size_t megabytes = 4;
    size_t cpuMegabytes = 1;
    DWORD idleSeconds = 10;
};

bool ParseOptions(int argc, char** argv, COptions& options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--module") options.module = argv[i + 1];
        else if (name == "--rounds") options.rounds = std::max(1, atoi(argv[i + 1]));
        else if (name == "--megabytes") options.megabytes = size_t(std::max(1, atoi(argv[i + 1])));
        else if (name == "--cpu-megabytes") options.cpuMegabytes = size_t(std::max(1, atoi(argv[i + 1])));
        else if (name == "--idle-seconds") options.idleSeconds = DWORD(std::max(1, atoi(argv[i + 1])));
        else if (name == "--results") options.results = argv[i + 1];
        else return false;
    }
    return argc % 2 == 1;
}

int RunBench(const COptions& options)
{
    CNullModemPair pair;
    CComPort peer;
    if (!pair.Lease() || !peer.Open(pair.PortB()) || !SetPeerTimeouts(peer.Get())) {
        printf("no virtual null-modem pair: run this through tools/wine/wine-run.sh\n");
        return 2;
    }
    CLoadedModule module;
    CComRef<IDispatch> control = CreateControl(module, options.module);
    if (!control) return 2;
    CComRef<CCountingSink> sink = CComRef<CCountingSink>::Adopt(new CCountingSink);
    CCommEventLink link(control.Get(), sink.Get());
    if (!link.Connected()) return 2;
    const unsigned long server = FindWineserver();
    if (server) printf("wineserver: pid %lu\n", server);
    else printf("wineserver not found: its CPU is counted as 0\n");
    CBench bench(control.Get(), *sink.Get(), pair, peer.Get(), options.megabytes, server);
    const std::string idleName = "idle open port " + std::to_string(options.idleSeconds) + " s, CPU ms";

    std::vector<CSeries> series = {
        {"receive MB/s, reads of 1000 (default threshold)", {}, {}},
        {"receive MB/s, reads of 5000", {}, {}},
        {"receive MB/s, reads of 10000", {}, {}},
        {"latency ms, interval 30, median", {}, {}},
        {"latency ms, interval 1, median", {}, {}},
        {"latency ms, interval 1, p90", {}, {}},
        {"latency ms, interval 1, max", {}, {}},
        {"1 MB byte array Send, until the peer has it, ms", {}, {}},
        {"  the same, raw with a read + line-event wait pending", {}, {}},
        {"1 MB byte array Send, call returns, ms", {}, {}},
        {"1 MB string Send, until the peer has it, ms", {}, {}},
        {"1 MB string Send, call returns, ms", {}, {}},
        {"close with I/O pending, ms", {}, {}},
        {"CPU ms per MB at 921600 baud, host + wineserver", {}, {}},
        {"  of which the host process", {}, {}},
        {"  of which wineserver", {}, {}},
        {"  the same, raw with a line-event wait pending", {}, {}},
        {idleName + ", host + wineserver", {}, {}},
        {"  of which the host process", {}, {}},
        {"  of which wineserver", {}, {}}};
    auto add = [&](size_t index, int round, double controlValue, double rawValue) {
        series[index].control.push_back(controlValue);
        series[index].raw.push_back(rawValue);
        PrintRound(stdout, series[index].name.c_str(), round, controlValue, rawValue);
    };
    for (int round = 1; round <= options.rounds; ++round) {
        // Alternate which side goes first, so that drift on the machine is shared fairly.
        const bool controlFirst = round % 2 == 1;
        const long sizes[] = {1000, 5000, 10000};
        for (size_t i = 0; i < 3; ++i) {
            double c = 0, r = 0;
            if (controlFirst) c = bench.ControlReceive(sizes[i]), r = bench.RawReceive(DWORD(sizes[i]));
            else r = bench.RawReceive(DWORD(sizes[i])), c = bench.ControlReceive(sizes[i]);
            add(i, round, c, r);
        }
        const std::vector<double> c30 = bench.ControlLatency(30, 10), r30 = bench.RawLatency(30, 10);
        add(3, round, Percentile(c30, 0.5), Percentile(r30, 0.5));
        const std::vector<double> c1 = bench.ControlLatency(1, 40), r1 = bench.RawLatency(1, 40);
        add(4, round, Percentile(c1, 0.5), Percentile(r1, 0.5));
        add(5, round, Percentile(c1, 0.9), Percentile(r1, 0.9));
        add(6, round, Percentile(c1, 1.0), Percentile(r1, 1.0));
        double callArray, doneArray, callText, doneText, rawCall, rawDone, busyCall, busyDone;
        bench.ControlSend(false, callArray, doneArray);
        bench.RawSend(false, rawCall, rawDone);
        bench.ControlSend(true, callText, doneText);
        bench.RawSend(true, busyCall, busyDone);
        add(7, round, doneArray, rawDone);
        add(8, round, doneArray, busyDone);
        add(9, round, callArray, rawCall);
        add(10, round, doneText, rawDone);
        add(11, round, callText, rawCall);
        double cClose = 0, rClose = 0;
        if (controlFirst) cClose = bench.ControlClose(), rClose = bench.RawClose();
        else rClose = bench.RawClose(), cClose = bench.ControlClose();
        add(12, round, cClose, rClose);
        const size_t cpuBytes = options.cpuMegabytes << 20;
        CCpuMeter cCpu(0), rCpu(0), busyCpu(0);
        if (controlFirst) bench.ControlCpu(cpuBytes, cCpu), bench.RawCpu(false, cpuBytes, rCpu);
        else bench.RawCpu(false, cpuBytes, rCpu), bench.ControlCpu(cpuBytes, cCpu);
        bench.RawCpu(true, cpuBytes, busyCpu);
        const double mb = double(options.cpuMegabytes);
        const double cTotal = (cCpu.host + cCpu.serverMs) / mb;
        add(13, round, cTotal, (rCpu.host + rCpu.serverMs) / mb);
        add(14, round, cCpu.host / mb, rCpu.host / mb);
        add(15, round, cCpu.serverMs / mb, rCpu.serverMs / mb);
        add(16, round, cTotal, (busyCpu.host + busyCpu.serverMs) / mb);
        CCpuMeter cIdle(0), rIdle(0);
        const DWORD idleMs = options.idleSeconds * 1000;
        if (controlFirst) bench.ControlIdle(idleMs, cIdle), bench.RawIdle(idleMs, rIdle);
        else bench.RawIdle(idleMs, rIdle), bench.ControlIdle(idleMs, cIdle);
        add(17, round, cIdle.host + cIdle.serverMs, rIdle.host + rIdle.serverMs);
        add(18, round, cIdle.host, rIdle.host);
        add(19, round, cIdle.serverMs, rIdle.serverMs);
    }
    Report(stdout, series);
    FILE* results = fopen(options.results.c_str(), "w");
    if (results) {
        fprintf(results, "control_bench, %s, %d rounds, %zu MB per receive round, %zu MB per paced CPU round\n",
                sizeof(void*) == 8 ? "x64" : "x86", options.rounds, options.megabytes, options.cpuMegabytes);
        Report(results, series);
        fclose(results);
        printf("results written to %s\n", options.results.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    COptions options;
    if (!ParseOptions(argc, argv, options)) {
        printf("usage: control_bench [--module PATH] [--rounds N] [--megabytes N] [--cpu-megabytes N]\n"
               "                     [--idle-seconds N] [--results FILE]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    const int result = RunBench(options);
    CoUninitialize();
    return result;
}

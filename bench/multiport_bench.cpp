// N controls in one host process on N virtual pairs (N = 1, 4, 16, 32 by default) side by side
// with a raw Win32 program that does the same job with the same requests pending (one thread
// per port: an overlapped read, a line-event wait and writes), in alternating rounds. Per N:
// total received MB/s with every far end sending at once, unpaced and paced at 115200 baud;
// CPU (host process + wineserver) per MB of each; CPU per port of N open ports left idle;
// the latency of a byte on one quiet port while all the others stream at 115200; a 64 KB Send on every
// port at once until every peer has it; and the spread between the fastest and the slowest
// port of the unpaced run. The quiet-port latency is also measured for a raw program whose
// port threads hand each read's count to one thread by a posted message, the one thread hop
// every notification of a control makes. Prints every round and the medians with each figure's ratio to the
// raw program and writes the medians to a results file. Asserts nothing.
//
//   multiport_bench [--module PATH] [--rounds N] [--ports 1,4,16,32] [--kilobytes N]
//                   [--paced-seconds N] [--idle-seconds N] [--samples N] [--results FILE]
//                   [--side both|control|raw]
#include "bench/bench_support.h"

#include <map>
#include <sstream>

namespace {

constexpr DWORD kPacedBaud = 115200;
constexpr long kIntervalMs = 30;    // RecvIntervalTimeout of the streaming ports (the default)
constexpr long kQuietIntervalMs = 1; // of the quiet port while its latency is measured
constexpr DWORD kReadSize = 1000;   // the control's default RecvSizeThreshold, its read size
constexpr DWORD kSendSize = 64 * 1024;
// The line events the control's worker waits for (EV_TXEMPTY, EV_CTS, EV_DSR, EV_BREAK, EV_ERR,
// EV_RING): Wine's cost of a pending wait depends on them, so the raw program asks for the same.
constexpr DWORD kWatchedLineEvents = 0x1DC;
constexpr UINT WM_RAW_RECEIVED = WM_APP + 1;  // wParam port index, lParam bytes

// The leased pairs and a non-overlapped peer handle on each B end.
class CPairs {
public:
    explicit CPairs(int count) : pairs(size_t(count)), peers(size_t(count)) {}
    bool Lease()
    {
        for (size_t i = 0; i < pairs.size(); ++i)
            if (!pairs[i].Lease() || !peers[i].Open(pairs[i].PortB()) || !SetPeerTimeouts(peers[i].Get(), kPacedBaud))
                return false;
        return true;
    }
    int PortA(int i) { return pairs[size_t(i)].PortA(); }
    HANDLE Peer(int i) { return peers[size_t(i)].Get(); }
    bool SetPacing(int count, bool on)
    {
        bool ok = true;
        for (int i = 0; i < count; ++i) ok = pairs[size_t(i)].SetPacing(on) && ok;
        return ok;
    }
    void DrainPeers(int count)
    {
        for (int i = 0; i < count; ++i) ReadAvailable(Peer(i));
    }

private:
    std::vector<CNullModemPair> pairs;
    std::vector<CComPort> peers;
};

// One port of the raw program: a thread that keeps a read and a line-event wait pending and
// issues the writes it is handed, as the control's worker does. With a hand-off thread it
// posts each read's count to that thread, which accounts for it (as the control's thread
// does); otherwise it accounts for what it read itself.
class CRawPortThread {
public:
    CRawPortThread() = default;
    ~CRawPortThread()
    {
        SetEvent(stopEvent.Get());
        if (thread) WaitForSingleObject(thread.Get(), INFINITE);
    }
    CRawPortThread(const CRawPortThread&) = delete;
    CRawPortThread& operator=(const CRawPortThread&) = delete;

    bool Open(int com, DWORD intervalMs, int portIndex = 0, DWORD handOffThread = 0)
    {
        index = portIndex;
        handOff = handOffThread;
        if (!port.Open(com, intervalMs)) return false;
        thread.Reset(CreateThread(nullptr, 0, &CRawPortThread::Run, this, 0, nullptr));
        return bool(thread);
    }
    // The done event is set once `more` further bytes have arrived.
    void Expect(unsigned long long more)
    {
        ResetEvent(doneEvent.Get());
        target = received + more;
        if (received >= target) SetEvent(doneEvent.Get());
    }
    HANDLE DoneEvent() const { return doneEvent.Get(); }
    unsigned long long Reads() const { return reads; }
    double LastDataMs() const { return lastData; }
    // Applies to the reads issued from now on.
    void SetInterval(DWORD ms)
    {
        COMMTIMEOUTS timeouts{ms, 0, 0, 0, 0};
        SetCommTimeouts(port.Get(), &timeouts);
    }
    // Hands one write to the thread; `data` must live until the peer has it.
    void Write(const BYTE* data, DWORD size)
    {
        writeData = data;
        writeSize = size;
        SetEvent(writeRequest.Get());
    }

private:
    static DWORD WINAPI Run(void* self)
    {
        static_cast<CRawPortThread*>(self)->Loop();
        return 0;
    }

    void Loop()
    {
        HANDLE h = port.Get();
        SetCommMask(h, kWatchedLineEvents);
        readOverlapped.hEvent = readDone.Get();
        waitOverlapped.hEvent = waitDone.Get();
        writeOverlapped.hEvent = writeDone.Get();
        IssueRead();
        ArmWait();
        bool writing = false;
        for (;;) {
            const HANDLE waits[] = {stopEvent.Get(), readDone.Get(), waitDone.Get(),
                                    writing ? writeDone.Get() : writeRequest.Get()};
            const DWORD which = WaitForMultipleObjects(4, waits, FALSE, INFINITE);
            DWORD got = 0;
            if (which == WAIT_OBJECT_0 + 1) {
                if (!GetOverlappedResult(h, &readOverlapped, &got, FALSE) && GetLastError() != ERROR_TIMEOUT) break;
                Received(got);
                IssueRead();
            } else if (which == WAIT_OBJECT_0 + 2) {
                GetOverlappedResult(h, &waitOverlapped, &got, FALSE);
                ArmWait();
            } else if (which == WAIT_OBJECT_0 + 3 && writing) {
                GetOverlappedResult(h, &writeOverlapped, &got, FALSE);
                writing = false;
            } else if (which == WAIT_OBJECT_0 + 3) {
                ResetEvent(writeDone.Get());
                writing = WriteFile(h, writeData, writeSize, nullptr, &writeOverlapped) || GetLastError() == ERROR_IO_PENDING;
            } else {
                break;
            }
        }
        CancelIo(h);
        SetCommMask(h, 0);
        const HANDLE ended[] = {readDone.Get(), waitDone.Get()};
        WaitForMultipleObjects(2, ended, TRUE, 2000);
        if (writing) WaitForSingleObject(writeDone.Get(), 2000);
    }

public:
    // On the hand-off thread, for a count this port's thread posted.
    void Account(DWORD got)
    {
        if (!got) return;
        ++reads;
        received += got;
        lastData = Now();
        if (received >= target) SetEvent(doneEvent.Get());
    }

private:
    void Received(DWORD got)
    {
        if (handOff && got) PostThreadMessageA(handOff, WM_RAW_RECEIVED, WPARAM(index), LPARAM(got));
        else Account(got);
    }
    void IssueRead()
    {
        ResetEvent(readDone.Get());
        if (ReadFile(port.Get(), buffer, sizeof buffer, nullptr, &readOverlapped)) SetEvent(readDone.Get());
    }
    void ArmWait()
    {
        ResetEvent(waitDone.Get());
        if (WaitCommEvent(port.Get(), &mask, &waitOverlapped)) SetEvent(waitDone.Get());
    }

    CRawPort port;
    CUniqueHandle thread;
    CUniqueHandle stopEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    CUniqueHandle doneEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    CUniqueHandle writeRequest{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    CUniqueHandle readDone{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    CUniqueHandle waitDone{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    CUniqueHandle writeDone{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED readOverlapped{}, waitOverlapped{}, writeOverlapped{};
    BYTE buffer[kReadSize];
    DWORD mask = 0;
    std::atomic<unsigned long long> received{0}, target{~0ull}, reads{0};
    std::atomic<double> lastData{0};
    const BYTE* writeData = nullptr;
    DWORD writeSize = 0;
    int index = 0;
    DWORD handOff = 0;
};

// What one side (the controls, or the raw program) gives the measurements: the first `n`
// ports opened, bytes expected per port, and sends on every port.
class CSide {
public:
    virtual ~CSide() = default;
    virtual bool Open(int n) = 0;
    virtual void Close() = 0;
    virtual void Expect(int port, unsigned long long bytes) = 0;
    // Until every open port has what it expects; whether it did within timeoutMs.
    virtual bool AwaitAll(DWORD timeoutMs) = 0;
    virtual bool AwaitOne(int port, DWORD timeoutMs) = 0;
    virtual double LastDataMs(int port) = 0;
    // Lets `ms` pass as the side's host would: the controls' host pumps messages.
    virtual void Pass(DWORD ms) = 0;
    virtual void SetInterval(int port, long ms) = 0;
    virtual void SendEverywhere(const BYTE* data, DWORD size) = 0;
    // Notifications the host received so far (the controls' EVT_DATA, the raw reads handed
    // over, or the raw reads).
    virtual unsigned long long Deliveries() = 0;
};

class CControlSide final : public CSide {
public:
    CControlSide(CLoadedModule& module, const std::string& modulePath, CPairs& pairs, int count) : pairs(pairs)
    {
        for (int i = 0; i < count; ++i) {
            CComRef<IDispatch> control = CreateControl(module, modulePath);
            if (!control) return;
            CComRef<CCountingSink> sink = CComRef<CCountingSink>::Adopt(new CCountingSink);
            links.emplace_back(new CCommEventLink(control.Get(), sink.Get()));
            if (!links.back()->Connected()) return;
            controls.push_back(control);
            sinks.push_back(sink);
        }
        targets.resize(controls.size());
        CSafeArray array = CSafeArray::CreateVector(VT_UI1, kSendSize);
        V_VT(&sendArgument) = VT_ARRAY | VT_UI1;
        V_ARRAY(&sendArgument) = array.Detach();
    }
    bool Created(int count) const { return int(controls.size()) == count; }

    bool Open(int n) override
    {
        open = n;
        for (int i = 0; i < n; ++i) {
            IDispatch* c = controls[size_t(i)].Get();
            sinks[size_t(i)]->connects = sinks[size_t(i)]->disconnects = 0;
            PutProperty(c, L"Port", CVariant(long(pairs.PortA(i))));
            PutProperty(c, L"BaudRate", CVariant(long(kPacedBaud)));
            PutProperty(c, L"RecvIntervalTimeout", CVariant(kIntervalMs));
            PutProperty(c, L"RecvSizeThreshold", CVariant(long(kReadSize)));
            PutProperty(c, L"DataMode", CVariant(0L));
            PutProperty(c, L"Connected", CVariant(true));
            if (!GetBoolProperty(c, L"Connected")) return false;
        }
        return PumpUntil([&] { return Count(&CCountingSink::connects) == n; }, 10000);
    }
    void Close() override
    {
        for (int i = 0; i < open; ++i) PutProperty(controls[size_t(i)].Get(), L"Connected", CVariant(false));
        PumpUntil([&] { return Count(&CCountingSink::disconnects) == open; }, 10000);
        open = 0;
    }
    void Expect(int port, unsigned long long bytes) override
    {
        targets[size_t(port)] = sinks[size_t(port)]->received + bytes;
    }
    bool AwaitAll(DWORD timeoutMs) override
    {
        return PumpUntilEvent([&] {
            for (int i = 0; i < open; ++i)
                if (sinks[size_t(i)]->received < targets[size_t(i)]) return false;
            return true;
        }, timeoutMs);
    }
    bool AwaitOne(int port, DWORD timeoutMs) override
    {
        return PumpUntilEvent([&] { return sinks[size_t(port)]->received >= targets[size_t(port)]; }, timeoutMs);
    }
    double LastDataMs(int port) override { return sinks[size_t(port)]->lastData; }
    unsigned long long Deliveries() override
    {
        unsigned long long total = 0;
        for (int i = 0; i < open; ++i) total += sinks[size_t(i)]->deliveries;
        return total;
    }
    void Pass(DWORD ms) override { PumpFor(ms); }
    void SetInterval(int port, long ms) override
    {
        PutProperty(controls[size_t(port)].Get(), L"RecvIntervalTimeout", CVariant(ms));
    }
    // The argument goes in place, as a compiled host passes its own variable.
    void SendEverywhere(const BYTE* data, DWORD size) override
    {
        {
            CSafeArrayLock lock(V_ARRAY(&sendArgument));
            memcpy(lock.Data(), data, std::min<DWORD>(size, kSendSize));
        }
        for (int i = 0; i < open; ++i) {
            IDispatch* c = controls[size_t(i)].Get();
            if (!sendId) {
                LPOLESTR name = const_cast<LPOLESTR>(L"Send");
                c->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &sendId);
            }
            DISPPARAMS params{&sendArgument, nullptr, 1, 0};
            CVariant result;
            c->Invoke(sendId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Put(), nullptr, nullptr);
        }
    }

private:
    int Count(long CCountingSink::*field) const
    {
        int n = 0;
        for (int i = 0; i < open; ++i) n += sinks[size_t(i)].Get()->*field > 0;
        return n;
    }

    CPairs& pairs;
    std::vector<CComRef<IDispatch>> controls;
    std::vector<CComRef<CCountingSink>> sinks;
    std::vector<std::unique_ptr<CCommEventLink>> links;
    std::vector<unsigned long long> targets;
    CVariant sendArgument;
    DISPID sendId = 0;
    int open = 0;
};

// With `handOff` every read's count travels to this (the host's) thread as a posted thread
// message, the one thread hop a control's notification makes, and is accounted for there.
class CRawSide final : public CSide {
public:
    CRawSide(CPairs& pairs, bool handOff) : pairs(pairs), handOff(handOff) {}
    bool Open(int n) override
    {
        for (int i = 0; i < n; ++i) {
            ports.emplace_back(new CRawPortThread);
            if (!ports.back()->Open(pairs.PortA(i), kIntervalMs, i, handOff ? GetCurrentThreadId() : 0)) return false;
        }
        return true;
    }
    void Close() override
    {
        ports.clear();
        TakeHandedOff(0);
    }
    void Expect(int port, unsigned long long bytes) override { ports[size_t(port)]->Expect(bytes); }
    bool AwaitAll(DWORD timeoutMs) override
    {
        std::vector<HANDLE> done;
        for (const auto& p : ports) done.push_back(p->DoneEvent());
        return Await(done, timeoutMs);
    }
    bool AwaitOne(int port, DWORD timeoutMs) override
    {
        std::vector<HANDLE> done = {ports[size_t(port)]->DoneEvent()};
        return Await(done, timeoutMs);
    }
    double LastDataMs(int port) override { return ports[size_t(port)]->LastDataMs(); }
    unsigned long long Deliveries() override
    {
        unsigned long long total = 0;
        for (const auto& p : ports) total += p->Reads();
        return total;
    }
    void Pass(DWORD ms) override
    {
        if (!handOff) return Sleep(ms);
        for (const DWORD start = GetTickCount(); GetTickCount() - start < ms;) TakeHandedOff(ms - (GetTickCount() - start));
    }
    void SetInterval(int port, long ms) override { ports[size_t(port)]->SetInterval(DWORD(ms)); }
    void SendEverywhere(const BYTE* data, DWORD size) override
    {
        for (const auto& p : ports) p->Write(data, size);
    }

private:
    bool Await(const std::vector<HANDLE>& done, DWORD timeoutMs)
    {
        const DWORD count = DWORD(done.size());
        if (!handOff) return WaitForMultipleObjects(count, done.data(), TRUE, timeoutMs) < WAIT_OBJECT_0 + count;
        for (const DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs;) {
            if (WaitForMultipleObjects(count, done.data(), TRUE, 0) < WAIT_OBJECT_0 + count) return true;
            TakeHandedOff(timeoutMs - (GetTickCount() - start));
        }
        return false;
    }
    // Waits up to `ms` for posted counts and accounts for every one that came.
    void TakeHandedOff(DWORD ms)
    {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms, QS_POSTMESSAGE);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_RAW_RECEIVED && !msg.hwnd && size_t(msg.wParam) < ports.size())
                ports[size_t(msg.wParam)]->Account(DWORD(msg.lParam));
            else DispatchMessageW(&msg);
        }
    }

    CPairs& pairs;
    bool handOff;
    std::vector<std::unique_ptr<CRawPortThread>> ports;
};

// The figures of one side at one N in one round.
struct CFigures {
    double unpacedMBs = 0, unpacedCpuPerMB = 0, unpacedHostPerMB = 0, unpacedServerPerMB = 0, deliveriesPerMB = 0,
           spread = 0, pacedMBs = 0, pacedCpuPerMB = 0, idlePerPortMs = 0,
           latencyMedian = 0, latencyP90 = 0, latencyMax = 0, sendMs = 0;
};

struct COptions {
    std::string module, results = "multiport_bench_results.txt";
    int rounds = 3;
    std::vector<int> counts = {1, 4, 16, 32};
    size_t kilobytes = 1024;
    DWORD pacedSeconds = 5, idleSeconds = 10;
    int samples = 20;
    std::string side = "both";  // or "control", "raw": one side alone, for profiling
};

class CMeasure {
public:
    CMeasure(CPairs& pairs, const COptions& options, unsigned long server)
        : pairs(pairs), options(options), server(server)
    {
    }

    // With `latencyOnly` only the unpaced stream and the quiet-port latency.
    CFigures Run(CSide& side, int n, bool latencyOnly = false)
    {
        CFigures f;
        if (!side.Open(n)) {
            printf("  opening %d ports failed\n", n);
            side.Close();
            return f;
        }
        side.Pass(200);
        pairs.DrainPeers(n);
        Stream(side, n, options.kilobytes << 10, f.unpacedMBs, f.unpacedCpuPerMB, &f, true);
        if (latencyOnly) {
            QuietLatency(side, n, f);
            side.Close();
            return f;
        }
        if (pairs.SetPacing(n, true)) {
            const size_t bytes = size_t(options.pacedSeconds) * kPacedBaud / 10;
            Stream(side, n, bytes, f.pacedMBs, f.pacedCpuPerMB, &f, false);
        }
        pairs.SetPacing(n, false);
        CCpuMeter idle(server);
        side.Pass(options.idleSeconds * 1000);
        idle.Stop();
        f.idlePerPortMs = (idle.host + idle.serverMs) / n;
        QuietLatency(side, n, f);
        f.sendMs = SendEverywhere(side, n);
        side.Close();
        pairs.DrainPeers(n);
        return f;
    }

private:
    // Every far end sends `bytes` at once; total MB/s and CPU per MB; for the unpaced run
    // also its split, the deliveries per MB and the finish spread (slowest port's time over
    // the fastest's).
    void Stream(CSide& side, int n, size_t bytes, double& mbs, double& cpuPerMB, CFigures* f, bool unpaced)
    {
        const unsigned long long deliveries = side.Deliveries();
        std::vector<std::unique_ptr<CPeerWriter>> writers;
        for (int i = 0; i < n; ++i) {
            side.Expect(i, bytes);
            writers.emplace_back(new CPeerWriter(pairs.Peer(i), bytes));
        }
        // Marks in a trace of the prefix (WINEDEBUG=+server,+debugstr) where the stream runs.
        if (unpaced) OutputDebugStringA("multiport_bench: unpaced stream begins\n");
        CCpuMeter meter(server);
        const double start = Now();
        for (auto& w : writers) w->Start();
        const bool done = side.AwaitAll(120000 + options.pacedSeconds * 3000);
        meter.Stop();
        if (unpaced) OutputDebugStringA("multiport_bench: unpaced stream ends\n");
        for (auto& w : writers) w->Join();
        if (!done) return;
        double first = 1e300, last = 0;
        for (int i = 0; i < n; ++i) {
            first = std::min(first, side.LastDataMs(i) - start);
            last = std::max(last, side.LastDataMs(i) - start);
        }
        const double mb = double(bytes) * n / 1048576.0;
        mbs = last > 0 ? mb / (last / 1000.0) : 0;
        cpuPerMB = (meter.host + meter.serverMs) / mb;
        if (!unpaced) return;
        f->spread = first > 0 ? last / first : 0;
        f->unpacedHostPerMB = meter.host / mb;
        f->unpacedServerPerMB = meter.serverMs / mb;
        f->deliveriesPerMB = double(side.Deliveries() - deliveries) / mb;
    }

    // One byte at a time on port 0 (read interval 1 ms) while every other port streams at
    // the wire's 115200 baud, as the devices of a rig do (unpaced, every port of the test bed
    // would run many times faster than any serial line).
    void QuietLatency(CSide& side, int n, CFigures& f)
    {
        pairs.SetPacing(n, true);
        std::vector<std::unique_ptr<CPeerWriter>> streams;
        for (int i = 1; i < n; ++i) streams.emplace_back(new CPeerWriter(pairs.Peer(i), CPeerWriter::kForever, 1024));
        for (auto& s : streams) s->Start();
        side.SetInterval(0, kQuietIntervalMs);
        std::vector<double> latencies;
        for (int i = 0; i <= options.samples; ++i) {
            side.Pass(5 + i % 7);
            side.Expect(0, 1);
            const BYTE one = 0x31;
            DWORD written = 0;
            const double start = Now();
            WriteFile(pairs.Peer(0), &one, 1, &written, nullptr);
            if (!side.AwaitOne(0, 5000)) break;
            // The first byte goes to a read issued before the interval changed.
            if (i) latencies.push_back(side.LastDataMs(0) - start);
        }
        for (auto& s : streams) s->Stop();
        pairs.SetPacing(n, false);  // what is still queued crosses at once
        for (auto& s : streams) s->Join();
        side.SetInterval(0, kIntervalMs);
        side.Pass(100);
        f.latencyMedian = Percentile(latencies, 0.5);
        f.latencyP90 = Percentile(latencies, 0.9);
        f.latencyMax = Percentile(latencies, 1.0);
    }

    // 64 KB on every port at once, until every peer has all of it; the same polling cadence
    // for both sides.
    double SendEverywhere(CSide& side, int n)
    {
        pairs.DrainPeers(n);
        std::vector<BYTE> data(kSendSize, 0x5A);
        std::vector<size_t> got(size_t(n), 0);
        const double start = Now();
        side.SendEverywhere(data.data(), kSendSize);
        for (const DWORD begin = GetTickCount(); GetTickCount() - begin < 60000;) {
            bool all = true;
            for (int i = 0; i < n; ++i) {
                got[size_t(i)] += ReadAvailable(pairs.Peer(i));
                all = all && got[size_t(i)] >= kSendSize;
            }
            if (all) return Now() - start;
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        }
        return 0;
    }

    CPairs& pairs;
    const COptions& options;
    unsigned long server;
};

// One figure at one N: a name, the per-round values of each side, and the target.
struct CRow {
    std::string name;
    double CFigures::*field;
    enum Target { kNone, kAtLeast, kAtMost, kPlusMs } target;
    double limit;
};

const CRow kRows[] = {
    {"received MB/s, unpaced, all ports", &CFigures::unpacedMBs, CRow::kAtLeast, 0.95},
    {"received MB/s, paced at 115200, all ports", &CFigures::pacedMBs, CRow::kAtLeast, 0.95},
    {"CPU ms per MB, unpaced (host + wineserver)", &CFigures::unpacedCpuPerMB, CRow::kAtMost, 1.1},
    {"  of which the host process", &CFigures::unpacedHostPerMB, CRow::kNone, 0},
    {"  of which wineserver", &CFigures::unpacedServerPerMB, CRow::kNone, 0},
    {"  notifications per MB (EVT_DATA; raw: reads)", &CFigures::deliveriesPerMB, CRow::kNone, 0},
    {"CPU ms per MB, paced at 115200", &CFigures::pacedCpuPerMB, CRow::kAtMost, 1.1},
    {"idle CPU ms per port per idle period", &CFigures::idlePerPortMs, CRow::kAtMost, 1.1},
    {"quiet-port latency ms, others at 115200, median", &CFigures::latencyMedian, CRow::kNone, 0},
    {"quiet-port latency ms, others at 115200, p90", &CFigures::latencyP90, CRow::kPlusMs, 2},
    {"quiet-port latency ms, others at 115200, max", &CFigures::latencyMax, CRow::kNone, 0},
    {"64 KB Send on every port, until every peer has it, ms", &CFigures::sendMs, CRow::kNone, 0},
    {"slowest port's finish / fastest's, unpaced", &CFigures::spread, CRow::kNone, 0},
};

struct CResults {
    std::map<int, std::vector<CFigures>> control, raw, handOff;
};

double MedianOf(const std::vector<CFigures>& rounds, double CFigures::*field)
{
    std::vector<double> values;
    for (const CFigures& f : rounds) values.push_back(f.*field);
    return Percentile(values, 0.5);
}

std::string Verdict(const CRow& row, double control, double raw)
{
    if (!raw || !control) return "";
    switch (row.target) {
    case CRow::kAtLeast: return control / raw >= row.limit ? "met" : "MISSED";
    case CRow::kAtMost: return control / raw <= row.limit ? "met" : "MISSED";
    case CRow::kPlusMs: return control <= raw + row.limit ? "met" : "MISSED";
    default: return "";
    }
}

std::string TargetText(const CRow& row)
{
    char text[32] = "";
    if (row.target == CRow::kAtLeast) snprintf(text, sizeof text, ">= %.2f", row.limit);
    if (row.target == CRow::kAtMost) snprintf(text, sizeof text, "<= %.2f", row.limit);
    if (row.target == CRow::kPlusMs) snprintf(text, sizeof text, "<= raw+%.0f", row.limit);
    return text;
}

void Report(FILE* out, const CResults& results, const COptions& options)
{
    for (int n : options.counts) {
        const auto& c = results.control.at(n);
        const auto& r = results.raw.at(n);
        fprintf(out, "N = %d, median of %zu rounds%-18s %10s %10s %8s  %-12s\n", n, c.size(), "", "control", "raw",
                "ctl/raw", "target");
        for (const CRow& row : kRows) {
            const double cv = MedianOf(c, row.field), rv = MedianOf(r, row.field);
            fprintf(out, "  %-55s %10.2f %10.2f %8.2f  %-12s %s\n", row.name.c_str(), cv, rv, rv ? cv / rv : 0,
                    TargetText(row).c_str(), Verdict(row, cv, rv).c_str());
        }
        const auto& h = results.handOff.at(n);
        fprintf(out, "  raw with each read handed to one thread by a posted message:\n");
        fprintf(out, "    %-53s %10s %10.2f %8.2f\n", "received MB/s, unpaced", "", MedianOf(h, &CFigures::unpacedMBs),
                MedianOf(c, &CFigures::unpacedMBs) / std::max(1e-9, MedianOf(h, &CFigures::unpacedMBs)));
        fprintf(out, "    %-53s %10s %10.2f %8.2f\n", "CPU ms per MB, unpaced", "", MedianOf(h, &CFigures::unpacedCpuPerMB),
                MedianOf(c, &CFigures::unpacedCpuPerMB) / std::max(1e-9, MedianOf(h, &CFigures::unpacedCpuPerMB)));
        fprintf(out, "    %-53s %10s %10.2f / %.2f / %.2f\n", "quiet-port latency ms, median / p90 / max", "",
                MedianOf(h, &CFigures::latencyMedian), MedianOf(h, &CFigures::latencyP90),
                MedianOf(h, &CFigures::latencyMax));
    }
    // Growth with N: a cost per port (or per MB) at N over the same at the smallest N; a
    // cost that grows no faster than N keeps these near 1.
    const int base = options.counts.front();
    fprintf(out, "growth against N = %d (per port or per MB, so 1.0 is linear growth)%-2s %10s %10s\n", base, "",
            "control", "raw");
    for (int n : options.counts) {
        if (n == base) continue;
        for (double CFigures::*field : {&CFigures::idlePerPortMs, &CFigures::unpacedCpuPerMB, &CFigures::pacedCpuPerMB}) {
            const char* name = field == &CFigures::idlePerPortMs    ? "idle CPU per port"
                               : field == &CFigures::unpacedCpuPerMB ? "CPU per MB, unpaced"
                                                                      : "CPU per MB, paced";
            const double c0 = MedianOf(results.control.at(base), field), r0 = MedianOf(results.raw.at(base), field);
            const double cn = MedianOf(results.control.at(n), field), rn = MedianOf(results.raw.at(n), field);
            fprintf(out, "  N = %-3d %-58s %10.2f %10.2f\n", n, name, c0 ? cn / c0 : 0, r0 ? rn / r0 : 0);
        }
    }
}

void PrintRound(int round, int n, const CFigures& c, const CFigures& r, const CFigures& h)
{
    for (const CRow& row : kRows)
        printf("  round %d N=%-2d %-55s control %9.2f  raw %9.2f\n", round, n, row.name.c_str(), c.*row.field,
               r.*row.field);
    printf("  round %d N=%-2d raw with a hand-off: unpaced %.2f MB/s, %.2f CPU ms/MB; quiet-port latency med %.2f  "
           "p90 %.2f  max %.2f\n", round, n, h.unpacedMBs, h.unpacedCpuPerMB, h.latencyMedian, h.latencyP90,
           h.latencyMax);
}

std::string LoadAverage()
{
    std::string text = ReadUnixFile("/proc/loadavg");
    return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

bool ParseCounts(const std::string& text, std::vector<int>& counts)
{
    counts.clear();
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        const int n = atoi(item.c_str());
        if (n < 1 || n > 40) return false;
        counts.push_back(n);
    }
    std::sort(counts.begin(), counts.end());
    return !counts.empty();
}

bool ParseOptions(int argc, char** argv, COptions& options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i], value = argv[i + 1];
        if (name == "--module") options.module = value;
        else if (name == "--rounds") options.rounds = std::max(1, atoi(value.c_str()));
        else if (name == "--ports") { if (!ParseCounts(value, options.counts)) return false; }
        else if (name == "--kilobytes") options.kilobytes = size_t(std::max(1, atoi(value.c_str())));
        else if (name == "--paced-seconds") options.pacedSeconds = DWORD(std::max(1, atoi(value.c_str())));
        else if (name == "--idle-seconds") options.idleSeconds = DWORD(std::max(1, atoi(value.c_str())));
        else if (name == "--samples") options.samples = std::max(1, atoi(value.c_str()));
        else if (name == "--results") options.results = value;
        else if (name == "--side" && (value == "both" || value == "control" || value == "raw")) options.side = value;
        else return false;
    }
    return argc % 2 == 1;
}

int RunBench(const COptions& options)
{
    const int most = options.counts.back();
    CPairs pairs(most);
    if (!pairs.Lease()) {
        printf("cannot lease %d virtual null-modem pairs: run this through tools/wine/wine-run.sh (the test bed "
               "has 40; tests running beside this hold some)\n", most);
        return 2;
    }
    CLoadedModule module;
    CControlSide controls(module, options.module, pairs, most);
    if (!controls.Created(most)) return 2;
    CRawSide raw(pairs, false), rawHandOff(pairs, true);
    const unsigned long server = FindWineserver();
    if (server) printf("wineserver: pid %lu\n", server);
    else printf("wineserver not found: its CPU is counted as 0\n");
    const std::string loadBefore = LoadAverage();
    printf("load average at the start: %s\n", loadBefore.c_str());
    CMeasure measure(pairs, options, server);
    CResults results;
    for (int round = 1; round <= options.rounds; ++round) {
        for (int n : options.counts) {
            // Alternate which side goes first, so that drift on the machine is shared fairly.
            CFigures c, r, h;
            const bool both = options.side == "both";
            if (options.side == "control") c = measure.Run(controls, n);
            else if (options.side == "raw") r = measure.Run(raw, n);
            else if ((round + n) % 2) c = measure.Run(controls, n), r = measure.Run(raw, n);
            else r = measure.Run(raw, n), c = measure.Run(controls, n);
            if (both) h = measure.Run(rawHandOff, n, true);
            results.control[n].push_back(c);
            results.raw[n].push_back(r);
            results.handOff[n].push_back(h);
            PrintRound(round, n, c, r, h);
        }
    }
    const std::string loadAfter = LoadAverage();
    Report(stdout, results, options);
    printf("load average at the start %s, at the end %s\n", loadBefore.c_str(), loadAfter.c_str());
    FILE* file = fopen(options.results.c_str(), "w");
    if (file) {
        fprintf(file,
                "multiport_bench, %s, %d rounds, %zu KB per port unpaced, %lu s paced at 115200, idle %lu s, %d latency "
                "samples; load average %s at the start, %s at the end\n",
                sizeof(void*) == 8 ? "x64" : "x86", options.rounds, options.kilobytes,
                static_cast<unsigned long>(options.pacedSeconds), static_cast<unsigned long>(options.idleSeconds),
                options.samples, loadBefore.c_str(), loadAfter.c_str());
        Report(file, results, options);
        fclose(file);
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
        printf("usage: multiport_bench [--module PATH] [--rounds N] [--ports 1,4,16,32] [--kilobytes N]\n"
               "                       [--paced-seconds N] [--idle-seconds N] [--samples N] [--results FILE]\n"
               "                       [--side both|control|raw]\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    const int result = RunBench(options);
    CoUninitialize();
    return result;
}

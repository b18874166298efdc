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
#include "bench/bench_support.h"
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

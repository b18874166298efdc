// tarvel_soak: the control driven through its COM interface by a host of our own on two
// virtual null-modem pairs, with exact accounting of every byte in both directions.
//
//   tarvel_soak [--module PATH] [--seconds N] [--seed N] [--controls N]
//               [--connect-cycles N] [--unplug-cycles N] [--ports A1,B1,A2,B2]
//
// Without --module the control is created by its registered ProgID. With --seconds it runs
// random traffic both ways in every DataMode with handlers that are sometimes slow, large
// Sends with the peer sometimes quiet meanwhile, a random RecvIntervalTimeout per connection,
// and mixes in Connected toggles, Port and DataMode changes, hang-ups, unplug/replug and drivers
// that cancel waits, end reads empty, stop taking bytes or abort after line errors. The cycle
// options first run that many connect/disconnect and unplug/replug cycles with traffic and
// print the longest close. With --ports the two pairs are COM ports given by number (a tty
// pair each, both ends mapped in the prefix) instead of leased test-bed pairs: there are no
// hang-ups and no unplugs then, and no unplug cycles. Exit code 0: every byte accounted for, no unexpected disconnect,
// With --controls N (N > 1) the random run drives N controls in one
// host on a shared pool of N + 2 pairs: Port changes move a control to a pair no other control
// holds, and controls are destroyed (now and then with bytes in flight) and created again
// while the others run. Exit code 0: every byte accounted for, no unexpected disconnect,
// no leak of handles or threads; 1: a fault (the reason is printed); 3: no progress for a
// minute (a hang); 2: bad arguments or no test bed.
#include "bench/soak/soak_host.h"
#include "common/win_raii.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

namespace {

struct COptions {
    std::string module;
    DWORD seconds = 0;
    unsigned seed = 0;
    int connectCycles = 0;
    int unplugCycles = 0;
    int ports[4] = {0, 0, 0, 0};  // --ports: A and B of two pairs outside the test bed
    int controls = 1;
};

// One pair: the control opens A, the peer B. Leased from the test bed, which can also hang it
// up or unplug it, or given by number.
struct CSoakPair {
    CNullModemPair bed;
    int a = 0, b = 0;
    int PortA() const { return a; }
    int PortB() const { return b; }
};

class CSoakFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A hang is a run that stops making progress: the watchdog ends the process then.
volatile LONG lastProgress = 0;

void NoteProgress() { InterlockedExchange(&lastProgress, LONG(GetTickCount())); }

// What the host was doing last, so that a hang says where it stuck.
const char* volatile lastActivity = "starting";

void Doing(const char* what) { lastActivity = what; }

DWORD WINAPI WatchForHang(void*)
{
    for (;;) {
        Sleep(1000);
        if (GetTickCount() - DWORD(lastProgress) > 60000) {
            printf("FAULT: no progress for 60 s: the host is stuck (last: %s)\n", lastActivity);
            fflush(stdout);
            ExitProcess(3);
        }
    }
}

// The program at the other end of a pair: plain Win32 calls, reads that return at once.
class CPeer {
public:
    static const DWORD kWriteGiveUpMs = 20;

    bool Open(int com)
    {
        if (!port.Open(com)) return false;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(port.Get(), &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        // Writes give up after a moment: see WriteSome.
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, kWriteGiveUpMs};
        return SetCommState(port.Get(), &dcb) && SetCommTimeouts(port.Get(), &timeouts);
    }
    // Writes what the port takes within a moment; false on an error other than the time-out.
    // A write that waits for good would deadlock the host: a socat bridge carries both ways in
    // one process, so while the host's bytes wait for this peer to read, socat stops taking
    // the peer's bytes too, and the peer reads only between writes.
    bool WriteSome(const BYTE* data, size_t size, DWORD& written)
    {
        written = 0;
        if (WriteFile(port.Get(), data, DWORD(size), &written, nullptr)) return true;
        const DWORD error = GetLastError();
        return error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT;
    }
    // Appends whatever has arrived; the count read.
    size_t ReadInto(CBytes& into)
    {
        size_t total = 0;
        for (;;) {
            BYTE buffer[8192];
            DWORD got = 0;
            if (!ReadFile(port.Get(), buffer, sizeof buffer, &got, nullptr) || !got) return total;
            into.insert(into.end(), buffer, buffer + got);
            total += got;
        }
    }

private:
    CComPort port;
};

bool IsPrefix(const CBytes& part, const CBytes& whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

size_t FirstDifference(const CBytes& a, const CBytes& b)
{
    const size_t n = std::min(a.size(), b.size());
    return size_t(std::mismatch(a.begin(), a.begin() + n, b.begin()).first - a.begin());
}

struct CTotals {
    unsigned long long toPeer = 0, fromPeer = 0;
    long connections = 0, toggles = 0, abruptCloses = 0, portChanges = 0, modeChanges = 0, hangUps = 0,
         unplugs = 0, sends = 0, largeSends = 0, quirks = 0;
    double longestCloseMs = 0;

    CTotals& operator+=(const CTotals& o)
    {
        toPeer += o.toPeer, fromPeer += o.fromPeer, connections += o.connections, toggles += o.toggles;
        abruptCloses += o.abruptCloses, portChanges += o.portChanges, modeChanges += o.modeChanges;
        hangUps += o.hangUps, unplugs += o.unplugs, sends += o.sends, largeSends += o.largeSends, quirks += o.quirks;
        longestCloseMs = std::max(longestCloseMs, o.longestCloseMs);
        return *this;
    }
};

// The leased pairs with a peer on each B end, and which control (by slot) holds each pair.
// A pair nobody holds must stay silent at its peer.
class CPortPool {
public:
    explicit CPortPool(size_t count) : pairs(count), peers(count), owners(count, -1), peerWritten(count, 0) {}
    // Leases every pair from the test bed, or takes A and B of each from `ports` (given by
    // number, outside the test bed), and opens a peer on each B end.
    bool Lease(const int* ports = nullptr)
    {
        for (size_t i = 0; i < pairs.size(); ++i) {
            CSoakPair& pair = pairs[i];
            if (ports) {
                pair.a = ports[2 * i];
                pair.b = ports[2 * i + 1];
            } else if (pair.bed.Lease()) {
                pair.a = pair.bed.PortA();
                pair.b = pair.bed.PortB();
            } else {
                return false;
            }
            if (!peers[i].Open(pair.PortB())) return false;
        }
        return true;
    }
    size_t Size() const { return pairs.size(); }
    CSoakPair& Pair(int index) { return pairs[size_t(index)]; }
    CPeer& Peer(int index) { return peers[size_t(index)]; }
    int Owner(int index) const { return owners[size_t(index)]; }
    void SetOwner(int index, int slot) { owners[size_t(index)] = slot; }
    // Bytes the peer of a pair wrote since the lease, whoever held the pair.
    unsigned long long PeerWritten(int index) const { return peerWritten[size_t(index)]; }
    void NotePeerWrote(int index, size_t count) { peerWritten[size_t(index)] += count; }
    // A pair no control holds, chosen at random; -1 when every pair is held.
    int PickFree(std::mt19937& random) const
    {
        std::vector<int> free;
        for (size_t i = 0; i < owners.size(); ++i)
            if (owners[i] < 0) free.push_back(int(i));
        return free.empty() ? -1 : free[random() % free.size()];
    }
    // The index of the first free pair whose peer received something, or -1.
    int FindStrayBytes()
    {
        for (size_t i = 0; i < owners.size(); ++i) {
            CBytes stray;
            if (owners[i] < 0 && peers[i].ReadInto(stray)) return int(i);
        }
        return -1;
    }

private:
    std::vector<CSoakPair> pairs;
    std::vector<CPeer> peers;
    std::vector<int> owners;
    std::vector<unsigned long long> peerWritten;
};

double MsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart - start.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

// One control, its sink, the pair it holds in the pool, and the ledger of the current
// connection: what went in at each side and what came out at the other.
class CSoakRun {
public:
    CSoakRun(IDispatch* control, CSoakSink& sink, CPortPool& pool, int slot, int pair, unsigned seed)
        : control(control), sink(sink), pool(pool), slot(slot), random(seed), current(pair)
    {
        pool.SetOwner(current, slot);
    }
    ~CSoakRun() { pool.SetOwner(current, -1); }
    CSoakRun(const CSoakRun&) = delete;
    CSoakRun& operator=(const CSoakRun&) = delete;

    void Connect()
    {
        if (!OnTestBed()) DiscardStaleInput();
        ClearLedger();
        const long connects = sink.counts[EVT_CONNECT];
        // Writing Port while the host wants the port open reopens it: only the first time.
        Doing("opening the port (Port, RecvIntervalTimeout, Connected = True)");
        if (GetLongProperty(control, L"Port") != pool.Pair(current).PortA())
            Check(SUCCEEDED(PutProperty(control, L"Port", CVariant(long(pool.Pair(current).PortA())))), "Port refused");
        static const long kIntervals[] = {1, 5, 30, 100};
        PutProperty(control, L"RecvIntervalTimeout", CVariant(kIntervals[random() % 4]));
        PutProperty(control, L"Connected", CVariant(true));
        if (!GetBoolProperty(control, L"Connected"))
            Fail("Connected = True failed on COM" + std::to_string(pool.Pair(current).PortA()) + ", Error " +
                 std::to_string(GetLongProperty(control, L"Error")));
        Await([&] { return sink.counts[EVT_CONNECT] > connects; }, "EVT_CONNECT");
        ++totals.connections;
        connected = true;
    }

    // Host-side close with everything delivered first: both directions must match exactly.
    void CloseDrained()
    {
        Drain();
        CloseAndMeasure();
        FinishConnection(true);
    }

    // Host-side close with bytes in flight: whatever arrived must be a prefix of what was sent.
    void CloseAbruptly()
    {
        CloseAndMeasure();
        FinishConnection(false);
        ++totals.abruptCloses;
    }

    void HangUp()
    {
        const long disconnects = sink.counts[EVT_DISCONNECT];
        Check(pool.Pair(current).bed.HangUp(CNullModemPair::A), "HANGUP refused by the test bed");
        AwaitDisconnect(disconnects, "EVT_DISCONNECT after a hang-up");
        FinishConnection(false);
        ++totals.hangUps;
    }

    // Unplug: the open connection ends; opening fails until the device returns. The time
    // from the unplug to EVT_DISCONNECT, in ms.
    double UnplugAndReplug()
    {
        long disconnects = sink.counts[EVT_DISCONNECT];
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        Check(pool.Pair(current).bed.Unplug(CNullModemPair::A), "UNPLUG refused by the test bed");
        double removalMs = 0;
        if (connected) {
            AwaitDisconnect(disconnects, "EVT_DISCONNECT after unplugging");
            removalMs = MsSince(start);
            FinishConnection(false);
        }
        disconnects = sink.counts[EVT_DISCONNECT];
        PutProperty(control, L"Connected", CVariant(true));
        Check(!GetBoolProperty(control, L"Connected"), "an unplugged port opened");
        Check(GetLongProperty(control, L"Error") == 219, "opening an unplugged port did not set Error 219");
        Await([&] { return sink.counts[EVT_DISCONNECT] > disconnects; }, "EVT_DISCONNECT of a failed open");
        expectedDisconnects = sink.counts[EVT_DISCONNECT];
        Check(pool.Pair(current).bed.Replug(CNullModemPair::A), "REPLUG refused by the test bed");
        ++totals.unplugs;
        return removalMs;
    }

    // Moves to a pair no other control holds (none free: nothing happens).
    void ChangePort()
    {
        const int next = pool.PickFree(random);
        if (next < 0) return;
        Drain();
        const long disconnects = sink.counts[EVT_DISCONNECT];
        const long connects = sink.counts[EVT_CONNECT];
        pool.SetOwner(next, slot);
        Doing("moving to another port (Port written while connected)");
        PutProperty(control, L"Port", CVariant(long(pool.Pair(next).PortA())));
        AwaitDisconnect(disconnects, "EVT_DISCONNECT of the old port", true);
        FinishConnection(true);
        pool.SetOwner(current, -1);
        current = next;
        ClearLedger();
        Check(GetBoolProperty(control, L"Connected"), "the new port did not open");
        Await([&] { return sink.counts[EVT_CONNECT] > connects; }, "EVT_CONNECT of the new port");
        connected = true;
        ++totals.portChanges;
        ++totals.connections;
    }

    void ChangeDataMode()
    {
        Doing("writing DataMode");
        PutProperty(control, L"DataMode", CVariant(long(random() % 3)));
        ++totals.modeChanges;
    }

    void PeerWrites(size_t count)
    {
        CBytes bytes(count);
        // No zero bytes: text mode would replace them with NullSubst.
        for (BYTE& b : bytes) b = BYTE(1 + random() % 255);
        Doing("the peer writing");
        // Between parts the peer reads and the host pumps, as two programs would run side by side.
        for (size_t done = 0; done < count;) {
            DWORD written = 0;
            // The error is read only after the write: arguments of one call run in no set order.
            if (!pool.Peer(current).WriteSome(bytes.data() + done, count - done, written))
                Fail("the peer's write failed, error " + std::to_string(GetLastError()));
            done += written;
            if (written) NoteProgress();
            if (done < count) {
                ReadPeers();
                PumpFor(1);
            }
        }
        pool.NotePeerWrote(current, count);
        rxSent.insert(rxSent.end(), bytes.begin(), bytes.end());
        totals.fromPeer += count;
    }

    void HostSends(size_t count)
    {
        CBytes bytes(count);
        CVariant argument;
        switch (random() % 4) {
        case 0: argument = ByteArray(bytes); break;
        case 1: argument = Text(bytes); break;
        case 2: argument = ScriptArray(bytes); break;
        default:
            bytes.assign(1, BYTE(random()));
            V_VT(&argument) = VT_I4;
            V_I4(&argument) = 0x1200 | bytes[0];  // only the low byte goes out
            break;
        }
        Doing("Send");
        const long result = CallSend(control, argument);
        Check(result == 0, "Send returned " + std::to_string(result));
        txSent.insert(txSent.end(), bytes.begin(), bytes.end());
        totals.toPeer += bytes.size();
        ++totals.sends;
    }

    void LargeSend()
    {
        static const size_t kSizes[] = {16 * 1024, 64 * 1024, 256 * 1024, 1024 * 1024};
        CBytes bytes(kSizes[random() % 4]);
        Doing("Send of a large byte array");
        const long result = CallSend(control, ByteArray(bytes));
        Check(result == 0, "Send of a large byte array returned " + std::to_string(result));
        txSent.insert(txSent.end(), bytes.begin(), bytes.end());
        totals.toPeer += bytes.size();
        ++totals.largeSends;
        // A peer that only listens while a file goes out: no read completes with data then,
        // which is when a driver may end reads with a time-out status.
        if (random() % 2) {
            const DWORD quietMs = 50 + random() % 400;
            for (const DWORD start = GetTickCount(); GetTickCount() - start < quietMs;) Tick(5);
        }
    }

    // For a while the port's driver behaves as some real ones do (test-bed personalities):
    // waits cancelled, reads ending at once with nothing, a peer that stops taking bytes, or
    // requests aborted after a line error until it is cleared. Traffic goes on both ways;
    // the connection and every byte must survive it, which the ticks and the next drain check.
    void DriverQuirk()
    {
        static const unsigned kQuirks[] = {CNullModemPair::WaitAborts, CNullModemPair::EmptyReads,
                                           CNullModemPair::StalledWrites, CNullModemPair::AbortOnError};
        CNullModemPair& pair = pool.Pair(current).bed;
        const unsigned quirk = kQuirks[random() % 4];
        Check(pair.SetPersonality(CNullModemPair::A, quirk), "PERSONALITY refused by the test bed");
        if (quirk == CNullModemPair::AbortOnError)
            Check(pair.InjectError(CNullModemPair::A, CNullModemPair::LineError::Frame), "ERROR refused by the test bed");
        PeerWrites(1 + random() % 2000);
        HostSends(1 + random() % 2000);
        for (const DWORD start = GetTickCount(), lasting = 100 + random() % 400; GetTickCount() - start < lasting;)
            Tick(5);
        Check(pair.SetPersonality(CNullModemPair::A, CNullModemPair::PerfectUart), "PERSONALITY refused by the test bed");
        ++totals.quirks;
    }

    // Pumps and reads both peers; an EVT_DISCONNECT nobody caused is the fault this hunts.
    void Tick(DWORD ms)
    {
        Doing("pumping messages (CommEvent handlers)");
        PumpFor(ms);
        Doing("reading the peers");
        ReadPeers();
        Check(sink.counts[EVT_DISCONNECT] == expectedDisconnects,
              "EVT_DISCONNECT without a cause (COM" + std::to_string(pool.Pair(current).PortA()) + ", Connected " +
                  std::to_string(GetBoolProperty(control, L"Connected")) + ", Error " +
                  std::to_string(GetLongProperty(control, L"Error")) + ", " + std::to_string(txAtPeer.size()) + " of " +
                  std::to_string(txSent.size()) + " bytes at the peer, " + std::to_string(sink.received.size()) +
                  " of " + std::to_string(rxSent.size()) + " at the host)");
        Check(!sink.badEvents, "CommEvent with a wrong argument count, kind or data");
        Check(!sink.nestedEvents, "CommEvent raised inside another handler");
        Check(sink.received.size() <= rxSent.size() && IsPrefix(sink.received, rxSent),
              "received bytes differ from what the peer sent (" + std::to_string(sink.received.size()) + " received of " +
                  std::to_string(rxSent.size()) + " sent, first difference at " +
                  std::to_string(FirstDifference(sink.received, rxSent)) + ")");
        Check(IsPrefix(txAtPeer, txSent), "the peer got bytes other than those sent (at " +
                                              std::to_string(FirstDifference(txAtPeer, txSent)) + ")");
        NoteProgress();
    }

    void Drain()
    {
        Await([&] {
            ReadPeers();
            return sink.received.size() >= rxSent.size() && txAtPeer.size() >= txSent.size();
        }, "every byte to arrive", 60000);
        Tick(0);
    }

    // The host released the control (its events unadvised first), connected or not: what
    // reached either side is a prefix of what was sent.
    void ControlReleased()
    {
        connected = false;
        control = nullptr;  // gone: nothing below may ask it anything
        AwaitWireQuiet();
        const std::string port = " after COM" + std::to_string(pool.Pair(current).PortA()) + "'s control was released";
        Check(IsPrefix(sink.received, rxSent), "received bytes differ from what the peer sent" + port);
        Check(IsPrefix(txAtPeer, txSent), "the peer got bytes other than those sent" + port);
        ClearLedger();
        NoteProgress();
    }

    std::mt19937& Random() { return random; }
    bool OnTestBed() { return pool.Pair(0).bed.IsLeased(); }
    bool IsConnected() const { return connected; }
    int Current() const { return current; }
    const CTotals& Totals() const { return totals; }
    double LastCloseMs() const { return lastCloseMs; }

private:
    // A Windows driver, and the test bed, start every open with empty queues; a pty keeps
    // what arrived after the last close (bytes the peer had sent when the host closed with
    // bytes in flight), which would then count as the new connection's. Read it away first.
    void DiscardStaleInput()
    {
        Doing("clearing stale input of the port");
        CComPort port;
        if (!port.Open(pool.Pair(current).PortA())) Fail("cannot open COM" + std::to_string(pool.Pair(current).PortA()) +
                                                     " to clear it, error " + std::to_string(port.LastError()));
        while (!port.Read(65536, 50).empty()) NoteProgress();
    }

    void ClearLedger()
    {
        txSent.clear();
        txAtPeer.clear();
        rxSent.clear();
        sink.received.clear();
    }

    void CloseAndMeasure()
    {
        const long disconnects = sink.counts[EVT_DISCONNECT];
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        Doing("closing the port (Connected = False)");
        PutProperty(control, L"Connected", CVariant(false));
        lastCloseMs = MsSince(start);
        totals.longestCloseMs = std::max(totals.longestCloseMs, lastCloseMs);
        Check(!GetBoolProperty(control, L"Connected"), "Connected still reads True after closing");
        AwaitDisconnect(disconnects, "EVT_DISCONNECT after Connected = False");
        ++totals.toggles;
    }

    // A port change leaves the control connected to the new port.
    void AwaitDisconnect(long before, const char* what, bool reopened = false)
    {
        Await([&] { return sink.counts[EVT_DISCONNECT] > before; }, what);
        Check(sink.counts[EVT_DISCONNECT] == before + 1, std::string("more than one ") + what);
        Check(reopened || !GetBoolProperty(control, L"Connected"), std::string("Connected reads True after the ") + what);
        expectedDisconnects = sink.counts[EVT_DISCONNECT];
        connected = false;
    }

    // After the port closed, bytes written before the close are still crossing both ways, and
    // on a busy machine the test bed can take longer to move them than any quiet spell. What
    // arrived after the next open would count as the new connection's. On the test bed: wait
    // until it has seen the port closed and nothing either side wrote is still on its way
    // (an open drops what the port's queue held), reading the peer meanwhile so that its
    // queue never holds the wire up; then until the peer has been quiet for a while.
    void AwaitWireQuiet()
    {
        if (OnTestBed()) {
            CNullModemPair& bed = pool.Pair(current).bed;
            Await([&] {
                ReadPeers();
                unsigned long long takenAToB = 0, takenBToA = 0, crossingAToB = 1, crossingBToA = 1;
                bool open = true;
                return bed.IsEndOpen(CNullModemPair::A, open) && !open &&
                       bed.BytesOnWire(takenAToB, takenBToA) && takenBToA >= pool.PeerWritten(current) &&
                       bed.BytesCrossing(crossingAToB, crossingBToA) && !crossingAToB && !crossingBToA;
            }, "the wire to be quiet after the close");
        }
        for (int quiet = 0; quiet < 5;) {
            PumpFor(10);
            quiet = ReadPeers() ? 0 : quiet + 1;
        }
    }

    // After the port closed: what the peer still gets was written before the close. Wait
    // until the wire is quiet, then settle the books of the connection.
    void FinishConnection(bool exact)
    {
        AwaitWireQuiet();
        const std::string port = " (COM" + std::to_string(pool.Pair(current).PortA()) + ")";
        if (exact) {
            Check(txAtPeer == txSent, "the peer got " + std::to_string(txAtPeer.size()) + " of " +
                                          std::to_string(txSent.size()) + " bytes sent before a drained close" + port);
            Check(sink.received == rxSent, "the host got " + std::to_string(sink.received.size()) + " of " +
                                               std::to_string(rxSent.size()) + " bytes before a drained close" + port);
        }
        Tick(0);
        ClearLedger();
    }

    // Reads this control's peer into the ledger; bytes at the peer of a pair no control holds
    // are a fault.
    size_t ReadPeers()
    {
        const size_t got = pool.Peer(current).ReadInto(txAtPeer);
        const int stray = pool.FindStrayBytes();
        Check(stray < 0, "bytes arrived at the peer of COM" + std::to_string(stray < 0 ? 0 : pool.Pair(stray).PortA()) +
                             ", which no control holds");
        return got;
    }

    template <class Done>
    void Await(Done done, const std::string& what, DWORD timeoutMs = 10000)
    {
        if (!PumpUntil([&] { NoteProgress(); return done(); }, timeoutMs))
            Fail("no " + what + " within " + std::to_string(timeoutMs / 1000) + " s");
    }

    void Check(bool ok, const std::string& what)
    {
        if (!ok) Fail(what);
    }
    [[noreturn]] void Fail(const std::string& what) { throw CSoakFault(what); }

    // Printable ASCII and control characters: one byte per character in any ANSI code page.
    CVariant Text(CBytes& bytes)
    {
        std::wstring text(bytes.size(), L' ');
        for (size_t i = 0; i < bytes.size(); ++i) text[i] = wchar_t(bytes[i] = BYTE(1 + random() % 127));
        return CVariant(CBstr(text.c_str(), UINT(text.size())));
    }

    CVariant ByteArray(CBytes& bytes)
    {
        CSafeArray array = CSafeArray::CreateVector(VT_UI1, ULONG(bytes.size()));
        {
            CSafeArrayLock lock(array.Get());
            for (size_t i = 0; i < bytes.size(); ++i)
                lock.As<BYTE>()[i] = bytes[i] = BYTE(random());
        }
        CVariant argument;
        V_VT(&argument) = VT_ARRAY | VT_UI1;
        V_ARRAY(&argument) = array.Detach();
        return argument;
    }

    // What a VBScript Array(...) of integers looks like.
    CVariant ScriptArray(CBytes& bytes)
    {
        CSafeArray array = CSafeArray::CreateVector(VT_VARIANT, ULONG(bytes.size()));
        {
            CSafeArrayLock lock(array.Get());
            for (size_t i = 0; i < bytes.size(); ++i) {
                V_VT(&lock.As<VARIANT>()[i]) = VT_I2;
                V_I2(&lock.As<VARIANT>()[i]) = short(bytes[i] = BYTE(random()));
            }
        }
        CVariant argument;
        V_VT(&argument) = VT_ARRAY | VT_VARIANT;
        V_ARRAY(&argument) = array.Detach();
        return argument;
    }

    IDispatch* control;
    CSoakSink& sink;
    CPortPool& pool;
    int slot;
    std::mt19937 random;
    int current;
    bool connected = false;
    long expectedDisconnects = 0;
    CBytes txSent, txAtPeer, rxSent;  // host -> peer, and peer -> host (the sink keeps what arrived)
    CTotals totals;
    double lastCloseMs = 0;
};

void RandomStep(CSoakRun& run, CSoakSink& sink)
{
    std::mt19937& random = run.Random();
    const unsigned roll = random() % 1000;
    if (roll < 300) run.PeerWrites(1 + (random() % 10 ? random() % 2000 : random() % 40000));
    else if (roll < 580) run.HostSends(1 + random() % 3000);
    else if (roll < 590) run.LargeSend();
    else if (roll < 610) run.ChangeDataMode();
    else if (roll < 625) {
        sink.slowPercent = random() % 2 ? 0 : 10 + int(random() % 50);
        sink.slowMs = 1 + random() % 40;
    } else if (roll < 640) {
        run.CloseDrained();
        run.Connect();
    } else if (roll < 650) {
        run.CloseAbruptly();
        run.Connect();
    } else if (roll < 658) {
        run.ChangePort();
    } else if (roll < 668 && !run.OnTestBed()) {
        // No hang-up or unplug outside the test bed: a host close and reopen instead.
        run.CloseAbruptly();
        run.Connect();
    } else if (roll < 664) {
        run.HangUp();
        run.Connect();
    } else if (roll < 668) {
        run.UnplugAndReplug();
        run.Connect();
    } else if (roll < 680 && run.OnTestBed()) {
        run.DriverQuirk();
    }
    run.Tick(1 + random() % 8);
}

// Events seen by one sink, or summed over several.
struct CEventTotals {
    unsigned long long events = 0;
    long counts[4] = {0, 0, 0, 0};

    void Add(const CSoakSink& sink)
    {
        events += sink.events;
        for (int i = 0; i < 4; ++i) counts[i] += sink.counts[i];
    }
};

void PrintTotals(const CTotals& t, const CEventTotals& e)
{
    printf("bytes moved: %llu host -> peer, %llu peer -> host\n", t.toPeer, t.fromPeer);
    printf("events: %llu (EVT_CONNECT %ld, EVT_DATA %ld, EVT_SERIALEVENT %ld, EVT_DISCONNECT %ld)\n", e.events,
           e.counts[EVT_CONNECT], e.counts[EVT_DATA], e.counts[EVT_SERIALEVENT], e.counts[EVT_DISCONNECT]);
    printf("cycles: %ld connections, %ld host closes (%ld with bytes in flight), %ld port changes, %ld DataMode "
           "changes, %ld hang-ups, %ld unplug/replug; %ld Sends (%ld of 16 KB to 1 MB)\n",
           t.connections, t.toggles, t.abruptCloses, t.portChanges, t.modeChanges, t.hangUps, t.unplugs, t.sends,
           t.largeSends);
    printf("driver quirks mixed in: %ld\n", t.quirks);
    printf("longest Connected = False: %.1f ms\n", t.longestCloseMs);
}

double Median(std::vector<double> values)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void RunConnectCycles(CSoakRun& run, int cycles)
{
    std::vector<double> closes;
    for (int i = 0; i < cycles; ++i) {
        run.Connect();
        run.PeerWrites(1 + run.Random()() % 500);
        run.HostSends(1 + run.Random()() % 500);
        run.CloseDrained();
        closes.push_back(run.LastCloseMs());
    }
    printf("%d connect/disconnect cycles: Connected = False median %.2f ms, longest %.2f ms\n", cycles,
           Median(closes), closes.empty() ? 0 : *std::max_element(closes.begin(), closes.end()));
}

void RunUnplugCycles(CSoakRun& run, int cycles)
{
    std::vector<double> removals;
    for (int i = 0; i < cycles; ++i) {
        run.Connect();
        run.PeerWrites(1 + run.Random()() % 2000);
        run.HostSends(1 + run.Random()() % 2000);
        run.Tick(run.Random()() % 5);
        removals.push_back(run.UnplugAndReplug());
    }
    printf("%d unplug/replug cycles: unplug to EVT_DISCONNECT median %.2f ms, longest %.2f ms\n", cycles, Median(removals), removals.empty() ? 0 : *std::max_element(removals.begin(), removals.end()));
}

bool ParseOptions(int argc, char** argv, COptions& options)
{
    options.seed = GetTickCount();
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (name == "--module") options.module = value;
        else if (name == "--seconds") options.seconds = DWORD(strtoul(value, nullptr, 10));
        else if (name == "--seed") options.seed = unsigned(strtoul(value, nullptr, 10));
        else if (name == "--connect-cycles") options.connectCycles = atoi(value);
        else if (name == "--unplug-cycles") options.unplugCycles = atoi(value);
        else if (name == "--ports") {
            if (sscanf(value, "%d,%d,%d,%d", &options.ports[0], &options.ports[1], &options.ports[2], &options.ports[3]) != 4)
                return false;
        } else if (name == "--controls") options.controls = atoi(value);
        else return false;
    }
    if (options.ports[0] && options.unplugCycles) return false;  // unplugging needs the test bed
    // Many controls run the random soak only, on the test bed; the pool stays within its 40 pairs.
    if (options.controls < 1 || options.controls > 38) return false;
    if (options.controls > 1 && (options.connectCycles || options.unplugCycles || !options.seconds || options.ports[0]))
        return false;
    return options.seconds || options.connectCycles || options.unplugCycles;
}

// Handles and threads at the end against the start, both taken with the port closed.
bool CheckFlat(const CProcessFigures& start, const CProcessFigures& end)
{
    printf("start: %s\nend:   %s\n", FormatFigures(start).c_str(), FormatFigures(end).c_str());
    const bool flat = end.handles <= start.handles + 16 && end.threads <= start.threads + 1;
    if (!flat) printf("FAULT: handles or threads grew\n");
    return flat;
}

int RunOneControl(const COptions& options)
{
    CPortPool pool(2);
    if (!pool.Lease(options.ports[0] ? options.ports : nullptr)) {
        printf("no virtual null-modem pair, or a peer's port cannot be opened: run this through tools/wine/wine-run.sh\n");
        return 2;
    }
    CLoadedModule module;
    CComRef<IDispatch> control = CreateControl(module, options.module);
    if (!control) return 2;
    CComRef<CSoakSink> sink = CComRef<CSoakSink>::Adopt(new CSoakSink);
    CCommEventLink link(control.Get(), sink.Get());
    if (!link.Connected()) {
        printf("cannot connect a sink to CommEvent\n");
        return 2;
    }
    printf("seed %u, COM%d and COM%d, peers on COM%d and COM%d\n", options.seed, pool.Pair(0).PortA(),
           pool.Pair(1).PortA(), pool.Pair(0).PortB(), pool.Pair(1).PortB());
    fflush(stdout);
    CSoakRun run(control.Get(), *sink.Get(), pool, 0, 0, options.seed);
    CProcessFigures start, end;
    CEventTotals events;
    try {
        // One connection first, so that what the first open loads once is not counted as a leak.
        run.Connect();
        run.CloseDrained();
        PumpFor(100);
        start = MeasureProcess();
        if (options.connectCycles) RunConnectCycles(run, options.connectCycles);
        if (options.unplugCycles) RunUnplugCycles(run, options.unplugCycles);
        if (options.seconds) {
            run.Connect();
            const DWORD begin = GetTickCount();
            while (GetTickCount() - begin < options.seconds * 1000) RandomStep(run, *sink.Get());
            if (run.IsConnected()) run.CloseDrained();
        }
        PumpFor(100);
        end = MeasureProcess();
    } catch (const CSoakFault& fault) {
        printf("FAULT: %s\n", fault.what());
        events.Add(*sink.Get());
        PrintTotals(run.Totals(), events);
        return 1;
    }
    events.Add(*sink.Get());
    PrintTotals(run.Totals(), events);
    return CheckFlat(start, end) ? 0 : 1;
}

// One control of a many-control run: the object, its sink and advise, and its soak run.
// Destroyed in the order a host tears down: events unadvised, the control released, then the
// books of its last connection settled.
struct CControlSlot {
    CComRef<IDispatch> control;
    CComRef<CSoakSink> sink;
    std::unique_ptr<CCommEventLink> link;
    std::unique_ptr<CSoakRun> run;

    bool Alive() const { return bool(run); }
};

// N controls in one host on a pool of N + 2 pairs, stepped in random order; controls are
// destroyed and created again while the others run.
class CManyControls {
public:
    CManyControls(const COptions& options, CLoadedModule& module, CPortPool& pool)
        : options(options), module(module), pool(pool), slots(size_t(options.controls)), random(options.seed)
    {
    }

    void CreateAll()
    {
        for (size_t i = 0; i < slots.size(); ++i) Create(int(i), int(i));
    }

    // Connects and closes every control once, so that what first opens load is not a leak.
    void WarmUp()
    {
        for (CControlSlot& slot : slots) {
            slot.run->Connect();
            slot.run->CloseDrained();
        }
    }

    void Soak(DWORD seconds)
    {
        for (CControlSlot& slot : slots) slot.run->Connect();
        const DWORD begin = GetTickCount();
        for (unsigned long step = 1; GetTickCount() - begin < seconds * 1000; ++step) {
            const int which = int(random() % slots.size());
            CControlSlot& slot = slots[size_t(which)];
            if (random() % 1000 < 4) {
                CreateOrDestroy(which);
            } else if (slot.Alive()) {
                if (!slot.run->IsConnected()) slot.run->Connect();
                RandomStep(*slot.run, *slot.sink.Get());
            }
            if (step % 64 == 0) AuditAll();
        }
    }

    // Every control back, drained and closed, for the closing figures.
    void Finish()
    {
        for (size_t i = 0; i < slots.size(); ++i)
            if (!slots[i].Alive()) Create(int(i), pool.PickFree(random));
        for (CControlSlot& slot : slots)
            if (slot.run->IsConnected()) slot.run->CloseDrained();
    }

    void Report() const
    {
        CTotals totals = ended;
        CEventTotals events = endedEvents;
        for (const CControlSlot& slot : slots) {
            if (!slot.Alive()) continue;
            totals += slot.run->Totals();
            events.Add(*slot.sink.Get());
        }
        printf("%d controls on %zu pairs: %ld created, %ld destroyed while the others ran (%ld of them connected, "
               "%ld with bytes in flight)\n",
               options.controls, pool.Size(), created, destroyed, destroyedConnected, destroyedInFlight);
        PrintTotals(totals, events);
    }

private:
    void Create(int index, int pair)
    {
        CControlSlot& slot = slots[size_t(index)];
        slot.control = CreateControl(module, options.module);
        if (!slot.control) throw CSoakFault("creating a control failed");
        slot.sink = CComRef<CSoakSink>::Adopt(new CSoakSink);
        slot.link.reset(new CCommEventLink(slot.control.Get(), slot.sink.Get()));
        if (!slot.link->Connected()) throw CSoakFault("cannot connect a sink to CommEvent");
        slot.run.reset(new CSoakRun(slot.control.Get(), *slot.sink.Get(), pool, index, pair,
                                    options.seed + unsigned(++created) * 7919u));
    }

    // Destroys a living control (connected or not, sometimes with bytes in flight), or creates
    // one in an empty slot on a free pair. At least half of the controls stay alive.
    void CreateOrDestroy(int index)
    {
        CControlSlot& slot = slots[size_t(index)];
        if (!slot.Alive()) {
            const int pair = pool.PickFree(random);
            if (pair < 0) return;
            Create(index, pair);
            slot.run->Connect();
            return;
        }
        if (LivingCount() * 2 <= slots.size()) return;
        const bool connected = slot.run->IsConnected();
        if (connected && random() % 2) {
            // Bytes both ways still on their way when the host lets go.
            slot.run->PeerWrites(1 + random() % 4000);
            slot.run->HostSends(1 + random() % 3000);
            ++destroyedInFlight;
        } else if (connected) {
            slot.run->Drain();
        }
        Doing("releasing a control (events unadvised first)");
        slot.link.reset();
        slot.control = CComRef<IDispatch>();
        slot.run->ControlReleased();
        ended += slot.run->Totals();
        endedEvents.Add(*slot.sink.Get());
        slot.run.reset();
        slot.sink = CComRef<CSoakSink>();
        ++destroyed;
        if (connected) ++destroyedConnected;
    }

    size_t LivingCount() const
    {
        return size_t(std::count_if(slots.begin(), slots.end(), [](const CControlSlot& s) { return s.Alive(); }));
    }

    // Every control's books against what its peer and its sink saw so far.
    void AuditAll()
    {
        PumpFor(0);
        for (CControlSlot& slot : slots)
            if (slot.Alive()) slot.run->Tick(0);
    }

    const COptions& options;
    CLoadedModule& module;
    CPortPool& pool;
    std::vector<CControlSlot> slots;
    std::mt19937 random;
    CTotals ended;
    CEventTotals endedEvents;
    long created = 0, destroyed = 0, destroyedConnected = 0, destroyedInFlight = 0;
};

int RunManyControls(const COptions& options)
{
    CPortPool pool(size_t(options.controls) + 2);
    if (!pool.Lease()) {
        printf("not enough virtual null-modem pairs for %d controls: run this through tools/wine/wine-run.sh\n",
               options.controls);
        return 2;
    }
    printf("seed %u, %d controls, COM%d..COM%d\n", options.seed, options.controls, pool.Pair(0).PortA(),
           pool.Pair(int(pool.Size()) - 1).PortB());
    CLoadedModule module;
    CManyControls many(options, module, pool);
    CProcessFigures start, end;
    try {
        many.CreateAll();
        many.WarmUp();
        PumpFor(100);
        start = MeasureProcess();
        many.Soak(options.seconds);
        many.Finish();
        PumpFor(100);
        end = MeasureProcess();
    } catch (const CSoakFault& fault) {
        printf("FAULT: %s\n", fault.what());
        many.Report();
        return 1;
    }
    many.Report();
    return CheckFlat(start, end) ? 0 : 1;
}

int Run(const COptions& options)
{
    return options.controls > 1 ? RunManyControls(options) : RunOneControl(options);
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    COptions options;
    if (!ParseOptions(argc, argv, options)) {
        printf("usage: tarvel_soak [--module PATH] [--seconds N] [--seed N] [--connect-cycles N] "
               "[--unplug-cycles N] [--ports A1,B1,A2,B2 (no unplug cycles)]\n"
               "       tarvel_soak --controls N (2..38) --seconds N [--module PATH] [--seed N]\n");
        return 2;
    }
    srand(options.seed);  // the sink's slow handlers replay with the run
    NoteProgress();
    CUniqueHandle watchdog(CreateThread(nullptr, 0, WatchForHang, nullptr, 0, nullptr));
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    const int result = Run(options);
    CoUninitialize();
    printf("%s\n", result == 0 ? "PASS" : "FAIL");
    return result;
}

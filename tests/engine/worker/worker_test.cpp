// The worker on a real (virtual) port: deliveries paced by the host, line events, the
// transmit queue, and every way a run can end.
#include "tests/support/pair_fixture.h"

#include <dbt.h>

#include <algorithm>
#include <vector>

namespace {

class Worker : public PairTest {
protected:
    // Opens `port` on the pair's A end, removes that end until the port has reported it, and
    // plugs it back in without announcing the arrival yet.
    void ConnectRemoveAndReplug(CRecordingPort& port);
};

void Queue(CSerialPort& port, const std::vector<BYTE>& bytes)
{
    ASSERT_TRUE(port.Worker().txQueue.Append(bytes.data(), static_cast<DWORD>(bytes.size())));
    SetEvent(port.Worker().txReadyEvent.Get());
}

// The peer writes from a thread of its own, so that bytes keep coming while the host's
// handler runs.
struct PeerWriter {
    int port;
    std::vector<BYTE> bytes;
    static DWORD WINAPI Run(void* self)
    {
        auto* w = static_cast<PeerWriter*>(self);
        CFarEnd peer(w->port);
        for (size_t at = 0; at < w->bytes.size(); at += 3000) {
            const size_t n = std::min<size_t>(3000, w->bytes.size() - at);
            peer.Write(std::vector<BYTE>(w->bytes.begin() + at, w->bytes.begin() + at + n));
            Sleep(5);
        }
        Sleep(500);  // keep the end open while the last bytes are read
        return 0;
    }
};

TEST_F(Worker, SlowHostGetsEverythingGatheredInOrder)
{
    CRecordingPort port;
    Connect(port, pair.PortA());
    port.onEvent = [](const RecordedEvent& e) {
        if (e.kind == EVT_DATA) Sleep(60);  // a host that takes its time
    };

    PeerWriter writer{pair.PortB(), RandomBytes(60000, 7)};
    CUniqueHandle thread(CreateThread(nullptr, 0, PeerWriter::Run, &writer, 0, nullptr));
    ASSERT_TRUE(PumpUntil([&] { return port.ReceivedBytes().size() >= writer.bytes.size(); }, 20000));
    WaitForSingleObject(thread.Get(), INFINITE);
    PumpFor(100);
    EXPECT_EQ(port.ReceivedBytes(), writer.bytes);

    size_t largest = 0;
    for (const auto& e : port.events)
        if (e.kind == EVT_DATA) largest = std::max(largest, e.bytes.size());
    EXPECT_GE(largest, 5000u) << "deliveries should gather what arrived during the handler";
}

TEST_F(Worker, ShortBurstArrivesAsOneDelivery)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    ASSERT_TRUE(peer.Write("abc"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DATA) > 0; }));
    PumpFor(300);
    ASSERT_EQ(port.Count(EVT_DATA), 1);
    EXPECT_EQ(port.ReceivedBytes(), (std::vector<BYTE>{'a', 'b', 'c'}));
}

TEST_F(Worker, LineEventsGatherWhileSlotHeldAndGoBeforeData)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    bool changedLines = false;
    port.onEvent = [&](const RecordedEvent& e) {
        if (e.kind != EVT_DATA || changedLines) return;
        changedLines = true;
        peer.SetRts(true);  // our CTS
        Sleep(100);
        peer.SetDtr(true);  // our DSR
        Sleep(100);
        peer.Write("later");
        Sleep(200);
    };
    ASSERT_TRUE(peer.Write("x"));
    ASSERT_TRUE(PumpUntil([&] { return port.ReceivedBytes().size() >= 6; }));

    // After the first delivery: one line-event notification with both bits, then the data.
    ASSERT_GE(port.events.size(), 4u);
    EXPECT_EQ(port.events[1].kind, EVT_DATA);
    EXPECT_EQ(port.events[2].kind, EVT_SERIALEVENT);
    EXPECT_EQ(port.events[2].type, VT_I4);
    EXPECT_EQ(port.events[2].mask & (EV_CTS | EV_DSR), EV_CTS | EV_DSR);
    EXPECT_EQ(port.events[3].kind, EVT_DATA);
}

TEST_F(Worker, RingAndBreakAreReported)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    // Wine loses modem edges while no line-event wait is armed (Windows keeps them): give the
    // new worker a moment to arm its first wait.
    PumpFor(100);
    pair.SetRing(CNullModemPair::A, true);
    const bool rang = PumpUntil([&] {
        for (const auto& e : port.events)
            if (e.kind == EVT_SERIALEVENT && (e.mask & EV_RING)) return true;
        return false;
    });
    ASSERT_TRUE(rang);
    pair.InjectBreak(CNullModemPair::A);
    EXPECT_TRUE(PumpUntil([&] {
        for (const auto& e : port.events)
            if (e.kind == EVT_SERIALEVENT && (e.mask & EV_BREAK)) return true;
        return false;
    }));
}

TEST_F(Worker, TransmitRecordsAreWrittenInOrderAndReportTxEmpty)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    const std::vector<BYTE> big = RandomBytes(20000, 3);
    Queue(port, big);
    Queue(port, {'1'});
    Queue(port, {'2', '2'});
    Queue(port, {'3', '3', '3'});

    std::vector<BYTE> expected = big;
    expected.insert(expected.end(), {'1', '2', '2', '3', '3', '3'});
    EXPECT_EQ(peer.Read(expected.size()), expected);
    EXPECT_TRUE(PumpUntil([&] {
        for (const auto& e : port.events)
            if (e.kind == EVT_SERIALEVENT && (e.mask & EV_TXEMPTY)) return true;
        return false;
    }));
}

// A pending read that has only an interval time-out can complete with a time-out status and
// no bytes while a long write is in progress on the same handle (Wine does this): the port is
// not broken, and neither the write nor the connection may suffer for it.
TEST_F(Worker, LargeWritesKeepTheConnectionAtShortAndLongIntervals)
{
    uint32_t seed = 40;
    for (int interval : {30, 1}) {
        SCOPED_TRACE(interval);
        CFarEnd peer(pair.PortB());
        CRecordingPort port;
        port.PutRecvIntervalTimeout(interval);
        Connect(port, pair.PortA());
        for (size_t size : {16u * 1024, 64u * 1024, 1024u * 1024}) {
            SCOPED_TRACE(size);
            const std::vector<BYTE> bytes = RandomBytes(size, ++seed);
            Queue(port, bytes);
            const std::vector<BYTE> got = peer.Read(size, 30000);
            ASSERT_EQ(got.size(), size);
            EXPECT_TRUE(got == bytes) << "bytes reached the peer changed or out of order";
            PumpFor(1000);
            EXPECT_EQ(port.Count(EVT_DISCONNECT), 0);
        }
        EXPECT_TRUE(port.GetConnected());
    }
}

TEST_F(Worker, RecordsQueuedWhileClosedGoOutAfterOpen)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Queue(port, {'h', 'i'});
    Queue(port, {'!'});
    Connect(port, pair.PortA());
    EXPECT_EQ(peer.Read(3), (std::vector<BYTE>{'h', 'i', '!'}));
}

TEST_F(Worker, StopDiscardsWriteInFlightAndQueuedRecords)
{
    // Paced at 115200 baud the record needs half a minute on the wire: far more than the
    // pty's own buffer takes, so its write is still in flight when the port closes.
    pair.SetPacing(true);
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    port.PutBaudRate(115200);
    Connect(port, pair.PortA());
    const std::vector<BYTE> big(300000, 'x');
    Queue(port, big);
    Queue(port, {'a'});
    Queue(port, {'b'});
    PumpFor(200);
    port.PutConnected(false);
    EXPECT_TRUE(port.Worker().txQueue.IsEmpty());
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));

    pair.SetPacing(false);  // let what the kernel already holds drain at once
    const std::vector<BYTE> got = peer.Read(big.size() + 2, 1500);
    EXPECT_LT(got.size(), big.size());
    EXPECT_EQ(std::count(got.begin(), got.end(), 'a'), 0);
    EXPECT_EQ(std::count(got.begin(), got.end(), 'b'), 0);
}

// Reads the far end from a thread of its own until told to stop, counting what arrives.
struct PeerDrain {
    HANDLE end;
    volatile bool go = true;
    volatile LONG got = 0;
    static DWORD WINAPI Run(void* self)
    {
        auto* d = static_cast<PeerDrain*>(self);
        BYTE chunk[4096];
        while (d->go) {
            DWORD n = 0;
            if (!ReadFile(d->end, chunk, sizeof chunk, &n, nullptr)) break;
            InterlockedExchangeAdd(&d->got, static_cast<LONG>(n));
        }
        return 0;
    }
};

// A close while the peer keeps making room for a large write, so that the room it makes may
// wake the write just as the close cancels it: the write must end with the connection all
// the same, not go on until the whole record is out.
TEST_F(Worker, CloseWhilePeerMakesRoomStopsTheWrite)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    const std::vector<BYTE> big(16u << 20, 'x');
    for (int close = 0; close < 50; ++close) {
        PurgeComm(peer.Handle(), PURGE_RXCLEAR);
        Connect(port, pair.PortA());
        PeerDrain drain{peer.Handle()};
        CUniqueHandle reader(CreateThread(nullptr, 0, PeerDrain::Run, &drain, 0, nullptr));
        Queue(port, big);
        PumpFor(20);
        port.PutConnected(false);
        ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == close + 1; }));
        PumpFor(100);  // what the line still holds reaches the peer
        drain.go = false;
        WaitForSingleObject(reader.Get(), INFINITE);
        EXPECT_LT(static_cast<size_t>(drain.got), big.size()) << "close " << close;
    }
}

TEST_F(Worker, PeerHangUpEndsTheRun)
{
    CRecordingPort port;
    Connect(port, pair.PortA());
    pair.HangUp(CNullModemPair::A);
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    EXPECT_FALSE(port.GetConnected());
    EXPECT_EQ(port.settings.ConnectWanted, 1);
}

TEST_F(Worker, DisconnectInsideDataHandlerFreesTheSlot)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    bool closedOnce = false;
    port.onEvent = [&](const RecordedEvent& e) {
        if (e.kind == EVT_DATA && !closedOnce) {
            closedOnce = true;
            port.PutConnected(false);
        }
    };
    ASSERT_TRUE(peer.Write("one"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    EXPECT_FALSE(port.GetConnected());

    // The slot came back: a new connection delivers again.
    Connect(port, pair.PortA());
    ASSERT_TRUE(peer.Write("two"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DATA) == 2; }));
    EXPECT_EQ(port.events.back().bytes, (std::vector<BYTE>{'t', 'w', 'o'}));
}

TEST_F(Worker, FailedConversionEndsTheRunButGivesTheSlotBack)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    port.failConversions = true;
    ASSERT_TRUE(peer.Write("no memory"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    EXPECT_FALSE(port.GetConnected());

    port.failConversions = false;
    Connect(port, pair.PortA());
    ASSERT_TRUE(peer.Write("fine"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DATA) == 1; }));
    EXPECT_EQ(port.ReceivedBytes(), (std::vector<BYTE>{'f', 'i', 'n', 'e'}));
}

// Another program posting the notification message to the window, as fast as it can, while
// data flows: the host sees exactly what the peer sent, the port stays open, and the
// bookkeeping of expected disconnects still matches the real ones afterwards.
struct Forger {
    HWND window;
    static DWORD WINAPI Run(void* self)
    {
        auto* f = static_cast<Forger*>(self);
        for (int round = 0; round < 700; ++round) {
            for (WPARAM kind : {EVT_DISCONNECT, EVT_DATA, EVT_SERIALEVENT}) PostMessageA(f->window, WM_PORT_NOTIFY, kind, 0);
            PostMessageA(f->window, WM_PORT_NOTIFY, EVT_DATA, round);  // odd parameters too
            PostMessageA(f->window, WM_PORT_NOTIFY, 0x7FFF, 0);
            Sleep(1);
        }
        return 0;
    }
};

TEST_F(Worker, ForgedNotificationsDuringTrafficChangeNothing)
{
    CRecordingPort port;
    Connect(port, pair.PortA());
    PeerWriter writer{pair.PortB(), RandomBytes(100000, 11)};
    Forger forger{port.NotifyWindow()};
    CUniqueHandle writing(CreateThread(nullptr, 0, PeerWriter::Run, &writer, 0, nullptr));
    CUniqueHandle forging(CreateThread(nullptr, 0, Forger::Run, &forger, 0, nullptr));
    ASSERT_TRUE(PumpUntil([&] { return port.ReceivedBytes().size() >= writer.bytes.size(); }, 20000));
    WaitForSingleObject(forging.Get(), INFINITE);
    WaitForSingleObject(writing.Get(), INFINITE);
    PumpFor(300);  // whatever was forged last is processed too

    EXPECT_TRUE(port.ReceivedBytes() == writer.bytes) << "received " << port.ReceivedBytes().size();
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 0);
    EXPECT_EQ(port.Count(EVT_SERIALEVENT), 0);
    const bool anyEmpty = std::any_of(port.events.begin(), port.events.end(),
                                      [](const RecordedEvent& e) { return e.kind == EVT_DATA && e.bytes.empty(); });
    EXPECT_FALSE(anyEmpty) << "a forged data notification was raised";
    ASSERT_TRUE(port.GetConnected());

    // Real disconnects still close exactly what they belong to.
    port.PutConnected(false);
    port.PutConnected(true);
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) == 2; }));
    PumpFor(200);
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 1);
    EXPECT_TRUE(port.GetConnected());
}

TEST_F(Worker, CloseAndReopenBeforeNotificationsKeepsNewPortOpen)
{
    CRecordingPort port;
    Connect(port, pair.PortA());
    port.PutConnected(false);
    port.PutConnected(true);
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) == 2; }));
    PumpFor(200);
    ASSERT_EQ(port.events.size(), 3u);
    EXPECT_EQ(port.events[1].kind, EVT_DISCONNECT);
    EXPECT_EQ(port.events[2].kind, EVT_CONNECT);
    EXPECT_TRUE(port.GetConnected());
    EXPECT_TRUE(port.Worker().HasThread());
}

TEST_F(Worker, DataOfAClosedPortIsDroppedButTheSlotFreed)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    ASSERT_TRUE(peer.Write("lost"));
    // Wait without pumping until the worker has filled the slot and posted.
    for (int i = 0; i < 500 && port.convertCalls == 0; ++i) Sleep(10);
    ASSERT_EQ(port.convertCalls, 1);
    port.PutConnected(false);
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    EXPECT_EQ(port.Count(EVT_DATA), 0);

    Connect(port, pair.PortA());
    ASSERT_TRUE(peer.Write("kept"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DATA) == 1; }));
    EXPECT_EQ(port.ReceivedBytes(), (std::vector<BYTE>{'k', 'e', 'p', 't'}));
}

// Drivers that are not perfect UARTs (test-bed personalities).

bool Delivered(const CRecordingPort& port, const std::vector<BYTE>& bytes)
{
    return port.ReceivedBytes() == bytes;
}

// Some USB CDC drivers complete a pending WaitCommEvent with ERROR_OPERATION_ABORTED when a
// transfer ends, and Wine does whenever its poll of the modem lines fails (WaitCommEvent,
// Microsoft's Win32 documentation: the wait ends with an error when the driver cancels it;
// node-serialport and .NET System.IO.Ports issue threads report such waits ending
// connections). Here every wait that sees no event for ~20 ms is cancelled while data flows:
// the connection and every byte must survive, and line events that do come still arrive.
TEST_F(Worker, CancelledLineEventWaitsKeepTheConnection)
{
    ASSERT_TRUE(pair.SetPersonality(CNullModemPair::A, CNullModemPair::WaitAborts));
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    // Our CTS changing every 10 ms: each change completes a wait before Wine cancels it, so
    // the cancels never add up while the line is busy, and the events reach the host.
    for (int i = 0; i < 10; ++i) {
        PumpFor(10);
        peer.SetRts(i % 2 == 0);
    }
    std::vector<BYTE> sent;
    for (int i = 0; i < 20; ++i) {
        const std::vector<BYTE> chunk = RandomBytes(100, 60 + i);
        ASSERT_TRUE(peer.Write(chunk));
        sent.insert(sent.end(), chunk.begin(), chunk.end());
        PumpFor(50);
    }
    EXPECT_TRUE(PumpUntil([&] { return Delivered(port, sent); }));
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 0);
    EXPECT_TRUE(port.GetConnected());
    const bool sawCts = std::any_of(port.events.begin(), port.events.end(), [](const RecordedEvent& e) {
        return e.kind == EVT_SERIALEVENT && (e.mask & EV_CTS);
    });
    EXPECT_TRUE(sawCts);
}

// With fAbortOnError left set by the driver or another program, a line error (noise, a wrong
// baud rate) makes the driver fail every read and write until ClearCommError is called
// (ClearCommError, Microsoft's Win32 documentation; .NET's System.IO.Ports and libserialport
// both had to handle it). A few bytes of noise must not cost the connection or the data.
TEST_F(Worker, AbortAfterALineErrorIsClearedAndLosesNothing)
{
    ASSERT_TRUE(pair.SetPersonality(CNullModemPair::A, CNullModemPair::AbortOnError));
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    for (int error = 0; error < 3; ++error) {
        SCOPED_TRACE(error);
        port.events.clear();
        ASSERT_TRUE(pair.InjectError(CNullModemPair::A, CNullModemPair::LineError::Frame));
        PumpFor(20);
        const std::vector<BYTE> after = RandomBytes(300, 80 + error);
        ASSERT_TRUE(peer.Write(after));
        Queue(port, {'o', 'k'});
        EXPECT_TRUE(PumpUntil([&] { return Delivered(port, after); }));
        EXPECT_EQ(peer.Read(2), (std::vector<BYTE>{'o', 'k'}));
    }
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 0);
    EXPECT_TRUE(port.GetConnected());
}

// Read requests per second the driver of end A serves while messages are pumped for `ms`.
unsigned long ReadRequestsDuring(CNullModemPair& pair, DWORD ms)
{
    unsigned long before = 0, after = 0;
    EXPECT_TRUE(pair.ReadRequests(CNullModemPair::A, before));
    PumpFor(ms);
    EXPECT_TRUE(pair.ReadRequests(CNullModemPair::A, after));
    return (after - before) * 1000 / ms;
}

// Reads that complete at once with success and no byte, again and again (handles left over
// after a surprise removal, some USB CDC drivers; reported in pyserial's and
// node-serialport's issue trackers as a core at 100 %): the worker must not reissue them as
// fast as the driver answers, and the bytes the driver holds meanwhile arrive afterwards.
TEST_F(Worker, EmptyReadsNeitherSpinNorLoseBytes)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    ASSERT_TRUE(pair.SetPersonality(CNullModemPair::A, CNullModemPair::EmptyReads));
    ASSERT_TRUE(peer.Write("held"));
    PumpFor(200);
    const unsigned long perSecond = ReadRequestsDuring(pair, 1000);
    // A worker that pauses 20 ms after a few empty reads asks about 50 times a second.
    EXPECT_LT(perSecond, 150u) << "read requests per second while every read came back empty";
    EXPECT_TRUE(port.GetConnected());

    ASSERT_TRUE(pair.SetPersonality(CNullModemPair::A, CNullModemPair::PerfectUart));
    EXPECT_TRUE(PumpUntil([&] { return Delivered(port, {'h', 'e', 'l', 'd'}); }));
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 0);
}

// A device that stopped taking bytes, with write time-outs left in the driver: every write
// ends with nothing written (ERROR_SEM_TIMEOUT or a short count; reported for USB CDC
// devices in .NET's System.IO.Ports issues). Retrying for ever would hide a dead device from
// the host: after a bounded time without progress the run ends as a failed write does.
TEST_F(Worker, WriteThatStopsMovingEndsTheRun)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(port.PortHandle(), &timeouts));
    timeouts.WriteTotalTimeoutConstant = 50;  // as the driver or the last program left them
    ASSERT_TRUE(SetCommTimeouts(port.PortHandle(), &timeouts));
    ASSERT_TRUE(pair.SetPersonality(CNullModemPair::A, CNullModemPair::StalledWrites));
    Queue(port, RandomBytes(300000, 5));
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }, 20000));
    EXPECT_FALSE(port.GetConnected());
    EXPECT_EQ(port.settings.ConnectWanted, 1);
}

// Synthetic device broadcasts, as the system sends them for a USB adapter.
void SendPortBroadcast(HWND window, WPARAM event, int number)
{
    struct {
        DEV_BROADCAST_PORT_A header;
        char room[16];
    } record{};
    record.header.dbcp_size = sizeof record;
    record.header.dbcp_devicetype = DBT_DEVTYP_PORT;
    snprintf(record.header.dbcp_name, sizeof record.room + 1, "COM%d", number);
    SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&record));
}

void Worker::ConnectRemoveAndReplug(CRecordingPort& port)
{
    Connect(port, pair.PortA());
    pair.Unplug(CNullModemPair::A);
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, pair.PortA());
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    pair.Replug(CNullModemPair::A);
}

TEST_F(Worker, UnplugWhileDataFlowsThenRemovalAndArrival)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    ASSERT_TRUE(peer.Write(RandomBytes(2000, 9)));
    pair.Unplug(CNullModemPair::A);
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, pair.PortA());
    EXPECT_FALSE(port.GetConnected());
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) >= 1; }));
    EXPECT_EQ(port.settings.ConnectWanted, 1);

    pair.Replug(CNullModemPair::A);
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEARRIVAL, pair.PortA());
    EXPECT_TRUE(port.GetConnected());
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) == 2; }));
    // A second broadcast for the same arrival finds the port open and does nothing.
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEARRIVAL, pair.PortA());
    PumpFor(200);
    EXPECT_EQ(port.Count(EVT_CONNECT), 2);
    EXPECT_EQ(port.events.back().kind, EVT_CONNECT);
}

// The adapter goes away and comes back before the host's thread has processed the EVT_DISCONNECT
// of the run that its removal ended: the port still reads open then, and the arrival must
// not be ignored for it, or the port would stay closed for good.
TEST_F(Worker, ArrivalAfterTheRunEndedByItselfReopens)
{
    CFarEnd peer(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    pair.Unplug(CNullModemPair::A);
    // No message pumped: the run's EVT_DISCONNECT stays queued.
    for (int i = 0; i < 500 && !port.Worker().HasEnded(); ++i) Sleep(10);
    ASSERT_TRUE(port.Worker().HasEnded());
    ASSERT_TRUE(port.GetConnected());
    pair.Replug(CNullModemPair::A);
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEARRIVAL, pair.PortA());
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) == 2; }));
    PumpFor(200);
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 1);
    ASSERT_TRUE(port.GetConnected());
    ASSERT_TRUE(peer.Write("back"));
    EXPECT_TRUE(PumpUntil([&] { return Delivered(port, {'b', 'a', 'c', 'k'}); }));
}

// Just after arrival a device can still be busy (another program, or the system, holds it for
// a moment) or fail its first requests: the reopen is tried again for about two seconds, from
// the window's timer, and succeeds once the device is free.
TEST_F(Worker, ArrivalWhileTheDeviceIsBusyIsTriedAgain)
{
    CRecordingPort port;
    ASSERT_NO_FATAL_FAILURE(ConnectRemoveAndReplug(port));
    {
        CFarEnd holder(pair.PortA());
        ASSERT_TRUE(holder.IsOpen());
        SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEARRIVAL, pair.PortA());
        EXPECT_FALSE(port.GetConnected());
        EXPECT_EQ(port.settings.Error, ERR_ACCESS_DENIED);
        PumpFor(400);
        EXPECT_FALSE(port.GetConnected());
    }
    ASSERT_TRUE(PumpUntil([&] { return port.GetConnected(); }, 3000));
    EXPECT_EQ(port.settings.Error, ERR_NONE);
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) == 2; }));
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 1) << "the tries that failed before the device was free raise nothing";
}

// A device that stays busy for all the tries: the host hears of it once, when the last one
// failed, not once a try.
TEST_F(Worker, ArrivalThatStaysBusyIsReportedOnce)
{
    CRecordingPort port;
    ASSERT_NO_FATAL_FAILURE(ConnectRemoveAndReplug(port));
    CFarEnd holder(pair.PortA());
    ASSERT_TRUE(holder.IsOpen());
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEARRIVAL, pair.PortA());
    PumpFor(1000);
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 1) << "nothing while tries are left";
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 2; }, 4000));
    PumpFor(500);
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 2);
    EXPECT_EQ(port.Count(EVT_CONNECT), 1);
    EXPECT_FALSE(port.GetConnected());
    EXPECT_EQ(port.settings.Error, ERR_ACCESS_DENIED);
    EXPECT_EQ(port.settings.ConnectWanted, 1);
}

TEST_F(Worker, ArrivalWhileNotWantedOpensNothing)
{
    CRecordingPort port;
    port.PutPort(pair.PortA());
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEARRIVAL, pair.PortA());
    EXPECT_FALSE(port.GetConnected());
    PumpFor(100);
    EXPECT_TRUE(port.events.empty());
}

}  // namespace

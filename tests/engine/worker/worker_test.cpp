// The worker on a real (virtual) port: deliveries paced by the host, line events, the
// transmit queue, and every way a run can end.
#include <gtest/gtest.h>

#include <dbt.h>

#include <vector>

#include "tests/support/pair_fixture.h"

namespace {

using Worker = PairTest;

void Queue(CSerialPort& port, const std::vector<BYTE>& bytes)
{
    ASSERT_TRUE(port.Worker().txQueue.Append(bytes.data(), static_cast<DWORD>(bytes.size())));
    SetEvent(port.Worker().txReadyEvent.Get());
}

TEST_F(Worker, SlowHostGetsEverythingGatheredInOrder)
{
    CFarEnd far(pair.PortB());
    ASSERT_TRUE(far.IsOpen());
    CRecordingPort port;
    Connect(port, pair.PortA());
    port.onEvent = [](const RecordedEvent& e) {
        if (e.kind == EVT_DATA) Sleep(60);  // a host that takes its time
    };

    const std::vector<BYTE> sent = RandomBytes(60000, 7);
    for (size_t at = 0; at < sent.size(); at += 3000) {
        ASSERT_TRUE(far.Write(std::vector<BYTE>(sent.begin() + at, sent.begin() + at + 3000)));
        PumpFor(5);
    }
    ASSERT_TRUE(PumpUntil([&] { return port.ReceivedBytes().size() >= sent.size(); }, 20000));
    PumpFor(100);
    EXPECT_EQ(port.ReceivedBytes(), sent);

    size_t largest = 0;
    for (const auto& e : port.events)
        if (e.kind == EVT_DATA) largest = std::max(largest, e.bytes.size());
    EXPECT_GE(largest, 5000u) << "deliveries should gather what arrived during the handler";
}

TEST_F(Worker, ShortBurstArrivesAsOneDelivery)
{
    CFarEnd far(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    ASSERT_TRUE(far.Write("abc"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DATA) > 0; }));
    PumpFor(300);
    ASSERT_EQ(port.Count(EVT_DATA), 1);
    EXPECT_EQ(port.ReceivedBytes(), (std::vector<BYTE>{'a', 'b', 'c'}));
}

TEST_F(Worker, LineEventsGatherWhileSlotHeldAndGoBeforeData)
{
    CFarEnd far(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    bool changedLines = false;
    port.onEvent = [&](const RecordedEvent& e) {
        if (e.kind != EVT_DATA || changedLines) return;
        changedLines = true;
        far.SetRts(true);  // our CTS
        Sleep(100);
        far.SetDtr(true);  // our DSR
        Sleep(100);
        far.Write("later");
        Sleep(200);
    };
    ASSERT_TRUE(far.Write("x"));
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
    CFarEnd far(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    pair.SetRing(CNullModemPair::A, true);
    ASSERT_TRUE(PumpUntil([&] {
        for (const auto& e : port.events)
            if (e.kind == EVT_SERIALEVENT && (e.mask & EV_RING)) return true;
        return false;
    }));
    pair.InjectBreak(CNullModemPair::A);
    EXPECT_TRUE(PumpUntil([&] {
        for (const auto& e : port.events)
            if (e.kind == EVT_SERIALEVENT && (e.mask & EV_BREAK)) return true;
        return false;
    }));
}

TEST_F(Worker, TransmitRecordsAreWrittenInOrderAndReportTxEmpty)
{
    CFarEnd far(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    const std::vector<BYTE> big = RandomBytes(20000, 3);
    Queue(port, big);
    Queue(port, {'1'});
    Queue(port, {'2', '2'});
    Queue(port, {'3', '3', '3'});

    std::vector<BYTE> expected = big;
    expected.insert(expected.end(), {'1', '2', '2', '3', '3', '3'});
    EXPECT_EQ(far.Read(expected.size()), expected);
    EXPECT_TRUE(PumpUntil([&] {
        for (const auto& e : port.events)
            if (e.kind == EVT_SERIALEVENT && (e.mask & EV_TXEMPTY)) return true;
        return false;
    }));
}

TEST_F(Worker, RecordsQueuedWhileClosedGoOutAfterOpen)
{
    CFarEnd far(pair.PortB());
    CRecordingPort port;
    Queue(port, {'h', 'i'});
    Queue(port, {'!'});
    Connect(port, pair.PortA());
    EXPECT_EQ(far.Read(3), (std::vector<BYTE>{'h', 'i', '!'}));
}

TEST_F(Worker, StopDiscardsWriteInFlightAndQueuedRecords)
{
    pair.SetPacing(true);  // 9600 baud: 4000 bytes take seconds
    CFarEnd far(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    Queue(port, RandomBytes(4000, 5));
    Queue(port, {'a'});
    Queue(port, {'b'});
    PumpFor(100);
    port.PutConnected(false);
    EXPECT_TRUE(port.Worker().txQueue.IsEmpty());
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    EXPECT_LT(far.Read(4002, 1500).size(), 4002u);
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
    CFarEnd far(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    bool closedOnce = false;
    port.onEvent = [&](const RecordedEvent& e) {
        if (e.kind == EVT_DATA && !closedOnce) {
            closedOnce = true;
            port.PutConnected(false);
        }
    };
    ASSERT_TRUE(far.Write("one"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    EXPECT_FALSE(port.GetConnected());

    // The slot came back: a new connection delivers again.
    Connect(port, pair.PortA());
    ASSERT_TRUE(far.Write("two"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DATA) == 2; }));
    EXPECT_EQ(port.events.back().bytes, (std::vector<BYTE>{'t', 'w', 'o'}));
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
    CFarEnd far(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    ASSERT_TRUE(far.Write("lost"));
    // Wait without pumping until the worker has filled the slot and posted.
    for (int i = 0; i < 500 && port.convertCalls == 0; ++i) Sleep(10);
    ASSERT_EQ(port.convertCalls, 1);
    port.PutConnected(false);
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    EXPECT_EQ(port.Count(EVT_DATA), 0);

    Connect(port, pair.PortA());
    ASSERT_TRUE(far.Write("kept"));
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DATA) == 1; }));
    EXPECT_EQ(port.ReceivedBytes(), (std::vector<BYTE>{'k', 'e', 'p', 't'}));
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

TEST_F(Worker, UnplugWhileDataFlowsThenRemovalAndArrival)
{
    CFarEnd far(pair.PortB());
    CRecordingPort port;
    Connect(port, pair.PortA());
    ASSERT_TRUE(far.Write(RandomBytes(2000, 9)));
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

// Opening, configuring and closing a real (virtual) serial port through the port object.
#include <gtest/gtest.h>

#include "tests/support/pair_fixture.h"

namespace {

using PortOpen = PairTest;

TEST_F(PortOpen, MissingPortFailsWith219AndOneDisconnect)
{
    CRecordingPort port;
    port.PutPort(kMissingPort);
    port.PutConnected(true);
    EXPECT_EQ(port.settings.Error, ERR_UNKNOWN_PORT);
    EXPECT_FALSE(port.GetConnected());
    EXPECT_EQ(port.settings.ConnectWanted, 1);
#ifdef TARVEL_HAVE_RESOURCES
    EXPECT_EQ(port.GetErrorDescription(), L"Unknown port number");
#endif
    PumpFor(200);
    ASSERT_EQ(port.events.size(), 1u);
    EXPECT_EQ(port.events[0].kind, EVT_DISCONNECT);
    EXPECT_EQ(port.events[0].type, VT_EMPTY);
}

TEST_F(PortOpen, BusyPortFailsWith220)
{
    CFarEnd holder(pair.PortA());
    ASSERT_TRUE(holder.IsOpen());
    CRecordingPort port;
    port.PutPort(pair.PortA());
    port.PutConnected(true);
    EXPECT_EQ(port.settings.Error, ERR_ACCESS_DENIED);
    EXPECT_FALSE(port.GetConnected());
    PumpFor(200);
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 1);
}

TEST_F(PortOpen, ConnectReportsAndClearsError)
{
    CRecordingPort port;
    port.settings.Error = ERR_IO;
    Connect(port, pair.PortA());
    EXPECT_EQ(port.settings.Error, 0);
    EXPECT_NE(port.PortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.events[0].type, VT_EMPTY);

    // Closing: Connected reads false at once, the worker's EVT_DISCONNECT follows.
    port.PutConnected(false);
    EXPECT_FALSE(port.GetConnected());
    EXPECT_EQ(port.settings.ConnectWanted, 0);
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
}

TEST_F(PortOpen, LineSettingsReachTheDriver)
{
    CRecordingPort port;
    port.PutBaudRate(19200);
    Connect(port, pair.PortA());
    port.PutDataBits(7);
    port.PutParity(EVENPARITY);
    port.PutStopBits(TWOSTOPBITS);
    EXPECT_EQ(port.settings.Error, 0);

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port.PortHandle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
}

TEST_F(PortOpen, RefusedRateOnOpenCloses222)
{
    pair.RefuseBaud(CNullModemPair::A, 14400, 0);
    CRecordingPort port;
    port.PutBaudRate(14400);
    port.PutPort(pair.PortA());
    port.PutConnected(true);
    EXPECT_EQ(port.settings.Error, ERR_BAD_SETTING);
    EXPECT_FALSE(port.GetConnected());
    EXPECT_NE(port.settings.BaudRate, 14400);
    EXPECT_GE(port.settings.BaudRate, 2);
    PumpFor(200);
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 1);
    EXPECT_EQ(port.Count(EVT_CONNECT), 0);

    // The record now holds the driver's values, so the next open succeeds with them.
    port.PutConnected(true);
    EXPECT_TRUE(port.GetConnected());
    EXPECT_EQ(port.settings.Error, 0);
}

TEST_F(PortOpen, RefusedRateWhileOpenKeepsPortOpen)
{
    pair.RefuseBaud(CNullModemPair::A, 14400, 0);
    CRecordingPort port;
    Connect(port, pair.PortA());
    const size_t eventsBefore = port.events.size();
    port.PutBaudRate(14400);
    EXPECT_EQ(port.settings.Error, ERR_BAD_SETTING);
    EXPECT_EQ(port.settings.BaudRate, 9600);
    EXPECT_TRUE(port.GetConnected());
#ifdef TARVEL_HAVE_RESOURCES
    EXPECT_EQ(port.GetErrorDescription(),
              L"Bad port setting. Please check baud rate, data and stop bit count, parity flag");
#endif
    PumpFor(200);
    EXPECT_EQ(port.events.size(), eventsBefore);
}

TEST_F(PortOpen, SubstitutedRateIsReadBack)
{
    pair.RefuseBaud(CNullModemPair::A, 250000, 230400);
    CRecordingPort port;
    Connect(port, pair.PortA());
    port.PutBaudRate(250000);
    EXPECT_EQ(port.settings.Error, ERR_BAD_SETTING);
    EXPECT_EQ(port.settings.BaudRate, 230400);
}

TEST_F(PortOpen, ModemLinesCrossAndDtrWaitsForAnOpenWrite)
{
    CFarEnd peer(pair.PortB());
    ASSERT_TRUE(peer.IsOpen());
    CRecordingPort port;
    port.PutDTR(1);  // stored only: the port is closed
    Connect(port, pair.PortA());
    EXPECT_EQ(port.settings.DTR, 1);
    EXPECT_FALSE(peer.ModemStatus() & MS_DSR_ON) << "opening must not raise DTR";

    port.PutDTR(1);
    EXPECT_TRUE(peer.ModemStatus() & MS_DSR_ON);
    EXPECT_FALSE(peer.ModemStatus() & MS_CTS_ON);
    port.PutRTS(1);
    EXPECT_TRUE(peer.ModemStatus() & MS_CTS_ON);
    port.PutDTR(0);
    EXPECT_FALSE(peer.ModemStatus() & MS_DSR_ON);

    EXPECT_FALSE(port.ReadModemStatus(MS_DSR_ON));
    peer.SetDtr(true);
    EXPECT_TRUE(port.ReadModemStatus(MS_DSR_ON));
    peer.SetRts(true);
    EXPECT_TRUE(port.ReadModemStatus(MS_CTS_ON));
    EXPECT_FALSE(port.ReadModemStatus(MS_RING_ON));
    pair.SetRing(CNullModemPair::A, true);
    EXPECT_TRUE(port.ReadModemStatus(MS_RING_ON));
}

// A device without modem-control lines (every pty under Wine): the driver reports the DTR and
// RTS control modes as enabled whatever was written, which says nothing about the line
// settings, so the port opens and takes them; only a line setting it does not keep is 222.
TEST_F(PortOpen, DeviceWithoutModemLinesOpensAndJudgesOnlyLineSettings)
{
    ASSERT_TRUE(pair.SetPersonality(CNullModemPair::A, CNullModemPair::NoModemLines));
    CFarEnd peer(pair.PortB());
    ASSERT_TRUE(peer.IsOpen());
    CRecordingPort port;
    port.PutBaudRate(115200);
    Connect(port, pair.PortA());
    EXPECT_EQ(port.settings.Error, 0);

    port.PutParity(EVENPARITY);
    port.PutDataBits(7);
    port.PutStopBits(TWOSTOPBITS);
    port.PutBaudRate(57600);
    EXPECT_EQ(port.settings.Error, 0);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port.PortHandle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE)) << "what such a driver reports";

    port.PutDTR(1);  // nothing to drive: harmless
    port.PutRTS(1);
    EXPECT_FALSE(port.ReadModemStatus(MS_DSR_ON));
    EXPECT_FALSE(port.ReadModemStatus(MS_CTS_ON));
    EXPECT_EQ(port.settings.Error, 0);
    EXPECT_TRUE(port.GetConnected());

    ASSERT_TRUE(pair.RefuseBaud(CNullModemPair::A, 19200, 9600));
    port.PutBaudRate(19200);
    EXPECT_EQ(port.settings.Error, ERR_BAD_SETTING);
    EXPECT_EQ(port.settings.BaudRate, 9600);
    EXPECT_TRUE(port.GetConnected());
    PumpFor(100);
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 0);
}

// Wine's SetCommState drives DTR and RTS from the block's control modes on every call, so a
// block saying DISABLE drops both (dlls/ntdll/unix/serial.c, set_handflow); the serial
// driver of Windows changes the lines only when the mode changes. A board whose reset hangs
// on DTR must not reset because the host changed the speed.
TEST_F(PortOpen, LineSettingWritesKeepTheLinesTheHostSet)
{
    CFarEnd peer(pair.PortB());
    ASSERT_TRUE(peer.IsOpen());
    CRecordingPort port;
    port.PutDTR(1);
    port.PutRTS(1);
    Connect(port, pair.PortA());
    port.PutBaudRate(19200);
    EXPECT_EQ(peer.ModemStatus() & (MS_DSR_ON | MS_CTS_ON), 0u) << "never written in this connection: still off";

    port.PutDTR(1);
    port.PutRTS(1);
    ASSERT_EQ(peer.ModemStatus() & (MS_DSR_ON | MS_CTS_ON), DWORD(MS_DSR_ON | MS_CTS_ON));
    const struct {
        const char* what;
        void (CSerialPort::*put)(int32_t);
        int32_t value;
    } setters[] = {
        {"BaudRate", &CSerialPort::PutBaudRate, 38400},
        {"DataBits", &CSerialPort::PutDataBits, 7},
        {"Parity", &CSerialPort::PutParity, EVENPARITY},
        {"StopBits", &CSerialPort::PutStopBits, TWOSTOPBITS},
    };
    for (const auto& s : setters) {
        SCOPED_TRACE(s.what);
        (port.*s.put)(s.value);
        EXPECT_EQ(port.settings.Error, 0);
        EXPECT_EQ(peer.ModemStatus() & (MS_DSR_ON | MS_CTS_ON), DWORD(MS_DSR_ON | MS_CTS_ON));
    }

    // Written lines follow the properties, off included.
    port.PutRTS(0);
    port.PutBaudRate(9600);
    EXPECT_EQ(peer.ModemStatus() & (MS_DSR_ON | MS_CTS_ON), DWORD(MS_DSR_ON));

    // A new connection starts with both lines off again until the host writes one.
    port.PutConnected(true);
    ASSERT_TRUE(port.GetConnected());
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) == 2; }));
    port.PutParity(NOPARITY);
    EXPECT_EQ(peer.ModemStatus() & (MS_DSR_ON | MS_CTS_ON), 0u);
}

TEST_F(PortOpen, IntervalTimeoutAppliesAtOnce)
{
    CRecordingPort port;
    Connect(port, pair.PortA());
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port.PortHandle(), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 30u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    port.PutRecvIntervalTimeout(200);
    ASSERT_TRUE(GetCommTimeouts(port.PortHandle(), &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 200u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
}

TEST_F(PortOpen, PortChangeWhileConnectedReopensOnTheNewPort)
{
    CRecordingPort port;
    Connect(port, pair.PortA());
    port.PutPort(pair.PortB());
    EXPECT_TRUE(port.GetConnected());
    EXPECT_EQ(port.settings.Port, pair.PortB());

    // The old end is free again: a peer can open it.
    CFarEnd peer(pair.PortA());
    EXPECT_TRUE(peer.IsOpen());

    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) == 2; }));
    PumpFor(200);
    // The old connection's end is reported, but does not close the new one.
    ASSERT_EQ(port.events.size(), 3u);
    EXPECT_EQ(port.events[1].kind, EVT_DISCONNECT);
    EXPECT_EQ(port.events[2].kind, EVT_CONNECT);
    EXPECT_TRUE(port.GetConnected());

    // Port 0 and negatives change nothing while connected.
    port.PutPort(0);
    port.PutPort(-1);
    EXPECT_EQ(port.settings.Port, pair.PortB());
    EXPECT_TRUE(port.GetConnected());
}

TEST_F(PortOpen, PortWriteWhileNotWantedOnlyStores)
{
    CRecordingPort port;
    port.PutPort(pair.PortA());
    EXPECT_EQ(port.settings.Port, pair.PortA());
    EXPECT_FALSE(port.GetConnected());
    PumpFor(100);
    EXPECT_TRUE(port.events.empty());
}

}  // namespace

// Construction defaults, accepted and ignored writes, and the Error bookkeeping of the
// settings record, on a port object whose port stays closed.
#include <gtest/gtest.h>

#include "tests/support/recording_port.h"

namespace {

TEST(PortSettings, ConstructionDefaults)
{
    CRecordingPort port;
    const PortSettings& s = port.settings;
    EXPECT_EQ(s.Port, 1);
    EXPECT_EQ(s.BaudRate, 9600);
    EXPECT_EQ(s.DataBits, 8);
    EXPECT_EQ(s.Parity, NOPARITY);
    EXPECT_EQ(s.StopBits, ONESTOPBIT);
    EXPECT_EQ(s.DataMode, BINARY);
    EXPECT_EQ(s.NullSubst, 32);
    EXPECT_EQ(s.RecvIntervalTimeout, 30);
    EXPECT_EQ(s.RecvSizeThreshold, 1000);
    EXPECT_EQ(s.DTR, 0);
    EXPECT_EQ(s.RTS, 0);
    EXPECT_FALSE(port.GetConnected());
    EXPECT_EQ(s.ConnectWanted, 0);
    EXPECT_EQ(s.Error, 0);
    EXPECT_TRUE(port.GetErrorDescription().empty());
    EXPECT_EQ(port.PortHandle(), INVALID_HANDLE_VALUE);
    EXPECT_NE(port.NotifyWindow(), nullptr);
}

struct RangeCase {
    const char* name;
    void (CSerialPort::*put)(int32_t);
    int32_t PortSettings::*field;
    int32_t accepted;
    int32_t ignored;
    bool marksModified;
};

TEST(PortSettings, RangesOfThirtyTwoBitFields)
{
    const RangeCase cases[] = {
        {"BaudRate low", &CSerialPort::PutBaudRate, &PortSettings::BaudRate, 2, 1, true},
        {"BaudRate zero", &CSerialPort::PutBaudRate, &PortSettings::BaudRate, 115200, 0, true},
        {"BaudRate negative", &CSerialPort::PutBaudRate, &PortSettings::BaudRate, 300, -5, true},
        {"DataBits 9", &CSerialPort::PutDataBits, &PortSettings::DataBits, 5, 9, true},
        {"DataBits 4", &CSerialPort::PutDataBits, &PortSettings::DataBits, 7, 4, true},
        {"Parity", &CSerialPort::PutParity, &PortSettings::Parity, 4, 5, true},
        {"Parity negative", &CSerialPort::PutParity, &PortSettings::Parity, 2, -1, true},
        {"StopBits", &CSerialPort::PutStopBits, &PortSettings::StopBits, 2, 3, true},
        {"DataMode", &CSerialPort::PutDataMode, &PortSettings::DataMode, 2, 3, true},
        {"RecvSizeThreshold high", &CSerialPort::PutRecvSizeThreshold, &PortSettings::RecvSizeThreshold, 100000, 100001, true},
        {"RecvSizeThreshold zero", &CSerialPort::PutRecvSizeThreshold, &PortSettings::RecvSizeThreshold, 1, 0, true},
        {"Port zero", &CSerialPort::PutPort, &PortSettings::Port, 7, 0, true},
        {"Port negative", &CSerialPort::PutPort, &PortSettings::Port, 3, -5, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRecordingPort port;
        const int32_t before = port.settings.*c.field;
        (port.*c.put)(c.ignored);
        EXPECT_EQ(port.settings.*c.field, before);
        EXPECT_EQ(port.modifiedCount, 0);
        (port.*c.put)(c.accepted);
        EXPECT_EQ(port.settings.*c.field, c.accepted);
        EXPECT_EQ(port.modifiedCount > 0, c.marksModified);
        EXPECT_FALSE(port.GetConnected());
    }
}

TEST(PortSettings, SixteenBitFieldsAndLinesDoNotMarkModified)
{
    CRecordingPort port;
    port.PutNullSubst(255);
    EXPECT_EQ(port.settings.NullSubst, 255);
    port.PutNullSubst(256);
    port.PutNullSubst(-1);
    EXPECT_EQ(port.settings.NullSubst, 255);

    port.PutRecvIntervalTimeout(1);
    EXPECT_EQ(port.settings.RecvIntervalTimeout, 1);
    port.PutRecvIntervalTimeout(1000);
    EXPECT_EQ(port.settings.RecvIntervalTimeout, 1000);
    port.PutRecvIntervalTimeout(0);
    port.PutRecvIntervalTimeout(1001);
    EXPECT_EQ(port.settings.RecvIntervalTimeout, 1000);

    // DTR and RTS keep whatever was written; nonzero means on.
    port.PutDTR(-7);
    EXPECT_EQ(port.settings.DTR, -7);
    port.PutRTS(1);
    EXPECT_EQ(port.settings.RTS, 1);

    port.PutError(12345);
    EXPECT_EQ(port.settings.Error, 0);
    EXPECT_EQ(port.modifiedCount, 0);
}

TEST(PortSettings, ErrorSurvivesBaudRateButNotParity)
{
    CRecordingPort port;
    port.settings.Error = 220;  // as left by a failed open
    port.PutBaudRate(19200);
    EXPECT_EQ(port.settings.Error, 220);
    port.PutDataMode(1);
    EXPECT_EQ(port.settings.Error, 220);
    port.PutParity(2);
    EXPECT_EQ(port.settings.Error, 0);

    port.settings.Error = 219;
    port.PutDataBits(9);  // ignored: Error stays
    EXPECT_EQ(port.settings.Error, 219);
    port.PutDataBits(5);
    EXPECT_EQ(port.settings.DataBits, 5);
    EXPECT_EQ(port.settings.Error, 0);
}

TEST(PortSettings, ClosedPortReadsNoModemLinesAndPostsNothing)
{
    CRecordingPort port;
    EXPECT_FALSE(port.ReadModemStatus(MS_DSR_ON));
    EXPECT_FALSE(port.ReadModemStatus(MS_CTS_ON));
    EXPECT_FALSE(port.ReadModemStatus(MS_RING_ON));

    port.PutConnected(false);
    EXPECT_EQ(port.settings.ConnectWanted, 0);
    EXPECT_EQ(port.modifiedCount, 1);
    PumpFor(100);
    EXPECT_TRUE(port.events.empty());
}

TEST(PortSettings, ConnectWithoutValidPortDoesNothing)
{
    CRecordingPort port;
    port.settings.Port = 0;  // reachable only through stored data
    port.settings.Error = 221;
    port.PutConnected(true);
    EXPECT_EQ(port.settings.ConnectWanted, 1);
    EXPECT_EQ(port.settings.Error, 221);
    PumpFor(100);
    EXPECT_TRUE(port.events.empty());
}

TEST(PortSettings, OnlyTheFourLineSettingsJudgeAndOnlyAcceptableValuesComeBack)
{
    const LineSettings asked{115200, 8, 0, 0};
    EXPECT_TRUE(KeepsLineSettings(asked, asked));
    EXPECT_FALSE(KeepsLineSettings(asked, {38400, 8, 0, 0}));
    EXPECT_FALSE(KeepsLineSettings(asked, {115200, 7, 0, 0}));
    EXPECT_FALSE(KeepsLineSettings(asked, {115200, 8, 2, 0}));
    EXPECT_FALSE(KeepsLineSettings(asked, {115200, 8, 0, 2}));

    struct Case {
        const char* what;
        LineSettings kept;
        int32_t baud, dataBits, parity, stopBits;  // the record afterwards
    };
    // The host asked for 115200 7E2.
    const Case cases[] = {
        {"driver values in range are taken", {38400, 8, 0, 1}, 38400, 8, 0, 1},
        {"rate 0 is not", {0, 8, 0, 0}, 115200, 8, 0, 0},
        {"rate 1 is not", {1, 7, 2, 2}, 115200, 7, 2, 2},
        {"a rate above 31 bits is not", {0x80000000u, 7, 2, 2}, 115200, 7, 2, 2},
        {"byte sizes 0, 4 and 9 are not", {9600, 4, 1, 2}, 9600, 7, 1, 2},
        {"byte size 0", {9600, 0, 2, 2}, 9600, 7, 2, 2},
        {"byte size 9", {9600, 9, 2, 2}, 9600, 7, 2, 2},
        {"parity 5 and stop bits 3 are not", {9600, 8, 5, 3}, 9600, 8, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PortSettings s;
        s.BaudRate = 115200;
        s.DataBits = 7;
        s.Parity = 2;
        s.StopBits = 2;
        TakeDriverLineSettings(s, c.kept);
        EXPECT_EQ(s.BaudRate, c.baud);
        EXPECT_EQ(s.DataBits, c.dataBits);
        EXPECT_EQ(s.Parity, c.parity);
        EXPECT_EQ(s.StopBits, c.stopBits);
    }
}

TEST(PortSettings, EffectiveThresholdClampsStoredValues)
{
    EXPECT_EQ(EffectiveRecvSizeThreshold(0), 1u);
    EXPECT_EQ(EffectiveRecvSizeThreshold(-20), 1u);
    EXPECT_EQ(EffectiveRecvSizeThreshold(1000), 1000u);
    EXPECT_EQ(EffectiveRecvSizeThreshold(2000000), 100000u);
}

// SetCommState fails when XonChar equals XoffChar (SetCommState, Microsoft's Win32
// documentation) and drivers refuse XON/XOFF limits beyond their receive buffer (the serial
// sample in microsoft/Windows-driver-samples, serial/serial, checks IOCTL_SERIAL_SET_HANDFLOW's
// limits against its buffer size), even with XON/XOFF off. The repair touches only what a
// driver would refuse.
TEST(PortSettings, FlowControlMembersAreMadeValidOnlyWhereInvalid)
{
    FlowControlMembers fine{1024, 1024, 0x11, 0x13};
    EXPECT_FALSE(MakeFlowControlMembersValid(fine, 4096));
    EXPECT_EQ(fine.xonLim, 1024u);

    FlowControlMembers tooLarge{2048, 3000, 0x11, 0x13};  // beyond a 4096-byte queue together
    EXPECT_TRUE(MakeFlowControlMembersValid(tooLarge, 4096));
    EXPECT_LE(tooLarge.xonLim + tooLarge.xoffLim, 4096u);
    EXPECT_GT(tooLarge.xonLim, 0u);
    EXPECT_EQ(tooLarge.xonChar, 0x11);

    FlowControlMembers sameChars{10, 10, 0, 0};  // a block zeroed by the last program
    EXPECT_TRUE(MakeFlowControlMembersValid(sameChars, 0));
    EXPECT_EQ(sameChars.xonChar, 0x11);
    EXPECT_EQ(sameChars.xoffChar, 0x13);
    EXPECT_EQ(sameChars.xonLim, 10u);

    // A driver that reports no queue is taken to have the one the control asks for.
    FlowControlMembers unknown{4000, 10, 1, 3};
    EXPECT_TRUE(MakeFlowControlMembersValid(unknown, 0));
    EXPECT_LE(unknown.xonLim + unknown.xoffLim, kRequestedQueueSize);
}

}  // namespace

// Bytes and modem lines across a virtual null-modem pair, and the line events they raise.
#include "testbed_fixture.h"

#include <string>

namespace {

std::string AllByteValues()
{
    std::string s;
    for (int i = 0; i < 256; ++i) s.push_back(char(i));
    return s;
}

} // namespace

TEST_F(TestbedTest, BytesCrossBothWaysUnchanged)
{
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA())) << a.LastError();
    ASSERT_TRUE(b.Open(pair.PortB())) << b.LastError();
    const std::string all = AllByteValues(); // no line discipline may eat or translate any value
    ASSERT_TRUE(a.Write(all));
    EXPECT_EQ(b.Read(all.size(), 3000), all);
    const std::string control = "\r\n\x11\x13\x04\x03\x7f reply"; // CR, LF, XON, XOFF, EOF, INTR, DEL
    ASSERT_TRUE(b.Write(control));
    EXPECT_EQ(a.Read(control.size(), 3000), control);

    unsigned long long aToB = 0, bToA = 0;
    ASSERT_TRUE(pair.BytesOnWire(aToB, bToA));
    EXPECT_EQ(aToB, all.size());
    EXPECT_EQ(bToA, control.size());
}

TEST_F(TestbedTest, BytesSentToAClosedEndAreLost)
{
    {
        CComPort a;
        ASSERT_TRUE(a.Open(pair.PortA()));
        ASSERT_TRUE(a.Write("lost"));
        unsigned long long aToB = 0, bToA = 0;
        ASSERT_TRUE(WaitUntil([&] { return pair.BytesOnWire(aToB, bToA) && aToB == 4; }));
    }
    CComPort b;
    ASSERT_TRUE(b.Open(pair.PortB()));
    EXPECT_EQ(b.Read(4, 300), "");
}

TEST_F(TestbedTest, DtrIsDsrAndDcdAndRtsIsCtsOfThePeer)
{
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA()));
    ASSERT_TRUE(b.Open(pair.PortB()));
    EXPECT_EQ(b.ModemStatus(), 0u);
    ASSERT_TRUE(a.SetLine(SETDTR));
    EXPECT_EQ(b.ModemStatus(), DWORD(MS_DSR_ON | MS_RLSD_ON));
    ASSERT_TRUE(a.SetLine(SETRTS));
    EXPECT_EQ(b.ModemStatus(), DWORD(MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON));
    ASSERT_TRUE(a.SetLine(CLRDTR));
    EXPECT_EQ(b.ModemStatus(), DWORD(MS_CTS_ON));
    EXPECT_EQ(a.ModemStatus(), 0u) << "an end never sees its own outputs";
    ASSERT_TRUE(b.SetLine(SETDTR));
    EXPECT_EQ(a.ModemStatus(), DWORD(MS_DSR_ON | MS_RLSD_ON));
}

TEST_F(TestbedTest, ClosingAnEndDropsItsLines)
{
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA()));
    ASSERT_TRUE(b.Open(pair.PortB()));
    a.SetLine(SETDTR);
    a.SetLine(SETRTS);
    ASSERT_NE(b.ModemStatus(), 0u);
    a.Close();
    EXPECT_TRUE(WaitUntil([&] { return b.ModemStatus() == 0; }, 1000));
}

TEST_F(TestbedTest, RingAndForcedCarrierComeFromTheTest)
{
    CComPort a;
    ASSERT_TRUE(a.Open(pair.PortA()));
    ASSERT_TRUE(pair.SetRing(CNullModemPair::A, true));
    EXPECT_EQ(a.ModemStatus(), DWORD(MS_RING_ON));
    ASSERT_TRUE(pair.SetDcd(CNullModemPair::A, true));
    EXPECT_EQ(a.ModemStatus(), DWORD(MS_RING_ON | MS_RLSD_ON));
    ASSERT_TRUE(pair.SetRing(CNullModemPair::A, false));
    ASSERT_TRUE(pair.FollowDcd(CNullModemPair::A));
    EXPECT_EQ(a.ModemStatus(), 0u);
    // A far end without a program: its outputs driven through the daemon.
    ASSERT_TRUE(pair.SetOutputLines(CNullModemPair::B, true, false));
    EXPECT_EQ(a.ModemStatus(), DWORD(MS_DSR_ON | MS_RLSD_ON));
}

TEST_F(TestbedTest, ModemLineChangesWakeWaitCommEvent)
{
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA(), true));
    ASSERT_TRUE(b.Open(pair.PortB()));
    {
        CEventWait wait(a.Get(), EV_CTS | EV_DSR | EV_RING);
        ASSERT_TRUE(wait.Armed());
        b.SetLine(SETRTS);
        EXPECT_EQ(wait.Result(2000), DWORD(EV_CTS));
    }
    {
        CEventWait wait(a.Get(), EV_CTS | EV_DSR | EV_RING);
        b.SetLine(SETDTR);
        EXPECT_EQ(wait.Result(2000), DWORD(EV_DSR));
    }
    {
        CEventWait wait(a.Get(), EV_CTS | EV_DSR | EV_RING | EV_RLSD);
        pair.SetRing(CNullModemPair::A, true);
        EXPECT_EQ(wait.Result(2000), DWORD(EV_RING));
    }
    {
        CEventWait wait(a.Get(), EV_RXCHAR);
        b.Write("x");
        EXPECT_EQ(wait.Result(2000), DWORD(EV_RXCHAR));
    }
}

TEST_F(TestbedTest, BreaksAndLineErrorsWakeWaitCommEvent)
{
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA(), true));
    ASSERT_TRUE(b.Open(pair.PortB()));
    {
        CEventWait wait(a.Get(), EV_BREAK | EV_ERR);
        pair.InjectBreak(CNullModemPair::A);
        EXPECT_EQ(wait.Result(2000), DWORD(EV_BREAK));
    }
    {
        CEventWait wait(a.Get(), EV_BREAK | EV_ERR);
        ASSERT_TRUE(SetCommBreak(b.Get())); // the peer holding its line in break
        EXPECT_EQ(wait.Result(2000), DWORD(EV_BREAK));
        ClearCommBreak(b.Get());
    }
    for (auto kind : {CNullModemPair::LineError::Frame, CNullModemPair::LineError::Overrun,
                      CNullModemPair::LineError::Parity}) {
        CEventWait wait(a.Get(), EV_BREAK | EV_ERR);
        pair.InjectError(CNullModemPair::A, kind);
        EXPECT_EQ(wait.Result(2000), DWORD(EV_ERR));
    }
}

TEST_F(TestbedTest, TxEmptyFollowsThePacedWire)
{
    ASSERT_TRUE(pair.SetPacing(true));
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA(), true));
    ASSERT_TRUE(b.Open(pair.PortB()));
    // 2400 baud 8N1: 240 characters per second, so 60 bytes need about 250 ms on the wire.
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(a.Get(), &dcb));
    dcb.BaudRate = 2400;
    ASSERT_TRUE(SetCommState(a.Get(), &dcb));

    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const std::string payload(60, 'p');
    DWORD written = 0;
    DWORD start = GetTickCount();
    if (!WriteFile(a.Get(), payload.data(), DWORD(payload.size()), &written, &ov)) {
        ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(GetOverlappedResult(a.Get(), &ov, &written, TRUE));
    CloseHandle(ov.hEvent);
    {
        CEventWait wait(a.Get(), EV_TXEMPTY);
        EXPECT_EQ(wait.Result(3000), DWORD(EV_TXEMPTY));
    }
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 180u) << "the bytes left faster than 2400 baud allows";
    EXPECT_EQ(b.Read(payload.size(), 3000), payload);
}

TEST_F(TestbedTest, UnpacedBytesArriveAtOnce)
{
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA()));
    ASSERT_TRUE(b.Open(pair.PortB()));
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(a.Get(), &dcb));
    dcb.BaudRate = 300; // 30 characters per second if the wire were paced
    ASSERT_TRUE(SetCommState(a.Get(), &dcb));
    DWORD start = GetTickCount();
    ASSERT_TRUE(a.Write(std::string(300, 'u')));
    EXPECT_EQ(b.Read(300, 3000).size(), 300u);
    EXPECT_LT(GetTickCount() - start, 2000u);
}

TEST(TestbedLease, EveryLeaseGetsItsOwnPair)
{
    CNullModemPair first, second;
    ASSERT_TRUE(first.Lease());
    ASSERT_TRUE(second.Lease());
    EXPECT_NE(first.PortA(), second.PortA());
    EXPECT_EQ(first.PortB(), first.PortA() + 1);
    EXPECT_TRUE(IsPoolCom(first.PortA()) && IsPoolCom(first.PortB()));
    EXPECT_TRUE(IsPoolCom(second.PortA()) && IsPoolCom(second.PortB()));
}

// Pacing switched on after unpaced traffic on the same lease (a benchmark's unpaced round
// before its paced one) must pace: once, the debt of the last unpaced read became an unlimited
// budget for the rest of the lease.
TEST_F(TestbedTest, PacingHoldsAfterUnpacedTraffic)
{
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA()));
    ASSERT_TRUE(b.Open(pair.PortB()));
    ASSERT_TRUE(a.Write(std::string(8000, 'u')));
    ASSERT_EQ(b.Read(8000, 3000).size(), 8000u);
    ASSERT_TRUE(pair.SetPacing(true));
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(a.Get(), &dcb));
    dcb.BaudRate = 2400; // 240 characters per second
    ASSERT_TRUE(SetCommState(a.Get(), &dcb));
    ASSERT_TRUE(a.Write(std::string(480, 'p')));
    EXPECT_LT(b.Read(480, 500).size(), 240u) << "two seconds of bytes crossed in half a second";
}

TEST_F(TestbedTest, PurgeAndCloseDropWhatThePacedWireHasNotSent)
{
    ASSERT_TRUE(pair.SetPacing(true));
    CComPort b;
    ASSERT_TRUE(b.Open(pair.PortB()));
    {
        CComPort a;
        ASSERT_TRUE(a.Open(pair.PortA()));
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        ASSERT_TRUE(GetCommState(a.Get(), &dcb));
        dcb.BaudRate = 2400; // 240 characters per second: 2000 bytes need over eight seconds
        ASSERT_TRUE(SetCommState(a.Get(), &dcb));
        ASSERT_TRUE(a.Write(std::string(2000, 'p')));
        Sleep(100);
        ASSERT_TRUE(PurgeComm(a.Get(), PURGE_TXABORT | PURGE_TXCLEAR));
        EXPECT_LT(b.Read(2000, 1000).size(), 120u) << "bytes kept crossing after the purge";
        ASSERT_TRUE(a.Write(std::string(2000, 'c')));
        Sleep(100);
    } // closed with nearly all of the second block still queued
    EXPECT_LT(b.Read(2000, 1000).size(), 120u) << "bytes kept crossing after the close";
}

// A plain pty has no modem-control lines (measured: TIOCMGET fails with ENOTTY); Wine then
// fails the line calls with ERROR_NOT_SUPPORTED and reports both control modes as ENABLE.
TEST_F(TestbedTest, NoModemLinesPersonalityAnswersLikeAPty)
{
    ASSERT_TRUE(pair.SetPersonality(CNullModemPair::A, CNullModemPair::NoModemLines));
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA(), true));
    ASSERT_TRUE(b.Open(pair.PortB()));

    SetLastError(0);
    EXPECT_FALSE(a.SetLine(SETDTR));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(a.Get(), &status));
    EXPECT_EQ(b.ModemStatus(), 0u) << "an end without lines drives none";
    ASSERT_TRUE(b.SetLine(SETDTR));
    EXPECT_FALSE(GetCommModemStatus(a.Get(), &status));

    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(a.Get(), &dcb));
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.BaudRate = 19200;
    SetCommState(a.Get(), &dcb);
    DCB kept = {};
    kept.DCBlength = sizeof(kept);
    ASSERT_TRUE(GetCommState(a.Get(), &kept));
    EXPECT_EQ(kept.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
    EXPECT_EQ(kept.fRtsControl, DWORD(RTS_CONTROL_ENABLE));
    EXPECT_EQ(kept.BaudRate, 19200u) << "the line settings themselves are kept";

    // Measured on a socat pty under Wine 8: a wait for modem events fails at once with
    // error 50; any other wait is armed, and ends within milliseconds with error 995, when
    // Wine's event thread finds it cannot read the lines.
    for (DWORD mask : {DWORD(EV_CTS | EV_DSR | EV_RXCHAR), DWORD(EV_RXCHAR | EV_ERR | EV_BREAK)}) {
        SetCommMask(a.Get(), mask);
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD events = 0, ignored = 0;
        SetLastError(0);
        const bool modem = (mask & EV_CTS) != 0;
        if (modem) {
            EXPECT_FALSE(WaitCommEvent(a.Get(), &events, &ov));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED)) << "modem events cannot be waited for";
        } else {
            EXPECT_FALSE(WaitCommEvent(a.Get(), &events, &ov));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
            EXPECT_EQ(WaitForSingleObject(ov.hEvent, 2000), WAIT_OBJECT_0);
            EXPECT_FALSE(GetOverlappedResult(a.Get(), &ov, &ignored, FALSE));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
        }
        CloseHandle(ov.hEvent);
    }
    // Back to a perfect UART while the handle stays open; end B was never affected.
    ASSERT_TRUE(pair.SetPersonality(CNullModemPair::A, CNullModemPair::PerfectUart));
    EXPECT_TRUE(a.SetLine(SETDTR));
    EXPECT_EQ(b.ModemStatus(), DWORD(MS_DSR_ON | MS_RLSD_ON));
    EXPECT_EQ(a.ModemStatus(), DWORD(MS_DSR_ON | MS_RLSD_ON));
}

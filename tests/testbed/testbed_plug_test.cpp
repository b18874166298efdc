// Missing ports, unplugging and replugging, hang-ups, and the DOS device list.
#include "testbed_fixture.h"

#include <string>

namespace {

// An overlapped read that stays pending until data, a hang-up or the handle's close.
class CPendingRead {
public:
    explicit CPendingRead(HANDLE port) : handle(port)
    {
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        COMMTIMEOUTS t = {}; // no time-outs: the read waits for its bytes
        SetCommTimeouts(handle, &t);
        pending = !ReadFile(handle, buf, sizeof(buf), nullptr, &ov) && GetLastError() == ERROR_IO_PENDING;
    }
    ~CPendingRead()
    {
        CancelIo(handle);
        DWORD ignored;
        if (pending) GetOverlappedResult(handle, &ov, &ignored, TRUE);
        CloseHandle(ov.hEvent);
    }
    CPendingRead(const CPendingRead &) = delete;
    CPendingRead &operator=(const CPendingRead &) = delete;

    bool Pending() const { return pending; }
    // Waits for the read to end; returns its error (0 for success) or WAIT_TIMEOUT.
    DWORD Outcome(DWORD timeoutMs)
    {
        if (WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) return WAIT_TIMEOUT;
        DWORD got = 0;
        pending = false;
        return GetOverlappedResult(handle, &ov, &got, FALSE) ? 0 : GetLastError();
    }

private:
    HANDLE handle;
    OVERLAPPED ov = {};
    char buf[16];
    bool pending = false;
};

} // namespace

TEST(TestbedPorts, UnmappedNumbersDoNotExist)
{
    for (int com : {1, 3, 9, kMissingComAbovePool, kFirstSecondPoolCom - 1, kLastSecondPoolCom + 1, 200}) {
        CComPort port;
        EXPECT_FALSE(port.Open(com)) << "COM" << com;
        EXPECT_EQ(port.LastError(), DWORD(ERROR_FILE_NOT_FOUND)) << "COM" << com;
        EXPECT_FALSE(IsComPortListed(com)) << "COM" << com;
    }
}

TEST_F(TestbedTest, BothEndsAreListedAsDosDevices)
{
    EXPECT_TRUE(IsComPortListed(pair.PortA()));
    EXPECT_TRUE(IsComPortListed(pair.PortB()));
    const std::string listed = " " + ListedComPorts() + " ";
    EXPECT_NE(listed.find(" COM" + std::to_string(pair.PortA()) + " "), std::string::npos) << listed;
    EXPECT_EQ(listed.find(" COM1 "), std::string::npos) << "a host serial device leaked into the prefix";
}

TEST_F(TestbedTest, AnEndOpensOnlyOnceAtATime)
{
    CComPort first, second;
    ASSERT_TRUE(first.Open(pair.PortA()));
    EXPECT_FALSE(second.Open(pair.PortA()));
    EXPECT_EQ(second.LastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(TestbedTest, UnplugFailsThePendingReadAndHidesThePort)
{
    CComPort a, b;
    ASSERT_TRUE(a.Open(pair.PortA(), true));
    ASSERT_TRUE(b.Open(pair.PortB()));
    {
        CPendingRead read(a.Get());
        ASSERT_TRUE(read.Pending());
        ASSERT_TRUE(pair.Unplug(CNullModemPair::A));
        DWORD outcome = read.Outcome(3000);
        EXPECT_NE(outcome, DWORD(WAIT_TIMEOUT));
        EXPECT_NE(outcome, 0u);
    }
    a.Close();
    EXPECT_FALSE(IsComPortListed(pair.PortA()));
    CComPort reopen;
    EXPECT_FALSE(reopen.Open(pair.PortA()));
    EXPECT_EQ(reopen.LastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(IsComPortListed(pair.PortB())) << "only the unplugged end goes away";

    ASSERT_TRUE(pair.Replug(CNullModemPair::A));
    EXPECT_TRUE(IsComPortListed(pair.PortA()));
    ASSERT_TRUE(reopen.Open(pair.PortA())) << reopen.LastError();
    ASSERT_TRUE(b.Write("back"));
    EXPECT_EQ(reopen.Read(4, 2000), "back");
}

TEST_F(TestbedTest, HangUpFailsThePendingReadButThePortStays)
{
    CComPort a;
    ASSERT_TRUE(a.Open(pair.PortA(), true));
    {
        CPendingRead read(a.Get());
        ASSERT_TRUE(read.Pending());
        ASSERT_TRUE(pair.HangUp(CNullModemPair::A));
        EXPECT_EQ(read.Outcome(3000), DWORD(ERROR_BROKEN_PIPE));
    }
    a.Close();
    EXPECT_TRUE(IsComPortListed(pair.PortA()));
    CComPort again;
    EXPECT_TRUE(again.Open(pair.PortA())) << again.LastError();
}

TEST(TestbedLease, ReleasingALeaseReplugsItsPorts)
{
    int port = 0;
    {
        CNullModemPair pair;
        ASSERT_TRUE(pair.Lease());
        port = pair.PortB();
        ASSERT_TRUE(pair.Unplug(CNullModemPair::B));
        ASSERT_FALSE(IsComPortListed(port));
    }
    EXPECT_TRUE(IsComPortListed(port));
    CComPort probe;
    EXPECT_TRUE(WaitUntil([&] { return probe.Open(port); })) << probe.LastError();
}

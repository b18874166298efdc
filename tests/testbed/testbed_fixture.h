// Shared fixture of the test-bed tests: a leased pair and helpers for overlapped waits.
#pragma once
#include <gtest/gtest.h>

#include "null_modem.h"

class TestbedTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pair.Lease()) << "no virtual null-modem test bed (run through wine-run.sh)"; }

    CNullModemPair pair;
};

// An overlapped WaitCommEvent armed on a handle opened with FILE_FLAG_OVERLAPPED.
class CEventWait {
public:
    CEventWait(HANDLE port, DWORD mask) : handle(port)
    {
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetCommMask(handle, mask);
        armed = WaitCommEvent(handle, &events, &ov) || GetLastError() == ERROR_IO_PENDING;
    }
    ~CEventWait()
    {
        if (!done) {
            SetCommMask(handle, 0); // cancels the wait
            DWORD ignored;
            GetOverlappedResult(handle, &ov, &ignored, TRUE);
        }
        CloseHandle(ov.hEvent);
    }
    CEventWait(const CEventWait &) = delete;
    CEventWait &operator=(const CEventWait &) = delete;

    bool Armed() const { return armed; }
    // The event mask that ended the wait, or 0 when nothing came within timeoutMs.
    DWORD Result(DWORD timeoutMs)
    {
        if (WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) return 0;
        DWORD ignored;
        done = true;
        return GetOverlappedResult(handle, &ov, &ignored, FALSE) ? events : 0;
    }

private:
    HANDLE handle;
    OVERLAPPED ov = {};
    DWORD events = 0;
    bool armed = false;
    bool done = false;
};

// Polls `condition` every 5 ms for up to timeoutMs.
template <class F>
bool WaitUntil(F condition, DWORD timeoutMs = 2000)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(5);
    }
    return true;
}

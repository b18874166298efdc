// A GoogleTest fixture that leases a virtual null-modem pair for each test.
#pragma once
// The test-bed client brings winsock2.h, which must come before windows.h.
#include "tools/testbed/client/null_modem.h"

#include <gtest/gtest.h>

#include "tests/support/far_end.h"
#include "tests/support/recording_port.h"

// Never mapped in a test prefix: opening it fails with "file not found".
constexpr int kMissingPort = 3;

class PairTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pair.Lease()) << "the virtual null-modem test bed is not running"; }

    // Opens the port object on `number` and waits for its EVT_CONNECT.
    static void Connect(CRecordingPort& port, int number)
    {
        const int before = port.Count(EVT_CONNECT);
        port.PutPort(number);
        port.PutConnected(true);
        ASSERT_TRUE(port.GetConnected()) << "Error " << port.settings.Error;
        ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) > before; }));
    }

    CNullModemPair pair;
};

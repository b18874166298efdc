// Helpers of the acceptance tests: the registered module as a real client meets it (Wine's
// regsvr32, child processes, automation by name, an event sink of our own).
#pragma once
// The test-bed client brings winsock2.h, which must come before windows.h.
#include "tools/testbed/client/null_modem.h"
#include "common/comm_event_sink.h"

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/com_raii.h"

// A Unix path of the build (CMake gives those) as Wine's Z: drive path.
std::wstring WindowsPath(const std::string& unixPath);
std::wstring Widen(const std::string& text);

struct CChildResult {
    bool started = false;
    bool finished = false;  // false: killed after the time-out
    DWORD exitCode = 0;
    std::string output;     // standard output and standard error together, CRs removed
};
// Runs a command line with its output captured; kills it after timeoutMs.
CChildResult RunChild(const std::wstring& commandLine, DWORD timeoutMs);

// Registers the built Tarvel.ocx with Wine's regsvr32 (silent); its exit code.
DWORD RegisterModuleWithRegsvr32();

// Dispatches this thread's window messages for ms milliseconds, or until done() holds.
void PumpFor(DWORD ms);
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);

// Automation by name, the way script engines reach a control.
HRESULT GetByName(IDispatch* object, const wchar_t* name, CVariant& value);
HRESULT PutByName(IDispatch* object, const wchar_t* name, const VARIANT& value);
HRESULT CallByName(IDispatch* object, const wchar_t* name, std::vector<CVariant> args, CVariant& result);
long GetLong(IDispatch* object, const wchar_t* name);
bool GetBool(IDispatch* object, const wchar_t* name);
std::wstring GetString(IDispatch* object, const wchar_t* name);

// A sink for the control's events that records every CommEvent (kind, data copied).
class CRecordingSink final : public CCommEventSink {
public:
    struct CEvent {
        int kind;
        CVariant data;
    };
    int Count(int kind) const;
    std::vector<CEvent> events;
    int badCalls = 0;  // wrong DISPID or argument count

private:
    HRESULT OnCommEvent(long kind, const VARIANT& data) override;
    HRESULT OnBadCall(HRESULT result) override { ++badCalls; return result; }
};

// A Ports-class device with a friendly name for one COM port, as a driver installs it; removed
// again with the object (the prefix would keep it).
class CFakePortDevice {
public:
    CFakePortDevice(int port, const char* friendlyName);
    ~CFakePortDevice();
    CFakePortDevice(const CFakePortDevice&) = delete;
    CFakePortDevice& operator=(const CFakePortDevice&) = delete;
    bool ready = false;

private:
    HDEVINFO set;
    SP_DEVINFO_DATA device{};
    bool registered = false;
};

// COM initialised as a single-threaded apartment for each test.
class AcceptanceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

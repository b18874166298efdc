// The marshaling window: its shape, notification routing, and what device-change
// broadcasts (port records and device-interface paths) do to the port object.
// The test-bed client brings in winsock2.h, which must come before <windows.h>.
#include "tests/support/pair_fixture.h"

#include <dbt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/marshal_wnd.h"

namespace {

LRESULT SendDeviceChange(HWND window, WPARAM event, const void* record)
{
    return SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
}

// A DBT_DEVTYP_PORT record carrying `name`, sized as the system sizes it.
LRESULT SendPortBroadcast(HWND window, WPARAM event, const char* name)
{
    std::vector<char> record(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + strlen(name) + 1);
    auto* port = reinterpret_cast<DEV_BROADCAST_PORT_A*>(record.data());
    port->dbcp_size = static_cast<DWORD>(record.size());
    port->dbcp_devicetype = DBT_DEVTYP_PORT;
    memcpy(port->dbcp_name, name, strlen(name) + 1);
    return SendDeviceChange(window, event, record.data());
}

// A DBT_DEVTYP_DEVICEINTERFACE record carrying `path`.
LRESULT SendInterfaceBroadcast(HWND window, WPARAM event, const std::string& path)
{
    std::vector<char> record(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + path.size() + 1);
    auto* dev = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(record.data());
    dev->dbcc_size = static_cast<DWORD>(record.size());
    dev->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    memcpy(dev->dbcc_name, path.c_str(), path.size() + 1);
    return SendDeviceChange(window, event, record.data());
}

// The first `size` bytes of a device-change record of `type` whose dbch_size says `size`,
// with `name` (terminator only when it holds one) from byte `nameOffset` on.
std::vector<char> RecordPrefix(DWORD size, DWORD type, size_t nameOffset, const std::string& name)
{
    std::vector<char> full(std::max(nameOffset + name.size(), sizeof(DEV_BROADCAST_HDR)), 0);
    auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(full.data());
    header->dbch_size = size;
    header->dbch_devicetype = type;
    memcpy(full.data() + nameOffset, name.data(), name.size());
    full.resize(size);
    return full;
}

constexpr size_t kPortNameOffset = offsetof(DEV_BROADCAST_PORT_A, dbcp_name);
constexpr size_t kPathOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);

// A record whose last byte is the last readable one before a no-access page, as another
// program's message may arrive: reading one byte beyond it faults.
class CGuardedRecord {
public:
    explicit CGuardedRecord(const std::vector<char>& bytes)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        base = static_cast<char*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (!base || !VirtualProtect(base + page, page, PAGE_NOACCESS, &old)) return;
        record = base + page - bytes.size();
        memcpy(record, bytes.data(), bytes.size());
    }
    ~CGuardedRecord()
    {
        if (base) VirtualFree(base, 0, MEM_RELEASE);
    }
    CGuardedRecord(const CGuardedRecord&) = delete;
    CGuardedRecord& operator=(const CGuardedRecord&) = delete;

    const void* Get() const { return record; }

private:
    char* base = nullptr;
    char* record = nullptr;
};

// A device instance in the registry's Enum tree with a "PortName", as a USB serial adapter
// leaves it. Each process uses its own device name: ctest runs test programs side by side in
// one prefix.
class CFakeDeviceKey {
public:
    CFakeDeviceKey(const char* instance, const void* portName, DWORD size, DWORD type = REG_SZ)
    {
        char device[64];
        snprintf(device, sizeof device, "VID_7A7A&PID_%lu", GetCurrentProcessId());
        devicePath = std::string("SYSTEM\\CurrentControlSet\\Enum\\TARVELTEST\\") + device;
        path = std::string("\\\\?\\TARVELTEST#") + device + "#" + instance +
               "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
        instanceKey = devicePath + "\\" + instance;
        const std::string key = instanceKey + "\\Device Parameters";
        HKEY h = nullptr;
        created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                                  nullptr) == ERROR_SUCCESS;
        if (!created) return;
        if (portName) RegSetValueExA(h, "PortName", 0, type, static_cast<const BYTE*>(portName), size);
        RegCloseKey(h);
    }
    CFakeDeviceKey(const char* instance, const char* portName)
        : CFakeDeviceKey(instance, portName, static_cast<DWORD>(strlen(portName) + 1))
    {
    }
    ~CFakeDeviceKey()
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, instanceKey.c_str());
        // The parents go once empty: other objects and test processes may still use them.
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, devicePath.c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\TARVELTEST");
    }

    bool created = false;
    std::string path;  // the device-interface path naming this instance

private:
    std::string devicePath;
    std::string instanceKey;
};

// A port object that looks open without a handle behind it, so that ClosePort's effect
// (PortOpen back to 0) is visible without a real port.
void PretendOpen(CSerialPort& port, int32_t number)
{
    port.settings.Port = number;
    port.settings.PortOpen = 1;
    port.settings.ConnectWanted = 1;
}

// SetPortAndReconnect ran: it marks the port modified and, with COM3 never mapped in a test
// prefix, reports the failed open with Error 219 and EVT_DISCONNECT.
void ExpectReopenAttempt(CRecordingPort& port, int modifiedBefore)
{
    EXPECT_GT(port.modifiedCount, modifiedBefore);
    EXPECT_EQ(port.settings.Error, ERR_UNKNOWN_PORT);
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
}

TEST(MarshalWindow, HiddenTopLevelWindowOfTheCreatingThread)
{
    CRecordingPort port;
    const HWND window = port.NotifyWindow();
    ASSERT_TRUE(IsWindow(window));
    char title[64] = {};
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ(title, "Tarvel event marshaling window");
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(GetParent(window), nullptr);
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
    EXPECT_EQ(GetClassLongA(window, GCL_STYLE), static_cast<DWORD>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    // Placed at the origin; the system may widen it to a captioned window's minimum size.
    RECT rect{};
    GetWindowRect(window, &rect);
    EXPECT_EQ(rect.left, 0);
    EXPECT_EQ(rect.top, 0);
    EXPECT_GE(rect.right - rect.left, 100);
}

TEST(MarshalWindow, DestroyedWithItsObjectAndReusableAfterwards)
{
    HWND first = nullptr;
    {
        CMarshalWnd wnd;
        ASSERT_TRUE(wnd.Create());
        first = wnd.Handle();
        EXPECT_TRUE(IsWindow(first));
    }
    EXPECT_FALSE(IsWindow(first));

    // The class registered for the first window serves every later one.
    CMarshalWnd again;
    ASSERT_TRUE(again.Create());
    EXPECT_TRUE(IsWindow(again.Handle()));
}

TEST(MarshalWindow, PortNotificationReachesTheOwner)
{
    CRecordingPort port;
    const HWND window = port.NotifyWindow();
    // A connect notification the port never posted, as any program can send or post one.
    EXPECT_EQ(SendMessageA(window, WM_PORT_NOTIFY, EVT_CONNECT, 0), 1);
    PostMessageA(window, WM_PORT_NOTIFY, EVT_CONNECT, 0);
    PumpFor(50);
    EXPECT_EQ(port.Count(EVT_CONNECT), 0);

    // The port's own notification (a failed open's) is delivered when the thread pumps.
    port.PutPort(kMissingPort);
    port.PutConnected(true);
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    EXPECT_EQ(port.Count(EVT_CONNECT), 0);
}

// Sends `message` to `window` from a thread of its own, as another program would, while this
// thread pumps.
void SendFromAnotherThread(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::atomic<bool> sent{false};
    std::thread other([&] {
        SendMessageA(window, message, wParam, lParam);
        sent = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return sent.load(); }));
    other.join();
}

TEST(MarshalWindow, ForgedCreationAndDestructionChangeNothing)
{
    CRecordingPort port;
    const HWND window = port.NotifyWindow();
    // Creation records naming another object, none at all, and one that cannot be read.
    CMarshalWnd decoy;
    CREATESTRUCTA create{};
    create.lpCreateParams = &decoy;
    create.lpszName = "forged";
    const CGuardedRecord unreadable(std::vector<char>{});
    for (const void* record : {static_cast<const void*>(&create), static_cast<const void*>(nullptr), unreadable.Get()}) {
        SendMessageA(window, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(record));
        SendFromAnotherThread(window, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(record));
    }
    EXPECT_EQ(decoy.Handle(), nullptr);
    // The end of a window nobody destroyed.
    SendMessageA(window, WM_NCDESTROY, 0, 0);
    SendFromAnotherThread(window, WM_NCDESTROY, 0, 0);
    PostMessageA(window, WM_NCDESTROY, 0, 0);
    PumpFor(50);

    ASSERT_TRUE(IsWindow(window));
    EXPECT_EQ(port.NotifyWindow(), window);
    char title[64] = {};
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ(title, CMarshalWnd::kTitle);
    port.PutPort(kMissingPort);
    port.PutConnected(true);
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
}

TEST(MarshalWindow, RefusesToBeClosedFromOutside)
{
    CRecordingPort port;
    const HWND window = port.NotifyWindow();
    EXPECT_EQ(SendMessageA(window, WM_CLOSE, 0, 0), 0);
    PostMessageA(window, WM_CLOSE, 0, 0);
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    SendFromAnotherThread(window, WM_CLOSE, 0, 0);
    PumpFor(50);
    ASSERT_TRUE(IsWindow(window));
    EXPECT_EQ(port.NotifyWindow(), window);

    // Still the port object's: a failed open's EVT_DISCONNECT comes through it.
    port.PutPort(kMissingPort);
    port.PutConnected(true);
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
}

TEST(PortBroadcast, RemovalClosesOnlyTheNamedPort)
{
    CRecordingPort port;
    PretendOpen(port, 1);
    EXPECT_EQ(SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, "COM12"), 0);
    EXPECT_EQ(port.settings.PortOpen, 1) << "COM12 is not port 1";

    PretendOpen(port, 12);
    EXPECT_EQ(SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, "COM12"), 0);
    EXPECT_EQ(port.settings.PortOpen, 0);
    EXPECT_EQ(port.settings.ConnectWanted, 1) << "removal keeps the wish to be connected";
}

TEST(PortBroadcast, NamesOtherThanUpperCaseComAreIgnored)
{
    CRecordingPort port;
    for (const char* name : {"com3", "Com3", "LPT3", "3", ""}) {
        PretendOpen(port, 3);
        SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, name);
        EXPECT_EQ(port.settings.PortOpen, 1) << name;
    }
    // The number is read from the leading digits, as the system's decimal conversion does.
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, "COM3 (USB)");
    EXPECT_EQ(port.settings.PortOpen, 0);
}

TEST(PortBroadcast, ArrivalReopensOnlyWhenWantedAndClosed)
{
    CRecordingPort port;
    port.settings.Port = kMissingPort;
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEARRIVAL, "COM3");
    PumpFor(50);
    EXPECT_EQ(port.modifiedCount, 0) << "ConnectWanted 0: nothing is opened";
    EXPECT_TRUE(port.events.empty());

    PretendOpen(port, kMissingPort);
    SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEARRIVAL, "COM3");
    PumpFor(50);
    EXPECT_EQ(port.modifiedCount, 0) << "already open: nothing to do";

    port.settings.PortOpen = 0;
    const int before = port.modifiedCount;
    EXPECT_EQ(SendPortBroadcast(port.NotifyWindow(), DBT_DEVICEARRIVAL, "COM3"), 0);
    ExpectReopenAttempt(port, before);
    EXPECT_EQ(port.settings.ConnectWanted, 1) << "a failed reopen waits for the next arrival";
}

TEST(DeviceChange, OtherEventsTypesAndMissingRecordsAreIgnored)
{
    CRecordingPort port;
    PretendOpen(port, 3);
    const HWND window = port.NotifyWindow();

    std::vector<char> record(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + 5);
    auto* portRecord = reinterpret_cast<DEV_BROADCAST_PORT_A*>(record.data());
    portRecord->dbcp_size = static_cast<DWORD>(record.size());
    portRecord->dbcp_devicetype = DBT_DEVTYP_PORT;
    memcpy(portRecord->dbcp_name, "COM3", 5);
    const WPARAM otherEvents[] = {DBT_DEVICEQUERYREMOVE, DBT_DEVICEREMOVEPENDING, DBT_DEVNODES_CHANGED,
                                  DBT_CONFIGCHANGED};
    for (WPARAM event : otherEvents) {
        EXPECT_EQ(SendDeviceChange(window, event, record.data()), 0);
    }
    EXPECT_EQ(port.settings.PortOpen, 1);

    portRecord->dbcp_devicetype = DBT_DEVTYP_VOLUME;
    EXPECT_EQ(SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, record.data()), 0);
    EXPECT_EQ(port.settings.PortOpen, 1);

    // Any program can send WM_DEVICECHANGE; one without its record must not crash us.
    EXPECT_EQ(SendDeviceChange(window, DBT_DEVICEREMOVECOMPLETE, nullptr), 0);
    EXPECT_EQ(SendDeviceChange(window, DBT_DEVICEARRIVAL, nullptr), 0);
    EXPECT_EQ(port.settings.PortOpen, 1);
}

TEST(DeviceChange, RecordsAreReadOnlyWithinTheirSize)
{
    CFakeDeviceKey com4("INST_COM4", "COM4");
    ASSERT_TRUE(com4.created);
    // Up to and including the third '#': what the key is made of, without a terminator.
    const std::string keyPart = com4.path.substr(0, com4.path.rfind('#') + 1);
    const std::string twoPieces = "\\\\?\\A#B";
    struct Case {
        const char* what;
        int32_t port;
        std::vector<char> record;
    };
    const Case ignored[] = {
        {"size below the header", 1, RecordPrefix(4, DBT_DEVTYP_PORT, kPortNameOffset, "")},
        {"port header alone", 1, RecordPrefix(kPortNameOffset, DBT_DEVTYP_PORT, kPortNameOffset, "COM1")},
        // The usual sender mistake: "COM12" sent with the size of the bare structure.
        {"port name cut short", 1,
         RecordPrefix(sizeof(DEV_BROADCAST_PORT_A), DBT_DEVTYP_PORT, kPortNameOffset, "COM12")},
        {"interface header alone", 4,
         RecordPrefix(sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_DEVICEINTERFACE, kPathOffset, "")},
        {"interface without a whole class id", 4, RecordPrefix(20, DBT_DEVTYP_DEVICEINTERFACE, kPathOffset, "")},
        {"path cut before its third '#'", 4,
         RecordPrefix(static_cast<DWORD>(kPathOffset + twoPieces.size()), DBT_DEVTYP_DEVICEINTERFACE,
                      kPathOffset, twoPieces)},
        {"path without its terminator", 4,
         RecordPrefix(static_cast<DWORD>(kPathOffset + keyPart.size()), DBT_DEVTYP_DEVICEINTERFACE, kPathOffset,
                      keyPart)},
    };
    CRecordingPort port;
    for (const Case& c : ignored) {
        const CGuardedRecord guarded(c.record);
        ASSERT_NE(guarded.Get(), nullptr);
        PretendOpen(port, c.port);
        EXPECT_EQ(SendDeviceChange(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, guarded.Get()), 0) << c.what;
        EXPECT_EQ(port.settings.PortOpen, 1) << c.what;
    }

    // Names that end on the record's last byte are whole.
    const CGuardedRecord com1(RecordPrefix(static_cast<DWORD>(kPortNameOffset + 5), DBT_DEVTYP_PORT,
                                           kPortNameOffset, std::string("COM1", 5)));
    PretendOpen(port, 1);
    SendDeviceChange(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, com1.Get());
    EXPECT_EQ(port.settings.PortOpen, 0);
    const CGuardedRecord path(RecordPrefix(static_cast<DWORD>(kPathOffset + com4.path.size() + 1),
                                           DBT_DEVTYP_DEVICEINTERFACE, kPathOffset,
                                           std::string(com4.path.c_str(), com4.path.size() + 1)));
    PretendOpen(port, 4);
    SendDeviceChange(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, path.Get());
    EXPECT_EQ(port.settings.PortOpen, 0);
}

TEST(DevicePathMatchesPort, ComparesTheRegistryPortNameExactly)
{
    CFakeDeviceKey com4("INST_COM4", "COM4");
    CFakeDeviceKey lower("INST_LOWER", "com3");
    ASSERT_TRUE(com4.created && lower.created);

    EXPECT_TRUE(DevicePathMatchesPort(com4.path.c_str(), 4));
    EXPECT_FALSE(DevicePathMatchesPort(com4.path.c_str(), 3));
    EXPECT_FALSE(DevicePathMatchesPort(com4.path.c_str(), 44));
    EXPECT_FALSE(DevicePathMatchesPort(lower.path.c_str(), 3)) << "case matters";
}

TEST(DevicePathMatchesPort, MissingOrUnusableEntriesAreNoMatch)
{
    CFakeDeviceKey noValue("INST_NOVALUE", nullptr, 0);
    const std::string longName = "COM5" + std::string(200, ' ');
    CFakeDeviceKey tooLong("INST_LONG", longName.c_str());
    // 99 characters and the terminator fill the value buffer exactly.
    const std::string padded = "COM6" + std::string(95, 'x');
    CFakeDeviceKey fits("INST_FITS", padded.c_str());
    // Stored without a terminator: still read as the text it holds.
    CFakeDeviceKey bare("INST_BARE", "COM7", 4, REG_BINARY);
    ASSERT_TRUE(noValue.created && tooLong.created && fits.created && bare.created);

    EXPECT_FALSE(DevicePathMatchesPort(noValue.path.c_str(), 5));
    EXPECT_FALSE(DevicePathMatchesPort(tooLong.path.c_str(), 5));
    EXPECT_FALSE(DevicePathMatchesPort(fits.path.c_str(), 6));
    EXPECT_TRUE(DevicePathMatchesPort(bare.path.c_str(), 7));
    EXPECT_FALSE(DevicePathMatchesPort("\\\\?\\TARVELTEST#NO_SUCH_DEVICE#0#{g}", 5));
}

TEST(InterfaceBroadcast, RemovalClosesWhenTheDeviceIsThePort)
{
    CFakeDeviceKey com4("INST_COM4", "COM4");
    CFakeDeviceKey lower("INST_LOWER", "com3");
    ASSERT_TRUE(com4.created && lower.created);
    CRecordingPort port;
    const HWND window = port.NotifyWindow();

    PretendOpen(port, 3);
    EXPECT_EQ(SendInterfaceBroadcast(window, DBT_DEVICEREMOVECOMPLETE, com4.path), 0);
    EXPECT_EQ(port.settings.PortOpen, 1) << "COM4 removed while Port is 3";
    SendInterfaceBroadcast(window, DBT_DEVICEREMOVECOMPLETE, lower.path);
    EXPECT_EQ(port.settings.PortOpen, 1) << "PortName com3 is not COM3";

    PretendOpen(port, 4);
    SendInterfaceBroadcast(window, DBT_DEVICEREMOVECOMPLETE, com4.path);
    EXPECT_EQ(port.settings.PortOpen, 0);
    EXPECT_EQ(port.settings.ConnectWanted, 1);
}

TEST(InterfaceBroadcast, ArrivalReopensWhenWantedClosedAndMatching)
{
    CFakeDeviceKey com3("INST_COM3", "COM3");
    CFakeDeviceKey com4("INST_COM4", "COM4");
    ASSERT_TRUE(com3.created && com4.created);
    CRecordingPort port;
    const HWND window = port.NotifyWindow();
    port.settings.Port = kMissingPort;

    SendInterfaceBroadcast(window, DBT_DEVICEARRIVAL, com3.path);
    port.settings.ConnectWanted = 1;
    SendInterfaceBroadcast(window, DBT_DEVICEARRIVAL, com4.path);
    PumpFor(50);
    EXPECT_EQ(port.modifiedCount, 0) << "not wanted, or another port's device";
    EXPECT_TRUE(port.events.empty());

    const int before = port.modifiedCount;
    EXPECT_EQ(SendInterfaceBroadcast(window, DBT_DEVICEARRIVAL, com3.path), 0);
    ExpectReopenAttempt(port, before);
}

TEST(InterfaceBroadcast, MalformedPathsAreIgnoredAndHarmless)
{
    CFakeDeviceKey com3("INST_COM3", "COM3");
    ASSERT_TRUE(com3.created);
    CRecordingPort port;
    PretendOpen(port, 3);
    std::string forged = com3.path;
    forged.replace(0, 4, "\\\\.\\");
    EXPECT_EQ(SendInterfaceBroadcast(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, forged), 0);
    EXPECT_EQ(SendInterfaceBroadcast(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, "no hashes at all"), 0);
    const std::string overlong = "\\\\?\\TARVELTEST#" + std::string(5000, 'D') + "#I#{g}";
    EXPECT_EQ(SendInterfaceBroadcast(port.NotifyWindow(), DBT_DEVICEREMOVECOMPLETE, overlong), 0);
    EXPECT_FALSE(DevicePathMatchesPort(forged.c_str(), 3));
    EXPECT_EQ(port.settings.PortOpen, 1);
}

// The whole round on a real (virtual) port: the adapter's interface goes away and comes back.
using InterfaceBroadcastOnPair = PairTest;

TEST_F(InterfaceBroadcastOnPair, UnplugAndReplugCloseAndReopenThePort)
{
    char name[16];
    snprintf(name, sizeof name, "COM%d", pair.PortA());
    CFakeDeviceKey adapter("INST_PAIR", name);
    ASSERT_TRUE(adapter.created);
    CRecordingPort port;
    Connect(port, pair.PortA());
    const HWND window = port.NotifyWindow();

    pair.Unplug(CNullModemPair::A);
    SendInterfaceBroadcast(window, DBT_DEVICEREMOVECOMPLETE, adapter.path);
    EXPECT_FALSE(port.GetConnected());
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    // The port broadcast of the same removal finds the port closed already.
    SendPortBroadcast(window, DBT_DEVICEREMOVECOMPLETE, name);
    PumpFor(100);
    EXPECT_EQ(port.Count(EVT_DISCONNECT), 1);
    EXPECT_EQ(port.settings.ConnectWanted, 1);

    pair.Replug(CNullModemPair::A);
    SendInterfaceBroadcast(window, DBT_DEVICEARRIVAL, adapter.path);
    EXPECT_TRUE(port.GetConnected()) << "Error " << port.settings.Error;
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) == 2; }));
    // And the port broadcast of that arrival finds it open.
    SendPortBroadcast(window, DBT_DEVICEARRIVAL, name);
    PumpFor(100);
    EXPECT_EQ(port.Count(EVT_CONNECT), 2);
    EXPECT_EQ(port.events.back().kind, EVT_CONNECT);
}

// Windows of this class refuse to be created, as when the system cannot make one.
LRESULT CALLBACK RefuseCreation(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return message == WM_NCCREATE ? FALSE : DefWindowProcA(window, message, wParam, lParam);
}

// Holds the marshaling window's class name with a class of its own while it lives, so that
// no marshaling window can be made; afterwards the name is free again.
class CClassSquatter {
public:
    CClassSquatter()
    {
        // The name and module are learnt from a window of the class; once no window of it is
        // left, the class can be taken away.
        {
            CMarshalWnd probe;
            if (!probe.Create()) return;
            GetClassNameA(probe.Handle(), name, sizeof name);
            module = reinterpret_cast<HINSTANCE>(GetClassLongPtrA(probe.Handle(), GCLP_HMODULE));
        }
        if (!UnregisterClassA(name, module)) return;
        WNDCLASSA wc{};
        wc.lpfnWndProc = RefuseCreation;
        wc.hInstance = module;
        wc.lpszClassName = name;
        registered = RegisterClassA(&wc) != 0;
    }
    ~CClassSquatter() { Leave(); }
    CClassSquatter(const CClassSquatter&) = delete;
    CClassSquatter& operator=(const CClassSquatter&) = delete;

    void Leave()
    {
        if (registered) UnregisterClassA(name, module);
        registered = false;
    }

    bool registered = false;

private:
    char name[128] = {};
    HINSTANCE module = nullptr;
};

using MarshalWindowOnPair = PairTest;

TEST_F(MarshalWindowOnPair, OpensFailUntilAWindowCanBeMade)
{
    CClassSquatter squatter;
    ASSERT_TRUE(squatter.registered);
    CRecordingPort port;
    EXPECT_EQ(port.NotifyWindow(), nullptr);

    port.PutPort(pair.PortA());
    port.PutConnected(true);
    EXPECT_FALSE(port.GetConnected()) << "an open port whose events could reach nobody";
    EXPECT_EQ(port.settings.Error, ERR_IO);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, reinterpret_cast<HWND>(-1), WM_PORT_NOTIFY, WM_PORT_NOTIFY, PM_REMOVE))
        << "a notification posted to no window lands on the thread itself";

    // The class is registered again by the next open, which then works as usual.
    squatter.Leave();
    port.PutConnected(true);
    ASSERT_TRUE(port.GetConnected()) << "Error " << port.settings.Error;
    EXPECT_EQ(port.settings.Error, ERR_NONE);
    EXPECT_TRUE(IsWindow(port.NotifyWindow()));
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_CONNECT) == 1; }));
    port.PutConnected(false);
    EXPECT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
}

TEST_F(MarshalWindowOnPair, ConnectIsRaisedOncePerOpen)
{
    CRecordingPort port;
    Connect(port, pair.PortA());
    // Copies of the notification, sent or posted from elsewhere, raise nothing more.
    SendFromAnotherThread(port.NotifyWindow(), WM_PORT_NOTIFY, EVT_CONNECT, 0);
    PostMessageA(port.NotifyWindow(), WM_PORT_NOTIFY, EVT_CONNECT, 0);
    PumpFor(100);
    EXPECT_EQ(port.Count(EVT_CONNECT), 1);
    port.PutConnected(false);
    ASSERT_TRUE(PumpUntil([&] { return port.Count(EVT_DISCONNECT) == 1; }));
    Connect(port, pair.PortA());
    PumpFor(100);
    EXPECT_EQ(port.Count(EVT_CONNECT), 2);
}

}  // namespace

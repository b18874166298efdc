// Port discovery against the system's own lists: DOS device names defined by the test, and
// fake Ports-class and Modem-class devices made with SetupAPI.
#include <windows.h>
#include <setupapi.h>
#include <initguid.h>
#include <devguid.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/port_discovery.h"

namespace {

bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// The numbers of a PortsAvailable text, checking its shape on the way.
std::vector<uint32_t> ParsePortsText(const std::string& text)
{
    std::vector<uint32_t> numbers;
    if (text.empty()) return numbers;
    size_t at = 0;
    for (;;) {
        size_t end = text.find(',', at);
        const std::string piece = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        EXPECT_FALSE(piece.empty()) << "empty entry in \"" << text << "\"";
        EXPECT_EQ(piece.find_first_not_of("0123456789"), std::string::npos) << text;
        if (piece.empty()) return numbers;
        numbers.push_back(static_cast<uint32_t>(std::stoul(piece)));
        if (end == std::string::npos) return numbers;
        at = end + 1;
    }
}

bool Contains(const std::vector<uint32_t>& numbers, uint32_t n)
{
    for (uint32_t v : numbers)
        if (v == n) return true;
    return false;
}

std::vector<uint32_t> ScannedPorts(uint32_t& highest)
{
    uint8_t presence[kPortSlots];
    ScanPresentPorts(presence, highest);
    std::vector<uint32_t> scanned;
    for (uint32_t n = 0; n < kPortSlots; ++n)
        if (presence[n]) scanned.push_back(n);
    return scanned;
}

TEST(PortsAvailable, AgreesWithTheScan)
{
    // Other test programs in this prefix define DOS devices for a moment: read until two
    // consecutive reads see the same list.
    std::string text;
    std::vector<uint32_t> numbers, scanned;
    uint32_t highest = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        text = PortsAvailableText();
        numbers = ParsePortsText(text);
        scanned = ScannedPorts(highest);
        if (scanned == numbers) break;
        Sleep(50);
    }
    EXPECT_EQ(scanned, numbers);
    for (size_t i = 1; i < numbers.size(); ++i) EXPECT_LT(numbers[i - 1], numbers[i]) << text;
    EXPECT_EQ(highest, scanned.empty() ? 0u : scanned.back());
}

// QueryDosDeviceA fails with ERROR_INSUFFICIENT_BUFFER when the list does not fit
// (QueryDosDevice, Microsoft's Win32 documentation); machines with many devices have lists
// longer than the first buffer. Here the first buffer holds almost nothing: the scan must read
// the whole list all the same.
TEST(PortsAvailable, ListTooLongForTheFirstBufferIsReadAgain)
{
    uint32_t highest = 0;
    std::vector<uint32_t> whole, fromSmall;
    for (int attempt = 0; attempt < 5; ++attempt) {
        whole = ScannedPorts(highest);
        uint8_t presence[kPortSlots];
        uint32_t smallHighest = 0;
        ScanPresentPorts(presence, smallHighest, 16);
        fromSmall.clear();
        for (uint32_t n = 0; n < kPortSlots; ++n)
            if (presence[n]) fromSmall.push_back(n);
        if (whole == fromSmall) break;
        Sleep(50);  // another test program defined or removed a device meanwhile
    }
    ASSERT_FALSE(whole.empty()) << "the test prefix maps COM10 to COM49";
    EXPECT_EQ(fromSmall, whole);
}

// DOS device names defined for the test's lifetime and removed afterwards. Numbers below 10
// other than 3 are used: the test bed's ports start at 10, and COM3 must stay missing for the
// port tests that run beside this one.
class CDosDevice {
public:
    explicit CDosDevice(const char* name) : name_(name)
    {
        defined = DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, "\\Device\\Null") != FALSE;
    }
    ~CDosDevice()
    {
        if (defined)
            DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                             name_.c_str(), "\\Device\\Null");
    }
    CDosDevice(const CDosDevice&) = delete;
    CDosDevice& operator=(const CDosDevice&) = delete;
    bool defined = false;

private:
    std::string name_;
};

// Lower-case and four-digit names are covered by the pure tests only: the object namespace
// folds case (com5 would be COM5), and 32-bit Wine 8 crashes in DefineDosDeviceA on names of
// seven or more characters (COM1000).
TEST(PortsAvailable, ListsDefinedDevicesAndSkipsOtherNames)
{
    CDosDevice zero("COM0"), eight("COM8"), letters("COMX");
    if (!zero.defined) GTEST_SKIP() << "DefineDosDeviceA failed (" << GetLastError() << ")";
    ASSERT_TRUE(eight.defined && letters.defined);

    const std::string text = PortsAvailableText();
    const std::vector<uint32_t> numbers = ParsePortsText(text);
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.front(), 0u) << text;
    EXPECT_TRUE(Contains(numbers, 8)) << text;
}

TEST(PortsAvailable, LeadingZerosCountAndSuffixesDoNot)
{
    if (RunningUnderWine() && sizeof(void*) == 8)
        GTEST_SKIP() << "64-bit Wine 8 stores DOS device names longer than four characters "
                        "mangled (COM007 is listed as COM00, COM6A as COM60) and loses other "
                        "entries of the list while they exist";
    CDosDevice seven("COM007"), suffixed("COM6A");
    ASSERT_TRUE(seven.defined && suffixed.defined);

    const std::string text = PortsAvailableText();
    const std::vector<uint32_t> numbers = ParsePortsText(text);
    EXPECT_TRUE(Contains(numbers, 7)) << text;
    EXPECT_FALSE(Contains(numbers, 6)) << text;
}

// Fake devices of a setup class, made the way a device installer registers them. They are
// registered but never started; Wine lists them as present (see DIGCF_PRESENT below).
class CFakeDevice {
public:
    CFakeDevice(const GUID& cls, const char* friendlyName, const void* portName, DWORD size, DWORD type)
        : set(SetupDiCreateDeviceInfoList(&cls, nullptr))
    {
        if (set == INVALID_HANDLE_VALUE) return;
        device.cbSize = sizeof device;
        if (!SetupDiCreateDeviceInfoA(set, "TARVELTESTDEV", &cls, nullptr, nullptr, DICD_GENERATE_ID, &device))
            return;
        if (!SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr)) return;
        registered = true;
        if (friendlyName &&
            !SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME,
                                               reinterpret_cast<const BYTE*>(friendlyName),
                                               static_cast<DWORD>(strlen(friendlyName) + 1)))
            return;
        if (portName) {
            HKEY key = SetupDiCreateDevRegKeyA(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
            if (key == INVALID_HANDLE_VALUE) return;
            const LONG rc = RegSetValueExA(key, "PortName", 0, type, static_cast<const BYTE*>(portName), size);
            RegCloseKey(key);
            if (rc != ERROR_SUCCESS) return;
        }
        ready = true;
    }
    CFakeDevice(const GUID& cls, const char* friendlyName, const char* portName)
        : CFakeDevice(cls, friendlyName, portName, static_cast<DWORD>(strlen(portName) + 1), REG_SZ)
    {
    }
    ~CFakeDevice()
    {
        // The prefix keeps registered devices: remove them.
        if (registered) SetupDiRemoveDevice(set, &device);
        if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    }
    CFakeDevice(const CFakeDevice&) = delete;
    CFakeDevice& operator=(const CFakeDevice&) = delete;

    bool ready = false;

private:
    HDEVINFO set;
    SP_DEVINFO_DATA device{};
    bool registered = false;
};

// Each test uses its own port numbers (ctest runs tests of one prefix side by side).
TEST(FriendlyName, PortsClassDeviceFoundIgnoringCase)
{
    CFakeDevice port(GUID_DEVCLASS_PORTS, "Tarvel Test Serial Port (COM3)", "com3");
    ASSERT_TRUE(port.ready);
    EXPECT_EQ(GetPortFriendlyName(3), "Tarvel Test Serial Port (COM3)");

    std::string name;
    EXPECT_TRUE(FindFriendlyNameInClass(GUID_DEVCLASS_PORTS, "COM3", name));
    EXPECT_EQ(name, "Tarvel Test Serial Port (COM3)");
    EXPECT_FALSE(FindFriendlyNameInClass(GUID_DEVCLASS_PORTS, "COM33", name));
    EXPECT_FALSE(FindFriendlyNameInClass(GUID_DEVCLASS_MODEM, "COM3", name));
}

TEST(FriendlyName, ModemOnlyPortFoundInTheModemClass)
{
    CFakeDevice modem(GUID_DEVCLASS_MODEM, "Tarvel Test Modem", "COM5");
    ASSERT_TRUE(modem.ready);
    EXPECT_EQ(GetPortFriendlyName(5), "Tarvel Test Modem");
}

TEST(FriendlyName, PortsDeviceWithoutNameFallsBackToTheModem)
{
    CFakeDevice unnamed(GUID_DEVCLASS_PORTS, nullptr, "COM6");
    CFakeDevice modem(GUID_DEVCLASS_MODEM, "Tarvel Test Modem on COM6", "COM6");
    ASSERT_TRUE(unnamed.ready && modem.ready);
    std::string name;
    EXPECT_FALSE(FindFriendlyNameInClass(GUID_DEVCLASS_PORTS, "COM6", name));
    EXPECT_EQ(GetPortFriendlyName(6), "Tarvel Test Modem on COM6");
}

TEST(FriendlyName, PortNameMustBeAString)
{
    CFakeDevice binary(GUID_DEVCLASS_PORTS, "Tarvel Test Binary", "COM8", 5, REG_BINARY);
    CFakeDevice expandable(GUID_DEVCLASS_PORTS, "Tarvel Test Expandable", "COM8", 5, REG_EXPAND_SZ);
    ASSERT_TRUE(binary.ready && expandable.ready);
    EXPECT_EQ(GetPortFriendlyName(8), "");
}

TEST(FriendlyName, UnknownAndOutOfRangePortsHaveNoName)
{
    EXPECT_EQ(GetPortFriendlyName(987), "");
    EXPECT_EQ(GetPortFriendlyName(0), "");
    EXPECT_EQ(GetPortFriendlyName(-1), "");
    std::string name = "untouched";
    EXPECT_FALSE(FindFriendlyNameInClass(GUID_DEVCLASS_PORTS, "COM987", name));
    EXPECT_EQ(name, "untouched");
}

// A port whose adapter is unplugged: its device is known to the system but not present, and
// only present devices are searched. Written straight into the registry's Enum tree, as the
// system keeps a device that was once attached.
TEST(FriendlyName, DeviceThatIsNotPresentIsNotSearched)
{
    char instance[96];
    snprintf(instance, sizeof instance, "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\TARVELGONE\\%04lu",
             GetCurrentProcessId() % 10000);
    const std::string params = std::string(instance) + "\\Device Parameters";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, params.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM9"), 5);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, instance, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char* classGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";  // Ports
    RegSetValueExA(key, "ClassGUID", 0, REG_SZ, reinterpret_cast<const BYTE*>(classGuid),
                   static_cast<DWORD>(strlen(classGuid) + 1));
    RegSetValueExA(key, "FriendlyName", 0, REG_SZ, reinterpret_cast<const BYTE*>("Tarvel Unplugged (COM9)"), 24);
    RegCloseKey(key);

    const std::string name = GetPortFriendlyName(9);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, instance);
    // The device's key goes only once no other test process has an instance under it.
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\TARVELGONE");
    if (!name.empty() && RunningUnderWine())
        GTEST_SKIP() << "Wine 8 ignores DIGCF_PRESENT and lists every device of the class, so "
                        "an unplugged adapter's name is still found (\"" << name << "\")";
    EXPECT_EQ(name, "");
}

}  // namespace

#include "port_discovery.h"

#include <setupapi.h>
#include <initguid.h>
#include <devguid.h>

#include <memory>

namespace {

// A device information set; empty is INVALID_HANDLE_VALUE.
class CDeviceInfoSet {
public:
    explicit CDeviceInfoSet(HDEVINFO set) : set_(set) {}
    CDeviceInfoSet(const CDeviceInfoSet&) = delete;
    CDeviceInfoSet& operator=(const CDeviceInfoSet&) = delete;
    ~CDeviceInfoSet() {
        if (IsValid()) SetupDiDestroyDeviceInfoList(set_);
    }
    HDEVINFO Get() const { return set_; }
    bool IsValid() const { return set_ != INVALID_HANDLE_VALUE; }

private:
    HDEVINFO set_;
};

// A device's hardware key from SetupDiOpenDevRegKey; empty is INVALID_HANDLE_VALUE.
class CDeviceKey {
public:
    explicit CDeviceKey(HKEY key) : key_(key) {}
    CDeviceKey(const CDeviceKey&) = delete;
    CDeviceKey& operator=(const CDeviceKey&) = delete;
    ~CDeviceKey() {
        if (IsValid()) RegCloseKey(key_);
    }
    HKEY Get() const { return key_; }
    bool IsValid() const { return key_ != static_cast<HKEY>(INVALID_HANDLE_VALUE) && key_ != nullptr; }

private:
    HKEY key_;
};

constexpr DWORD kRegistryTextSize = 1000;

// The device's "PortName" when it is a string value.
bool ReadPortName(HDEVINFO set, SP_DEVINFO_DATA& device, char (&text)[kRegistryTextSize + 1])
{
    CDeviceKey key(SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
    if (!key.IsValid()) return false;
    DWORD type = 0;
    DWORD size = kRegistryTextSize;
    if (RegQueryValueExA(key.Get(), "PortName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
        ERROR_SUCCESS)
        return false;
    text[size < kRegistryTextSize ? size : kRegistryTextSize] = '\0';
    return type == REG_SZ;
}

bool ReadFriendlyName(HDEVINFO set, SP_DEVINFO_DATA& device, std::string& result)
{
    char text[kRegistryTextSize + 1] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, &type,
                                           reinterpret_cast<BYTE*>(text), kRegistryTextSize, nullptr))
        return false;
    text[kRegistryTextSize] = '\0';
    result = text;
    return true;
}

}  // namespace

void ScanPresentPorts(uint8_t presence[kPortSlots], uint32_t& highest, size_t firstSize)
{
    // A machine with many devices (every volume, pipe and driver link is a DOS device name)
    // can have a list longer than any fixed buffer: read it again into one twice as large
    // while the system says it did not fit, up to a bound no real list comes near.
    constexpr size_t kLargestList = 64u << 20;
    std::unique_ptr<char[]> list;
    DWORD length = 0;
    for (size_t size = firstSize ? firstSize : 1; size <= kLargestList && !length; size *= 2) {
        list.reset(new (std::nothrow) char[size]);
        if (!list) break;
        length = QueryDosDeviceA(nullptr, list.get(), static_cast<DWORD>(size));
        if (!length && GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    }
    // Unreadable (length 0): no port is known to be present.
    ParseDosDeviceList(length ? list.get() : nullptr, length, presence, highest);
}

std::string PortsAvailableText()
{
    uint8_t presence[kPortSlots];
    uint32_t highest = 0;
    ScanPresentPorts(presence, highest);
    return FormatPresentPorts(presence, highest);
}

bool FindFriendlyNameInClass(const GUID& cls, const char* name, std::string& result)
{
    CDeviceInfoSet set(SetupDiGetClassDevsA(&cls, nullptr, nullptr, DIGCF_PRESENT));
    if (!set.IsValid()) return false;

    SP_DEVINFO_DATA device;
    for (DWORD index = 0;; ++index) {
        device = SP_DEVINFO_DATA{};
        device.cbSize = sizeof device;
        if (!SetupDiEnumDeviceInfo(set.Get(), index, &device)) return false;

        char portName[kRegistryTextSize + 1] = {};
        if (!ReadPortName(set.Get(), device, portName)) continue;
        if (!EqualsIgnoringCase(portName, name)) continue;
        // The port's device: its friendly name is the answer, readable or not.
        return ReadFriendlyName(set.Get(), device, result);
    }
}

std::string GetPortFriendlyName(int32_t port)
{
    const std::string name = ComPortName(port);
    std::string result;
    if (FindFriendlyNameInClass(GUID_DEVCLASS_PORTS, name.c_str(), result)) return result;
    if (FindFriendlyNameInClass(GUID_DEVCLASS_MODEM, name.c_str(), result)) return result;
    return std::string();
}

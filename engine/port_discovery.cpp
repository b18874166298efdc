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

void ScanPresentPorts(uint8_t presence[kPortSlots], uint32_t& highest)
{
    std::unique_ptr<char[]> list(new (std::nothrow) char[kDosDeviceListSize]);
    DWORD length = 0;
    if (list) length = QueryDosDeviceA(nullptr, list.get(), kDosDeviceListSize);
    // Unreadable or too long for the buffer (length 0): no port is known to be present.
    ParseDosDeviceList(list.get(), length, presence, highest);
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

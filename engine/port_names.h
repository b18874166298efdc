// Text handling behind port discovery and device-change matching: DOS device names to the
// presence map, the map to the PortsAvailable text, device-interface paths to the registry
// key of their device. Pure: no platform headers, so it also builds natively.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Port numbers 0..999 have an entry in the presence map.
constexpr uint32_t kPortSlots = 1000;
// Room the platform's DOS device list is read into.
constexpr size_t kDosDeviceListSize = 80000;
// Room for the device's registry key path, terminator included.
constexpr size_t kDeviceKeyPathSize = 1000;
// Room for its "PortName" value, terminator included.
constexpr size_t kPortNameValueSize = 100;

// Fills presence (kPortSlots entries) from a list of zero-terminated names ended by an empty
// name, at most `size` bytes long. A name counts when it is "COM" (upper case) followed by
// one to three decimal digits. A name not terminated within `size` bytes is ignored.
void ParseDosDeviceList(const char* list, size_t size, uint8_t* presence, uint32_t& highest);

// The present numbers from 0 to `highest` in ascending order, comma separated: "1,3,10".
std::string FormatPresentPorts(const uint8_t* presence, uint32_t highest);

// "COM" followed by the decimal form of port (no range check: COM0, COM-1).
std::string ComPortName(int32_t port);

// The port number of a port broadcast's name: true for names starting with "COM" (upper
// case), number taken from the leading digits after it (0 when there are none). False for
// other names and for numbers too large for an int32_t, which match no port.
bool ParseBroadcastPortName(const char* name, int32_t& number);

// The key under HKEY_LOCAL_MACHINE that holds the "PortName" of the device named by a
// device-interface path ("\\?\enumerator#device#instance#{interface class}"):
// "SYSTEM\CurrentControlSet\Enum\<enumerator>\<device>\<instance>\Device Parameters".
// Empty when the path is not of that shape (fewer than three '#', no "?\" in the first
// piece, an empty piece) or the key would not fit into kDeviceKeyPathSize bytes.
std::string DeviceParametersKey(const char* path);

// The zero-terminated name that starts `nameOffset` bytes into a device-change record whose
// size field says `recordSize`. Null when the record ends before the name's first byte or no
// terminator lies within the record: a name cut short by its record may be a prefix of
// another ("COM1" of "COM12"), so it names nothing. Reads no byte at or beyond recordSize.
const char* DeviceChangeRecordName(const void* record, uint32_t recordSize, size_t nameOffset);

// ASCII comparison ignoring case, as registry port names are compared.
bool EqualsIgnoringCase(const char* a, const char* b);

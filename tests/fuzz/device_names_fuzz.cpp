// Device-change records as another program may send them: the record's size field, the port
// name of a port record and the device-interface path of an interface record, down to the
// registry key that path names. The input is the record; its first four bytes are the size
// field (a record claiming more than was sent is not a case: the sender owns those bytes).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/port_names.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Byte offsets of the names in the platform's port and device-interface records.
constexpr size_t kPortNameOffset = 12;
constexpr size_t kPathOffset = 28;

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

bool EndsWith(const std::string& text, const char* suffix)
{
    const size_t n = strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

void CheckPortName(const char* name)
{
    int32_t number = -1;
    if (!ParseBroadcastPortName(name, number)) return;
    FUZZ_CHECK(strncmp(name, "COM", 3) == 0);
    FUZZ_CHECK(number >= 0);
    // The number is the leading digits after "COM", leading zeros aside.
    const char* digits = name + 3;
    while (*digits == '0') ++digits;
    size_t length = 0;
    while (digits[length] >= '0' && digits[length] <= '9') ++length;
    const std::string text = number == 0 ? std::string() : std::to_string(number);
    FUZZ_CHECK(text == std::string(digits, length));
}

void CheckPath(const char* path)
{
    const std::string key = DeviceParametersKey(path);
    if (key.empty()) return;
    FUZZ_CHECK(key.size() < kDeviceKeyPathSize);
    FUZZ_CHECK(StartsWith(key, "SYSTEM\\CurrentControlSet\\Enum\\"));
    FUZZ_CHECK(EndsWith(key, "\\Device Parameters"));
    FUZZ_CHECK(key.find('#') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    uint32_t claimed = 0;
    memcpy(&claimed, data, 4);
    if (claimed > size) return 0;
    // Exactly the bytes the size covers, so that the sanitizer sees any read beyond them.
    const std::vector<uint8_t> record(data, data + claimed);

    for (size_t offset : {kPortNameOffset, kPathOffset}) {
        const char* name = DeviceChangeRecordName(record.data(), claimed, offset);
        if (!name) continue;
        FUZZ_CHECK(name == reinterpret_cast<const char*>(record.data()) + offset);
        FUZZ_CHECK(offset + strlen(name) < claimed);
        CheckPortName(name);
        CheckPath(name);
        FUZZ_CHECK(EqualsIgnoringCase(name, name));
    }
    return 0;
}

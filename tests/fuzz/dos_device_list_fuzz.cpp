// The platform's DOS device list (zero-terminated names ended by an empty one, cut off at any
// length) to the presence map and the PortsAvailable text, against a plain reading of the
// rules: a name counts when it is "COM" and one to three digits.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/port_names.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// What the list should give, read name by name.
std::vector<uint8_t> ExpectedPresence(const char* list, size_t size)
{
    std::vector<uint8_t> presence(kPortSlots, 0);
    std::string name;
    for (size_t i = 0; i < size; ++i) {
        if (list[i] != '\0') {
            name += list[i];
            continue;
        }
        if (name.empty()) break;
        const bool digits = name.find_first_not_of("0123456789", 3) == std::string::npos;
        if (name.size() >= 4 && name.size() <= 6 && name.compare(0, 3, "COM") == 0 && digits)
            presence[std::stoul(name.substr(3))] = 1;
        name.clear();
    }
    return presence;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* list = reinterpret_cast<const char*>(data);
    std::vector<uint8_t> presence(kPortSlots, 0xAA);
    uint32_t highest = 0xDEADBEEF;
    ParseDosDeviceList(list, size, presence.data(), highest);

    FUZZ_CHECK(presence == ExpectedPresence(list, size));
    uint32_t top = 0;
    for (uint32_t n = 0; n < kPortSlots; ++n)
        if (presence[n]) top = n;
    FUZZ_CHECK(highest == top);

    // The text lists exactly the present numbers, ascending, comma separated.
    const std::string text = FormatPresentPorts(presence.data(), highest);
    std::string expected;
    for (uint32_t n = 0; n < kPortSlots; ++n) {
        if (!presence[n]) continue;
        if (!expected.empty()) expected += ',';
        expected += std::to_string(n);
    }
    FUZZ_CHECK(text == expected);
    return 0;
}

#include "port_names.h"

#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// "COMn", "COMnn" or "COMnnn" with decimal digits only; leading zeros allowed.
bool PresentPortNumber(const char* name, size_t length, uint32_t& number)
{
    if (length < 4 || length > 6 || strncmp(name, "COM", 3) != 0) return false;
    uint32_t value = 0;
    for (size_t i = 3; i < length; ++i) {
        if (!IsDigit(name[i])) return false;
        value = value * 10 + static_cast<uint32_t>(name[i] - '0');
    }
    number = value;
    return true;
}

}  // namespace

void ParseDosDeviceList(const char* list, size_t size, uint8_t* presence, uint32_t& highest)
{
    memset(presence, 0, kPortSlots);
    highest = 0;
    if (!list) return;
    size_t pos = 0;
    while (pos < size) {
        const char* name = list + pos;
        const void* end = memchr(name, '\0', size - pos);
        // A name cut off by the end of the buffer may be a prefix of a longer one: skip it.
        if (!end) return;
        const size_t length = static_cast<size_t>(static_cast<const char*>(end) - name);
        if (length == 0) return;
        uint32_t number = 0;
        if (PresentPortNumber(name, length, number)) {
            presence[number] = 1;
            if (number > highest) highest = number;
        }
        pos += length + 1;
    }
}

std::string FormatPresentPorts(const uint8_t* presence, uint32_t highest)
{
    std::string text;
    if (highest >= kPortSlots) highest = kPortSlots - 1;
    for (uint32_t n = 0; n <= highest; ++n) {
        if (!presence[n]) continue;
        text += std::to_string(n);
        if (n != highest) text += ',';
    }
    return text;
}

std::string ComPortName(int32_t port)
{
    return "COM" + std::to_string(port);
}

bool ParseBroadcastPortName(const char* name, int32_t& number)
{
    if (!name || strncmp(name, "COM", 3) != 0) return false;
    int64_t value = 0;
    for (const char* p = name + 3; IsDigit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) return false;
    }
    number = static_cast<int32_t>(value);
    return true;
}

std::string DeviceParametersKey(const char* path)
{
    if (!path) return std::string();
    // Pieces end at the first three '#'; what follows the third (the interface class) is
    // not needed.
    const char* pieceStart[3];
    size_t pieceLength[3];
    const char* p = path;
    for (int i = 0; i < 3; ++i) {
        const char* hash = strchr(p, '#');
        if (!hash) return std::string();
        pieceStart[i] = p;
        pieceLength[i] = static_cast<size_t>(hash - p);
        p = hash + 1;
    }

    // The enumerator follows "?\" in the first piece ("\\?\USB").
    const std::string first(pieceStart[0], pieceLength[0]);
    const size_t mark = first.find("?\\");
    if (mark == std::string::npos) return std::string();
    const std::string enumerator = first.substr(mark + 2);
    if (enumerator.empty() || pieceLength[1] == 0 || pieceLength[2] == 0) return std::string();

    static const char kPrefix[] = "SYSTEM\\CurrentControlSet\\Enum\\";
    static const char kSuffix[] = "\\Device Parameters";
    const size_t length = (sizeof kPrefix - 1) + enumerator.size() + 1 + pieceLength[1] + 1 +
                          pieceLength[2] + (sizeof kSuffix - 1);
    if (length + 1 > kDeviceKeyPathSize) return std::string();

    std::string key(kPrefix);
    key += enumerator;
    key += '\\';
    key.append(pieceStart[1], pieceLength[1]);
    key += '\\';
    key.append(pieceStart[2], pieceLength[2]);
    key += kSuffix;
    return key;
}

const char* DeviceChangeRecordName(const void* record, uint32_t recordSize, size_t nameOffset)
{
    if (!record || recordSize <= nameOffset) return nullptr;
    const char* name = static_cast<const char*>(record) + nameOffset;
    return memchr(name, '\0', recordSize - nameOffset) ? name : nullptr;
}

bool EqualsIgnoringCase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b) {
        if (LowerAscii(*a) != LowerAscii(*b)) return false;
    }
    return *a == *b;
}

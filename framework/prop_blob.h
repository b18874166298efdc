// The binary form in which a control's persisted properties travel through
// IPersistStreamInit and IPersistStorage. Pure logic: no platform headers, so the
// same parser builds natively for sanitizer and fuzz runs.
//
// Layout (all integers little-endian):
//
//   header, 12 bytes
//     0  4  magic "FwPB"
//     4  2  format version, currently 1
//     6  2  entry count
//     8  4  payload length: the number of bytes of entries that follow the header
//   entries, in the order the properties were exchanged
//     2  name length in UTF-16 code units, 1 to kMaxNameLength
//     2n name, UTF-16LE
//     1  type: 1 int16, 2 int32, 3 uint32, 4 bool, 5 string
//     value
//       int16 2 bytes; int32 and uint32 4 bytes; bool 1 byte (0 or 1 only);
//       string: 4-byte length in UTF-16 code units, then the UTF-16LE units
//
// The payload length lets a reader take exactly this object's bytes out of a
// stream that a container shares with other objects. Parsing rejects anything
// that does not fit this layout exactly: a short header or payload, a wrong magic
// or version, a payload above kMaxPayload, an entry running past the payload,
// bytes left over after the last entry, an entry count that does not match, an
// empty or over-long name, a duplicate name, an unknown type, a bool other than
// 0 or 1. Names are compared exactly (case matters).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwpersist {

constexpr uint8_t kMagic[4] = {'F', 'w', 'P', 'B'};
constexpr uint16_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 12;
constexpr uint32_t kMaxPayload = 1u << 20;
constexpr size_t kMaxNameLength = 256;
constexpr uint16_t kMaxEntries = 4096;

enum class ValueType : uint8_t { Int16 = 1, Int32 = 2, UInt32 = 3, Bool = 4, String = 5 };

struct Value {
    ValueType type = ValueType::Int32;
    int64_t number = 0;       // Int16, Int32, UInt32, Bool (0/1)
    std::u16string text;      // String

    static Value Int16(int16_t v) { return Value{ValueType::Int16, v, {}}; }
    static Value Int32(int32_t v) { return Value{ValueType::Int32, v, {}}; }
    static Value UInt32(uint32_t v) { return Value{ValueType::UInt32, v, {}}; }
    static Value Bool(bool v) { return Value{ValueType::Bool, v ? 1 : 0, {}}; }
    static Value String(std::u16string s) { return Value{ValueType::String, 0, std::move(s)}; }
};

struct Entry {
    std::u16string name;
    Value value;
};

enum class ParseStatus {
    Ok,
    Truncated,        // fewer bytes than the header or the payload length announce
    BadMagic,         // not this format at all
    BadVersion,       // a format version this code does not read
    TooLarge,         // payload length above kMaxPayload
    Malformed,        // bad entry framing, count, name, type or value
};

const char* ParseStatusText(ParseStatus s);

// An ordered set of named values.
class CPropertyBlob {
public:
    const std::vector<Entry>& Entries() const { return entries_; }
    // Null when absent.
    const Value* Find(const std::u16string& name) const;
    // Adds or replaces; false when the name is empty or too long, or the set is full.
    bool Set(const std::u16string& name, Value value);
    void Clear() { entries_.clear(); }

    // Header plus payload. Empty on overflow (more than kMaxPayload bytes).
    std::vector<uint8_t> Serialise() const;

    // Reads the 12-byte header: on Ok, payloadLength is what the caller must read next.
    static ParseStatus ParseHeader(const uint8_t* data, size_t size, uint32_t& payloadLength,
                                   uint16_t& entryCount);
    // Parses header plus payload; on any status other than Ok, *this is left empty.
    ParseStatus Parse(const uint8_t* data, size_t size);
    // Parses a payload whose header was read separately.
    ParseStatus ParsePayload(const uint8_t* data, size_t size, uint16_t entryCount);

private:
    std::vector<Entry> entries_;
};

}  // namespace fwpersist

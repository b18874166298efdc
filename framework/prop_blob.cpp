#include "prop_blob.h"

#include <cstring>

namespace fwpersist {

namespace {

class CWriter {
public:
    void U8(uint8_t v) { out.push_back(v); }
    void U16(uint16_t v) { U8(uint8_t(v)); U8(uint8_t(v >> 8)); }
    void U32(uint32_t v) { U16(uint16_t(v)); U16(uint16_t(v >> 16)); }
    void Units(const std::u16string& s) { for (char16_t c : s) U16(uint16_t(c)); }
    std::vector<uint8_t> out;
};

// Bounds-checked reader: every read reports whether the bytes were there.
class CReader {
public:
    CReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool U8(uint8_t& v) {
        if (n_ - pos_ < 1) return false;
        v = p_[pos_++];
        return true;
    }
    bool U16(uint16_t& v) {
        if (n_ - pos_ < 2) return false;
        v = uint16_t(p_[pos_] | (p_[pos_ + 1] << 8));
        pos_ += 2;
        return true;
    }
    bool U32(uint32_t& v) {
        uint16_t lo = 0, hi = 0;
        if (n_ - pos_ < 4) return false;
        U16(lo);
        U16(hi);
        v = uint32_t(lo) | (uint32_t(hi) << 16);
        return true;
    }
    bool Units(size_t count, std::u16string& s) {
        if ((n_ - pos_) / 2 < count) return false;
        s.resize(count);
        for (size_t i = 0; i < count; ++i) {
            uint16_t c = 0;
            U16(c);
            s[i] = char16_t(c);
        }
        return true;
    }
    bool AtEnd() const { return pos_ == n_; }

private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
};

bool WriteValue(CWriter& w, const Value& v) {
    w.U8(uint8_t(v.type));
    switch (v.type) {
    case ValueType::Int16: w.U16(uint16_t(int16_t(v.number))); return true;
    case ValueType::Int32: w.U32(uint32_t(int32_t(v.number))); return true;
    case ValueType::UInt32: w.U32(uint32_t(v.number)); return true;
    case ValueType::Bool: w.U8(v.number ? 1 : 0); return true;
    case ValueType::String:
        if (v.text.size() > kMaxPayload / 2) return false;
        w.U32(uint32_t(v.text.size()));
        w.Units(v.text);
        return true;
    }
    return false;
}

bool ReadValue(CReader& r, Value& v) {
    uint8_t type;
    if (!r.U8(type)) return false;
    switch (ValueType(type)) {
    case ValueType::Int16: {
        uint16_t x;
        if (!r.U16(x)) return false;
        v = Value::Int16(int16_t(x));
        return true;
    }
    case ValueType::Int32: {
        uint32_t x;
        if (!r.U32(x)) return false;
        v = Value::Int32(int32_t(x));
        return true;
    }
    case ValueType::UInt32: {
        uint32_t x;
        if (!r.U32(x)) return false;
        v = Value::UInt32(x);
        return true;
    }
    case ValueType::Bool: {
        uint8_t x;
        if (!r.U8(x) || x > 1) return false;
        v = Value::Bool(x != 0);
        return true;
    }
    case ValueType::String: {
        uint32_t len;
        std::u16string s;
        if (!r.U32(len) || !r.Units(len, s)) return false;
        v = Value::String(std::move(s));
        return true;
    }
    }
    return false;
}

bool ValidName(const std::u16string& name) { return !name.empty() && name.size() <= kMaxNameLength; }

}  // namespace

const char* ParseStatusText(ParseStatus s) {
    switch (s) {
    case ParseStatus::Ok: return "ok";
    case ParseStatus::Truncated: return "truncated";
    case ParseStatus::BadMagic: return "bad magic";
    case ParseStatus::BadVersion: return "unsupported format version";
    case ParseStatus::TooLarge: return "payload too large";
    case ParseStatus::Malformed: return "malformed entry";
    }
    return "?";
}

const Value* CPropertyBlob::Find(const std::u16string& name) const {
    for (const Entry& e : entries_)
        if (e.name == name) return &e.value;
    return nullptr;
}

bool CPropertyBlob::Set(const std::u16string& name, Value value) {
    if (!ValidName(name)) return false;
    for (Entry& e : entries_) {
        if (e.name == name) {
            e.value = std::move(value);
            return true;
        }
    }
    if (entries_.size() >= kMaxEntries) return false;
    entries_.push_back(Entry{name, std::move(value)});
    return true;
}

std::vector<uint8_t> CPropertyBlob::Serialise() const {
    CWriter body;
    for (const Entry& e : entries_) {
        body.U16(uint16_t(e.name.size()));
        body.Units(e.name);
        if (!WriteValue(body, e.value)) return {};
    }
    if (body.out.size() > kMaxPayload) return {};

    CWriter w;
    for (uint8_t b : kMagic) w.U8(b);
    w.U16(kFormatVersion);
    w.U16(uint16_t(entries_.size()));
    w.U32(uint32_t(body.out.size()));
    w.out.insert(w.out.end(), body.out.begin(), body.out.end());
    return std::move(w.out);
}

ParseStatus CPropertyBlob::ParseHeader(const uint8_t* data, size_t size, uint32_t& payloadLength,
                                       uint16_t& entryCount) {
    if (!data || size < kHeaderSize) return ParseStatus::Truncated;
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) return ParseStatus::BadMagic;
    CReader r(data + 4, kHeaderSize - 4);
    uint16_t version;
    r.U16(version);
    r.U16(entryCount);
    r.U32(payloadLength);
    if (version != kFormatVersion) return ParseStatus::BadVersion;
    if (payloadLength > kMaxPayload) return ParseStatus::TooLarge;
    if (entryCount > kMaxEntries) return ParseStatus::Malformed;
    return ParseStatus::Ok;
}

ParseStatus CPropertyBlob::Parse(const uint8_t* data, size_t size) {
    entries_.clear();
    uint32_t payload;
    uint16_t count;
    ParseStatus s = ParseHeader(data, size, payload, count);
    if (s != ParseStatus::Ok) return s;
    if (size - kHeaderSize < payload) return ParseStatus::Truncated;
    // Bytes after the payload belong to whoever shares the buffer; they are not ours.
    return ParsePayload(data + kHeaderSize, payload, count);
}

ParseStatus CPropertyBlob::ParsePayload(const uint8_t* data, size_t size, uint16_t entryCount) {
    entries_.clear();
    CReader r(data, data ? size : 0);
    std::vector<Entry> parsed;
    for (uint16_t i = 0; i < entryCount; ++i) {
        uint16_t nameLength;
        Entry e;
        if (!r.U16(nameLength) || nameLength == 0 || nameLength > kMaxNameLength ||
            !r.Units(nameLength, e.name) || !ReadValue(r, e.value))
            return ParseStatus::Malformed;
        for (const Entry& seen : parsed)
            if (seen.name == e.name) return ParseStatus::Malformed;
        parsed.push_back(std::move(e));
    }
    if (!r.AtEnd()) return ParseStatus::Malformed;
    entries_ = std::move(parsed);
    return ParseStatus::Ok;
}

}  // namespace fwpersist

// The binary property-set form: round trips, and rejection of every kind of
// damaged input without reading outside the buffer.
#include "framework/prop_blob.h"

#include <gtest/gtest.h>

#include <random>

using namespace fwpersist;

namespace {

CPropertyBlob SampleBlob() {
    CPropertyBlob b;
    b.Set(u"_Version", Value::UInt32(0x0001004A));
    b.Set(u"Speed", Value::Int32(-19200));
    b.Set(u"Small", Value::Int16(-300));
    b.Set(u"On", Value::Bool(true));
    b.Set(u"Label", Value::String(u"h\u00e9llo \u043c\u0438\u0440"));
    b.Set(u"Empty", Value::String(u""));
    return b;
}

// Offset of the payload-length field and of the entry count in the header.
constexpr size_t kCountOffset = 6;
constexpr size_t kLengthOffset = 8;

void PutU32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (8 * i));
}

}  // namespace

TEST(PropBlob, RoundTripKeepsOrderTypesAndValues) {
    CPropertyBlob original = SampleBlob();
    std::vector<uint8_t> bytes = original.Serialise();
    ASSERT_FALSE(bytes.empty());

    CPropertyBlob loaded;
    ASSERT_EQ(ParseStatus::Ok, loaded.Parse(bytes.data(), bytes.size()));
    ASSERT_EQ(original.Entries().size(), loaded.Entries().size());
    for (size_t i = 0; i < original.Entries().size(); ++i) {
        const Entry& a = original.Entries()[i];
        const Entry& b = loaded.Entries()[i];
        EXPECT_EQ(a.name, b.name);
        EXPECT_EQ(a.value.type, b.value.type) << i;
        EXPECT_EQ(a.value.number, b.value.number) << i;
        EXPECT_EQ(a.value.text, b.value.text) << i;
    }
    EXPECT_EQ(0x0001004A, loaded.Find(u"_Version")->number);
    EXPECT_EQ(-300, loaded.Find(u"Small")->number);
    EXPECT_EQ(nullptr, loaded.Find(u"speed")) << "names are case-sensitive";
    EXPECT_EQ(bytes, loaded.Serialise());
}

TEST(PropBlob, LayoutOfHeaderAndOneEntry) {
    CPropertyBlob b;
    b.Set(u"A", Value::Int16(0x1234));
    std::vector<uint8_t> expected = {'F', 'w', 'P', 'B', 1, 0, 1, 0, 7, 0, 0, 0,
                                     1, 0, 'A', 0, 1, 0x34, 0x12};
    EXPECT_EQ(expected, b.Serialise());
}

TEST(PropBlob, SetReplacesAndRejectsBadNames) {
    CPropertyBlob b;
    EXPECT_TRUE(b.Set(u"X", Value::Int32(1)));
    EXPECT_TRUE(b.Set(u"X", Value::Bool(false)));
    ASSERT_EQ(1u, b.Entries().size());
    EXPECT_EQ(ValueType::Bool, b.Find(u"X")->type);
    EXPECT_FALSE(b.Set(u"", Value::Int32(1)));
    EXPECT_FALSE(b.Set(std::u16string(kMaxNameLength + 1, u'n'), Value::Int32(1)));
    EXPECT_TRUE(b.Set(std::u16string(kMaxNameLength, u'n'), Value::Int32(1)));
}

TEST(PropBlob, EmptySetRoundTrips) {
    CPropertyBlob b;
    std::vector<uint8_t> bytes = b.Serialise();
    EXPECT_EQ(kHeaderSize, bytes.size());
    CPropertyBlob loaded;
    EXPECT_EQ(ParseStatus::Ok, loaded.Parse(bytes.data(), bytes.size()));
    EXPECT_TRUE(loaded.Entries().empty());
}

TEST(PropBlob, EveryTruncationIsRejected) {
    std::vector<uint8_t> bytes = SampleBlob().Serialise();
    for (size_t n = 0; n < bytes.size(); ++n) {
        // A copy of exactly n bytes, so that reading past it shows under sanitizers.
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + n);
        CPropertyBlob b;
        b.Set(u"stale", Value::Int32(1));
        EXPECT_EQ(ParseStatus::Truncated, b.Parse(prefix.data(), prefix.size())) << n;
        EXPECT_TRUE(b.Entries().empty()) << n;
    }
}

TEST(PropBlob, BytesAfterThePayloadAreNotOurs) {
    std::vector<uint8_t> bytes = SampleBlob().Serialise();
    bytes.push_back(0xAB);
    CPropertyBlob b;
    EXPECT_EQ(ParseStatus::Ok, b.Parse(bytes.data(), bytes.size()));
}

TEST(PropBlob, HeaderDamageIsRecognised) {
    const std::vector<uint8_t> good = SampleBlob().Serialise();
    CPropertyBlob b;

    std::vector<uint8_t> bytes = good;
    bytes[0] = 'X';
    EXPECT_EQ(ParseStatus::BadMagic, b.Parse(bytes.data(), bytes.size()));

    bytes = good;
    bytes[4] = 2;
    EXPECT_EQ(ParseStatus::BadVersion, b.Parse(bytes.data(), bytes.size()));

    bytes = good;
    PutU32(bytes, kLengthOffset, kMaxPayload + 1);
    EXPECT_EQ(ParseStatus::TooLarge, b.Parse(bytes.data(), bytes.size()));

    bytes = good;
    PutU32(bytes, kLengthOffset, uint32_t(good.size() - kHeaderSize + 1));
    EXPECT_EQ(ParseStatus::Truncated, b.Parse(bytes.data(), bytes.size()));

    bytes = good;
    PutU32(bytes, kLengthOffset, uint32_t(good.size() - kHeaderSize - 1));
    EXPECT_EQ(ParseStatus::Malformed, b.Parse(bytes.data(), bytes.size())) << "last entry cut by the length";

    bytes = good;
    bytes[kCountOffset] = uint8_t(bytes[kCountOffset] - 1);
    EXPECT_EQ(ParseStatus::Malformed, b.Parse(bytes.data(), bytes.size())) << "bytes left after the entries";

    bytes = good;
    bytes[kCountOffset] = uint8_t(bytes[kCountOffset] + 1);
    EXPECT_EQ(ParseStatus::Malformed, b.Parse(bytes.data(), bytes.size())) << "an entry missing";
}

TEST(PropBlob, EntryDamageIsMalformed) {
    struct Case {
        const char* what;
        std::vector<uint8_t> payload;
        uint16_t count;
    };
    const std::vector<Case> cases = {
        {"empty name", {0, 0, 2, 1, 0, 0, 0}, 1},
        {"name longer than the limit", {1, 1, 'A', 0}, 1},
        {"unknown type 6", {1, 0, 'A', 0, 6, 0, 0, 0, 0}, 1},
        {"unknown type 0", {1, 0, 'A', 0, 0, 0, 0, 0, 0}, 1},
        {"bool 2", {1, 0, 'A', 0, 4, 2}, 1},
        {"duplicate names", {1, 0, 'A', 0, 4, 1, 1, 0, 'A', 0, 4, 0}, 2},
        {"string longer than the payload", {1, 0, 'A', 0, 5, 0xFF, 0xFF, 0xFF, 0x7F, 'x', 0}, 1},
        {"odd string byte count", {1, 0, 'A', 0, 5, 1, 0, 0, 0, 'x'}, 1},
        {"name runs past the end", {9, 0, 'A', 0}, 1},
    };
    for (const Case& c : cases) {
        CPropertyBlob b;
        EXPECT_EQ(ParseStatus::Malformed, b.ParsePayload(c.payload.data(), c.payload.size(), c.count)) << c.what;
    }
}

TEST(PropBlob, NamesDifferingInCaseAreDistinct) {
    std::vector<uint8_t> payload = {1, 0, 'A', 0, 4, 1, 1, 0, 'a', 0, 4, 0};
    CPropertyBlob b;
    ASSERT_EQ(ParseStatus::Ok, b.ParsePayload(payload.data(), payload.size(), 2));
    EXPECT_EQ(1, b.Find(u"A")->number);
    EXPECT_EQ(0, b.Find(u"a")->number);
}

// Random damage: the parser must stay inside the buffer and, when it accepts
// the bytes, give a set that serialises back to a form it accepts again.
TEST(PropBlob, RandomMutationsNeverCrash) {
    const std::vector<uint8_t> good = SampleBlob().Serialise();
    std::mt19937 rng(12345);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> bytes = good;
        int flips = 1 + int(rng() % 4);
        for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] = uint8_t(rng());
        if (rng() % 4 == 0) bytes.resize(rng() % bytes.size());
        CPropertyBlob b;
        if (b.Parse(bytes.data(), bytes.size()) == ParseStatus::Ok) {
            ++accepted;
            std::vector<uint8_t> again = b.Serialise();
            CPropertyBlob c;
            ASSERT_EQ(ParseStatus::Ok, c.Parse(again.data(), again.size()));
            EXPECT_EQ(b.Entries().size(), c.Entries().size());
        }
    }
    // Value bytes may change freely, so some mutations must be accepted.
    EXPECT_GT(accepted, 0);
}

TEST(PropBlob, RandomBytesBehindAValidHeaderNeverCrash) {
    std::mt19937 rng(777);
    for (int round = 0; round < 5000; ++round) {
        size_t payload = rng() % 200;
        std::vector<uint8_t> bytes(kHeaderSize + payload);
        for (uint8_t& x : bytes) x = uint8_t(rng());
        bytes[0] = 'F', bytes[1] = 'w', bytes[2] = 'P', bytes[3] = 'B', bytes[4] = 1, bytes[5] = 0;
        bytes[kCountOffset] = uint8_t(rng() % 8);
        bytes[kCountOffset + 1] = 0;
        PutU32(bytes, kLengthOffset, uint32_t(payload));
        CPropertyBlob b;
        ParseStatus s = b.Parse(bytes.data(), bytes.size());
        EXPECT_TRUE(s == ParseStatus::Ok || s == ParseStatus::Malformed) << int(s);
    }
}

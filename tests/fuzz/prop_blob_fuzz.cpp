// The persisted-property format as a host hands it back: any bytes at all. What parses must
// be exactly what serialising the result gives (the format has one spelling for each set),
// and reading the header and the payload apart must agree with reading them together.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "framework/prop_blob.h"
#include "tests/fuzz/fuzz_check.h"

using namespace fwpersist;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CPropertyBlob blob;
    const ParseStatus status = blob.Parse(data, size);
    FUZZ_CHECK(ParseStatusText(status) != nullptr);

    uint32_t payload = 0;
    uint16_t count = 0;
    const ParseStatus header = CPropertyBlob::ParseHeader(data, size, payload, count);
    if (header != ParseStatus::Ok) {
        FUZZ_CHECK(status == header);
        FUZZ_CHECK(blob.Entries().empty());
        return 0;
    }
    FUZZ_CHECK(payload <= kMaxPayload);
    if (size - kHeaderSize < payload) {
        FUZZ_CHECK(status == ParseStatus::Truncated);
        return 0;
    }
    // Exactly the payload's bytes, so that the sanitizer sees any read beyond them.
    const std::vector<uint8_t> body(data + kHeaderSize, data + kHeaderSize + payload);
    CPropertyBlob apart;
    FUZZ_CHECK(apart.ParsePayload(body.data(), body.size(), count) == status);
    if (status != ParseStatus::Ok) {
        FUZZ_CHECK(blob.Entries().empty());
        return 0;
    }

    FUZZ_CHECK(blob.Entries().size() == count);
    const std::vector<uint8_t> again = blob.Serialise();
    FUZZ_CHECK(again.size() == kHeaderSize + payload);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), data));

    // Every entry can be found by its name and holds what was read.
    for (const Entry& e : blob.Entries()) {
        const Value* v = blob.Find(e.name);
        FUZZ_CHECK(v != nullptr && v->type == e.value.type && v->number == e.value.number &&
                   v->text == e.value.text);
    }
    return 0;
}

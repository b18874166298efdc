// The worker's receive-buffer arithmetic driven through any sequence of reads (each of any
// length the plan allows) and deliveries, with a threshold of any stored value. The block is
// reallocated at exactly its capacity and moved with memcpy as the worker does, so the
// sanitizer sees every byte written beyond it and every overlapping move; the bytes handed
// over must be the bytes received, in order, each once.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/port_settings.h"
#include "engine/receive_buffer.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Enough steps to grow the block a few times without making one input slow.
constexpr size_t kMaxSteps = 128;

class CReceiveModel {
public:
    explicit CReceiveModel(uint32_t threshold) : threshold_(threshold) {}

    void Read(uint8_t amount)
    {
        const uint32_t filledBefore = rx_.filled;
        const ReadPlan plan = PlanRead(rx_, threshold_);
        FUZZ_CHECK(rx_.filled == filledBefore);
        FUZZ_CHECK(rx_.capacity >= 2 * threshold_);
        FUZZ_CHECK(plan.request >= 1 && plan.request <= threshold_);
        FUZZ_CHECK(plan.request <= rx_.capacity - rx_.filled);
        if (plan.resize || !block_) Reallocate();

        // The driver returns anything from nothing to the whole request.
        const uint32_t n = static_cast<uint32_t>(uint64_t{plan.request} * amount / 255);
        // Each read's bytes carry its number, so that a byte moved to the wrong place shows.
        const uint8_t mark = static_cast<uint8_t>(++reads_);
        memset(block_.get() + rx_.filled, mark, n);
        pending_.insert(pending_.end(), n, mark);
        uint32_t moveFrom = 0;
        const uint32_t undelivered = rx_.filled + n - rx_.delivered;
        if (AcceptRead(rx_, n, moveFrom)) {
            FUZZ_CHECK(rx_.delivered == 0 && rx_.filled == undelivered);
            memcpy(block_.get(), block_.get() + moveFrom, rx_.filled);
        }
        FUZZ_CHECK(rx_.filled - rx_.delivered == undelivered);
        CheckState();
    }

    void Deliver()
    {
        const uint32_t count = rx_.filled - rx_.delivered;
        FUZZ_CHECK(count == pending_.size());
        if (count) FUZZ_CHECK(memcmp(block_.get() + rx_.delivered, pending_.data(), count) == 0);
        pending_.clear();
        rx_.delivered = rx_.filled;
        CheckState();
    }

private:
    void Reallocate()
    {
        std::unique_ptr<uint8_t[]> grown(new uint8_t[rx_.capacity]);
        if (rx_.filled) memcpy(grown.get(), block_.get(), rx_.filled);
        block_ = std::move(grown);
        allocated_ = rx_.capacity;
    }

    void CheckState() const
    {
        FUZZ_CHECK(rx_.delivered <= rx_.filled);
        FUZZ_CHECK(rx_.filled <= rx_.capacity);
        FUZZ_CHECK(!block_ || rx_.capacity <= allocated_);
        FUZZ_CHECK(pending_.size() == rx_.filled - rx_.delivered);
    }

    const uint32_t threshold_;
    ReceiveBufferState rx_;
    std::unique_ptr<uint8_t[]> block_;
    uint32_t allocated_ = 0;
    uint32_t reads_ = 0;
    std::vector<uint8_t> pending_;  // what the host is still owed, in order
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    int32_t stored = 0;
    memcpy(&stored, data, 4);
    CReceiveModel model(EffectiveRecvSizeThreshold(stored));
    // Each further byte is a step: odd values deliver, even ones read (amount in the rest).
    const size_t steps = std::min(size - 4, kMaxSteps);
    for (size_t i = 0; i < steps; ++i) {
        const uint8_t step = data[4 + i];
        if (step & 1) {
            model.Deliver();
        } else {
            model.Read(static_cast<uint8_t>(step | 1));
        }
    }
    return 0;
}

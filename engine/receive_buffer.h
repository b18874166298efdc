// Arithmetic of the worker's receive buffer, kept apart from the I/O so that its edge
// cases can be checked directly. Pure: no platform headers.
#pragma once
#include <cstdint>

struct ReceiveBufferState {
    uint32_t capacity = 5000;  // bytes the block can hold
    uint32_t filled = 0;       // bytes present from the start of the block
    uint32_t delivered = 0;    // bytes of those already handed to the host
};

struct ReadPlan {
    bool resize;       // the block must be (re)allocated at the new capacity
    uint32_t request;  // bytes to ask the driver for, at offset `filled`
};

// Before each read: grow by 10000 when exactly full, never fall below twice the threshold,
// and ask for no more than the threshold or the room left.
inline ReadPlan PlanRead(ReceiveBufferState& s, uint32_t threshold)
{
    bool resize = false;
    if (s.capacity == s.filled) {
        s.capacity += 10000;
        resize = true;
    }
    const uint32_t minimum = 2 * threshold;
    if (s.capacity < minimum) {
        s.capacity = minimum;
        resize = true;
    }
    const uint32_t room = s.capacity - s.filled;
    return ReadPlan{resize, room < threshold ? room : threshold};
}

// After a read of n bytes. Returns true when the undelivered rest must be moved from
// `delivered` to the front of the block (the caller copies `filled` bytes after the call);
// that happens only when the delivered part is the larger one, so the ranges never overlap.
inline bool AcceptRead(ReceiveBufferState& s, uint32_t n, uint32_t& moveFrom)
{
    s.filled += n;
    const uint32_t remainder = s.filled - s.delivered;
    if (s.delivered <= remainder) return false;
    moveFrom = s.delivered;
    s.filled = remainder;
    s.delivered = 0;
    return true;
}

// The receive buffer's capacity rules: growth only when exactly full, a floor of twice the
// read threshold, reads capped by the room left, and the move of the undelivered rest.
#include <gtest/gtest.h>

#include "engine/receive_buffer.h"

namespace {

TEST(ReceiveBuffer, FirstReadUsesDefaultsAndThreshold)
{
    ReceiveBufferState s;
    const ReadPlan plan = PlanRead(s, 1000);
    EXPECT_EQ(s.capacity, 5000u);
    EXPECT_FALSE(plan.resize);
    EXPECT_EQ(plan.request, 1000u);
}

TEST(ReceiveBuffer, ReadIsCappedByRoomThenGrowsAfterExactFill)
{
    ReceiveBufferState s;
    s.filled = 4500;  // nothing delivered yet
    ReadPlan plan = PlanRead(s, 1000);
    EXPECT_EQ(plan.request, 500u);
    EXPECT_EQ(s.capacity, 5000u);

    uint32_t moveFrom = 0;
    EXPECT_FALSE(AcceptRead(s, 500, moveFrom));
    EXPECT_EQ(s.filled, 5000u);

    plan = PlanRead(s, 1000);
    EXPECT_TRUE(plan.resize);
    EXPECT_EQ(s.capacity, 15000u);
    EXPECT_EQ(plan.request, 1000u);
}

TEST(ReceiveBuffer, RaisedThresholdSetsTheFloor)
{
    ReceiveBufferState s;
    s.filled = 100;
    const ReadPlan plan = PlanRead(s, 100000);
    EXPECT_TRUE(plan.resize);
    EXPECT_EQ(s.capacity, 200000u);
    EXPECT_EQ(plan.request, 100000u);

    // Lowering it again never shrinks the block.
    PlanRead(s, 10);
    EXPECT_EQ(s.capacity, 200000u);
}

TEST(ReceiveBuffer, UndeliveredRestMovesOnlyWhenSmaller)
{
    ReceiveBufferState s;
    s.filled = 3000;
    s.delivered = 1000;  // 2000 waiting: larger than what was delivered, stays in place
    uint32_t moveFrom = 0;
    EXPECT_FALSE(AcceptRead(s, 0, moveFrom));
    EXPECT_EQ(s.filled, 3000u);
    EXPECT_EQ(s.delivered, 1000u);

    s.delivered = 3000;  // everything delivered, then 200 new bytes
    EXPECT_TRUE(AcceptRead(s, 200, moveFrom));
    EXPECT_EQ(moveFrom, 3000u);
    EXPECT_EQ(s.filled, 200u);
    EXPECT_EQ(s.delivered, 0u);
    EXPECT_LE(s.filled, moveFrom);  // source and destination cannot overlap

    s.filled = 4000;
    s.delivered = 2000;  // equal halves: no move
    EXPECT_FALSE(AcceptRead(s, 0, moveFrom));
}

TEST(ReceiveBuffer, SpikeOfFiveReadsWhileSlotIsHeld)
{
    // Five 1000-byte reads while the host holds the slot: all land in the block, the
    // fifth fills it exactly and the sixth read grows it.
    ReceiveBufferState s;
    uint32_t moveFrom = 0;
    for (int i = 0; i < 5; ++i) {
        const ReadPlan plan = PlanRead(s, 1000);
        EXPECT_EQ(plan.request, 1000u);
        AcceptRead(s, plan.request, moveFrom);
    }
    EXPECT_EQ(s.filled - s.delivered, 5000u);
    PlanRead(s, 1000);
    EXPECT_EQ(s.capacity, 15000u);
}

}  // namespace

// Tick arithmetic: due times, real elapsed values, late ticks.
#include <gtest/gtest.h>

#include "outside/kavipc32/tick_schedule.h"

using kavipc::TickSchedule;

TEST(TickScheduleTest, FirstTickOnePeriodAfterStart) {
    TickSchedule t(250);
    t.Start(1000);
    EXPECT_FALSE(t.Due(1249));
    EXPECT_EQ(t.WaitMs(1000), 250u);
    EXPECT_EQ(t.WaitMs(1200), 50u);
    EXPECT_TRUE(t.Due(1250));
    EXPECT_EQ(t.WaitMs(1300), 0u);
}

TEST(TickScheduleTest, ElapsedIsTheRealTimeSinceThePreviousTick) {
    struct Step {
        uint64_t now;
        uint32_t elapsed;
        uint64_t next_wait_from_now;
    };
    TickSchedule t(250);
    t.Start(0);
    const Step steps[] = {
        {250, 250, 250},                     // on time
        {510, 260, 240},                     // a little late: the schedule keeps its rhythm
        {750, 240, 250},  {1900, 1150, 250}, // very late: no burst of missed ticks
        {2150, 250, 250},
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(t.Due(s.now)) << s.now;
        EXPECT_EQ(t.Take(s.now), s.elapsed) << s.now;
        EXPECT_EQ(t.WaitMs(s.now), s.next_wait_from_now) << s.now;
    }
}

TEST(TickScheduleTest, SinceLastDoesNotTakeATick) {
    TickSchedule t(500);
    t.Start(100);
    EXPECT_EQ(t.SinceLast(350), 250u);
    EXPECT_EQ(t.SinceLast(350), 250u);
    EXPECT_EQ(t.Take(600), 500u);
    EXPECT_EQ(t.SinceLast(600), 0u);
}

TEST(TickScheduleTest, EdgeValues) {
    TickSchedule zero(0);
    EXPECT_EQ(zero.period(), 1u); // never a busy loop
    TickSchedule t(250);
    t.Start(1000);
    EXPECT_EQ(t.Take(1000), 1u);     // a tick reports at least 1 ms
    EXPECT_EQ(t.SinceLast(500), 0u); // a clock that went back reads as 0
    t.Start(0);
    EXPECT_EQ(t.Take(0x1FFFFFFFFull), 0xFFFFFFFFu);
}

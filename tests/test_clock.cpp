// The program clock: real pauses at scale 1, scaled pauses and time-outs, continuity of program
// time across a change of scale.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/core/clock.h"

namespace {
double realSecondsOf(void (*fn)()) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

TEST(Clock, RealAndScaledPauses) {
    clock_set_scale(1.0);
    double real = realSecondsOf([] { Delay(0.25); });
    EXPECT_GE(real, 0.25);
    EXPECT_LT(real, 0.6);

    clock_set_scale(0.01);
    double t0 = Timer();
    real = realSecondsOf([] { Delay(10.0); });  // a monochromator move's time-out
    EXPECT_GE(real, 0.1);
    EXPECT_LT(real, 0.5);
    EXPECT_GE(Timer() - t0, 10.0);
    EXPECT_EQ(clock_real_ms(2.0), 20);
    EXPECT_EQ(clock_real_ms(0.0001), 1);  // any positive time-out stays positive
    EXPECT_EQ(clock_real_ms(0), 0);
    real = realSecondsOf([] { Delay(-1); Delay(0); });
    EXPECT_LT(real, 0.05);
}

TEST(Clock, ProgramTimeIsContinuousAcrossScaleChanges) {
    clock_set_scale(0.001);
    Delay(5.0);
    double before = Timer();
    clock_set_scale(1.0);
    double after = Timer();
    EXPECT_GE(after, before);
    EXPECT_LT(after - before, 0.5);
    clock_set_scale(0.001);
    std::int64_t w0 = clock_wall_seconds();
    Delay(3.0);
    EXPECT_GE(clock_wall_seconds() - w0, 2);
    clock_set_scale(0);  // ignored
    EXPECT_DOUBLE_EQ(clock_scale(), 0.001);
}

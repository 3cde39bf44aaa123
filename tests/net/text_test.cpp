#include "net/debug_log.h"
#include "net/text.h"

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace twk {
namespace {

TEST(ControlBytes, BelowSpaceExceptTabAndDelete) {
    for (unsigned char c : {0x00, 0x01, 0x08, 0x0A, 0x0B, 0x0D, 0x1B, 0x1F, 0x7F})
        EXPECT_TRUE(is_control_byte(c)) << int(c);
    for (unsigned char c : {0x09, 0x20, 0x21, 0x30, 0x41, 0x7E, 0x80, 0x9F, 0xA0, 0xC3, 0xFF})
        EXPECT_FALSE(is_control_byte(c)) << int(c);
    EXPECT_TRUE(is_control_byte('\t', true));
    EXPECT_FALSE(is_control_byte(' ', true));
    EXPECT_FALSE(has_control_byte("Mozilla/5.0\t(X11)"));
    EXPECT_TRUE(has_control_byte("a\r\nInjected: 1"));
    EXPECT_TRUE(has_control_byte(std::string_view("a\0b", 3)));
}

TEST(EnvSwitch, SetAndNotBeginningWithZero) {
    setenv("TWK_TEST_SWITCH_ON", "1", 1);
    setenv("TWK_TEST_SWITCH_YES", "yes", 1);
    setenv("TWK_TEST_SWITCH_ZERO", "0", 1);
    setenv("TWK_TEST_SWITCH_EMPTY", "", 1);
    EXPECT_TRUE(env_switch("TWK_TEST_SWITCH_ON"));
    EXPECT_TRUE(env_switch("TWK_TEST_SWITCH_YES"));
    EXPECT_FALSE(env_switch("TWK_TEST_SWITCH_ZERO"));
    EXPECT_TRUE(env_switch("TWK_TEST_SWITCH_EMPTY")); // set, and does not begin with "0"
    EXPECT_FALSE(env_switch("TWK_TEST_SWITCH_UNSET"));
    // Read once: later changes do not count.
    setenv("TWK_TEST_SWITCH_ON", "0", 1);
    EXPECT_TRUE(env_switch("TWK_TEST_SWITCH_ON"));
}

// Deadlines and progress times rely on it: the system's monotonic clock (not the wall clock,
// which can be set back) in milliseconds (not seconds or microseconds).
TEST(MonotonicMs, IsTheMonotonicClockInMilliseconds) {
    auto clock_ms = [] {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
    };
    const int64_t before = clock_ms();
    const int64_t value = monotonic_ms();
    const int64_t after = clock_ms();
    EXPECT_LE(before, value);
    EXPECT_LE(value, after);
    // And it moves at a millisecond's pace: 20 ms of sleep show as 20 or a little more.
    const int64_t start = monotonic_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int64_t slept = monotonic_ms() - start;
    EXPECT_GE(slept, 20);
    EXPECT_LT(slept, 20'000); // a loaded machine may be slow, but not a thousand times
}

} // namespace
} // namespace twk

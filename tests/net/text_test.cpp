#include "net/debug_log.h"
#include "net/text.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace twk {
namespace {

TEST(ControlBytes, BelowSpaceExceptTabAndDelete) {
    for (int c = 0; c < 256; ++c) {
        bool expected = (c < 0x20 && c != '\t') || c == 0x7F;
        EXPECT_EQ(is_control_byte(static_cast<unsigned char>(c)), expected) << c;
    }
    EXPECT_TRUE(is_control_byte('\t', true));
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

TEST(MonotonicMs, NeverGoesBack) {
    int64_t a = monotonic_ms();
    int64_t b = monotonic_ms();
    EXPECT_LE(a, b);
}

} // namespace
} // namespace twk

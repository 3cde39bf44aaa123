// What every task owes a server: the pause it asked for with Retry-After, and a connection
// budget per host shared fairly between tasks.
#include "core/host_gate.h"

#include <gtest/gtest.h>

namespace twk {
namespace {

constexpr int64_t kNow = 784'111'777; // Sun, 06 Nov 1994 08:49:37 GMT

TEST(RetryAfter, SecondsOrAnHttpDateCappedAtTenMinutes) {
    const std::pair<const char*, int64_t> cases[] = {
        {"42", 42'000},
        {" 0 ", 0},
        {"600", 600'000},
        {"601", kMaxServerPauseMs},
        {"99999999999999999999999", kMaxServerPauseMs},
        {"Sun, 06 Nov 1994 08:50:17 GMT", 40'000},  // IMF-fixdate
        {"Sunday, 06-Nov-94 08:50:17 GMT", 40'000}, // RFC 850
        {"Sun Nov  6 08:50:17 1994", 40'000},       // asctime
        {"Sun, 06 Nov 1994 08:49:00 GMT", 0},       // in the past
        {"Mon, 07 Nov 1994 08:49:37 GMT", kMaxServerPauseMs},
        {"Sun, 06 Nov 1994 08:50:17 CET", -1},
        {"Sun, 06 Xyz 1994 08:50:17 GMT", -1},
        {"-5", -1},
        {"1.5", -1},
        {"soon", -1},
        {"", -1},
    };
    for (const auto& [value, ms] : cases)
        EXPECT_EQ(server_pause_ms(value, kNow), ms) << value;
}

TEST(HostGate, APauseHoldsTheHostAtMostTenMinutesAndALongerOneStays) {
    HostGate gate;
    EXPECT_EQ(gate.held_for("a:80", 1000), 0);
    gate.hold("a:80", 5'000, 1000);
    EXPECT_EQ(gate.held_for("a:80", 2000), 4'000);
    EXPECT_EQ(gate.held_for("b:80", 2000), 0);
    gate.hold("a:80", 1'000, 2000); // shorter: the longer hold stays
    EXPECT_EQ(gate.held_for("a:80", 2000), 4'000);
    gate.hold("a:80", 3'600'000, 2000);
    EXPECT_EQ(gate.held_for("a:80", 2000), kMaxServerPauseMs);
    EXPECT_EQ(gate.held_for("a:80", 2000 + kMaxServerPauseMs), 0);
    EXPECT_EQ(gate_host("https://Example.COM/x"), "example.com:443");
    EXPECT_EQ(gate_host("http://[::1]:8080/"), "::1:8080");
}

// Two tasks on one host: the first takes the whole budget; once the second asks, the first
// gives back what is above its half, and neither can take more than the budget.
TEST(HostGate, TheBudgetIsSharedFairlyAndALaterTaskIsNotStarved) {
    HostGate gate;
    gate.set_budget(4);
    const SlotHolder first = SlotHolder::next(), second = SlotHolder::next();
    int64_t now = 10'000;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(gate.try_acquire("h:80", first, now));
    EXPECT_FALSE(gate.try_acquire("h:80", first, now)); // the budget is spent
    EXPECT_FALSE(gate.over_share("h:80", first, now));  // nobody else wants the host
    EXPECT_FALSE(gate.try_acquire("h:80", second, now));
    EXPECT_TRUE(gate.over_share("h:80", first, now));
    gate.release("h:80", first, now);
    EXPECT_TRUE(gate.over_share("h:80", first, now));   // 3 of 4, its share is 2
    EXPECT_FALSE(gate.try_acquire("h:80", first, now)); // the freed slot waits for the other task
    EXPECT_TRUE(gate.try_acquire("h:80", second, now));
    gate.release("h:80", first, now);
    EXPECT_FALSE(gate.over_share("h:80", first, now));
    EXPECT_TRUE(gate.try_acquire("h:80", second, now));
    EXPECT_FALSE(gate.try_acquire("h:80", second, now));
    EXPECT_EQ(gate.held("h:80"), 4u);
    // The other host is another budget.
    EXPECT_TRUE(gate.try_acquire("other:80", first, now));
    // A task that stopped asking is no longer waited for.
    now += kSlotWaitMemoryMs;
    gate.release("h:80", second, now);
    EXPECT_FALSE(gate.over_share("h:80", second, now));
    EXPECT_TRUE(gate.try_acquire("h:80", second, now));
    EXPECT_FALSE(gate.try_acquire("h:80", first, now)); // the budget is spent again
}

} // namespace
} // namespace twk

#include "core/adaptive_controller.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace twk {
namespace {

constexpr double kMB = 1'000'000;

// Plays the driver: a task whose clock starts at 0, advanced one window at a time with a chosen
// throughput, and a throttle-hit counter the test bumps like a worker seeing 429/503 would.
struct Drive {
    explicit Drive(uint32_t connections, AdaptiveSettings settings = {})
        : controller(connections, 0, 0, 0, settings) {}

    // Lets `ms` pass during which `rate` bytes/s arrived, then lets the controller sample.
    bool tick(double rate, uint64_t ms = 1000) {
        now_ms += ms;
        bytes += static_cast<uint64_t>(rate * static_cast<double>(ms) / 1000.0);
        return controller.sample(now_ms * 1'000'000, now_ms, bytes, hits);
    }

    const AdaptiveState& s() const { return controller.state(); }

    AdaptiveController controller;
    uint64_t now_ms = 0;
    uint64_t bytes = 0;
    uint32_t hits = 0;
};

TEST(AdaptiveController, InitialTargetIsAboutHalfTheConnections) {
    struct Case {
        uint32_t connections;
        uint32_t target;
    } cases[] = {{1, 1}, {2, 1}, {3, 2}, {8, 4}, {16, 8}, {32, 16}, {0, 1}};
    for (const auto& c : cases) {
        AdaptiveController controller(c.connections, 0, 0, 0, {});
        EXPECT_EQ(controller.target(), c.target) << c.connections;
        EXPECT_TRUE(controller.state().ramp) << c.connections;
    }
}

TEST(AdaptiveController, NoAdaptAsksForAllConnectionsAndNeverSamples) {
    AdaptiveSettings settings;
    settings.no_adapt = true;
    Drive d(16, settings);
    EXPECT_EQ(d.controller.target(), 16u);
    d.hits = 5;
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(d.tick(10 * kMB));
    EXPECT_EQ(d.controller.target(), 16u);
    EXPECT_EQ(d.s().window, 0u);
}

TEST(AdaptiveController, OneConnectionNeverRamps) {
    Drive d(1);
    for (int i = 0; i < 600; ++i)
        d.tick(10 * kMB * (i + 1));
    EXPECT_EQ(d.controller.target(), 1u);
    EXPECT_EQ(d.s().reopens, 0u);
}

TEST(AdaptiveController, WindowIsMeasuredOnlyWhenLongOrFullEnough) {
    Drive d(1);                           // nothing to ramp: no short window counts
    EXPECT_FALSE(d.tick(100 * kMB, 799)); // too short, however full
    EXPECT_TRUE(d.tick(0, 100));          // 0.9 s: now measured
    Drive ramping(8);
    EXPECT_FALSE(ramping.tick(100 * kMB, 79)); // too short even for a ramp step
    EXPECT_TRUE(ramping.tick(0, 1));           // 80 ms holding 256 KiB or more: a ramp step
    Drive small(8);
    EXPECT_FALSE(small.tick(200'000, 900)); // 180,000 bytes in 0.9 s: keeps growing
    EXPECT_FALSE(small.tick(0, 3000));      // 3.9 s
    EXPECT_TRUE(small.tick(0, 100));        // 4 s: measured whatever it holds
    EXPECT_NEAR(small.s().throughput, 45'000, 1);
    Drive full(8);
    EXPECT_TRUE(full.tick(300'000, 900)); // 270,000 bytes in 0.9 s
    EXPECT_NEAR(full.s().throughput, 300'000, 1);
}

TEST(AdaptiveController, BytesDoneFallingBackSamplesAtOnceAsZero) {
    AdaptiveController c(8, 0, 5'000'000, 0, {});
    EXPECT_FALSE(c.sample(500'000'000, 500, 0, 0)); // still shorter than 0.8 s
    EXPECT_TRUE(c.sample(900'000'000, 900, 0, 0));
    EXPECT_EQ(c.state().throughput, 0);
    EXPECT_EQ(c.state().window_bytes, 0u);
}

TEST(AdaptiveController, RampsInDoublingStepsUpToTheConnectionsThenParks) {
    Drive d(32);
    std::vector<uint32_t> targets;
    std::vector<uint32_t> steps;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(d.tick(10 * kMB));
        targets.push_back(d.controller.target());
        steps.push_back(d.s().step);
    }
    // The first sample of a pass only adds one; the second sets the best; then +1, +2, +4, +8.
    EXPECT_EQ(targets, (std::vector<uint32_t>{17, 18, 19, 21, 25, 32, 32, 32}));
    EXPECT_EQ(steps, (std::vector<uint32_t>{1, 1, 2, 4, 8, 8, 8, 8}));
    EXPECT_FALSE(d.s().ramp);
    EXPECT_EQ(d.s().retry_at_ms, 7000u + 30'000u); // parked at the seventh sample
}

TEST(AdaptiveController, ThrottleHalvesHoldsFiveSecondsAndKeepsBelowTheCeiling) {
    Drive d(6);
    ASSERT_EQ(d.controller.target(), 3u);
    d.hits = 2;
    d.tick(5 * kMB);
    EXPECT_EQ(d.controller.target(), 1u); // 3 becomes 1
    EXPECT_EQ(d.s().rate_ceiling, 3u);
    EXPECT_EQ(d.s().backoffs, 1u);
    EXPECT_TRUE(d.s().ramp);
    EXPECT_EQ(d.s().hold_until_ms, 1000u + 5000u);
    for (int i = 0; i < 4; ++i) {
        d.tick(5 * kMB);
        EXPECT_EQ(d.controller.target(), 1u) << "held at " << d.now_ms;
    }
    d.tick(5 * kMB); // 6 s: the hold is over
    EXPECT_EQ(d.controller.target(), 2u);
    for (int i = 0; i < 600; ++i)
        d.tick(5 * kMB * (i + 2));
    EXPECT_EQ(d.controller.target(), 2u); // one below the ceiling, never re-armed
    EXPECT_FALSE(d.s().ramp);
    EXPECT_EQ(d.s().reopens, 0u);
}

TEST(AdaptiveController, ThrottleAtOneConnectionChangesNothing) {
    Drive d(2);
    ASSERT_EQ(d.controller.target(), 1u);
    d.hits = 1;
    d.tick(5 * kMB);
    EXPECT_EQ(d.s().backoffs, 0u);
    EXPECT_EQ(d.s().rate_ceiling, 0u);
    EXPECT_EQ(d.controller.target(), 2u); // an ordinary ramp step
}

TEST(AdaptiveController, TwoThrottleBackOffsStopRampingForThePass) {
    Drive d(32);
    d.hits = 1;
    d.tick(5 * kMB);
    EXPECT_EQ(d.controller.target(), 8u);
    EXPECT_TRUE(d.s().ramp);
    d.hits = 3;
    d.tick(5 * kMB);
    EXPECT_EQ(d.controller.target(), 4u);
    EXPECT_EQ(d.s().rate_ceiling, 8u);
    EXPECT_FALSE(d.s().ramp);
    for (int i = 0; i < 600; ++i)
        d.tick(5 * kMB * (i + 2));
    EXPECT_EQ(d.controller.target(), 4u);
    EXPECT_EQ(d.s().reopens, 0u);
}

TEST(AdaptiveController, TwoLowSamplesParkAndReArmingBacksOffUpTo240Seconds) {
    AdaptiveSettings settings;
    settings.ramp_retry_base_ms = 30'000;
    Drive d(32, settings);
    const double high = 10 * kMB;
    const double low = 8 * kMB; // below 93 % of the best, far above a collapse
    const uint64_t delays[] = {30'000, 60'000, 120'000, 240'000, 240'000};
    for (uint64_t delay : delays) {
        do
            d.tick(high);
        while (d.s().best < 0);
        uint32_t target = d.controller.target();
        d.tick(low);
        EXPECT_TRUE(d.s().strike);
        EXPECT_TRUE(d.s().ramp);
        d.tick(low);
        EXPECT_FALSE(d.s().ramp);
        EXPECT_EQ(d.controller.target(), target);
        ASSERT_EQ(d.s().retry_at_ms - d.now_ms, delay) << "after " << d.s().reopens << " re-arms";
        uint32_t reopens = d.s().reopens;
        while (d.now_ms + 1000 < d.s().retry_at_ms) {
            d.tick(low);
            ASSERT_FALSE(d.s().ramp) << d.now_ms;
        }
        d.tick(high); // the first sample at or after the re-arm time
        EXPECT_TRUE(d.s().ramp);
        EXPECT_EQ(d.s().reopens, reopens + 1);
        EXPECT_EQ(d.s().retry_at_ms, 0u);
    }
}

TEST(AdaptiveController, CollapseDropsOneConnectionAndHoldsThreeSeconds) {
    Drive d(8);
    d.tick(10 * kMB);
    d.tick(10 * kMB);
    uint32_t target = d.controller.target();
    d.tick(3 * kMB); // below 35 % of a peak of 10 MB/s
    EXPECT_EQ(d.controller.target(), target - 1);
    EXPECT_EQ(d.s().peak, 3 * kMB);
    EXPECT_EQ(d.s().hold_until_ms, d.now_ms + 3000);
    EXPECT_LT(d.s().best, 0);
    d.tick(3 * kMB);
    d.tick(3 * kMB);
    EXPECT_EQ(d.controller.target(), target - 1); // held
    d.tick(3 * kMB);
    EXPECT_EQ(d.controller.target(), target); // ramping again
}

TEST(AdaptiveController, NoCollapseBelowHalfAMebibytePerSecond) {
    Drive d(8);
    d.tick(500'000);
    d.tick(500'000);
    uint32_t target = d.controller.target();
    d.tick(0, 4000);
    EXPECT_EQ(d.controller.target(), target); // a strike, not a collapse
    EXPECT_TRUE(d.s().strike);
}

TEST(AdaptiveController, WritesTheAdaptLineForEverySample) {
    std::vector<std::string> lines;
    AdaptiveSettings settings;
    settings.log = [&](const std::string& line) { lines.push_back(line); };
    Drive d(8, settings);
    d.tick(2 * kMB, 1500);
    d.hits = 1;
    d.tick(2 * kMB, 1000);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[adapt] t=1.5 target=5 tput=2.0 rateCeil=0 hits=0 ramp=1 win=0 reopens=0");
    EXPECT_EQ(lines[1], "[adapt] t=2.5 target=2 tput=2.0 rateCeil=5 hits=1 ramp=1 win=1 reopens=0");
}

// A sender throttled per connection (2 MiB/s each, nginx's limit_rate) that hands every
// connection its second's worth at once, all connections in step: the driver's 200 ms ticks see
// one big reading a second and nothing in between. `rate_for` gives the whole second's bytes for
// a target. Returns the targets at each sample.
struct BurstySender {
    std::function<double(uint32_t)> rate_for = [](uint32_t target) { return target * 2.0 * 1024 * 1024; };
    bool bursty = true; // false: the same bytes spread evenly over the ticks

    std::vector<uint32_t> run(Drive& d, int seconds) {
        std::vector<uint32_t> targets;
        for (int tick = 1; tick <= seconds * 5; ++tick) {
            double second = rate_for(d.controller.target());
            double bytes = bursty ? (tick % 5 == 1 ? second : 0) : second / 5;
            d.now_ms += 200;
            d.bytes += static_cast<uint64_t>(bytes);
            if (d.controller.sample(d.now_ms * 1'000'000, d.now_ms, d.bytes, d.hits))
                targets.push_back(d.controller.target());
        }
        return targets;
    }
};

TEST(AdaptiveController, BurstySenderRampsToAllConnections) {
    Drive d(32);
    BurstySender sender;
    sender.run(d, 12);
    EXPECT_TRUE(d.s().bursty);
    EXPECT_EQ(d.controller.target(), 32u);
    EXPECT_EQ(d.s().reopens, 0u);
    // Judged by whole seconds: 2 MiB/s for each of the connections.
    EXPECT_NEAR(d.s().throughput, 32 * 2.0 * 1024 * 1024, 0.02 * 32 * 2 * 1024 * 1024);
}

TEST(AdaptiveController, BurstySenderThatStopsPayingStillParks) {
    Drive d(32);
    BurstySender sender;
    // The server gives 20 connections' worth at most, and less beyond 20.
    sender.rate_for = [](uint32_t target) { return (target <= 20 ? target : 14) * 2.0 * 1024 * 1024; };
    sender.run(d, 30);
    EXPECT_TRUE(d.s().bursty);
    EXPECT_FALSE(d.s().ramp);
    EXPECT_NE(d.s().retry_at_ms, 0u); // parked, to be re-armed later
    EXPECT_LT(d.controller.target(), 32u);
}

TEST(AdaptiveController, SmoothSenderIsStillJudgedByEachWindow) {
    Drive d(32);
    BurstySender sender;
    sender.bursty = false;
    // Every 200 ms tick pays while the ramp runs, then a sample every 0.8 s, each judged by its
    // own window: the ramp of a smooth server.
    EXPECT_EQ(sender.run(d, 1), (std::vector<uint32_t>{17, 18, 19, 21, 25}));
    EXPECT_TRUE(d.controller.ramping_fast());
    EXPECT_EQ(sender.run(d, 4), (std::vector<uint32_t>{32, 32, 32, 32, 32}));
    EXPECT_FALSE(d.controller.ramping_fast());
    EXPECT_FALSE(d.s().ramp); // parked at the first full window after reaching 32
    EXPECT_EQ(d.s().retry_at_ms, 2000u + 30'000u);
    EXPECT_FALSE(d.s().bursty);
}

// Short windows only ever take a step that paid: a low one is not judged at all (no strike, no
// collapse) but grows into a full window, which is judged as always. Nor do they raise the best
// a later step must keep: a short window can hold a burst.
TEST(AdaptiveController, ShortWindowsOnlyTakeStepsThatPaid) {
    Drive d(32);
    ASSERT_TRUE(d.tick(10 * kMB, 200));
    ASSERT_TRUE(d.tick(10 * kMB, 200)); // the best: 10 MB/s
    ASSERT_TRUE(d.tick(12 * kMB, 200)); // paid, but leaves the best as it was
    EXPECT_EQ(d.s().best, 10 * kMB);
    EXPECT_EQ(d.s().peak, 0); // nor does it set the peak a collapse is judged by
    const uint32_t target = d.controller.target();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(d.tick(8 * kMB, 200)) << i; // below 93 % of the best: the window grows
        EXPECT_FALSE(d.s().strike);
        EXPECT_EQ(d.controller.target(), target);
    }
    EXPECT_TRUE(d.tick(8 * kMB, 200)); // 0.8 s: a full window, and a strike
    EXPECT_TRUE(d.s().strike);
    EXPECT_FALSE(d.controller.ramping_fast());
    EXPECT_EQ(d.controller.target(), target);
}

// After the server said 429 or 503 the ramp goes at the pace of full windows again.
TEST(AdaptiveController, NoShortWindowsAfterAThrottle) {
    Drive d(32);
    EXPECT_TRUE(d.controller.ramping_fast());
    d.hits = 1;
    ASSERT_TRUE(d.tick(10 * kMB));
    EXPECT_FALSE(d.controller.ramping_fast());
    d.tick(10 * kMB, 5000); // the hold is over
    const uint32_t target = d.controller.target();
    int samples = 0;
    for (int i = 0; i < 8; ++i)
        samples += d.tick(20 * kMB, 200) ? 1 : 0;
    EXPECT_EQ(samples, 2); // every 0.8 s, not every tick
    EXPECT_EQ(d.controller.target(), target + 1 + 2);
}

TEST(AdaptiveSettings, RampRetryBaseFromTheEnvironment) {
    struct Case {
        const char* value; // nullptr: unset
        uint64_t base;
    } cases[] = {{nullptr, 30'000}, {"", 30'000}, {"0", 30'000}, {"-5", 30'000},
                 {"abc", 30'000},   {"1", 1},     {"1500", 1500}};
    for (const auto& c : cases) {
        if (c.value) {
            setenv("TWK_RAMP_RETRY_MS", c.value, 1);
        } else {
            unsetenv("TWK_RAMP_RETRY_MS");
        }
        EXPECT_EQ(AdaptiveSettings::from_environment().ramp_retry_base_ms, c.base)
            << (c.value ? c.value : "unset");
    }
    unsetenv("TWK_RAMP_RETRY_MS");
    unsetenv("TWK_NO_ADAPT");
    EXPECT_FALSE(AdaptiveSettings::from_environment().no_adapt);
    setenv("TWK_NO_ADAPT", "0", 1); // any value counts
    EXPECT_TRUE(AdaptiveSettings::from_environment().no_adapt);
    unsetenv("TWK_NO_ADAPT");
}

TEST(AdaptiveController, HugeRampRetryBaseIsCappedAt240Seconds) {
    AdaptiveSettings settings;
    settings.ramp_retry_base_ms = UINT64_MAX / 2;
    Drive d(32, settings);
    for (int i = 0; i < 7; ++i)
        d.tick(10 * kMB);
    ASSERT_FALSE(d.s().ramp);
    EXPECT_EQ(d.s().retry_at_ms - d.now_ms, 240'000u);
}

} // namespace
} // namespace twk

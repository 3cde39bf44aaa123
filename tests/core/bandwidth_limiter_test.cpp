#include "core/bandwidth_limiter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

namespace twk {
namespace {

constexpr int64_t kMiB = 1'048'576;
constexpr uint64_t kSecond = 1'000'000'000;

// A clock that only moves when a charge sleeps (or the test lets time pass). `during_sleep` runs
// inside every sleep, after the clock moved, so a test can change the limit mid-sleep.
struct FakeTime {
    uint64_t now = 1000 * kSecond;
    std::vector<uint64_t> sleeps;
    std::function<void()> during_sleep;

    LimiterClock clock() {
        LimiterClock c;
        c.now_ns = [this] { return now; };
        c.sleep_ns = [this](uint64_t ns) {
            sleeps.push_back(ns);
            now += ns;
            if (during_sleep) during_sleep();
        };
        return c;
    }
    uint64_t slept() const { return std::accumulate(sleeps.begin(), sleeps.end(), uint64_t{0}); }
};

TEST(BandwidthLimiter, OffWhenTheLimitIsZeroOrNegative) {
    FakeTime t;
    BandwidthLimiter limiter(t.clock());
    limiter.charge(100 * kMiB);
    limiter.set_limit(-5);
    limiter.charge(100 * kMiB);
    EXPECT_EQ(limiter.limit(), 0);
    EXPECT_TRUE(t.sleeps.empty());
}

TEST(BandwidthLimiter, SteadyChargingHoldsTheRateInShortSleeps) {
    FakeTime t;
    BandwidthLimiter limiter(t.clock());
    limiter.set_limit(kMiB);
    uint64_t start = t.now;
    limiter.charge(65'536); // the first charge starts from no credit
    EXPECT_EQ(t.slept(), 62'500'000u);
    for (int i = 0; i < 63; ++i)
        limiter.charge(65'536);
    EXPECT_NEAR(static_cast<double>(t.now - start), 4.0 * kSecond, 1000);
    limiter.charge(3 * kMiB); // one large write: paid in slices
    EXPECT_NEAR(static_cast<double>(t.now - start), 7.0 * kSecond, 1000);
    for (uint64_t s : t.sleeps)
        EXPECT_LE(s, kMaxLimiterSleepNs);
}

// A sixteenth of a second's worth per read; with many readers, a quarter second's worth split
// between them; never below 4 KiB nor above the buffer; the whole buffer without a limit.
TEST(BandwidthLimiter, ReadSizeFollowsTheLimitAndTheReaders) {
    struct Case {
        int64_t limit;
        uint32_t readers;
        size_t largest;
        size_t expected;
    };
    for (const Case& c :
         {Case{0, 16, 65'536, 65'536}, Case{-1, 1, 65'536, 65'536}, Case{256 * 1024, 4, 65'536, 16'384},
          Case{256 * 1024, 16, 65'536, 4'096}, Case{kMiB, 16, 65'536, 16'384},
          Case{10 * kMiB, 4, 65'536, 65'536}, Case{1000, 1, 65'536, 4'096}, Case{1000, 1, 1'000, 1'000}}) {
        EXPECT_EQ(limited_read_size(c.limit, c.largest, c.readers), c.expected)
            << c.limit << " B/s, " << c.readers << " readers";
    }
}

TEST(BandwidthLimiter, IdleTaskMayBurstOneSecondsWorth) {
    FakeTime t;
    BandwidthLimiter limiter(t.clock());
    limiter.set_limit(kMiB);
    limiter.charge(1);
    t.sleeps.clear();
    t.now += 10 * kSecond; // idle far longer than a second: the credit is still capped at 1 MiB
    limiter.charge(kMiB);
    EXPECT_TRUE(t.sleeps.empty());
    EXPECT_NEAR(limiter.credit(), 0, 1e-3);
    limiter.charge(65'536);
    EXPECT_EQ(t.slept(), 62'500'000u);
}

TEST(BandwidthLimiter, LimitChangeWakesASleeperAndForgivesAnOversizedDebt) {
    struct Case {
        const char* name;
        int64_t new_limit;
        uint64_t next_sleep_max; // the sleep of a 1 KiB charge right after the change
    } cases[] = {
        {"turned off", 0, 0},
        {"raised", 100 * kMiB, 1 * kSecond / 10},
        // A 10 MiB debt at 1 KiB/s would be almost three hours; at most one second of it stays.
        {"lowered", 1024, 2 * kSecond},
    };
    for (const auto& c : cases) {
        FakeTime t;
        BandwidthLimiter limiter(t.clock());
        limiter.set_limit(kMiB);
        int slices = 0;
        t.during_sleep = [&] {
            if (++slices == 3) limiter.set_limit(c.new_limit);
        };
        limiter.charge(10 * kMiB); // a debt of ten seconds
        EXPECT_EQ(slices, 3) << c.name;
        t.during_sleep = nullptr;
        t.sleeps.clear();
        limiter.charge(1024);
        EXPECT_LE(t.slept(), c.next_sleep_max) << c.name;
    }
}

TEST(BandwidthLimiter, AbandonEndsAnEndlessSleep) {
    FakeTime t;
    BandwidthLimiter limiter(t.clock());
    limiter.set_limit(1); // one byte per second: a 64 KiB charge asks for 18 hours
    int asked = 0;
    limiter.charge(65'536, [&] { return ++asked == 2; });
    EXPECT_EQ(t.sleeps.size(), 2u);
    EXPECT_EQ(t.slept(), 2 * kMaxLimiterSleepNs);
    limiter.charge(UINT64_MAX / 2, [] { return true; }); // an absurd debt does not overflow
    EXPECT_EQ(t.sleeps.size(), 3u);
}

// Real threads on the steady clock: four workers share a 4 MiB/s limit and write 4 MiB in
// total. Whatever the interleaving, the last of them cannot finish before a second has passed.
TEST(BandwidthLimiterThreads, SharedLimitHoldsAcrossWorkers) {
    BandwidthLimiter limiter;
    limiter.set_limit(4 * kMiB);
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&] {
            for (int i = 0; i < 16; ++i)
                limiter.charge(65'536);
        });
    }
    for (auto& w : workers)
        w.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.99);
    EXPECT_LT(seconds, 60);
}

// Workers stuck in an 18-hour sleep under a 1 byte/s limit return once the limit is turned off.
TEST(BandwidthLimiterThreads, TurningTheLimitOffReleasesSleepingWorkers) {
    std::atomic<int> sleeping{0};
    LimiterClock clock = LimiterClock::steady();
    auto real_sleep = clock.sleep_ns;
    clock.sleep_ns = [&, real_sleep](uint64_t ns) {
        thread_local bool counted = false;
        if (!counted) sleeping.fetch_add(1);
        counted = true;
        real_sleep(ns);
    };
    BandwidthLimiter limiter(clock);
    limiter.set_limit(1);
    std::atomic<bool> rescue{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w) {
        workers.emplace_back([&] {
            limiter.charge(65'536, [&] { return rescue.load(); });
            finished.fetch_add(1);
        });
    }
    auto wait_for = [](const std::function<bool()>& condition) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return condition();
    };
    ASSERT_TRUE(wait_for([&] { return sleeping.load() >= 3; }));
    EXPECT_EQ(finished.load(), 0);
    limiter.set_limit(0);
    EXPECT_TRUE(wait_for([&] { return finished.load() == 3; }));
    rescue = true; // so a broken limiter cannot keep the test from ending
    for (auto& w : workers)
        w.join();
}

} // namespace
} // namespace twk

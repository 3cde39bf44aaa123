// A stream run's limiter follows the task's limit and its share of the list's, even while every
// worker sleeps, and reads in pieces that fit the limit.
#include "media/stream_bandwidth.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "core/shared_bandwidth.h"
#include "core/task.h"

namespace twk {
namespace {

constexpr uint64_t kMs = 1'000'000;

// A clock that moves only when a charge sleeps; `during_sleep` runs inside every sleep.
struct FakeTime {
    uint64_t now = 1'000'000 * kMs;
    uint64_t slept = 0;
    std::function<void()> during_sleep;

    LimiterClock clock() {
        LimiterClock c;
        c.now_ns = [this] { return now; };
        c.sleep_ns = [this](uint64_t ns) {
            now += ns;
            slept += ns;
            if (during_sleep) during_sleep();
        };
        return c;
    }
};

TEST(StreamBandwidth, TakesTheLowerOfTheTasksLimitAndItsShare) {
    struct Case {
        int64_t own, shared, expected;
    };
    for (const Case& c : {Case{0, 0, 0}, Case{500, 0, 500}, Case{0, 2000, 2000}, Case{500, 2000, 500},
                          Case{5000, 2000, 2000}}) {
        FakeTime t;
        Task task;
        auto shared = std::make_shared<SharedBandwidth>(t.clock());
        shared->set_limit(c.shared);
        task.progress.attach_shared_bandwidth(shared);
        task.control.bandwidth_limit = c.own;
        StreamBandwidth bandwidth(task.context(), t.clock());
        bandwidth.charge(1);
        EXPECT_EQ(bandwidth.limit(), c.expected) << c.own << " own, " << c.shared << " shared";
    }
}

TEST(StreamBandwidth, AChangedLimitOrAStopReachesASleepingWorker) {
    struct Case {
        const char* what;
        std::function<void(Task&)> change;
    };
    for (const Case& c : {Case{"limit off", [](Task& task) { task.control.bandwidth_limit = 0; }},
                          Case{"limit raised", [](Task& task) { task.control.bandwidth_limit = 1'000'000; }},
                          Case{"stopped", [](Task& task) { task.control.stop = true; }}}) {
        FakeTime t;
        Task task;
        task.control.bandwidth_limit = 1000;
        StreamBandwidth bandwidth(task.context(), t.clock());
        t.during_sleep = [&] {
            if (t.slept >= 300 * kMs) c.change(task);
        };
        bandwidth.charge(10'000); // ten seconds' worth at the first limit
        EXPECT_LT(t.slept, 1000 * kMs) << c.what;
    }
}

TEST(StreamBandwidth, ReadsInPiecesOfASixteenthOfASecond) {
    struct Case {
        int64_t limit;
        size_t expected;
    };
    for (const Case& c :
         {Case{0, 65536}, Case{128 * 1024, 8192}, Case{10 * 1024 * 1024, 65536}, Case{1000, 4096}}) {
        FakeTime t;
        Task task;
        task.control.bandwidth_limit = c.limit;
        StreamBandwidth bandwidth(task.context(), t.clock());
        EXPECT_EQ(bandwidth.piece(65536), c.expected) << c.limit;
    }
}

} // namespace
} // namespace twk

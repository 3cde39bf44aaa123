// The change signal: which changes advance which counter, and waits that end when the change
// comes (every wait below has a 10 s time-out, so a change that is never signalled fails the
// test by its revision, not by a hang).
#include "core/change_signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>

#include "app/engine_api.h"
#include "core/task.h"
#include "core/task_list.h"
#include "tests/core/placeholder_driver.h"
#include "tests/support/temp_dir.h"

namespace twk {
namespace {

constexpr int64_t kLongMs = 10'000;

// Waits in another thread; the future holds the revision the wait ended with.
std::future<Revision> wait_async(const ChangeSignal& signal, Revision seen, ChangeScope scope,
                                 std::function<bool()> stop = {}) {
    return std::async(std::launch::async, [&signal, seen, scope, stop] {
        return signal.wait_for_change(seen, scope, kLongMs, stop);
    });
}

TEST(ChangeSignal, ProgressMovesOnlyTheAnyCounterAndStatusMovesBoth) {
    ChangeSignal signal;
    const Revision start = signal.revision();
    signal.note_progress();
    EXPECT_EQ(signal.revision().any, start.any + 1);
    EXPECT_EQ(signal.revision().status, start.status);
    signal.note_status();
    EXPECT_EQ(signal.revision().any, start.any + 2);
    EXPECT_EQ(signal.revision().status, start.status + 1);
    // A status waiter does not take progress for a change: it runs out its time-out.
    const Revision seen = signal.revision();
    signal.note_progress();
    EXPECT_EQ(signal.wait_for_change(seen, ChangeScope::kStatus, 20).status, seen.status);
    EXPECT_NE(signal.wait_for_change(seen, ChangeScope::kAny, kLongMs).any, seen.any);
}

TEST(ChangeSignal, AWaitEndsWhenTheChangeComes) {
    struct Case {
        ChangeScope scope;
        bool status_change;
    } cases[] = {{ChangeScope::kAny, false}, {ChangeScope::kAny, true}, {ChangeScope::kStatus, true}};
    for (const Case& c : cases) {
        ChangeSignal signal;
        const Revision seen = signal.revision();
        auto waiting = wait_async(signal, seen, c.scope);
        if (c.status_change) {
            signal.note_status();
        } else {
            signal.note_progress();
        }
        EXPECT_NE(waiting.get(), seen) << static_cast<int>(c.scope) << c.status_change;
    }
}

TEST(ChangeSignal, WakeEndsAWaitWhoseStopHolds) {
    ChangeSignal signal;
    std::atomic<bool> stop{false};
    const Revision seen = signal.revision();
    auto waiting = wait_async(signal, seen, ChangeScope::kStatus, [&] { return stop.load(); });
    stop = true;
    signal.wake();
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(kLongMs)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), seen);
}

TEST(ChangeSignal, ATaskReachesTheSignalOfItsList) {
    auto signal = std::make_shared<ChangeSignal>();
    Task task;
    task.progress.note_progress(); // no list yet: nothing to reach
    task.progress.attach_changes(signal);
    Revision seen = signal->revision();
    task.progress.set_status(TaskPhase::kDownloading);
    EXPECT_EQ(signal->revision().status, seen.status + 1);
    seen = signal->revision();
    task.progress.note_progress();
    EXPECT_EQ(signal->revision().any, seen.any + 1);
    EXPECT_EQ(signal->revision().status, seen.status);
}

class ListChanges : public ::testing::Test {
protected:
    void SetUp() override {
        engine = engine_create(dir.path(), 1);
        engine_task_list(engine)->set_driver(driver.driver());
    }
    void TearDown() override {
        driver.release_all();
        engine_destroy(engine);
    }
    // Runs `change` and waits for the status counter to move past what it was before.
    bool signals(const std::function<void()>& change) {
        const Revision seen = engine_revision(engine);
        change();
        return engine_wait_for_change(engine, seen, ChangeScope::kStatus, kLongMs) != seen;
    }
    std::string url(int n) const { return "http://example.test/f" + std::to_string(n) + ".bin"; }

    test::TempDir dir;
    test::PlaceholderDriver driver;
    Engine* engine = nullptr;
};

TEST_F(ListChanges, EveryOperationAndEveryRunEndAdvanceTheRevision) {
    EXPECT_TRUE(signals([&] { engine_add(engine, url(1), 8, ""); }));
    EXPECT_TRUE(test::wait_for([&] { return driver.started_count() == 1; }));
    EXPECT_TRUE(signals([&] { engine_add(engine, url(2), 8, ""); })); // queued behind the first
    EXPECT_TRUE(signals([&] { engine_pause(engine, 2); }));
    EXPECT_TRUE(signals([&] { engine_cancel(engine, 2); }));
    // The end of a run wakes the waiter without polling.
    auto list = engine_task_list(engine);
    EXPECT_TRUE(signals([&] { driver.release(url(1)); }));
    EXPECT_TRUE(test::wait_for([&] { return list->all_settled(); }));
}

TEST_F(ListChanges, WithoutAnEngineNothingWaits) {
    const Revision seen{3, 2};
    EXPECT_EQ(engine_wait_for_change(nullptr, seen, ChangeScope::kAny, kLongMs), seen);
    EXPECT_EQ(engine_revision(nullptr), Revision{});
}

} // namespace
} // namespace twk

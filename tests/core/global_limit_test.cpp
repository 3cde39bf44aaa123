// One speed limit for all downloads together, against nginx: three tasks with 1, 4 and 16
// connections stay under it together and each gets a fair part; turning it off lets them finish.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/engine_api.h"
#include "core/task_list.h"
#include "tests/core/driver_fixture.h"
#include "tests/support/real_peers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace twk {
namespace {

using test::RealPeers;

// The peers are started and stopped by the environment download_driver_peer_test.cpp registers
// for this test program.

constexpr int64_t kLimit = 1 << 20;      // 1 MiB/s
constexpr uint64_t kFileSize = 3u << 20; // far more than the window lets through
constexpr int64_t kWindowMs = 3'000;

std::vector<uint64_t> bytes_of(TaskList& list) {
    std::vector<uint64_t> bytes;
    for (const auto& entry : list.snapshot().entries)
        bytes.push_back(entry->task->progress.bytes_done());
    return bytes;
}

TEST(GlobalLimit, ThreeTasksTogetherStayUnderItAndShareItFairly) {
    const int port = RealPeers::get().nginx().http;
    ASSERT_NE(port, 0) << RealPeers::get().failure();
    test::TempDir dir;
    Engine* engine = engine_create(dir.path(), 3);
    engine->set_global_limit(kLimit);
    EXPECT_EQ(engine->global_limit(), kLimit);
    const int connections[] = {1, 4, 16};
    for (int n = 0; n < 3; ++n) {
        const std::string name = "shared-" + std::to_string(n) + ".bin";
        test::write_random_file(RealPeers::get().www_dir() + "/" + name, kFileSize, 40 + n);
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/" + name;
        ASSERT_GT(engine_add(engine, url, connections[n], ""), 0);
    }
    TaskList& list = *engine->task_list();
    // The window opens once every task moves bytes, so that it sees all three sharing.
    ASSERT_TRUE(test::wait_until(
        [&] {
            for (uint64_t b : bytes_of(list))
                if (b == 0) return false;
            return true;
        },
        20'000));
    const auto start = std::chrono::steady_clock::now();
    const std::vector<uint64_t> before = bytes_of(list);
    std::this_thread::sleep_for(std::chrono::milliseconds(kWindowMs));
    const std::vector<uint64_t> after = bytes_of(list);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    uint64_t total = 0;
    for (int n = 0; n < 3; ++n)
        total += after[n] - before[n];
    // At most a second's burst beyond the rate (each task's limiter starts with a little credit,
    // and a share moves only when it changes by an eighth); and the limit is not starving them.
    EXPECT_LE(static_cast<double>(total), kLimit * (seconds + 1.0))
        << total << " bytes in " << seconds << " s";
    EXPECT_GE(static_cast<double>(total), kLimit * seconds * 0.6) << total << " bytes in " << seconds << " s";
    // Shared by task, not by connection: the single connection gets about a third as well.
    for (int n = 0; n < 3; ++n)
        EXPECT_GE(static_cast<double>(after[n] - before[n]), static_cast<double>(total) * 0.2)
            << connections[n] << " connections got " << after[n] - before[n] << " of " << total;
    for (uint64_t b : after)
        EXPECT_LT(b, kFileSize);

    // Turned off while they run, the tasks finish at full speed, whole.
    engine->set_global_limit(0);
    EXPECT_TRUE(test::wait_until([&] { return engine->all_settled(); }, 60'000));
    for (const auto& entry : list.snapshot().entries) {
        EXPECT_EQ(entry->task->progress.status(), "done");
        std::string why;
        EXPECT_TRUE(test::same_file(RealPeers::get().www_dir() + "/" + entry->task->progress.name(),
                                    entry->task->progress.output_path(), why))
            << why;
    }
    engine_destroy(engine);
}

} // namespace
} // namespace twk

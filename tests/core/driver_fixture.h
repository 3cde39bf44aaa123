// An engine whose task threads run the real download driver with settings the test chooses,
// and the helpers the driver tests share: generated files, byte comparison, waiting on a task.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/engine_api.h"
#include "core/download_driver.h"
#include "core/task_list.h"
#include "tests/support/temp_dir.h"

#include "tests/support/wait.h"

namespace twk::test {

// `size` deterministic pseudo-random bytes (xorshift) for `seed`.
inline std::string random_bytes(size_t size, uint64_t seed) {
    std::string out(size, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

// Writes a file of `size` pseudo-random bytes in 1 MiB pieces.
inline void write_random_file(const std::string& path, uint64_t size, uint64_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    constexpr uint64_t kPiece = 1 << 20;
    for (uint64_t at = 0, n = 0; at < size; at += kPiece, ++n) {
        std::string piece = random_bytes(static_cast<size_t>(std::min(kPiece, size - at)), seed + n);
        out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
}

// True when both files hold the same bytes; `why` says where they differ.
inline bool same_file(const std::string& a, const std::string& b, std::string& why) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) {
        why = "cannot open " + std::string(!fa ? a : b);
        return false;
    }
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (uint64_t offset = 0;; offset += ba.size()) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount()) {
            why = "sizes differ near offset " + std::to_string(offset);
            return false;
        }
        if (!std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin())) {
            why = "bytes differ in the MiB at " + std::to_string(offset);
            return false;
        }
        if (fa.gcount() == 0) return true;
    }
}

class DriverFixture : public ::testing::Test {
protected:
    void SetUp() override {
        engine = engine_create(dir.path(), 3);
        list = engine_task_list(engine);
        list->set_driver([this](const RunContext& task) { run_download(task, settings); });
    }
    void TearDown() override {
        engine_destroy(engine);
        EXPECT_TRUE(wait_until([&] { return list->live_threads() == 0; }, 10'000));
    }

    // Adds a capture-mode request: {"url": url, <members>}.
    int32_t add(const std::string& url, const std::string& members = "") {
        return engine_add_json(engine,
                               "{\"url\":\"" + url + "\"" + (members.empty() ? "" : "," + members) + "}");
    }
    std::shared_ptr<TaskEntry> entry(int32_t id) const {
        for (const auto& e : list->snapshot().entries) {
            if (e->id == id) return e;
        }
        return nullptr;
    }
    std::shared_ptr<Task> task(int32_t id) const { return entry(id)->task; }
    // Waits until the task's thread has ended; its status afterwards.
    std::string settle(int32_t id, int64_t timeout_ms = 60'000) const {
        auto e = entry(id);
        if (!e) return "no such task";
        bool ended = wait_until(
            [&] { return e->state != kQueued && e->state != kRunning && !e->thread_live; }, timeout_ms);
        return ended ? e->task->progress.status() : "still running: " + e->task->progress.status();
    }

    TempDir dir;
    DriverSettings settings;
    Engine* engine = nullptr;
    std::shared_ptr<TaskList> list;
};

} // namespace twk::test

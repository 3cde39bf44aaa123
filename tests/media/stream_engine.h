// An engine whose stream tasks run the stream driver, for tests that download whole streams, and
// the checks they share.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/engine_api.h"
#include "core/task_list.h"
#include "media/stream_driver.h"
#include "tests/support/wait.h"
#include "json/json.h"

namespace twk::test {

class StreamEngine {
public:
    // With a `journal`, the engine keeps its list there and starts with the tasks it holds.
    explicit StreamEngine(const std::string& folder, const std::string& journal = "") {
        m_engine = engine_create(folder, 3);
        if (!journal.empty()) engine_set_journal(m_engine, journal);
    }
    ~StreamEngine() { engine_destroy(m_engine); }
    StreamEngine(const StreamEngine&) = delete;
    StreamEngine& operator=(const StreamEngine&) = delete;

    Engine* engine() const { return m_engine; }

    // Adds `url` as `twk get` does; `extra` holds further members (",\"type\":\"dash\"").
    int32_t add(const std::string& url, int connections, const std::string& extra = "") {
        return engine_add_json(m_engine, "{\"url\":" + json_quote(url) +
                                             ",\"connections\":" + std::to_string(connections) + extra + "}");
    }

    std::shared_ptr<TaskEntry> entry(int32_t id) const {
        for (const auto& e : engine_task_list(m_engine)->snapshot().entries) {
            if (e->id == id) return e;
        }
        return nullptr;
    }

    // Waits until the task's thread has ended (or it never ran); false after `timeout_ms`.
    bool wait_settled(int32_t id, int64_t timeout_ms = 60000) const {
        auto e = entry(id);
        return e && wait_until(
                        [&] {
                            const int32_t state = e->state;
                            return state != kQueued && state != kRunning && !e->thread_live;
                        },
                        timeout_ms);
    }

    // Runs `url` to its end and returns the final status text.
    std::string download(const std::string& url, int connections, const std::string& extra = "") {
        const int32_t id = add(url, connections, extra);
        if (id <= 0) return "not added";
        if (!wait_settled(id)) return "did not end: " + entry(id)->task->progress.status();
        return entry(id)->task->progress.status();
    }

private:
    Engine* m_engine = nullptr;
};

// The progress segments of a finished stream cover 0 to the file size, in order, without gaps.
inline void expect_progress_tiles(const Task& task, uint64_t size) {
    std::lock_guard lock(task.progress.segment_lock);
    uint64_t next = 0;
    for (const auto& segment : task.progress.segments) {
        EXPECT_EQ(segment->start, next);
        EXPECT_EQ(segment->pos.load(), segment->end.load());
        EXPECT_FALSE(segment->active);
        next = segment->end;
    }
    EXPECT_EQ(next, size);
    EXPECT_EQ(task.progress.total.load(), size);
}

inline bool folder_exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

} // namespace twk::test

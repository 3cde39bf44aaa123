// Which output paths the tasks of one list hold, so that no two of them write one file.
//
// Every task of a list is registered here when the list takes it; a task that is done lets go
// of its path (its file is finished and the user's), and takes it again when it is run once
// more. Choosing a path and setting it on the task happen under one lock, so two tasks that
// ask at the same moment never get the same name.
//
// The arbiter is owned by its task list; a task holds a weak handle to it (core/task.h), which
// is how a driver that renames its output (a server-given name, a stream's container) reaches
// the list's check without knowing the list.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace twk {

class TaskProgress;

// The longest file name in bytes.
inline constexpr size_t kMaxNameBytes = 255;

// Turns "\" into "/", puts the working directory in front of a relative path, keeps a drive
// prefix ("C:/"), drops empty and "." components and lets ".." remove the previous one.
std::string normalize_path(std::string_view path);

// "dir/f.zip" with 2 gives "dir/f (2).zip". The name splits at its last "."; a name whose only
// "." is its first character, or that has none, is all stem.
std::string numbered_path(std::string_view path, int n);

class PathArbiter {
public:
    // Whether a file on disk at this path may be written over by the task asking.
    using FileCheck = std::function<bool(const std::string& path)>;

    void enroll(const TaskProgress& task, int32_t id, bool holds_path);
    void forget(const TaskProgress& task);
    // A done task lets go of its path; one run again takes it back.
    void set_holds_path(const TaskProgress& task, bool holds);

    // Moves `task` to `candidate`, or to the first free "<stem> (N)<.ext>" when another task of
    // the list that holds its path has the same normalised path, or `file_free` (when given)
    // says no to the file there. When every name up to " (99999)" is taken, `candidate` is used.
    // Returns the path chosen and the task's id (0 when it is not enrolled).
    std::pair<std::string, int32_t> place(TaskProgress& task, const std::string& candidate,
                                          const FileCheck& file_free);

private:
    struct Claim {
        const TaskProgress* task = nullptr;
        int32_t id = 0;
        bool holds_path = true;
        // The task's path as `normalize_path` gives it, read when its change count was `seen`
        // (a new output path moves the count): a place among thousands of tasks then reads
        // and normalizes again only the paths that may have changed.
        uint64_t seen = UINT64_MAX;
        std::string normalized;
    };
    bool taken(const std::string& normalized, const TaskProgress& task);

    std::mutex m_lock; // the claims; then a task's name lock
    std::vector<Claim> m_claims;
};

} // namespace twk

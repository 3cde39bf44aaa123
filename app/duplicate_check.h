// Before New adds a link: is it already here? Either a task in the list fetches the same URL,
// or a file already sits where the download would be saved. What the user may do then:
//
//   same URL, finished, file there      Open existing (the file), Download again
//   same URL, finished, file gone       Resume (fetch it again into that task), Download again
//   same URL, paused or failed          Resume (that task), Download again
//   same URL, queued or running         Open existing (its row), Download again
//   file there, an unfinished run's     Resume (continue it from its resume state), Download again,
//     resume state beside it              Open existing
//   file there                          Open existing, Download again
//
// "Download again" adds a new task; for a file that is there it saves under `again_path`, the
// first free "stem (N).ext" beside it, so that it cannot pick up an interrupted run instead.
// Canceled tasks are no duplicates (the list no longer shows them).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/task_snapshot.h"

namespace twk::app {

enum class DuplicateOffer { OpenExisting, DownloadAgain, Resume };
enum class DuplicateKind { None, SameUrl, FileExists };

struct DuplicateFinding {
    DuplicateKind kind = DuplicateKind::None;
    int32_t task = 0;                   // SameUrl: the task
    TaskState state = kQueued;          // SameUrl: its state
    std::string path;                   // the file that is there (SameUrl: the task's file)
    std::string again_path;             // FileExists: where "Download again" saves
    std::vector<DuplicateOffer> offers; // in the order the buttons go, the suggested one first
};

// The same address as far as a download goes: scheme, host (any case), port (written or the
// default), user and path with query; the password and a fragment do not count, so a URL matches
// the list's copy of it, which shows the password as "***". Text that is no URL compares as it
// is, trimmed.
bool same_download_url(std::string_view a, std::string_view b);

// Where a new download of `url` is saved in `folder`: under `name` when given (the user's, kept
// as typed but for what no file name may hold), else under the link's name, as the engine names
// it before the server has answered.
std::string planned_path(std::string_view url, const std::string& name, const std::string& folder);

// `url` about to be saved at `path`, against the list's `tasks`.
DuplicateFinding find_duplicate(std::string_view url, const std::string& path,
                                const std::vector<TaskSnapshot>& tasks);

// "dir/stem (N).ext" for the first N from 1 on for which neither the file nor its resume state
// exists.
std::string next_free_path(const std::string& path);

// `path` itself when neither the file nor its resume state is there, else `next_free_path`.
std::string free_path(const std::string& path);

} // namespace twk::app

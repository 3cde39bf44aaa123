// Which desktop notices the app gives as downloads end, without any notification service: a notice
// per finished or failed download, or one summary when more than three end close together, and
// none while the user looks at the window.
//
// Ends are gathered until the list has been quiet for `kNoticeQuietSeconds` (or the first waited
// `kNoticeMostWaitSeconds`), so that a batch ending together gives one summary, not a flood.
// Tasks already finished or failed when the app starts give no notice.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/task_snapshot.h"

namespace twk::ui {

inline constexpr double kNoticeQuietSeconds = 1.5;
inline constexpr double kNoticeMostWaitSeconds = 4;
inline constexpr size_t kNoticeMostSingles = 3;

enum class NoticeKind { Finished, Failed, Summary };

struct Notice {
    NoticeKind kind = NoticeKind::Finished;
    int32_t id = 0;   // the task; 0 for a summary
    std::string name; // the file's name; empty for a summary
    std::string path; // the file's whole path; empty for a summary
    std::string summary;
    std::string body;
};

class NoticePlanner {
public:
    // The engine's tasks as read at `now_seconds` (monotonic).
    void observe(const std::vector<TaskSnapshot>& tasks, double now_seconds);
    // The notices due at `now_seconds`: none while ends may still come, none (and the ends
    // forgotten) when `window_active`.
    std::vector<Notice> take(double now_seconds, bool window_active);
    // Ends are gathered and not yet told or dropped.
    bool waiting() const { return !m_pending.empty(); }

private:
    struct Ended {
        int32_t id;
        std::string name;
        std::string path;
        bool failed;
        std::string status;
    };
    std::unordered_map<int32_t, TaskState> m_states; // every task seen, its last state
    std::vector<Ended> m_pending;
    double m_first_end = 0;
    double m_last_end = 0;
    bool m_primed = false;
};

} // namespace twk::ui

#include "ui/notice_planner.h"

#include "ui/text_table.h"

namespace twk::ui {

void NoticePlanner::observe(const std::vector<TaskSnapshot>& tasks, double now_seconds) {
    for (const TaskSnapshot& task : tasks) {
        auto it = m_states.find(task.id);
        const bool ended = task.state == kDone || task.state == kError;
        // A task ends when it was seen under way (or is new since the first look) and now is
        // finished or failed; one put back by an undo was seen before and stays quiet.
        const bool was_open = it == m_states.end() ? m_primed : !is_final_state(it->second);
        if (ended && was_open) {
            if (m_pending.empty()) m_first_end = now_seconds;
            m_last_end = now_seconds;
            m_pending.push_back({task.id, task.name, task.path, task.state == kError, task.status});
        }
        m_states[task.id] = task.state;
    }
    m_primed = true;
}

std::vector<Notice> NoticePlanner::take(double now_seconds, bool window_active) {
    if (m_pending.empty()) return {};
    if (now_seconds - m_last_end < kNoticeQuietSeconds && now_seconds - m_first_end < kNoticeMostWaitSeconds)
        return {};
    std::vector<Ended> ended;
    ended.swap(m_pending);
    if (window_active) return {};
    std::vector<Notice> notices;
    if (ended.size() > kNoticeMostSingles) {
        size_t failed = 0;
        for (const Ended& e : ended)
            failed += e.failed ? 1 : 0;
        Notice summary;
        summary.kind = NoticeKind::Summary;
        const std::string all = std::to_string(ended.size()), bad = std::to_string(failed),
                          good = std::to_string(ended.size() - failed);
        if (language_is_chinese()) {
            summary.summary = all + " 个下载已结束";
            summary.body = good + " 个完成，" + bad + " 个失败";
        } else {
            summary.summary = all + " downloads ended";
            summary.body = good + " finished, " + bad + " failed";
        }
        notices.push_back(summary);
        return notices;
    }
    for (const Ended& e : ended) {
        Notice notice;
        notice.kind = e.failed ? NoticeKind::Failed : NoticeKind::Finished;
        notice.id = e.id;
        notice.name = e.name;
        notice.path = e.path;
        if (language_is_chinese())
            notice.summary = e.failed ? "下载失败" : "下载完成";
        else
            notice.summary = e.failed ? "Download failed" : "Download finished";
        notice.body = e.failed && !e.status.empty() ? e.name + "\n" + e.status : e.name;
        notices.push_back(notice);
    }
    return notices;
}

} // namespace twk::ui

// The task list as the main window shows it, rebuilt from the engine's snapshots
// (core/task_snapshot.h) on every refresh tick. It knows nothing of widgets: the window feeds it
// snapshots and clicks, the row painter reads its records.
//
// Kept here beyond what a snapshot says: a smoothed speed per task, an animated position per
// segment, the selection, and the ids the user deleted, which stay hidden until the engine
// reports them canceled or drops them.
#pragma once

#include <algorithm>

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/task_snapshot.h"

namespace twk::ui {

enum class ViewState { Queued, Probing, Downloading, Paused, Done, Canceled, Error };

// The task's state; a running task is probing while it asks what the server offers, else
// downloading (whatever its text: "downloading", "muxing", ...).
ViewState view_state(const TaskSnapshot& task);

inline constexpr int kTallRowHeight = 84;
inline constexpr int kCompactRowHeight = 40;
int row_height(ViewState state);

struct SegmentView {
    uint64_t id = 0;
    uint64_t start = 0;
    uint64_t pos = 0;
    uint64_t end = 0;
    bool active = false;
    double shown = 0; // the animated position the bar draws
};

struct TaskView {
    int32_t id = 0;
    ViewState view = ViewState::Queued;
    std::string status;
    std::string name;
    std::string path; // the output file's whole path; empty when not known
    std::string url;
    uint64_t total = 0; // 0 while no size is known
    uint64_t done = 0;
    int64_t connections = 0;
    FailureCategory failure = FailureCategory::kNone;
    int64_t added_ms = 0; // when the task was added (Unix epoch ms), 0 when not known
    std::vector<SegmentView> segments;
    double speed = 0;                                // bytes per second, smoothed
    std::deque<std::pair<double, uint64_t>> samples; // (seconds, bytes)
    bool live = false; // a live recording: no total, `recorded` seconds of media so far
    double recorded = 0;
    // Moves whenever anything the row draws changed, so that a list repaints only such rows.
    uint64_t version = 0;
    // Moves with what a list sorts and filters rows by (everything but the progress), and with
    // the segments' layout.
    uint64_t identity = 0;
    std::string drawn; // the row's progress as last drawn (texts and bar steps)

    ViewState state() const { return view; }
    bool active() const; // queued, probing or downloading
    // A live recording under way, which Stop ends with what it holds.
    bool recording() const { return live && view == ViewState::Downloading; }
    // Only while bytes arrive: not while a stream's parts are joined ("muxing" and the like).
    double displayed_speed() const {
        return view == ViewState::Downloading && (status == "downloading" || live) ? speed : 0;
    }
};

// What the toolbar's second button does for the selected row: pause what is under way, resume
// what is paused, retry what failed; nothing for a finished row.
enum class PauseAction { None, Pause, Resume, Retry };
PauseAction pause_action_for(ViewState state);

class TaskViewModel {
public:
    // Takes the engine's tasks as read at `now_seconds` (monotonic). Known ids are updated in
    // place, new ids appended in the engine's order, missing ids dropped. `changed` tells whether
    // the id sequence changed.
    void update(const std::vector<TaskSnapshot>& tasks, double now_seconds, bool* changed = nullptr);
    // Deleted ids stay hidden only while their task exists and is not canceled.
    void prune_hidden();
    // Every displayed segment position moves a quarter of the way to the real one.
    void animate();
    // The speeds as of `now_seconds` while the engine's list has not moved since the last
    // `update` (the bytes stood still).
    void advance(double now_seconds);
    // How many pixels wide the rows' bars are at most (the list's width): progress that moves a
    // bar by less than a pixel, with the same texts, does not repaint its row.
    void set_bar_pixels(int pixels) { m_bar_steps = std::max(1, pixels); }

    const std::vector<TaskView>& tasks() const { return m_tasks; }
    // Not hidden and not canceled, in model order.
    std::vector<const TaskView*> visible() const;
    const TaskView* find(int32_t id) const;
    bool any_active() const;
    double visible_speed_sum() const; // probing and downloading rows only
    // Decided by the layout: shown when the engine is off or a visible probing or downloading
    // task has a displayed speed above 0.
    bool wants_status_bar(bool engine_running) const;
    int content_height() const;

    // The current row (where the keyboard is) and the selected rows, which hold it.
    std::optional<int32_t> selected() const { return m_selected; }
    const TaskView* selected_task() const;
    void select(std::optional<int32_t> id);
    // Ctrl+click: the row joins or leaves the selection and becomes current.
    void toggle(int32_t id);
    // Shift+click: the visible rows from the current one to `id` (the current row stays).
    void extend_to(int32_t id);
    void select_all();
    // Exactly these rows, `current` the current one.
    void set_selection(const std::vector<int32_t>& ids, int32_t current);
    bool is_selected(int32_t id) const { return m_chosen.count(id) > 0; }
    // The selected visible tasks in list order.
    std::vector<const TaskView*> selection() const;
    // The visible row whose band holds `y` (list coordinates plus the scroll offset).
    std::optional<int32_t> row_at(double y) const;
    int row_top(int32_t id) const; // -1 when not visible

    // What the second button does for the selection: pause when a selected row is under way,
    // else resume when one is paused, else retry when one failed.
    PauseAction pause_action() const;
    // Whether a selected row is a live recording under way (Stop Recording applies).
    bool recording_selected() const;
    // After the engine was told to remove the selected tasks: hide them and select the row that
    // now takes the current one's place (the last row when it was last, nothing when none is
    // left).
    void hide_selected();
    const std::set<int32_t>& hidden() const { return m_hidden; }
    // Shows a hidden row again (its removal was undone).
    void unhide(int32_t id) { m_hidden.erase(id); }

private:
    std::vector<TaskView> m_tasks;
    std::unordered_map<int32_t, size_t> m_index; // id -> position in m_tasks
    std::optional<int32_t> m_selected;
    std::set<int32_t> m_chosen;
    std::set<int32_t> m_hidden;
    double m_bar_steps = 4096; // finer than any list is wide until the window says
};

// The scroll offset kept within 0 ... content - list height (never below 0).
double clamp_scroll(double offset, int content_height, int list_height);

} // namespace twk::ui

#include "ui/task_view_model.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "ui/row_text.h"

namespace twk::ui {
namespace {

// The window over which the speed is measured, and the weight of the new measurement.
constexpr double kSpeedWindowSeconds = 1.0;
constexpr double kSpeedWeight = 0.45;
constexpr double kMinSpeedInterval = 0.1;
constexpr double kAnimationStep = 0.25;

void read_segments(const TaskSnapshot& task, const std::vector<SegmentView>& before,
                   std::vector<SegmentView>& out) {
    for (const SegmentSnapshot& s : task.segments) {
        SegmentView seg;
        seg.id = s.id;
        seg.start = s.start;
        seg.pos = s.pos;
        seg.end = s.end;
        seg.active = s.active;
        seg.shown = static_cast<double>(seg.pos);
        for (const auto& old : before) {
            if (old.id == seg.id) {
                seg.shown = old.shown;
                break;
            }
        }
        out.push_back(seg);
    }
}

// The segments' layout, not where they have got to (that is part of the row's progress).
bool same_segments(const std::vector<SegmentView>& a, const std::vector<SegmentView>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const SegmentView& x, const SegmentView& y) {
        return x.id == y.id && x.start == y.start && x.end == y.end && x.active == y.active;
    });
}

bool same_positions(const std::vector<SegmentView>& a, const std::vector<SegmentView>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const SegmentView& x, const SegmentView& y) { return x.pos == y.pos; });
}

uint64_t bar_step(double position, uint64_t total, double steps) {
    return total ? static_cast<uint64_t>(position * steps / static_cast<double>(total)) : 0;
}

// What a row shows of its progress: its texts, and its bar to `steps` parts of the total (its
// width in pixels). While a task runs its bytes, smoothed speed and animation move at every tick;
// what is drawn much less often.
std::string drawn_progress(const TaskView& task, double steps) {
    std::string key = speed_text(task.displayed_speed());
    key += '\n';
    key += bottom_left_text(task);
    key += '\n';
    key += bottom_right_text(task);
    key += '\n';
    key += compact_right_text(task);
    key += '\n';
    key += std::to_string(bar_step(static_cast<double>(task.done), task.total, steps));
    for (const SegmentView& seg : task.segments) {
        key += ' ';
        key += std::to_string(
            bar_step(seg.shown > 0 ? seg.shown : static_cast<double>(seg.pos), task.total, steps));
    }
    return key;
}

// The row's version moves when what it draws of its progress changed.
void restamp(TaskView& task, double steps) {
    std::string key = drawn_progress(task, steps);
    if (key == task.drawn) return;
    task.drawn = std::move(key);
    ++task.version;
}

// Everything but the progress, which `restamp` judges by how it is drawn.
bool same_drawn(const TaskView& task, const TaskSnapshot& entry, ViewState view) {
    return task.view == view && task.status == entry.status && task.name == entry.name &&
           task.path == entry.path && task.url == entry.url && task.total == entry.total &&
           task.connections == static_cast<int64_t>(std::min<uint64_t>(entry.connections, 1024)) &&
           task.failure == entry.failure && task.added_ms == entry.added_ms && task.live == entry.live;
}

// True when the shown speed changed.
bool update_speed(TaskView& task, double now) {
    const double before = task.displayed_speed();
    task.samples.emplace_back(now, task.done);
    while (task.samples.size() > 2 && now - task.samples.front().first > kSpeedWindowSeconds)
        task.samples.pop_front();
    if (task.samples.size() < 2) return task.displayed_speed() != before;
    const auto& oldest = task.samples.front();
    double bytes = std::max(0.0, static_cast<double>(task.done) - static_cast<double>(oldest.second));
    double rate = bytes / std::max(kMinSpeedInterval, now - oldest.first);
    task.speed = kSpeedWeight * rate + (1 - kSpeedWeight) * task.speed;
    return task.displayed_speed() != before;
}

bool is_running(ViewState state) { return state == ViewState::Probing || state == ViewState::Downloading; }

} // namespace

ViewState view_state(const TaskSnapshot& task) {
    switch (task.state) {
    case kQueued: return ViewState::Queued;
    case kRunning: return task.probing() ? ViewState::Probing : ViewState::Downloading;
    case kDone: return ViewState::Done;
    case kError: return ViewState::Error;
    case kPaused: return ViewState::Paused;
    case kCanceled: return ViewState::Canceled;
    }
    return ViewState::Downloading;
}

int row_height(ViewState state) { return is_running(state) ? kTallRowHeight : kCompactRowHeight; }

bool TaskView::active() const {
    ViewState s = state();
    return s == ViewState::Queued || is_running(s);
}

void TaskViewModel::update(const std::vector<TaskSnapshot>& tasks, double now_seconds, bool* changed) {
    if (changed) *changed = false;
    std::unordered_map<int32_t, size_t> known;
    for (size_t i = 0; i < m_tasks.size(); ++i)
        known.emplace(m_tasks[i].id, i);
    std::vector<TaskView> next;
    std::unordered_map<int32_t, size_t> index;
    for (const TaskSnapshot& entry : tasks) {
        if (entry.id <= 0) continue;
        const int32_t id = entry.id;
        if (!index.emplace(id, next.size()).second) continue;
        TaskView task;
        auto old = known.find(id);
        if (old != known.end()) task = std::move(m_tasks[old->second]);
        const ViewState view = view_state(entry);
        const bool same = old != known.end() && same_drawn(task, entry, view);
        const bool same_progress = same && task.done == entry.done && task.recorded == entry.recorded;
        task.id = id;
        task.view = view;
        task.status = entry.status;
        task.name = entry.name;
        task.path = entry.path;
        task.url = entry.url;
        task.total = entry.total;
        task.done = entry.done;
        task.connections = static_cast<int64_t>(std::min<uint64_t>(entry.connections, 1024));
        task.failure = entry.failure;
        task.added_ms = entry.added_ms;
        task.live = entry.live;
        task.recorded = entry.recorded;
        std::vector<SegmentView> segments;
        read_segments(entry, task.segments, segments);
        const bool laid_out = same && same_segments(segments, task.segments);
        if (!laid_out) {
            ++task.version;
            ++task.identity;
        }
        const bool moved = !same_progress || !same_positions(segments, task.segments);
        task.segments = std::move(segments);
        if (update_speed(task, now_seconds) || moved || !laid_out) restamp(task, m_bar_steps);
        next.push_back(std::move(task));
    }

    bool ids_changed = next.size() != m_tasks.size();
    for (size_t i = 0; !ids_changed && i < next.size(); ++i)
        ids_changed = next[i].id != m_tasks[i].id;
    m_tasks = std::move(next);
    m_index = std::move(index);
    std::erase_if(m_chosen, [this](int32_t id) { return !find(id); });
    if (!m_selected || !find(*m_selected)) {
        select(m_tasks.empty() ? std::nullopt : std::optional<int32_t>(m_tasks.front().id));
    }
    if (changed) *changed = ids_changed;
}

void TaskViewModel::prune_hidden() {
    for (auto it = m_hidden.begin(); it != m_hidden.end();) {
        const TaskView* task = find(*it);
        if (!task || task->state() == ViewState::Canceled)
            it = m_hidden.erase(it);
        else
            ++it;
    }
}

void TaskViewModel::animate() {
    for (auto& task : m_tasks) {
        bool moved = false;
        for (auto& seg : task.segments) {
            const double gap = static_cast<double>(seg.pos) - seg.shown;
            if (gap == 0) continue;
            // The last byte is reached rather than approached for ever.
            seg.shown = std::abs(gap) < 1 ? static_cast<double>(seg.pos) : seg.shown + gap * kAnimationStep;
            moved = true;
        }
        if (moved) restamp(task, m_bar_steps);
    }
}

void TaskViewModel::advance(double now_seconds) {
    for (auto& task : m_tasks)
        if (update_speed(task, now_seconds)) restamp(task, m_bar_steps);
}

std::vector<const TaskView*> TaskViewModel::visible() const {
    std::vector<const TaskView*> rows;
    for (const auto& task : m_tasks) {
        if (m_hidden.count(task.id) || task.state() == ViewState::Canceled) continue;
        rows.push_back(&task);
    }
    return rows;
}

const TaskView* TaskViewModel::find(int32_t id) const {
    // Rows look their task up on every paint: with thousands of tasks a scan per row made each
    // refresh quadratic.
    const auto it = m_index.find(id);
    return it == m_index.end() ? nullptr : &m_tasks[it->second];
}

bool TaskViewModel::any_active() const {
    return std::any_of(m_tasks.begin(), m_tasks.end(), [](const TaskView& t) { return t.active(); });
}

double TaskViewModel::visible_speed_sum() const {
    double sum = 0;
    for (const TaskView* task : visible()) {
        if (is_running(task->state())) sum += task->displayed_speed();
    }
    return sum;
}

bool TaskViewModel::wants_status_bar(bool engine_running) const {
    if (!engine_running) return true;
    for (const TaskView* task : visible()) {
        if (is_running(task->state()) && task->displayed_speed() > 0) return true;
    }
    return false;
}

int TaskViewModel::content_height() const {
    int height = 0;
    for (const TaskView* task : visible())
        height += row_height(task->state());
    return height;
}

const TaskView* TaskViewModel::selected_task() const { return m_selected ? find(*m_selected) : nullptr; }

void TaskViewModel::select(std::optional<int32_t> id) {
    m_selected = id;
    m_chosen.clear();
    if (id) m_chosen.insert(*id);
}

void TaskViewModel::toggle(int32_t id) {
    if (!m_chosen.erase(id)) m_chosen.insert(id);
    m_selected = id;
    if (m_chosen.empty()) m_chosen.insert(id); // one row always stays selected
}

void TaskViewModel::extend_to(int32_t id) {
    auto rows = visible();
    auto at = [&](std::optional<int32_t> wanted) {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (wanted && rows[i]->id == *wanted) return static_cast<ptrdiff_t>(i);
        }
        return static_cast<ptrdiff_t>(-1);
    };
    ptrdiff_t from = at(m_selected), to = at(id);
    if (to < 0) return;
    if (from < 0) from = to;
    m_chosen.clear();
    for (ptrdiff_t i = std::min(from, to); i <= std::max(from, to); ++i)
        m_chosen.insert(rows[static_cast<size_t>(i)]->id);
}

void TaskViewModel::set_selection(const std::vector<int32_t>& ids, int32_t current) {
    m_chosen = std::set<int32_t>(ids.begin(), ids.end());
    m_chosen.insert(current);
    m_selected = current;
}

void TaskViewModel::select_all() {
    for (const TaskView* task : visible())
        m_chosen.insert(task->id);
    if (!m_selected && !m_chosen.empty()) m_selected = *m_chosen.begin();
}

std::vector<const TaskView*> TaskViewModel::selection() const {
    std::vector<const TaskView*> rows;
    for (const TaskView* task : visible()) {
        if (m_chosen.count(task->id)) rows.push_back(task);
    }
    return rows;
}

std::optional<int32_t> TaskViewModel::row_at(double y) const {
    if (y < 0) return std::nullopt;
    double top = 0;
    for (const TaskView* task : visible()) {
        double bottom = top + row_height(task->state());
        if (y < bottom) return task->id;
        top = bottom;
    }
    return std::nullopt;
}

int TaskViewModel::row_top(int32_t id) const {
    int top = 0;
    for (const TaskView* task : visible()) {
        if (task->id == id) return top;
        top += row_height(task->state());
    }
    return -1;
}

PauseAction pause_action_for(ViewState state) {
    switch (state) {
    case ViewState::Queued:
    case ViewState::Probing:
    case ViewState::Downloading: return PauseAction::Pause;
    case ViewState::Paused: return PauseAction::Resume;
    case ViewState::Error:
    case ViewState::Canceled: return PauseAction::Retry;
    case ViewState::Done: return PauseAction::None;
    }
    return PauseAction::None;
}

bool TaskViewModel::recording_selected() const {
    for (const TaskView* task : selection()) {
        if (task->recording()) return true;
    }
    return false;
}

PauseAction TaskViewModel::pause_action() const {
    bool any[4] = {};
    for (const TaskView* task : selection())
        any[static_cast<int>(pause_action_for(task->state()))] = true;
    for (PauseAction action : {PauseAction::Pause, PauseAction::Resume, PauseAction::Retry}) {
        if (any[static_cast<int>(action)]) return action;
    }
    return PauseAction::None;
}

void TaskViewModel::hide_selected() {
    if (!m_selected) return;
    auto before = visible();
    size_t position = 0;
    while (position < before.size() && before[position]->id != *m_selected)
        ++position;
    for (const TaskView* task : selection())
        m_hidden.insert(task->id);
    auto after = visible();
    // The first row below the removed ones takes the current row's place.
    size_t survivors_before = 0;
    for (size_t i = 0; i < position && i < before.size(); ++i)
        survivors_before += m_hidden.count(before[i]->id) == 0;
    if (after.empty())
        select(std::nullopt);
    else
        select(after[std::min(survivors_before, after.size() - 1)]->id);
}

double clamp_scroll(double offset, int content_height, int list_height) {
    double most = std::max(0, content_height - list_height);
    return std::clamp(offset, 0.0, most);
}

} // namespace twk::ui

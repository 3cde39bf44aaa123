#include "cli/get_command.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cli/progress_display.h"
#include "cli/stop_signals.h"
#include "cli/task_progress.h"
#include "core/engine.h"
#include "core/task_list.h"
#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

constexpr int64_t kRedrawMs = 200;
// Status changes are shown at most this often: a thousand short downloads change status
// thousands of times, and each look reads the whole list document.
constexpr int64_t kMinReadGapMs = 100;
constexpr size_t kFallbackColumns = 80;
constexpr size_t kFallbackRows = 24;

std::string list_document(Engine* engine) {
    char* text = engine_list_document(engine);
    std::string document = text ? text : "";
    engine_release_text(text);
    return document;
}

// Columns and lines for the live display: one column fewer than the terminal has, so that a full
// line never wraps, and one line fewer, so that moving back up never leaves the screen.
std::pair<size_t, size_t> terminal_size(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && size.ws_row > 1)
        return {size.ws_col - 1u, size.ws_row - 1u};
    return {kFallbackColumns - 1, kFallbackRows - 1};
}

class Watcher {
public:
    Watcher(const GetOptions& options, FILE* out)
        : m_out(out), m_live(!options.quiet && ::isatty(::fileno(out))),
          m_changes(!options.quiet && !m_live) {}

    // A live display is redrawn on a cadence (speeds move even when no byte arrives); the
    // other modes only show what changed.
    bool live() const { return m_live; }

    void show(const std::vector<TaskProgress>& tasks) {
        int64_t now = monotonic_ms();
        for (const TaskProgress& task : tasks) {
            m_meters[task.id].add(now, task.done);
            if (task.status != "downloading") m_meters[task.id].reset();
        }
        if (m_live) redraw(tasks);
        if (m_changes) print_changes(tasks);
        std::fflush(m_out);
    }

private:
    void redraw(const std::vector<TaskProgress>& tasks) {
        auto [width, height] = terminal_size(::fileno(m_out));
        std::vector<double> speeds;
        for (const TaskProgress& task : tasks)
            speeds.push_back(m_meters[task.id].bytes_per_second());
        std::vector<std::string> lines = progress_screen(tasks, speeds, width, height);
        // Back to the first line drawn last time; what is left of a longer drawing is erased.
        if (m_lines_drawn > 0) std::fprintf(m_out, "\x1b[%zuA", m_lines_drawn);
        for (const std::string& line : lines)
            std::fprintf(m_out, "\r%s\x1b[K\n", line.c_str());
        std::fputs("\x1b[J", m_out);
        m_lines_drawn = lines.size();
    }

    void print_changes(const std::vector<TaskProgress>& tasks) {
        for (const TaskProgress& task : tasks) {
            std::string& last = m_last_status[task.id];
            if (last == task.status) continue;
            last = task.status;
            std::fprintf(m_out, "%s\n", change_line(task).c_str());
        }
    }

    FILE* m_out;
    bool m_live;
    bool m_changes;
    size_t m_lines_drawn = 0;
    std::map<int32_t, SpeedMeter> m_meters;
    std::map<int32_t, std::string> m_last_status;
};

bool read_tasks(Engine* engine, std::vector<TaskProgress>& tasks) {
    return parse_task_list(list_document(engine), tasks);
}

bool all_match(const std::vector<TaskProgress>& tasks, bool (*predicate)(std::string_view)) {
    for (const TaskProgress& task : tasks) {
        if (!predicate(task.status)) return false;
    }
    return true;
}

enum class WatchEnd { kReached, kSignal, kDeadline };

// Shows the tasks until every status satisfies `goal`, a signal beyond the first `signals_seen`
// came, or `deadline_ms` passed. The document is read when a status changed (at most every
// kMinReadGapMs), when every task has settled, and on the live display's cadence; between
// reads the watcher waits on the engine's change signal, so that the end is seen at once.
WatchEnd watch(Engine* engine, Watcher& watcher, const StopSignals& signals, int signals_seen,
               bool (*goal)(std::string_view), int64_t deadline_ms, std::vector<TaskProgress>& tasks) {
    const std::shared_ptr<TaskList> list = engine_task_list(engine);
    const auto signalled = [&] { return signals.count() > signals_seen; };
    Revision shown = engine_revision(engine);
    int64_t last_read = 0;
    bool first = true;
    for (;;) {
        const Revision revision = engine_revision(engine);
        const int64_t now = monotonic_ms();
        const bool moved = first || revision.status != shown.status;
        if ((list && list->all_settled()) || (moved && now - last_read >= kMinReadGapMs) ||
            (watcher.live() && now - last_read >= kRedrawMs)) {
            first = false;
            shown = revision;
            last_read = now;
            if (read_tasks(engine, tasks)) {
                watcher.show(tasks);
                if (all_match(tasks, goal)) return WatchEnd::kReached;
            }
        }
        if (signalled()) return WatchEnd::kSignal;
        if (now >= deadline_ms) return WatchEnd::kDeadline;
        int64_t wait = watcher.live() ? last_read + kRedrawMs - now : kRedrawMs;
        if (revision.status != shown.status) wait = std::min(wait, last_read + kMinReadGapMs - now);
        wait = std::clamp<int64_t>(wait, 1, deadline_ms - now);
        engine_wait_for_change(engine, revision, ChangeScope::kStatus, wait, signalled);
    }
}

void finish_live_recordings(Engine* engine) {
    const std::shared_ptr<TaskList> list = engine_task_list(engine);
    if (!list) return;
    for (const auto& entry : list->snapshot().entries)
        entry->task->live.finish = true;
}

} // namespace

int run_get(const GetOptions& given) {
    GetOptions options = given;
    for (const std::string& note : options.notes)
        std::fprintf(stderr, "twk: %s\n", note.c_str());
    std::string folder = options.directory.empty() ? default_download_dir() : options.directory;
    place_output(folder, options.output_name);
    Engine* engine = engine_create(folder, options.max_concurrent);
    int status = get_with_engine(engine, folder, options);
    engine_destroy(engine);
    return status;
}

int get_with_engine(Engine* engine, const std::string& folder, const GetOptions& options) {
    StopSignals signals(engine);
    FILE* human = options.json ? stderr : stdout;
    std::vector<int32_t> ids;
    std::vector<TaskProgress> refused; // URLs the engine would not take
    for (const std::string& url : options.urls) {
        int32_t id = engine_add_options(engine, start_options(options, url));
        if (id > 0) {
            ids.push_back(id);
        } else {
            TaskProgress task;
            task.url = redact_url(url);
            task.status = "error: invalid URL";
            refused.push_back(task);
        }
    }

    Watcher watcher(options, human);
    std::vector<TaskProgress> tasks;
    bool interrupted = false;
    if (!ids.empty()) {
        const WatchEnd end = watch(engine, watcher, signals, 0, is_final_status, INT64_MAX, tasks);
        if (end == WatchEnd::kSignal) {
            interrupted = true;
            // Pauses every task and waits until each has saved its sidecar and ended its run; a
            // second signal meanwhile leaves at once. A live recording ends "done" instead: what
            // it holds is a whole, playable file.
            finish_live_recordings(engine);
            for (int32_t id : ids)
                engine_pause(engine, id);
            if (watch(engine, watcher, signals, 1, is_settled_status, monotonic_ms() + kSettleDeadlineMs,
                      tasks) != WatchEnd::kReached) {
                std::fflush(nullptr);
                ::_exit(kExitInterrupted);
            }
        }
    }

    if (!ids.empty()) read_tasks(engine, tasks);
    tasks.insert(tasks.end(), refused.begin(), refused.end());
    for (const TaskProgress& task : tasks)
        std::fprintf(human, "%s\n", summary_line(task, folder).c_str());
    if (options.json) std::printf("%s\n", list_document(engine).c_str());
    std::fflush(nullptr);
    return get_exit_status(tasks, interrupted);
}

} // namespace twk

#include "cli/get_command.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "cli/progress_display.h"
#include "cli/task_progress.h"
#include "core/engine.h"

namespace twk {

namespace {

constexpr int kRedrawMs = 200;
// How long paused tasks get to save their sidecars after Ctrl-C before the engine is closed.
constexpr int64_t kSettleDeadlineMs = 30000;
constexpr size_t kFallbackColumns = 80;
constexpr size_t kFallbackRows = 24;

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

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

// SIGINT and SIGTERM are blocked in every thread (the engine's threads inherit the mask) and
// taken by the watcher itself with sigtimedwait, between two redraws.
struct Signals {
    sigset_t set;
    Signals() {
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    // A signal that came after the last wait is dropped: every task has ended by then, and the
    // default action would end the process without its closing lines.
    ~Signals() {
        timespec now{0, 0};
        while (sigtimedwait(&set, nullptr, &now) > 0) {
        }
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
    // Waits up to `ms`; true when a signal came.
    bool wait(int ms) {
        timespec timeout{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
        return sigtimedwait(&set, nullptr, &timeout) > 0;
    }
};

class Watcher {
public:
    Watcher(const GetOptions& options, FILE* out)
        : m_out(out), m_live(!options.quiet && ::isatty(::fileno(out))),
          m_changes(!options.quiet && !m_live) {}

    void show(const std::vector<TaskProgress>& tasks) {
        int64_t now = now_ms();
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

// Pauses every task and waits until each has saved its sidecar and ended its run.
bool pause_and_settle(Engine* engine, const std::vector<int32_t>& ids, Signals& signals, Watcher& watcher,
                      std::vector<TaskProgress>& tasks) {
    for (int32_t id : ids)
        engine_pause(engine, id);
    const int64_t deadline = now_ms() + kSettleDeadlineMs;
    while (now_ms() < deadline) {
        if (read_tasks(engine, tasks)) {
            watcher.show(tasks);
            if (all_match(tasks, is_settled_status)) return true;
        }
        if (signals.wait(kRedrawMs)) return false; // a second signal: leave at once
    }
    return false;
}

} // namespace

int run_get(const GetOptions& given) {
    GetOptions options = given;
    std::string folder = options.directory.empty() ? default_download_dir() : options.directory;
    place_output(folder, options.output_name);
    Engine* engine = engine_create(folder, options.max_concurrent);
    int status = get_with_engine(engine, folder, options);
    engine_destroy(engine);
    return status;
}

int get_with_engine(Engine* engine, const std::string& folder, const GetOptions& options) {
    Signals signals;
    FILE* human = options.json ? stderr : stdout;
    std::vector<int32_t> ids;
    std::vector<TaskProgress> refused; // URLs the engine would not take
    for (const std::string& url : options.urls) {
        int32_t id = engine_add_json(engine, build_start_request(options, url));
        if (id > 0) {
            ids.push_back(id);
        } else {
            TaskProgress task;
            task.url = url;
            task.status = "error: invalid URL";
            refused.push_back(task);
        }
    }

    Watcher watcher(options, human);
    std::vector<TaskProgress> tasks;
    bool interrupted = false;
    while (!ids.empty()) {
        if (read_tasks(engine, tasks)) {
            watcher.show(tasks);
            if (all_match(tasks, is_final_status)) break;
        }
        if (signals.wait(kRedrawMs)) {
            interrupted = true;
            if (!pause_and_settle(engine, ids, signals, watcher, tasks)) {
                std::fflush(nullptr);
                ::_exit(kExitInterrupted);
            }
            break;
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

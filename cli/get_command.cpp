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
#include "net/proxy_environment.h"
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

    void show(const std::vector<TaskSnapshot>& tasks) {
        if (m_live) redraw(tasks);
        if (m_changes) print_changes(tasks);
        std::fflush(m_out);
    }

private:
    void redraw(const std::vector<TaskSnapshot>& tasks) {
        auto [width, height] = terminal_size(::fileno(m_out));
        std::vector<double> speeds;
        for (const TaskSnapshot& task : tasks)
            speeds.push_back(task.downloading() ? task.speed : 0);
        std::vector<std::string> lines = progress_screen(tasks, speeds, width, height);
        // Back to the first line drawn last time; what is left of a longer drawing is erased.
        if (m_lines_drawn > 0) std::fprintf(m_out, "\x1b[%zuA", m_lines_drawn);
        for (const std::string& line : lines)
            std::fprintf(m_out, "\r%s\x1b[K\n", line.c_str());
        std::fputs("\x1b[J", m_out);
        m_lines_drawn = lines.size();
    }

    void print_changes(const std::vector<TaskSnapshot>& tasks) {
        for (const TaskSnapshot& task : tasks) {
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
    std::map<int32_t, std::string> m_last_status;
};

std::vector<TaskSnapshot> read_tasks(const Engine& engine) { return engine.snapshot().tasks; }

bool all_match(const std::vector<TaskSnapshot>& tasks, bool (*predicate)(TaskState)) {
    for (const TaskSnapshot& task : tasks) {
        if (!predicate(task.state)) return false;
    }
    return true;
}

enum class WatchEnd { kReached, kSignal, kDeadline };

// Shows the tasks until every state satisfies `goal`, a signal beyond the first `signals_seen`
// came, or `deadline_ms` passed. The document is read when a status changed (at most every
// kMinReadGapMs), when every task has settled, and on the live display's cadence; between
// reads the watcher waits on the engine's change signal, so that the end is seen at once.
WatchEnd watch(const Engine& engine, Watcher& watcher, const StopSignals& signals, int signals_seen,
               bool (*goal)(TaskState), int64_t deadline_ms, std::vector<TaskSnapshot>& tasks) {
    const auto signalled = [&] { return signals.count() > signals_seen; };
    Revision shown = engine.revision();
    int64_t last_read = 0;
    bool first = true;
    for (;;) {
        const Revision revision = engine.revision();
        const int64_t now = monotonic_ms();
        const bool moved = first || revision.status != shown.status;
        if (engine.all_settled() || (moved && now - last_read >= kMinReadGapMs) ||
            (watcher.live() && now - last_read >= kRedrawMs)) {
            first = false;
            shown = revision;
            last_read = now;
            tasks = read_tasks(engine);
            watcher.show(tasks);
            if (all_match(tasks, goal)) return WatchEnd::kReached;
        }
        if (signalled()) return WatchEnd::kSignal;
        if (now >= deadline_ms) return WatchEnd::kDeadline;
        int64_t wait = watcher.live() ? last_read + kRedrawMs - now : kRedrawMs;
        if (revision.status != shown.status) wait = std::min(wait, last_read + kMinReadGapMs - now);
        wait = std::clamp<int64_t>(wait, 1, deadline_ms - now);
        engine.wait_for_change(revision, ChangeScope::kStatus, wait, signalled);
    }
}

// The whole of `path`, or of standard input for "-".
bool read_input(const std::string& path, std::string& out) {
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) return false;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        out.append(buffer, n);
    const bool ok = !std::ferror(file);
    if (file != stdin) std::fclose(file);
    return ok;
}

int get_jobs(Engine& engine, const std::string& folder, const GetOptions& options,
             const std::vector<StartOptions>& jobs);

} // namespace

int run_get(const GetOptions& given, const TaskDrivers& drivers) {
    GetOptions options = given;
    for (const std::string& note : options.notes)
        std::fprintf(stderr, "twk: %s\n", note.c_str());
    std::string folder = options.directory.empty() ? default_download_dir() : options.directory;
    place_output(folder, options.request.filename);
    EngineOptions engine_options;
    engine_options.download_dir = folder;
    engine_options.max_concurrent = options.max_concurrent;
    engine_options.drivers = drivers;
    std::unique_ptr<Engine> engine = Engine::create(std::move(engine_options));
    return get_with_engine(*engine, folder, options);
}

int get_with_engine(Engine& engine, const std::string& folder, const GetOptions& options) {
    std::vector<StartOptions> jobs;
    for (const std::string& url : options.urls)
        jobs.push_back(start_options(options, url));
    bool list_problems = false;
    if (!options.input.empty()) {
        std::string text;
        if (!read_input(options.input, text)) {
            std::fprintf(stderr, "twk: cannot read %s\n", options.input.c_str());
            return kExitUsage;
        }
        const std::string shown = options.input == "-" ? "stdin" : options.input;
        const UrlList list = parse_url_list(text);
        std::vector<UrlListProblem> problems = list.problems;
        for (const UrlListEntry& entry : list.entries) {
            StartOptions job;
            if (list_entry_options(options, folder, entry, job, problems)) jobs.push_back(std::move(job));
        }
        std::sort(problems.begin(), problems.end(),
                  [](const UrlListProblem& a, const UrlListProblem& b) { return a.line < b.line; });
        for (const UrlListProblem& problem : problems)
            std::fprintf(stderr, "twk: %s:%d: %s (line skipped)\n", shown.c_str(), problem.line,
                         problem.message.c_str());
        list_problems = !problems.empty();
        if (jobs.empty()) {
            std::fprintf(stderr, "twk: no URL to fetch in %s\n", shown.c_str());
            return kExitFailed;
        }
    }
    const int status = get_jobs(engine, folder, options, jobs);
    return status == kExitDone && list_problems ? kExitFailed : status;
}

namespace {

// A file left by an unfinished download of another URL continues with this one only when it
// is the same file (core/link_refresh.h); otherwise the job is refused with the reason, and the
// file and its sidecar stay as they are.
bool continue_with_new_link(Engine& engine, const StartOptions& job, FILE* human, std::string& refusal) {
    bool checked = false;
    const RefreshResult result = engine.check_new_link(job, checked);
    if (!checked) return true;
    if (!result.ok()) {
        refusal = "error: " + result.message;
        return false;
    }
    std::fprintf(human, "%s: %s\n", redact_url(job.url).c_str(), std::string(kContinuingStatus).c_str());
    return true;
}

int get_jobs(Engine& engine, const std::string& folder, const GetOptions& options,
             const std::vector<StartOptions>& jobs) {
    StopSignals signals(engine);
    FILE* human = options.json ? stderr : stdout;
    std::vector<int32_t> ids;
    std::vector<TaskSnapshot> refused; // URLs the engine would not take
    engine.set_use_system_proxy(options.environment_proxy);
    if (options.max_per_host > 0) engine.set_max_per_host(options.max_per_host);
    for (const StartOptions& job : jobs) {
        const std::string& url = job.url;
        std::string refusal = "error: invalid URL";
        AddResult added{-1, AddError::kInvalidUrl};
        const EnvironmentProxy proxy = options.environment_proxy && options.request.proxy.empty()
                                           ? environment_proxy(url)
                                           : EnvironmentProxy{};
        // A proxy variable we cannot use is not taken as "go direct": the URL is refused.
        if (!proxy.usable) {
            refusal =
                "error: " + proxy.variable + " is not a proxy twk can use (http://, socks5:// or socks5h://)";
        } else if (!continue_with_new_link(engine, job, human, refusal)) {
            added = AddResult{-1, AddError::kBadRequest};
        } else {
            added = engine.add(job);
        }
        if (added.ok()) {
            ids.push_back(added.id);
        } else {
            TaskSnapshot task;
            task.url = redact_url(url);
            task.state = kError;
            task.status = refusal;
            refused.push_back(task);
        }
    }

    Watcher watcher(options, human);
    std::vector<TaskSnapshot> tasks;
    bool interrupted = false;
    if (!ids.empty()) {
        const WatchEnd end = watch(engine, watcher, signals, 0, is_final_state, INT64_MAX, tasks);
        if (end == WatchEnd::kSignal) {
            interrupted = true;
            // Pauses every task and waits until each has saved its sidecar and ended its run; a
            // second signal meanwhile leaves at once. A live recording ends "done" instead: what
            // it holds is a whole, playable file.
            for (int32_t id : ids)
                engine.finish_recording(id);
            if (watch(engine, watcher, signals, 1, is_settled_state, monotonic_ms() + kSettleDeadlineMs,
                      tasks) != WatchEnd::kReached) {
                std::fflush(nullptr);
                ::_exit(kExitInterrupted);
            }
        }
    }

    if (!ids.empty()) tasks = read_tasks(engine);
    tasks.insert(tasks.end(), refused.begin(), refused.end());
    for (const TaskSnapshot& task : tasks)
        std::fprintf(human, "%s\n", summary_line(task, folder).c_str());
    if (options.json) std::printf("%s\n", engine.list_document().c_str());
    std::fflush(nullptr);
    return get_exit_status(tasks, interrupted);
}

} // namespace

} // namespace twk

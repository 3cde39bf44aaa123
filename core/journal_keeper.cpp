#include "core/journal_keeper.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/sidecar.h"
#include "core/start_request.h"
#include "net/debug_log.h"
#include "net/url.h"

namespace twk {

namespace {

// With no change signalled the list is looked at once a second: an output path that changes
// moves no counter.
constexpr int64_t kIdleLookMs = 1000;
// At most four writes a second, however busy the list is.
constexpr int64_t kMinWriteIntervalMs = 250;
// With no state or status change, a look reads only the running tasks; every task is looked at
// again this often all the same.
constexpr int64_t kFullLookMs = 30'000;
constexpr const char* kMissingStatus = "error: file missing";

int64_t now_ms() { return monotonic_ns() / 1000000; }

bool regular_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// What a write is due for in one entry: its state, size, status text and path (progress alone
// waits for the next of these, or for the stop; a resume reads the sidecar anyway).
std::string entry_print(const JournalEntry& e) {
    std::string out = std::to_string(e.state) + ' ' + std::to_string(e.total) + ' ';
    // A live recording's place moves with every segment, its size alone does not tell.
    if (e.live.active) out += std::to_string(e.live.next_sequence) + ' ';
    out += e.status + '\n' + e.output_path;
    return out;
}

// The progress shown for a restored task until it runs again: its sidecar's, else the journal's.
void show_progress(Task& task, const JournalEntry& entry, bool keep_done) {
    if (keep_done && !task.request.is_stream() && task.request.method == "GET") {
        if (auto resume = load_sidecar(task.progress.sidecar_path(), task.progress.output_path())) {
            task.progress.total = resume->total;
            task.progress.supports_range = true;
            std::lock_guard lock(task.progress.segment_lock);
            task.progress.segments = std::move(resume->segments);
            return;
        }
    }
    task.progress.total = entry.total;
    task.progress.supports_range = entry.supports_range;
    const uint64_t end = entry.total != 0 ? entry.total : kUnknownEnd;
    const uint64_t done = keep_done ? std::min(entry.done, end) : 0;
    std::lock_guard lock(task.progress.segment_lock);
    task.progress.segments = {make_segment(0, done, end)};
}

// A live recording goes on in the file it was writing, as after a pause in the same process,
// as long as that file is still there.
void restore_live(Task& task, const JournalLive& live) {
    if (!live.active) return;
    TaskProgress& progress = task.progress;
    progress.live.active = true;
    progress.live.recorded_ms = live.recorded_ms;
    progress.live.gaps = live.gaps;
    progress.live.gap_ms = live.gap_ms;
    progress.live.init_digest = live.init_digest;
    if (live.next_sequence >= 0 && regular_file(progress.output_path())) {
        progress.live.next_sequence = live.next_sequence;
        progress.created_output = true;
    }
}

} // namespace

JournalEntry journal_entry(int32_t id, int32_t state, const Task& task) {
    JournalEntry e;
    e.id = id;
    e.request = task.request;
    e.filename = task.progress.name();
    e.output_path = task.progress.output_path();
    e.bandwidth_limit = std::max<int64_t>(0, task.control.bandwidth_limit);
    e.state = state;
    e.status = redact_urls_in(task.progress.status()); // the URL itself is kept whole, in the request
    e.total = std::min(task.progress.total.load(), kMaxJournalNumber);
    const uint64_t done = task.progress.bytes_done();
    e.done = std::min(e.total != 0 ? std::min(done, e.total) : done, kMaxJournalNumber);
    e.supports_range = task.progress.supports_range;
    const TaskProgress::LiveRecording& live = task.progress.live;
    if (live.active) {
        e.live.active = true;
        e.live.recorded_ms = live.recorded_ms;
        e.live.gaps = live.gaps;
        e.live.gap_ms = live.gap_ms;
        e.live.init_digest = live.init_digest;
        // The place and the bytes before it, as one: the recorder moves both under this lock.
        std::lock_guard lock(task.progress.segment_lock);
        e.live.next_sequence = live.next_sequence;
        e.done = task.progress.segments.empty()
                     ? 0
                     : std::min(task.progress.segments.front()->pos.load(), kMaxJournalNumber);
    }
    return e;
}

std::vector<JournalEntry> journal_entries(const TaskList& list) {
    std::vector<JournalEntry> entries;
    for (const auto& entry : list.snapshot().entries) {
        const int32_t state = entry->state;
        if (state == kCanceled) continue;
        entries.push_back(journal_entry(entry->id, state, *entry->task));
    }
    return entries;
}

RestoredTask restore_task(const JournalEntry& entry) {
    // Through the same cleaning as a new request (connection counts, dropped and unusable
    // headers, user agent), so that a hand-edited journal cannot make a request no add could.
    const TaskRequest& kept = entry.request;
    StartOptions options;
    options.url = kept.url;
    options.connections = static_cast<int64_t>(kept.connections);
    options.bandwidth_limit = entry.bandwidth_limit;
    options.insecure = kept.insecure;
    options.user_agent = kept.user_agent;
    options.method = kept.method;
    options.post_data = kept.post_data;
    options.headers = kept.headers;
    options.filename = entry.filename;
    options.checksum = kept.checksum; // cleaned like a new one: a bad text means none
    options.live_from_start = kept.live_from_start;
    options.skip_bad_segments = kept.skip_bad_segments;
    options.live_outage_limit = kept.live_outage_limit;
    TaskRequest request = clean_request(options);
    request.auto_named = kept.auto_named;
    request.proxy = kept.proxy;
    request.stream_type = kept.stream_type;
    request.added_ms = kept.added_ms;
    std::shared_ptr<Task> task = create_task(std::move(request), entry.output_path, entry.bandwidth_limit);

    RestoredTask restored{task, kPaused};
    switch (entry.state) {
    case kDone:
        if (regular_file(entry.output_path)) {
            restored.state = kDone;
            task->progress.finish(RunEnd::kDone);
            show_progress(*task, entry, true);
        } else {
            restored.state = kError;
            task->progress.set_failure(kMissingStatus, FailureCategory::kIo);
            show_progress(*task, entry, false);
        }
        break;
    case kError:
        restored.state = kError;
        task->progress.set_failure(entry.status, FailureCategory::kOther);
        show_progress(*task, entry, true);
        break;
    case kCanceled:
        restored.state = kCanceled;
        task->progress.finish(RunEnd::kCanceled);
        show_progress(*task, entry, false);
        break;
    default: // queued, running, paused
        task->progress.finish(RunEnd::kPaused);
        show_progress(*task, entry, true);
        break;
    }
    restore_live(*task, entry.live);
    return restored;
}

std::unique_ptr<JournalKeeper> JournalKeeper::open(std::shared_ptr<TaskList> list, std::string path,
                                                   std::string& error) {
    if (!list) return nullptr;
    make_journal_folder(path); // where the lock file goes
    const std::string lock_path = path + ".lock";
    int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot open " + lock_path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "in use by another engine"
                                     : std::string("cannot lock: ") + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<JournalKeeper> keeper(new JournalKeeper(std::move(list), std::move(path), fd));
    keeper->load();
    try {
        keeper->m_writer = std::thread([raw = keeper.get()] { raw->run(); });
    } catch (const std::system_error& e) {
        // Without a writer the list is still written when the keeper stops.
        debug_log("[journal] no writer thread: %s", e.what());
    }
    return keeper;
}

JournalKeeper::JournalKeeper(std::shared_ptr<TaskList> list, std::string path, int lock_fd)
    : m_list(std::move(list)), m_path(std::move(path)), m_lock_fd(lock_fd) {}

JournalKeeper::~JournalKeeper() {
    stop();
    ::close(m_lock_fd); // releases the lock
}

void JournalKeeper::load() {
    JournalLoad load = load_journal(m_path);
    if (!load.problem.empty()) {
        std::fprintf(stderr, "twk: task journal %s: %s%s\n", m_path.c_str(), load.problem.c_str(),
                     load.set_aside ? (" (set aside as " + m_path + kJournalBadSuffix + ")").c_str() : "");
    }
    for (const JournalEntry& entry : load.entries) {
        RestoredTask restored = restore_task(entry);
        m_list->restore(restored.task, entry.id, restored.state);
    }
    m_list->reserve_ids(load.next_id);
    // What was loaded is what the file holds, unless some of it had to be set aside.
    std::vector<const std::string*> texts;
    std::vector<int32_t> ids;
    look(texts, ids);
    m_written_ids = std::move(ids);
    m_written_next_id = load.next_id;
    m_pending = load.set_aside;
}

void JournalKeeper::stop() {
    {
        std::lock_guard lock(m_lock);
        if (m_stopped) return;
        m_stopped = true;
        m_stopping = true;
    }
    m_stop_wake.notify_all();
    m_list->changes().wake();
    if (m_writer.joinable()) m_writer.join();
    save(true);
}

void JournalKeeper::rest_until(int64_t until_ms) {
    std::unique_lock lock(m_lock);
    const int64_t left = until_ms - now_ms();
    if (left > 0)
        m_stop_wake.wait_for(lock, std::chrono::milliseconds(left), [this] { return m_stopping.load(); });
}

void JournalKeeper::run() {
    ChangeSignal& changes = m_list->changes();
    Revision seen = changes.revision();
    bool due = false; // a change the write interval held back
    while (!m_stopping) {
        changes.wait_for_change(seen, ChangeScope::kStatus, due ? kMinWriteIntervalMs : kIdleLookMs,
                                [this] { return m_stopping.load(); });
        // Looking at a long list costs a pass over it: a burst of changes (thousands of adds) is
        // looked at no more often than it may be written, whatever else it brings meanwhile.
        rest_until(m_last_write_ms + kMinWriteIntervalMs);
        if (m_stopping) break;
        seen = changes.revision(); // before the look: what changes during it wakes the next one
        due = !save_after_quiet_look();
    }
}

bool JournalKeeper::running_changed() {
    for (const auto& entry : m_list->running_entries()) {
        const Task& task = *entry->task;
        const auto kept = m_kept.find(entry->id);
        if (kept == m_kept.end() || kept->second.task != &task || kept->second.state != kRunning) return true;
        if (entry_print(journal_entry(entry->id, kRunning, task)) != kept->second.print) return true;
    }
    return false;
}

bool JournalKeeper::save_after_quiet_look() {
    const bool quiet = !m_pending && m_list->revision().status == m_full_look_status &&
                       now_ms() - m_full_look_ms < kFullLookMs;
    if (quiet && !running_changed()) return true;
    return save(false);
}

bool JournalKeeper::look(std::vector<const std::string*>& texts, std::vector<int32_t>& ids) {
    m_full_look_status = m_list->revision().status; // before the list: a change meanwhile shows
    m_full_look_ms = now_ms();
    const TaskList::Snapshot list = m_list->snapshot();
    texts.clear();
    ids.clear();
    texts.reserve(list.entries.size());
    ids.reserve(list.entries.size());
    bool changed = false;
    for (const auto& entry : list.entries) {
        const int32_t state = entry->state;
        if (state == kCanceled) continue;
        const Task& task = *entry->task;
        // Read before the task: a change landing meanwhile moves it past what is kept.
        const uint64_t changes = task.progress.change_count();
        const uint64_t total = task.progress.total;
        Kept& kept = m_kept[entry->id];
        // A running task is read on every look: what it shows moves all the time.
        if (kept.task != &task || kept.changes != changes || kept.state != state || kept.total != total ||
            state == kRunning) {
            const JournalEntry e = journal_entry(entry->id, state, task);
            std::string print = entry_print(e);
            if (kept.task != &task || print != kept.print) changed = true;
            kept.task = &task;
            kept.changes = changes;
            kept.state = state;
            kept.total = total;
            kept.print = std::move(print);
            kept.text = journal_entry_json(e);
        }
        texts.push_back(&kept.text);
        ids.push_back(entry->id);
    }
    return changed || ids != m_written_ids;
}

bool JournalKeeper::save(bool force) {
    std::vector<const std::string*> texts;
    std::vector<int32_t> ids;
    // An id given to a task that is gone again still counts: it must not come back.
    const int32_t next_id = m_list->next_id();
    if (look(texts, ids) || next_id != m_written_next_id) m_pending = true;
    if (!force) {
        if (!m_pending) return true;
        // A change not written now stays pending and is written on a later look.
        if (now_ms() - m_last_write_ms < kMinWriteIntervalMs) return false;
    }
    std::string error;
    const bool written = write_journal_document(m_path, journal_document(texts, next_id), error);
    m_last_write_ms = now_ms(); // a failing disk is tried again no more often than a working one
    if (written) {
        m_written_ids = std::move(ids);
        m_written_next_id = next_id;
        m_pending = false;
        m_last_error.clear();
        return true;
    }
    if (error != m_last_error) {
        // Said once per cause; the next look tries again.
        debug_log("[journal] %s: %s", m_path.c_str(), error.c_str());
        m_last_error = error;
    }
    return false;
}

} // namespace twk

#include "media/stream_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <mbedtls/aes.h>

#include "core/naming.h"
#include "core/segment_exchange.h" // status_is_permanent
#include "core/task.h"
#include "core/task_driver.h"
#include "core/transfer_request.h"
#include "media/mp4_remux.h"
#include "media/stream_job.h"
#include "net/body_reader.h"
#include "net/debug_log.h"
#include "net/file_io.h"
#include "net/http_exchange.h"
#include "net/socket.h" // system_reason

namespace twk {

namespace {

constexpr size_t kReadPiece = 65536;
// A body past this is refused rather than cut: a cut segment would join into a broken file.
constexpr uint64_t kMaxBody = uint64_t{1} << 31;
constexpr int64_t kMaxRange = int64_t{1} << 48;
// What a Content-Length may make us set aside before the body arrives.
constexpr int64_t kMaxReserve = int64_t{64} << 20;
// The join flushes the file and releases the parts in it once this much or this many parts
// were appended since the last time (and at the end): a flush per part would make a stream of
// many small parts slow to join.
constexpr uint64_t kJoinBatchBytes = uint64_t{4} << 20;
constexpr size_t kJoinBatchParts = 64;
// Attempts of a part before the stall rule decides whether it is tried again.
constexpr int kAttempts = 3;
// How often the progress segments are laid out again from the sizes fetched so far.
constexpr int64_t kRelayoutEveryMs = 1000;
// A stream of more parts than this shows them in this many progress segments, each covering
// a run of neighbouring parts, so that status documents and memory stay small.
constexpr size_t kMaxProgressSegments = 1000;
// Numbered names (" (N)") looked at for the work folder of an earlier run.
constexpr int kMaxEarlierNames = 1000;
constexpr const char* kListFile = "parts.list";
constexpr const char* kVideoInit = "v_init.mp4";
constexpr const char* kAudioInit = "a_init.mp4";
// The output while it is being joined, and how far the join got ("<parts> <bytes>").
constexpr const char* kJoinFile = "joined.out";
constexpr const char* kJoinRecord = "joined.list";

std::mutex g_timing_lock;
StreamTiming g_timing;

StreamTiming current_timing() {
    std::lock_guard lock(g_timing_lock);
    return g_timing;
}

int64_t now_ms() { return monotonic_ns() / 1'000'000; }

// Key URI to its 16 bytes, shared by the workers of one task.
class KeyCache {
public:
    bool find(const std::string& uri, std::array<uint8_t, 16>& key) {
        std::lock_guard lock(m_lock);
        auto it = m_keys.find(uri);
        if (it == m_keys.end()) return false;
        key = it->second;
        return true;
    }
    void store(const std::string& uri, const std::array<uint8_t, 16>& key) {
        std::lock_guard lock(m_lock);
        m_keys[uri] = key;
    }

private:
    std::mutex m_lock;
    std::map<std::string, std::array<uint8_t, 16>> m_keys;
};

struct PartState {
    bool finished = false; // its bytes are in its part file, or already in the joined file
    bool joined = false;   // in the joined file (its part file released)
    uint64_t size = 0;     // its real size once finished; 0 when unknown
};

// The parts of a run and what is known of each. Once workers run, the states, the sums and
// the progress segments are under the task's segment lock.
struct PartTable {
    PartTable(const StreamJob& j, std::string dir)
        : job(j), work_dir(std::move(dir)), state(j.part_count()) {}
    const StreamJob& job;
    const std::string work_dir;
    std::vector<PartState> state;
    std::vector<std::shared_ptr<Segment>> groups; // progress segments, one per run of parts
    std::vector<uint32_t> in_flight;              // parts being fetched, per group
    size_t per_group = 1;
    uint64_t known_bytes = 0; // sum and count of the sizes known
    uint64_t known_count = 0;

    size_t size() const { return state.size(); }
    StreamPart part(size_t i) const { return job.part(i); }
    std::string path(size_t i) const { return work_dir + "/" + job.part(i).file_name(); }
    size_t group_of(size_t i) const { return i / per_group; }
    void count_known() {
        known_bytes = known_count = 0;
        for (const PartState& part : state) {
            if (part.finished && part.size > 0) {
                known_bytes += part.size;
                ++known_count;
            }
        }
    }
};

struct WorkerContext {
    WorkerContext(std::shared_ptr<Task> t, PartTable& p) : task(std::move(t)), parts(p) {}
    std::shared_ptr<Task> task;
    PartTable& parts;
    StreamTiming timing = current_timing();
    KeyCache keys;
    std::atomic<bool> error{false};
    std::atomic<uint64_t> next{0};
    std::atomic<uint64_t> payload{0};
    std::atomic<int64_t> last_progress_ms{now_ms()}; // when a part was last finished
    std::atomic<int64_t> last_layout_ms{0};
};

// Writes the whole file under a temporary name and renames it into place, flushed, so that a
// file that exists is always complete (a later run trusts it) and records survive a crash in the
// order they were written.
bool write_file_atomically(const std::string& path, std::string_view bytes) {
    return write_private_file(path, bytes, nullptr, FolderOwner::kUser);
}

std::string read_small_file(const std::string& path) {
    std::string out;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buffer[kReadPiece];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

// The size of a regular file; -1 when there is none.
int64_t file_size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

bool is_file(const std::string& path) { return file_size(path) >= 0; }

bool is_folder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void make_dirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    ::mkdir(path.c_str(), 0700); // the work folder is the task's alone
}

// The names this driver writes into a work folder; nothing else there is ever deleted.
bool is_work_file(std::string_view name) {
    constexpr size_t kTempTail = 11; // ".tmp-XXXXXX", write_private_file's temporary name
    if (name.size() > kTempTail && name.substr(name.size() - kTempTail, 5) == ".tmp-")
        name.remove_suffix(kTempTail);
    if (name.ends_with(".tmp")) name.remove_suffix(4);
    if (name == kListFile || name == kVideoInit || name == kAudioInit || name == kJoinFile ||
        name == kJoinRecord)
        return true;
    if (name.size() != 13 || (name[0] != 'v' && name[0] != 'a') || name[1] != '_' || !name.ends_with(".part"))
        return false;
    for (char c : name.substr(2, 6)) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Deletes the part files, initialisation files, join files and part list; the folder stays.
void clear_work_dir(const std::string& dir) {
    if (DIR* handle = ::opendir(dir.c_str())) {
        std::vector<std::string> names;
        while (dirent* entry = ::readdir(handle)) {
            if (is_work_file(entry->d_name)) names.emplace_back(entry->d_name);
        }
        ::closedir(handle);
        for (const std::string& name : names)
            ::unlink((dir + "/" + name).c_str());
    }
}

// Clears the folder, then removes it (only if that left it empty: a folder the user put
// something into stays).
void remove_work_dir(const std::string& dir) {
    clear_work_dir(dir);
    ::rmdir(dir.c_str());
}

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    return equals_ignoring_case(text.substr(text.size() - suffix.size()), suffix);
}

// The advisory lock a run holds on its work folder. Taken on the folder itself, and checked to
// be the folder that is still at that path (another process may have removed it meanwhile).
bool lock_work_dir(const std::string& dir, UniqueFd& lock, bool& busy) {
    busy = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        make_dirs(dir);
        UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd.valid()) return false;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            busy = errno == EWOULDBLOCK;
            return false;
        }
        struct stat held {
        }, named{};
        if (::fstat(fd.get(), &held) == 0 && ::stat(dir.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            lock = std::move(fd);
            return true;
        }
    }
    return false;
}

// The output path of an earlier run of the same part list: the candidate or one of its
// numbered names whose work folder holds this list. Empty when there is none.
std::string find_earlier_run(const std::string& candidate, const std::string& signature) {
    for (int n = 0; n <= kMaxEarlierNames; ++n) {
        const std::string path = n == 0 ? candidate : numbered_path(candidate, n);
        const std::string work_dir = stream_work_dir(path);
        const bool folder = is_folder(work_dir);
        if (folder && read_small_file(work_dir + "/" + kListFile) == signature) return path;
        if (!folder && ::access(path.c_str(), F_OK) != 0) break;
    }
    return {};
}

// Waits about `ms`, waking at once when the run ends.
void nap(WorkerContext& context, int64_t ms) {
    Task& task = *context.task;
    task.wait(ms, [&] { return context.error || task.stop; });
}

// One resource with the retry rules: a failure no retry can mend ends at once; any other is
// tried again after a pause that doubles (or as long as the server's Retry-After asks), three
// times, and after that for as long as the task finished a part within the stall window.
bool fetch_with_retries(WorkerContext& context, const std::string& url, int64_t offset, int64_t length,
                        std::string& body, std::string& error) {
    Task& task = *context.task;
    const StreamTiming& timing = context.timing;
    for (int attempt = 1;; ++attempt) {
        if (context.error || task.stop) return false;
        body.clear();
        FetchFailure failure;
        if (fetch_resource(task, url, offset, length, body, error, &failure)) return true;
        if (task.stop || failure.permanent) return false;
        if (attempt >= kAttempts && now_ms() - context.last_progress_ms >= timing.stall_window_ms)
            return false;
        const int shift = std::min(attempt - 1, 20);
        int64_t pause = std::min(timing.first_backoff_ms << shift, timing.longest_backoff_ms);
        // Never sooner than the server asked (up to a limit), nor sooner than the back-off.
        if (failure.retry_after_ms >= 0)
            pause = std::max(pause, std::min(failure.retry_after_ms, timing.longest_retry_after_ms));
        debug_log("[dl] stream: %s failed (%s), attempt %d, again in %lld ms", url.c_str(), error.c_str(),
                  attempt, static_cast<long long>(pause));
        nap(context, pause);
    }
}

bool fetch_key(WorkerContext& context, const std::string& uri, std::array<uint8_t, 16>& key,
               std::string& error) {
    if (context.keys.find(uri, key)) return true;
    std::string body;
    if (!fetch_with_retries(context, uri, -1, -1, body, error)) {
        error = "key fetch failed" + (error.empty() ? "" : ": " + error);
        return false;
    }
    // An AES-128 key is 16 bytes and nothing else: a longer answer is a page, not a key.
    if (body.size() != key.size()) {
        error =
            "key fetch failed: the answer is " + std::to_string(body.size()) + " bytes, not a 16-byte key";
        return false;
    }
    std::copy(body.begin(), body.end(), key.begin());
    context.keys.store(uri, key);
    return true;
}

// Fetches (and decrypts) one part into its file. False with the task's status in `failure`
// (empty when the run is ending anyway).
bool fetch_part(WorkerContext& context, size_t index, std::string& failure, uint64_t& size) {
    const StreamPart part = context.parts.part(index);
    const MediaSegment& media = *part.segment;
    const std::string segment = "segment " + std::to_string(index);
    std::string body, error;
    if (!fetch_with_retries(context, media.uri, media.range_offset, media.range_length, body, error)) {
        failure = "error: " + segment + " failed: " + error;
        return false;
    }
    if (media.encrypted) {
        std::array<uint8_t, 16> key{};
        if (!fetch_key(context, media.key_uri, key, error)) {
            failure = "error: " + segment + " failed: " + error;
            return false;
        }
        std::string plain;
        const Decrypted decrypted = decrypt_segment(body, key, media.iv, plain);
        if (decrypted == Decrypted::bad_length) {
            failure = "error: " + segment + " failed: decrypt failed";
            return false;
        }
        if (decrypted == Decrypted::bad_padding) {
            failure = "error: key for " + segment + " does not decrypt it";
            return false;
        }
        body.swap(plain);
    }
    if (!write_file_atomically(context.parts.path(index), body)) {
        failure =
            "error: " + segment + " failed: cannot write " + part.file_name() + ": " + system_reason(errno);
        return false;
    }
    context.payload += body.size();
    size = body.size();
    return true;
}

// The size a part counts for: its own once known, else the mean of the known ones, else its
// estimate.
uint64_t counted_size(const PartTable& parts, size_t i) {
    const PartState& part = parts.state[i];
    if (part.finished && part.size > 0) return part.size;
    if (parts.known_count > 0) return parts.known_bytes / parts.known_count;
    return static_cast<uint64_t>(parts.part(i).segment->estimate);
}

// Lays out group `g` from `start`: it spans its parts' counted sizes, done up to the finished
// ones. Returns its end.
uint64_t lay_out_group(PartTable& parts, size_t g, uint64_t start) {
    uint64_t span = 0, done = 0;
    const size_t last = std::min(parts.size(), (g + 1) * parts.per_group);
    for (size_t i = g * parts.per_group; i < last; ++i) {
        const uint64_t size = counted_size(parts, i);
        span += size;
        if (parts.state[i].finished) done += size;
    }
    Segment& segment = *parts.groups[g];
    segment.start = start;
    segment.end = start + span;
    segment.pos = start + done;
    return start + span;
}

// Lays the progress segments end to end by the best sizes known. Returns the sum.
uint64_t lay_out_locked(PartTable& parts) {
    uint64_t running = 0;
    for (size_t g = 0; g < parts.groups.size(); ++g)
        running = lay_out_group(parts, g, running);
    return running;
}

// A part is in: its group moves on at once, and now and then the whole layout and the task's
// total follow the sizes seen so far (neighbouring groups may overlap a little until then).
void finish_part(WorkerContext& context, size_t index, uint64_t size) {
    Task& task = *context.task;
    PartTable& parts = context.parts;
    context.last_progress_ms = now_ms();
    std::lock_guard lock(task.segment_lock);
    PartState& part = parts.state[index];
    part.finished = true;
    part.size = size;
    if (size > 0) {
        parts.known_bytes += size;
        ++parts.known_count;
    }
    const size_t g = parts.group_of(index);
    lay_out_group(parts, g, parts.groups[g]->start);
    int64_t last = context.last_layout_ms;
    const int64_t now = context.last_progress_ms;
    if (now - last >= kRelayoutEveryMs && context.last_layout_ms.compare_exchange_strong(last, now))
        task.total = lay_out_locked(parts);
}

// Marks a part's group active while the part is in flight.
void set_in_flight(Task& task, PartTable& parts, size_t index, bool flying) {
    std::lock_guard lock(task.segment_lock);
    const size_t g = parts.group_of(index);
    if (flying) {
        ++parts.in_flight[g];
    } else {
        --parts.in_flight[g];
    }
    parts.groups[g]->active = parts.in_flight[g] > 0;
}

void worker_loop(WorkerContext& context) {
    Task& task = *context.task;
    while (!context.error && !task.stop) {
        const uint64_t index = context.next.fetch_add(1);
        if (index >= context.parts.size()) return;
        {
            std::lock_guard lock(task.segment_lock);
            if (context.parts.state[index].finished) continue;
        }
        set_in_flight(task, context.parts, index, true);
        task.note_progress();
        std::string failure;
        uint64_t size = 0;
        const bool fetched = fetch_part(context, index, failure, size);
        if (fetched) finish_part(context, index, size);
        set_in_flight(task, context.parts, index, false);
        if (!fetched) {
            // A pause or cancel ends the fetch in flight; that is no failure of the part.
            if (task.stop) return;
            if (!context.error.exchange(true)) task.set_status(failure);
            return;
        }
        // Watchers (the desktop app, the status stream) redraw when the list says it changed.
        task.note_progress();
    }
}

void run_workers(WorkerContext& context, uint64_t connections) {
    const uint64_t count = std::max<uint64_t>(1, std::min<uint64_t>(connections, context.parts.size()));
    std::vector<std::thread> threads;
    for (uint64_t i = 0; i < count; ++i) {
        try {
            threads.emplace_back([&context] { worker_loop(context); });
        } catch (const std::system_error&) {
            break; // run with the workers there are
        }
    }
    if (threads.empty()) worker_loop(context);
    for (std::thread& thread : threads)
        thread.join();
}

bool fetch_init(WorkerContext& context, const StreamInit& init, const std::string& path, std::string& error) {
    std::string body;
    if (!fetch_with_retries(context, init.uri, init.range_offset, init.range_length, body, error))
        return false;
    if (write_file_atomically(path, body)) return true;
    error = "cannot write: " + system_reason(errno);
    return false;
}

// How far an earlier join got: the first `count` parts (after the init file, when there is
// one) are in the joined file, which is `size` bytes long up to there.
struct JoinRecord {
    bool present = false;
    size_t count = 0;
    uint64_t size = 0;
};

JoinRecord read_join_record(const std::string& work_dir) {
    JoinRecord record;
    record.present =
        parse_join_record(read_small_file(work_dir + "/" + kJoinRecord), record.count, record.size);
    return record;
}

bool write_join_record(const std::string& work_dir, size_t count, uint64_t size) {
    return write_file_atomically(work_dir + "/" + kJoinRecord,
                                 std::to_string(count) + " " + std::to_string(size) + "\n");
}

// Takes up what a killed or failed join left: the parts its record counts are in the joined
// file (a part file still there was released after the record was written, and goes now). A
// record the joined file does not bear out (it is gone or short) is dropped, and those parts
// are fetched again.
JoinRecord resume_join(const std::string& work_dir, PartTable& parts) {
    JoinRecord record = read_join_record(work_dir);
    if (!record.present) return {};
    const int64_t joined = file_size(work_dir + "/" + kJoinFile);
    if (joined < 0 || static_cast<uint64_t>(joined) < record.size || record.count > parts.size()) {
        ::unlink((work_dir + "/" + kJoinFile).c_str());
        ::unlink((work_dir + "/" + kJoinRecord).c_str());
        return {};
    }
    const uint64_t mean = record.count == 0 ? 0 : record.size / record.count;
    for (size_t i = 0; i < record.count; ++i) {
        parts.state[i] = PartState{true, true, std::max<uint64_t>(1, mean)};
        ::unlink(parts.path(i).c_str());
    }
    parts.count_known();
    debug_log("[dl] stream: an earlier join holds %zu parts (%llu bytes)", record.count,
              static_cast<unsigned long long>(record.size));
    return record;
}

// Copies `path` to the end of `out`. False when it cannot be read (`opened` false) or a write
// falls short, with errno's words in `reason`.
bool append_file(int out, const std::string& path, bool& opened, std::string& reason) {
    int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    opened = in >= 0;
    if (!opened) {
        reason = system_reason(errno);
        return false;
    }
    std::vector<char> buffer(kReadPiece);
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reason = system_reason(errno);
            opened = false; // a part that cannot be read counts as one that cannot be opened
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!write_all(out, std::string_view(buffer.data(), static_cast<size_t>(n)))) {
            reason = system_reason(errno);
            ok = false;
            break;
        }
    }
    ::close(in);
    return ok;
}

std::string with_reason(const char* text, const std::string& reason) {
    return reason.empty() ? text : std::string(text) + ": " + reason;
}

// The init file (when there is one) then every part, appended to the joined file from where the
// record says the last join stopped. Each part is flushed into the file and counted in the
// record before its part file is released. Empty on success. On failure the joined file is cut
// back to what the record holds (removed when it holds nothing), so a rerun joins the rest.
std::string concatenate(const std::string& work_dir, const std::string& init_path, PartTable& parts,
                        JoinRecord record) {
    const std::string joined_path = work_dir + "/" + kJoinFile;
    const int out = ::open(joined_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0) return with_reason("cannot open output", system_reason(errno));
    std::string failure, reason;
    // Flushes what was appended and counts it; only then may the parts in it be released.
    auto settle = [&](size_t count, const char* text) {
        const off_t end = ::lseek(out, 0, SEEK_CUR);
        if (end < 0 || ::fdatasync(out) != 0 ||
            !write_join_record(work_dir, count, static_cast<uint64_t>(end))) {
            failure = with_reason(text, system_reason(errno));
            return false;
        }
        record = JoinRecord{true, count, static_cast<uint64_t>(end)};
        return true;
    };
    if (::ftruncate(out, static_cast<off_t>(record.size)) != 0 ||
        ::lseek(out, static_cast<off_t>(record.size), SEEK_SET) < 0)
        failure = with_reason("cannot open output", system_reason(errno));
    bool opened = true;
    if (failure.empty() && !init_path.empty() && !record.present) {
        if (!append_file(out, init_path, opened, reason)) {
            failure = with_reason(opened ? "init write failed" : "init reopen failed", reason);
        } else {
            settle(0, "init write failed");
        }
    }
    // Parts appended since the last settle: released once they are counted.
    size_t batch_start = record.count;
    uint64_t batch_bytes = 0;
    for (size_t i = record.count; failure.empty() && i < parts.size(); ++i) {
        const std::string path = parts.path(i);
        if (!append_file(out, path, opened, reason)) {
            failure = with_reason(opened ? "concat write failed" : "concat read failed", reason);
            break;
        }
        batch_bytes += static_cast<uint64_t>(std::max<int64_t>(0, file_size(path)));
        const bool last = i + 1 == parts.size();
        if (!last && batch_bytes < kJoinBatchBytes && i + 1 - batch_start < kJoinBatchParts) continue;
        if (!settle(i + 1, "concat write failed")) break;
        for (size_t j = batch_start; j <= i; ++j) {
            parts.state[j].joined = true;
            ::unlink(parts.path(j).c_str());
        }
        batch_start = i + 1;
        batch_bytes = 0;
    }
    if (!failure.empty() && record.present) {
        // Back to what the record holds: the parts counted there live nowhere else now.
        if (::ftruncate(out, static_cast<off_t>(record.size)) != 0) {
            // The next run cuts it back before it appends.
        }
    }
    if (::close(out) != 0 && failure.empty())
        failure = with_reason("output close failed", system_reason(errno));
    if (!failure.empty() && !record.present) ::unlink(joined_path.c_str());
    return failure;
}

// What joining takes beyond what it frees: a concatenation releases the parts in batches, so
// it needs room for one batch (a batch ends with the part that reaches its size); a remux writes
// the whole file beside the parts.
uint64_t join_needs(const PartTable& parts, const std::string& video_init, const std::string& audio_init,
                    bool remux, const JoinRecord& record) {
    uint64_t largest = 0, sum = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts.state[i].joined) continue;
        const int64_t size = std::max<int64_t>(0, file_size(parts.path(i)));
        largest = std::max<uint64_t>(largest, static_cast<uint64_t>(size));
        sum += static_cast<uint64_t>(size);
    }
    const uint64_t inits = static_cast<uint64_t>(std::max<int64_t>(0, file_size(video_init))) +
                           static_cast<uint64_t>(std::max<int64_t>(0, file_size(audio_init)));
    if (remux) return sum + inits;
    return std::min(sum, kJoinBatchBytes + largest) + (record.present ? 0 : inits);
}

// Free bytes where the joined file grows; -1 when unknown.
int64_t free_space(const std::string& folder) {
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) != 0 || fs.f_frsize == 0) return -1;
    const uint64_t blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    return static_cast<int64_t>(std::min<uint64_t>(blocks * fs.f_frsize, INT64_MAX));
}

// Joins the parts into the joined file in the work folder. Empty on success; else the task's
// status text.
std::string join_tracks(const std::string& work_dir, bool video_init, bool audio_init, PartTable& parts,
                        bool separate_audio, const JoinRecord& record) {
    const std::string video_init_path = video_init ? work_dir + "/" + kVideoInit : "";
    const std::string audio_init_path = audio_init ? work_dir + "/" + kAudioInit : "";
    const uint64_t need = join_needs(parts, video_init_path, audio_init_path, separate_audio, record);
    const int64_t room = free_space(work_dir);
    if (room >= 0 && static_cast<uint64_t>(room) < need) {
        return "error: not enough space to join: need " + join_size_text(need) + ", " +
               join_size_text(static_cast<uint64_t>(room)) + " free";
    }
    if (!separate_audio) {
        const std::string failure = concatenate(work_dir, video_init_path, parts, record);
        return failure.empty() ? "" : "error: mux failed: " + failure;
    }
    std::vector<std::string> video, audio;
    for (size_t i = 0; i < parts.size(); ++i)
        (parts.part(i).audio ? audio : video).push_back(parts.path(i));
    std::string error;
    if (remux_tracks(work_dir + "/" + kJoinFile, video_init_path, video, audio_init_path, audio, error))
        return "";
    return "error: mux failed: " + (error.empty() ? std::string("remux failed") : error);
}

// Moves the joined file to the output path without replacing a file that appeared there
// meanwhile (then the next free name is taken). Empty on success; else the status text.
std::string place_output(Task& task, const std::string& joined, std::string& output,
                         const std::string& candidate) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::renameat2(AT_FDCWD, joined.c_str(), AT_FDCWD, output.c_str(), RENAME_NOREPLACE) == 0) {
            sync_folder(folder_of(output));
            return "";
        }
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without the no-replace rename: the name was free when it was chosen.
            if (::rename(joined.c_str(), output.c_str()) == 0) return "";
        }
        if (errno != EEXIST)
            return "error: mux failed: cannot move the joined file into place: " + system_reason(errno);
        output = set_output_path(task, candidate, true).first;
    }
    return "error: mux failed: cannot move the joined file into place: " + system_reason(EEXIST);
}

// Sets each progress segment to span its share of the finished file, in order and without gaps.
void rescale_progress(Task& task, PartTable& parts, uint64_t total) {
    std::lock_guard lock(task.segment_lock);
    const uint64_t laid = lay_out_locked(parts);
    uint64_t previous = 0;
    for (const auto& group : parts.groups) {
        Segment& segment = *group;
        const auto scaled = static_cast<uint64_t>(static_cast<unsigned __int128>(segment.end.load()) * total /
                                                  std::max<uint64_t>(1, laid));
        segment.start = previous;
        segment.end = scaled;
        segment.pos = scaled;
        previous = scaled;
    }
}

// The progress segments: one per part, or one per run of parts for a long stream. Returns the
// sum of their sizes.
uint64_t lay_out_progress(Task& task, PartTable& parts) {
    std::lock_guard lock(task.segment_lock);
    parts.per_group = std::max<size_t>(1, (parts.size() + kMaxProgressSegments - 1) / kMaxProgressSegments);
    const size_t count = (parts.size() + parts.per_group - 1) / parts.per_group;
    task.segments.clear();
    task.segments.reserve(count);
    parts.groups.clear();
    parts.in_flight.assign(count, 0);
    for (size_t g = 0; g < count; ++g) {
        auto segment = make_segment(0, 0, 0);
        segment->id = g + 1;
        parts.groups.push_back(segment);
        task.segments.push_back(std::move(segment));
    }
    return lay_out_locked(parts);
}

// Picks up the parts an earlier run of the same list left in `work_dir`, or starts the folder
// afresh with this list.
void prepare_work_dir(const std::string& work_dir, const std::string& signature, PartTable& parts) {
    const std::string list_path = work_dir + "/" + kListFile;
    if (is_file(list_path) && read_small_file(list_path) == signature) {
        size_t found = 0;
        for (size_t i = 0; i < parts.size(); ++i) {
            const int64_t size = file_size(parts.path(i));
            parts.state[i] = PartState{size >= 0, false, size > 0 ? static_cast<uint64_t>(size) : 0};
            found += size >= 0 ? 1 : 0;
        }
        parts.count_known();
        debug_log("[dl] stream: %zu of %zu parts already in %s", found, parts.size(), work_dir.c_str());
        return;
    }
    clear_work_dir(work_dir);
    write_file_atomically(list_path, signature);
}

// How a run that was stopped, or failed, ends: a pause or an error keeps the work folder for
// the next run; only a cancel removes it.
void finish_interrupted(Task& task, const std::string& work_dir) {
    if (task.status_is_error()) return;
    if (task.pause) {
        task.set_status("paused");
        return;
    }
    task.set_status("canceled");
    remove_work_dir(work_dir);
}

} // namespace

bool fetch_resource(Task& task, const std::string& url, int64_t range_offset, int64_t range_length,
                    std::string& body, std::string& error, FetchFailure* failure) {
    FetchFailure ignored;
    FetchFailure& verdict = failure ? *failure : ignored;
    verdict = FetchFailure{};
    HttpRequest request = transfer_request(task, url);
    request.method = "GET";
    request.body.clear();
    const bool ranged =
        range_length >= 1 && range_length <= kMaxRange && range_offset >= 0 && range_offset <= kMaxRange;
    if (ranged) {
        request.headers.emplace_back("Range", "bytes=" + std::to_string(range_offset) + "-" +
                                                  std::to_string(range_offset + range_length - 1));
    }
    HttpResponse response;
    TransportError transport;
    if (!http_exchange(request, response, transport)) {
        error = transport.text;
        verdict.permanent = transport.permanent();
        return false;
    }
    if (response.status < 200 || response.status > 299) {
        error = "http " + std::to_string(response.status);
        verdict.permanent = status_is_permanent(response.status);
        if (const std::string* wait = response.headers.find("Retry-After"))
            verdict.retry_after_ms = retry_after_ms(*wait, static_cast<int64_t>(std::time(nullptr)));
        return false;
    }
    // A 206 for bytes other than those asked for would put the wrong bytes into the file.
    if (ranged && response.status == 206 && response.range_start != range_offset) {
        error = "http 206 for another range";
        return false;
    }
    // Sized once when the length is known (a long playlist would otherwise be copied as it grows).
    if (response.content_length > 0)
        body.reserve(static_cast<size_t>(std::min<int64_t>(response.content_length, kMaxReserve)));
    BodyReader reader(response);
    char buffer[kReadPiece];
    for (;;) {
        int n = reader.read(buffer, sizeof buffer);
        if (n < 0) {
            error = "read error";
            return false;
        }
        if (n == 0) break;
        body.append(buffer, static_cast<size_t>(n));
        if (body.size() > kMaxBody) {
            error = "body over 2 GiB";
            verdict.permanent = true;
            return false;
        }
    }
    if (ranged && response.status == 200) {
        const auto offset = static_cast<size_t>(range_offset);
        if (offset >= body.size()) {
            body.clear();
        } else {
            body = body.substr(offset, static_cast<size_t>(range_length));
        }
    }
    return true;
}

void set_stream_timing(const StreamTiming& timing) {
    std::lock_guard lock(g_timing_lock);
    g_timing = timing;
}

int64_t retry_after_ms(std::string_view value, int64_t now) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    if (value.empty()) return -1;
    if (value.find_first_not_of("0123456789") == std::string_view::npos) {
        int64_t seconds = 0;
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (error == std::errc::result_out_of_range) return INT64_MAX;
        return error == std::errc() && end == value.data() + value.size() && seconds <= INT64_MAX / 1000
                   ? seconds * 1000
                   : INT64_MAX;
    }
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const size_t comma = value.find(", ");
    if (comma == std::string_view::npos) return -1;
    const std::string rest(value.substr(comma + 2));
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    char month[4] = {};
    int used = 0;
    if (std::sscanf(rest.c_str(), "%2d %3s %4d %2d:%2d:%2d GMT%n", &day, month, &year, &hour, &minute,
                    &second, &used) != 6 ||
        static_cast<size_t>(used) != rest.size())
        return -1;
    struct tm when {};
    when.tm_mon = -1;
    for (int m = 0; m < 12; ++m) {
        if (kMonths[m] == month) when.tm_mon = m;
    }
    if (when.tm_mon < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return -1;
    when.tm_mday = day;
    when.tm_year = year - 1900;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    const int64_t at = static_cast<int64_t>(::timegm(&when));
    return at <= now ? 0 : (at - now) * 1000;
}

bool parse_join_record(std::string_view text, size_t& count, uint64_t& size) {
    const size_t space = text.find(' ');
    if (space == std::string_view::npos || !text.ends_with('\n')) return false;
    const char* first = text.data();
    const char* count_end = first + space;
    const char* size_end = first + text.size() - 1;
    size_t parts = 0;
    uint64_t bytes = 0;
    auto [end_count, count_error] = std::from_chars(first, count_end, parts);
    auto [end_size, size_error] = std::from_chars(count_end + 1, size_end, bytes);
    if (count_error != std::errc() || size_error != std::errc() || end_count != count_end ||
        end_size != size_end)
        return false;
    count = parts;
    size = bytes;
    return true;
}

std::string join_size_text(uint64_t bytes) {
    static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    if (unit == 0) return std::to_string(bytes) + " B";
    // One decimal, rounded, written without the process locale.
    const auto tenths = static_cast<uint64_t>(value * 10 + 0.5);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + kUnits[unit];
}

std::string stream_base_name(std::string_view name) {
    name = name.substr(0, name.find_first_of("?#"));
    for (std::string_view ending : {".m3u8", ".mpd", ".ts", ".mp4", ".mkv", ".m4v", ".mov", ".m4s"}) {
        if (ends_with_ignoring_case(name, ending)) {
            name.remove_suffix(ending.size());
            break;
        }
    }
    return name.empty() ? "video" : std::string(name);
}

std::string stream_work_dir(std::string_view output_path) {
    size_t slash = output_path.rfind('/');
    std::string_view dir = slash == std::string_view::npos ? "." : output_path.substr(0, slash);
    std::string_view name = slash == std::string_view::npos ? output_path : output_path.substr(slash + 1);
    return std::string(dir) + "/." + std::string(name) + ".parts";
}

Decrypted decrypt_segment(std::string_view data, const std::array<uint8_t, 16>& key,
                          const std::array<uint8_t, 16>& iv, std::string& out) {
    if (data.empty() || data.size() % 16 != 0) return Decrypted::bad_length;
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    std::array<uint8_t, 16> chain = iv; // the cipher advances it
    out.assign(data.size(), '\0');
    bool ok = mbedtls_aes_setkey_dec(&aes, key.data(), 128) == 0 &&
              mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, data.size(), chain.data(),
                                    reinterpret_cast<const unsigned char*>(data.data()),
                                    reinterpret_cast<unsigned char*>(out.data())) == 0;
    mbedtls_aes_free(&aes);
    if (!ok) return Decrypted::bad_length;
    // A wrong key turns the last block into noise, which ends in valid padding about once in 256.
    const auto n = static_cast<uint8_t>(out.back());
    if (n < 1 || n > 16) return Decrypted::bad_padding;
    for (size_t i = out.size() - n; i < out.size(); ++i) {
        if (static_cast<uint8_t>(out[i]) != n) return Decrypted::bad_padding;
    }
    out.resize(out.size() - n);
    return Decrypted::ok;
}

namespace {

// Names the output and takes the work folder: an earlier run of the same part list is continued
// under its name; otherwise the first free name is used. False with the status set when another
// process holds the folder.
bool claim_work_dir(Task& task, const StreamJob& job, const std::string& signature, std::string& candidate,
                    std::string& output, std::string& work_dir, UniqueFd& lock) {
    candidate = folder_of(task.output_path()) + "/" + stream_base_name(task.name()) + "." + job.container;
    const std::string earlier = find_earlier_run(candidate, signature);
    // Named like plain downloads: another live task's path or a file already on disk is never
    // taken over; the next free " (N)" name is used instead.
    output = earlier.empty() ? set_output_path(task, candidate, true).first
                             : set_output_path(task, earlier, false).first;
    work_dir = stream_work_dir(output);
    bool busy = false;
    if (lock_work_dir(work_dir, lock, busy)) return true;
    task.set_status(busy ? "error: this stream is already being downloaded (" + work_dir + ")"
                         : "error: cannot create the work folder " + work_dir + ": " + system_reason(errno));
    return false;
}

} // namespace

void run_stream_task(const std::shared_ptr<Task>& task) {
    // A new run may open connections again (an earlier pause cancelled the task's sockets),
    // unless this one is being stopped already.
    task->canceller.reset();
    if (task->stop) task->interrupt();
    task->set_status("probing");
    std::string manifest, error;
    if (!fetch_resource(*task, task->request.url, -1, -1, manifest, error)) {
        task->set_status("error: manifest fetch failed: " + error);
        return;
    }
    StreamFetch fetch = [&task](const std::string& url, int64_t offset, int64_t length, std::string& body,
                                std::string& fetch_error) {
        return fetch_resource(*task, url, offset, length, body, fetch_error);
    };
    StreamJob job = read_stream_job(task->request.stream_type, task->request.url, manifest, fetch);
    manifest = std::string();
    if (!job.error.empty()) {
        task->set_status("error: " + job.error);
        return;
    }

    const std::string signature = job.signature();
    std::string candidate, output, work_dir;
    UniqueFd lock;
    if (!claim_work_dir(*task, job, signature, candidate, output, work_dir, lock)) return;
    task->supports_range = false;

    PartTable parts(job, work_dir);
    prepare_work_dir(work_dir, signature, parts);
    const JoinRecord record = resume_join(work_dir, parts);
    task->total = lay_out_progress(*task, parts);
    task->total_estimated = true;
    task->set_status("downloading");

    WorkerContext context(task, parts);
    const bool video_init = !job.video_init.uri.empty();
    const bool audio_init = job.separate_audio && !job.audio_init.uri.empty();
    // An init file already in the joined file is not needed again.
    if (video_init && !record.present &&
        !fetch_init(context, job.video_init, work_dir + "/" + kVideoInit, error)) {
        if (!task->stop) task->set_status(with_reason("error: init segment fetch failed", error));
        finish_interrupted(*task, work_dir);
        return;
    }
    if (audio_init && !fetch_init(context, job.audio_init, work_dir + "/" + kAudioInit, error)) {
        if (!task->stop) task->set_status(with_reason("error: audio init fetch failed", error));
        finish_interrupted(*task, work_dir);
        return;
    }

    run_workers(context, task->request.connections);
    {
        std::lock_guard segments(task->segment_lock);
        task->total = lay_out_locked(parts);
    }
    if (context.error || task->stop) {
        task->note_progress();
        finish_interrupted(*task, work_dir);
        return;
    }
    task->total_estimated = false;
    task->note_progress();

    task->set_status("muxing");
    std::string failure = join_tracks(work_dir, video_init, audio_init, parts, job.separate_audio, record);
    // A pause or cancel that came while joining: the task list will call the run paused or
    // cancelled, so it must not leave a file behind as if done. The join goes on from where it
    // stopped at the next run.
    if (failure.empty() && task->stop) {
        finish_interrupted(*task, work_dir);
        return;
    }
    if (failure.empty()) failure = place_output(*task, work_dir + "/" + kJoinFile, output, candidate);
    if (!failure.empty()) {
        debug_log("[dl] stream join failed: %s (parts kept in %s)", failure.c_str(), work_dir.c_str());
        task->set_status(failure);
        return;
    }
    const int64_t size = file_size(output);
    if (size > 0) task->total = static_cast<uint64_t>(size);
    rescale_progress(*task, parts, task->total);
    task->note_progress();
    remove_work_dir(work_dir);
    debug_log("[dl] stream done: %zu parts, %llu payload bytes -> %s", parts.size(),
              static_cast<unsigned long long>(context.payload.load()), output.c_str());
    task->set_status("done");
}

void clean_up_stream_task(const Task& task) { remove_work_dir(stream_work_dir(task.output_path())); }

TaskDrivers stream_drivers() {
    TaskDrivers drivers;
    drivers.stream = run_stream_task;
    drivers.stream_cleanup = clean_up_stream_task;
    return drivers;
}

} // namespace twk

#include "media/stream_driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <mbedtls/aes.h>

#include "core/naming.h"
#include "core/task.h"
#include "core/task_driver.h"
#include "core/transfer_request.h"
#include "media/mp4_remux.h"
#include "media/stream_job.h"
#include "net/body_reader.h"
#include "net/debug_log.h"
#include "net/file_io.h"
#include "net/http_exchange.h"

namespace twk {

namespace {

constexpr size_t kReadPiece = 65536;
// A body past this is refused rather than cut: a cut segment would join into a broken file.
constexpr uint64_t kMaxBody = uint64_t{1} << 31;
constexpr int64_t kMaxRange = int64_t{1} << 48;
constexpr int kAttempts = 3;
constexpr int kBackoffStepMs = 150;
constexpr const char* kListFile = "parts.list";
constexpr const char* kVideoInit = "v_init.mp4";
constexpr const char* kAudioInit = "a_init.mp4";

// Key URI to the first 16 bytes of its response, shared by the workers of one task.
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

struct PartEntry {
    StreamPart part;
    std::shared_ptr<Segment> progress;
    std::string path;
    bool finished = false; // found complete in the work folder of an earlier run
};

struct WorkerContext {
    WorkerContext(std::shared_ptr<Task> t, std::vector<PartEntry>& p) : task(std::move(t)), parts(p) {}
    std::shared_ptr<Task> task;
    std::vector<PartEntry>& parts;
    KeyCache keys;
    std::atomic<bool> error{false};
    std::atomic<uint64_t> next{0};
    std::atomic<uint64_t> payload{0};
};

// Writes the whole file under a temporary name and renames it into place, so that a part file
// that exists is always complete (a later run trusts it).
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

bool is_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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
    if (name == kListFile || name == kVideoInit || name == kAudioInit) return true;
    if (name.size() != 13 || (name[0] != 'v' && name[0] != 'a') || name[1] != '_' || !name.ends_with(".part"))
        return false;
    for (char c : name.substr(2, 6)) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Deletes the part files, initialisation files and part list, then the folder (only if that left
// it empty: a folder the user put something into stays).
void remove_work_dir(const std::string& dir) {
    if (DIR* handle = ::opendir(dir.c_str())) {
        std::vector<std::string> names;
        while (dirent* entry = ::readdir(handle)) {
            if (is_work_file(entry->d_name)) names.emplace_back(entry->d_name);
        }
        ::closedir(handle);
        for (const std::string& name : names)
            ::unlink((dir + "/" + name).c_str());
    }
    ::rmdir(dir.c_str());
}

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    return equals_ignoring_case(text.substr(text.size() - suffix.size()), suffix);
}

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

void sleep_ms(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool fetch_key(WorkerContext& context, const std::string& uri, std::array<uint8_t, 16>& key) {
    if (context.keys.find(uri, key)) return true;
    std::string body, error;
    if (!fetch_resource(*context.task, uri, -1, -1, body, error) || body.size() < key.size()) return false;
    std::copy(body.begin(), body.begin() + key.size(), key.begin());
    context.keys.store(uri, key);
    return true;
}

// Fetches (and decrypts) one part into its file. False with the reason in `error`.
bool fetch_part(WorkerContext& context, const PartEntry& entry, std::string& error) {
    const StreamPart& part = entry.part;
    std::string body;
    for (int attempt = 1;; ++attempt) {
        if (context.error || context.task->stop) return false;
        body.clear();
        if (fetch_resource(*context.task, part.uri, part.range_offset, part.range_length, body, error)) break;
        sleep_ms(kBackoffStepMs * attempt);
        if (attempt == kAttempts) return false;
    }
    if (part.encrypted) {
        std::array<uint8_t, 16> key{};
        if (!fetch_key(context, part.key_uri, key)) {
            error = "key fetch failed";
            return false;
        }
        std::string plain;
        if (!decrypt_segment(body, key, part.iv, plain)) {
            error = "decrypt failed";
            return false;
        }
        body.swap(plain);
    }
    if (!write_file_atomically(entry.path, body)) {
        error.clear();
        return false;
    }
    context.payload += body.size();
    return true;
}

void worker_loop(WorkerContext& context) {
    Task& task = *context.task;
    while (!context.error && !task.stop) {
        const uint64_t index = context.next.fetch_add(1);
        if (index >= context.parts.size()) return;
        PartEntry& entry = context.parts[index];
        if (entry.finished) continue;
        entry.progress->active = true;
        task.note_progress();
        std::string error;
        if (!fetch_part(context, entry, error)) {
            // A pause or cancel ends the fetch in flight; that is no failure of the part.
            if (task.stop) {
                entry.progress->active = false;
                return;
            }
            if (!context.error.exchange(true))
                task.set_status("error: segment " + std::to_string(index) + " failed: " + error);
            entry.progress->active = false;
            return;
        }
        entry.progress->pos = entry.progress->end.load();
        entry.progress->active = false;
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

bool fetch_init(Task& task, const StreamInit& init, const std::string& path) {
    std::string body, error;
    return fetch_resource(task, init.uri, init.range_offset, init.range_length, body, error) &&
           write_file_atomically(path, body);
}

// Copies `path` to the end of `out`. False when it cannot be opened (`opened` false) or a
// write falls short.
bool append_file(int out, const std::string& path, bool& opened) {
    int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    opened = in >= 0;
    if (!opened) return false;
    std::vector<char> buffer(kReadPiece);
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            opened = false; // a part that cannot be read counts as one that cannot be opened
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!write_all(out, std::string_view(buffer.data(), static_cast<size_t>(n)))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    return ok;
}

// The init file (when there is one) then every part, in order. Empty on success.
std::string concatenate(const std::string& output, const std::string& init_path,
                        const std::vector<PartEntry>& parts) {
    int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return "cannot open output";
    std::string failure;
    bool opened = true;
    if (!init_path.empty() && !append_file(out, init_path, opened))
        failure = opened ? "init write failed" : "init reopen failed";
    for (size_t i = 0; failure.empty() && i < parts.size(); ++i) {
        if (!append_file(out, parts[i].path, opened))
            failure = opened ? "concat write failed" : "concat read failed";
    }
    if (::close(out) != 0 && failure.empty()) failure = "output close failed";
    return failure;
}

std::string join_tracks(const std::string& output, const std::string& work_dir, bool video_init,
                        bool audio_init, const std::vector<PartEntry>& parts, bool separate_audio) {
    const std::string video_init_path = video_init ? work_dir + "/" + kVideoInit : "";
    if (!separate_audio) return concatenate(output, video_init_path, parts);
    std::vector<std::string> video, audio;
    for (const PartEntry& entry : parts)
        (entry.part.audio ? audio : video).push_back(entry.path);
    std::string error;
    if (remux_tracks(output, video_init_path, video, audio_init ? work_dir + "/" + kAudioInit : "", audio,
                     error))
        return "";
    return error.empty() ? "remux failed" : error;
}

// Sets each progress segment to span its share of the finished file, in order and without gaps.
void rescale_progress(Task& task, const std::vector<PartEntry>& parts, uint64_t estimated, uint64_t total) {
    std::lock_guard lock(task.segment_lock);
    uint64_t previous = 0;
    for (const PartEntry& entry : parts) {
        Segment& segment = *entry.progress;
        const auto scaled = static_cast<uint64_t>(static_cast<unsigned __int128>(segment.end.load()) * total /
                                                  std::max<uint64_t>(1, estimated));
        segment.start = previous;
        segment.end = scaled;
        segment.pos = scaled;
        previous = scaled;
    }
}

// The progress segments, one per part, laid end to end by their estimates. Returns the sum.
uint64_t lay_out_progress(Task& task, std::vector<PartEntry>& parts) {
    std::lock_guard lock(task.segment_lock);
    task.segments.clear();
    uint64_t running = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const auto estimate = static_cast<uint64_t>(parts[i].part.estimate);
        auto segment =
            make_segment(running, parts[i].finished ? running + estimate : running, running + estimate);
        segment->id = i + 1;
        parts[i].progress = segment;
        task.segments.push_back(segment);
        running += estimate;
    }
    return running;
}

// Picks up the parts an earlier run of the same list left in `work_dir`, or starts the folder
// afresh with this list.
void prepare_work_dir(const std::string& work_dir, const std::string& signature,
                      std::vector<PartEntry>& parts) {
    const std::string list_path = work_dir + "/" + kListFile;
    if (is_file(list_path) && read_small_file(list_path) == signature) {
        size_t found = 0;
        for (PartEntry& entry : parts) {
            entry.finished = is_file(entry.path);
            found += entry.finished ? 1 : 0;
        }
        debug_log("[dl] stream: %zu of %zu parts already in %s", found, parts.size(), work_dir.c_str());
        return;
    }
    remove_work_dir(work_dir);
    make_dirs(work_dir);
    write_file_atomically(list_path, signature);
}

// How a run that was stopped, or failed, ends: a pause keeps the work folder for the next run.
void finish_interrupted(Task& task, const std::string& work_dir, bool failed) {
    if (task.pause && !failed) {
        task.set_status("paused");
        return;
    }
    if (!task.status_is_error()) task.set_status("canceled");
    remove_work_dir(work_dir);
}

} // namespace

bool fetch_resource(Task& task, const std::string& url, int64_t range_offset, int64_t range_length,
                    std::string& body, std::string& error) {
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
    if (!http_exchange(request, response, error)) return false;
    if (response.status < 200 || response.status > 299) {
        error = "http " + std::to_string(response.status);
        return false;
    }
    // A 206 for bytes other than those asked for would put the wrong bytes into the file.
    if (ranged && response.status == 206 && response.range_start != range_offset) {
        error = "http 206 for another range";
        return false;
    }
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

bool decrypt_segment(std::string_view data, const std::array<uint8_t, 16>& key,
                     const std::array<uint8_t, 16>& iv, std::string& out) {
    if (data.empty() || data.size() % 16 != 0) return false;
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    std::array<uint8_t, 16> chain = iv; // the cipher advances it
    out.assign(data.size(), '\0');
    bool ok = mbedtls_aes_setkey_dec(&aes, key.data(), 128) == 0 &&
              mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, data.size(), chain.data(),
                                    reinterpret_cast<const unsigned char*>(data.data()),
                                    reinterpret_cast<unsigned char*>(out.data())) == 0;
    mbedtls_aes_free(&aes);
    if (!ok) return false;
    const auto n = static_cast<uint8_t>(out.back());
    if (n >= 1 && n <= 16) {
        bool padding = true;
        for (size_t i = out.size() - n; i < out.size(); ++i)
            padding = padding && static_cast<uint8_t>(out[i]) == n;
        if (padding) out.resize(out.size() - n);
    }
    return true;
}

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
    if (!job.error.empty()) {
        task->set_status("error: " + job.error);
        return;
    }

    // Named like plain downloads: another live task's path or a file already on disk is never
    // taken over; the next free " (N)" name is used instead.
    const std::string candidate =
        folder_of(task->output_path()) + "/" + stream_base_name(task->name()) + "." + job.container;
    const std::string output = set_output_path(*task, candidate, true).first;
    const std::string work_dir = stream_work_dir(output);
    task->supports_range = false;

    std::vector<PartEntry> parts;
    parts.reserve(job.parts.size());
    for (StreamPart& part : job.parts) {
        std::string path = work_dir + "/" + part.file_name();
        parts.push_back(PartEntry{std::move(part), nullptr, std::move(path), false});
    }
    prepare_work_dir(work_dir, job.signature(), parts);
    const uint64_t estimated = lay_out_progress(*task, parts);
    task->total = estimated;
    task->set_status("downloading");

    const bool video_init = !job.video_init.uri.empty();
    const bool audio_init = job.separate_audio && !job.audio_init.uri.empty();
    if (video_init && !fetch_init(*task, job.video_init, work_dir + "/" + kVideoInit)) {
        task->set_status("error: init segment fetch failed");
        remove_work_dir(work_dir);
        return;
    }
    if (audio_init && !fetch_init(*task, job.audio_init, work_dir + "/" + kAudioInit)) {
        task->set_status("error: audio init fetch failed");
        remove_work_dir(work_dir);
        return;
    }

    WorkerContext context(task, parts);
    run_workers(context, task->request.connections);
    if (context.error || task->stop) {
        finish_interrupted(*task, work_dir, context.error);
        return;
    }

    task->set_status("muxing");
    std::string failure = join_tracks(output, work_dir, video_init, audio_init, parts, job.separate_audio);
    if (!failure.empty()) {
        task->set_status("error: mux failed: " + failure);
        remove_work_dir(work_dir);
        return;
    }
    // A pause or cancel that came while joining: the task list will call the run paused or
    // cancelled, so it must not leave a file behind as if done. A pause keeps the parts, and the
    // next run joins them again at the same name.
    if (task->stop) {
        ::unlink(output.c_str());
        finish_interrupted(*task, work_dir, false);
        return;
    }
    struct stat st {};
    if (::stat(output.c_str(), &st) == 0 && st.st_size > 0) task->total = static_cast<uint64_t>(st.st_size);
    rescale_progress(*task, parts, estimated, task->total);
    task->note_progress();
    remove_work_dir(work_dir);
    debug_log("[dl] stream done: %zu parts, %llu payload bytes -> %s", parts.size(),
              static_cast<unsigned long long>(context.payload.load()), output.c_str());
    task->set_status("done");
}

void install_stream_driver() {
    set_stream_driver(&run_stream_task,
                      [](const Task& task) { remove_work_dir(stream_work_dir(task.output_path())); });
}

} // namespace twk

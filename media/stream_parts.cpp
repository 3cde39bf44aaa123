#include "media/stream_parts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/naming.h"
#include "net/debug_log.h"
#include "net/http_message.h" // equals_ignoring_case

namespace twk {

namespace {

constexpr size_t kReadPiece = 65536;
// Numbered names (" (N)") looked at for the work folder of an earlier run.
constexpr int kMaxEarlierNames = 1000;

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

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    return equals_ignoring_case(text.substr(text.size() - suffix.size()), suffix);
}

} // namespace

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

int64_t file_size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

void PartTable::count_known() {
    known_bytes = known_count = 0;
    for (const PartState& part : state) {
        if (part.finished && part.size > 0) {
            known_bytes += part.size;
            ++known_count;
        }
    }
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

} // namespace twk

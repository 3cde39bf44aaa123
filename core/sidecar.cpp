#include "core/sidecar.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "net/file_io.h"

namespace twk {

namespace {

struct Record {
    uint64_t start;
    uint64_t pos;
    uint64_t end;
};

void put_u64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint64_t get_u64(std::string_view in, size_t at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(in[at + i]);
    return value;
}

bool read_file(const std::string& path, size_t limit, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= limit;
    if (ok) {
        out.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < out.size()) {
            ssize_t n = ::read(fd, out.data() + got, out.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        ok = got == out.size();
    }
    ::close(fd);
    return ok;
}

} // namespace

std::string sidecar_image(const ResumeState& state) {
    size_t length = std::min(state.validator.size(), kMaxValidatorLength);
    std::string image(kSidecarMagic);
    image += static_cast<char>(length & 0xFF);
    image += static_cast<char>(length >> 8);
    image.append(state.validator, 0, length);
    for (const auto& segment : state.segments) {
        uint64_t end = segment->end.load();
        put_u64(image, segment->start);
        put_u64(image, std::min(segment->pos.load(), end));
        put_u64(image, end);
    }
    return image;
}

std::optional<ResumeState> parse_sidecar(std::string_view image, uint64_t output_size) {
    if (image.size() > kMaxSidecarSize) return std::nullopt;
    ResumeState state;
    size_t records_at = 0;
    if (image.size() > 5 && image.starts_with(kSidecarMagic)) {
        size_t length = static_cast<unsigned char>(image[4]) | (static_cast<unsigned char>(image[5]) << 8);
        if (image.size() < length + 6) return std::nullopt;
        state.validator = image.substr(6, length);
        records_at = length + 6;
    }
    size_t area = image.size() - records_at;
    if (area < 1 || area > kMaxRecordArea || area % kSidecarRecordSize != 0) return std::nullopt;

    std::vector<Record> records;
    for (size_t at = records_at; at < image.size(); at += kSidecarRecordSize) {
        Record r{get_u64(image, at), get_u64(image, at + 8), get_u64(image, at + 16)};
        r.pos = std::min(r.pos, r.end);
        if (r.pos < r.start) return std::nullopt;
        records.push_back(r);
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const Record& a, const Record& b) { return a.start < b.start; });
    uint64_t expected_start = 0;
    uint64_t largest_pos = 0;
    for (const Record& r : records) {
        if (r.start != expected_start) return std::nullopt; // a gap or an overlap
        expected_start = r.end;
        largest_pos = std::max(largest_pos, r.pos);
    }
    state.total = records.back().end;
    if (state.total == 0 || largest_pos > output_size) return std::nullopt;
    for (const Record& r : records)
        state.segments.push_back(make_segment(r.start, r.pos, r.end));
    return state;
}

bool is_own_sidecar(const std::string& path) {
    std::string image;
    return read_file(path, kMaxSidecarSize, image) && parse_sidecar(image, UINT64_MAX).has_value();
}

void remove_sidecar(const std::string& path) {
    if (is_own_sidecar(path)) ::unlink(path.c_str());
}

namespace {

// "<sidecar name>.tmp-" and six letters or digits: a name mkstemp gave a save of ours.
bool temporary_name_of(std::string_view entry, std::string_view sidecar_name) {
    constexpr std::string_view kSuffix = ".tmp-";
    if (entry.size() != sidecar_name.size() + kSuffix.size() + 6 || !entry.starts_with(sidecar_name))
        return false;
    entry.remove_prefix(sidecar_name.size());
    if (!entry.starts_with(kSuffix)) return false;
    entry.remove_prefix(kSuffix.size());
    return std::all_of(entry.begin(), entry.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

// A temporary sidecar of ours, whole or cut short: this user's regular 0600 file whose bytes are
// a sidecar, or its beginning.
bool own_temporary(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 07777) != 0600 || static_cast<uint64_t>(st.st_size) > kMaxSidecarSize)
        return false;
    std::string image;
    if (!read_file(path, kMaxSidecarSize, image)) return false;
    const size_t head = std::min(image.size(), kSidecarMagic.size());
    return image.compare(0, head, kSidecarMagic.substr(0, head)) == 0;
}

} // namespace

void remove_stale_sidecar_temporaries(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir)) {
        if (!temporary_name_of(entry->d_name, name)) continue;
        const std::string candidate = folder + "/" + entry->d_name;
        if (own_temporary(candidate)) stale.push_back(candidate);
    }
    ::closedir(dir);
    for (const std::string& file : stale)
        ::unlink(file.c_str());
}

bool save_sidecar(const RunContext& task, std::string_view validator) {
    if (!task.progress.supports_range || task.progress.total == 0) return false;
    struct stat st {};
    if (::lstat(task.progress.sidecar_path().c_str(), &st) == 0 &&
        !is_own_sidecar(task.progress.sidecar_path())) {
        errno = EEXIST;
        return false;
    }
    std::string image;
    {
        std::lock_guard lock(task.progress.segment_lock);
        ResumeState state{task.progress.segments, task.progress.total, std::string(validator)};
        image = sidecar_image(state);
    }
    return write_private_file(task.progress.sidecar_path(), image, nullptr, FolderOwner::kUser);
}

std::optional<ResumeState> load_sidecar(const std::string& sidecar_path, const std::string& output_path) {
    struct stat st {};
    if (::stat(output_path.c_str(), &st) != 0) return std::nullopt;
    std::string image;
    if (!read_file(sidecar_path, kMaxSidecarSize, image)) return std::nullopt;
    return parse_sidecar(image, static_cast<uint64_t>(st.st_size));
}

} // namespace twk

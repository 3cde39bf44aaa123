#include "media/stream_join.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

#include "core/naming.h"
#include "core/task.h"
#include "media/mp4_remux.h"
#include "net/debug_log.h"
#include "net/file_io.h"
#include "net/socket.h" // system_reason

namespace twk {

namespace {

constexpr size_t kReadPiece = 65536;
// The join flushes the file and releases the parts in it once this much or this many parts
// were appended since the last time (and at the end): a flush per part would make a stream of
// many small parts slow to join.
constexpr uint64_t kJoinBatchBytes = uint64_t{4} << 20;
constexpr size_t kJoinBatchParts = 64;

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
        // A part left out (the task skips bad segments) adds nothing.
        if (!parts.state[i].skipped && !append_file(out, path, opened, reason)) {
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

} // namespace

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

std::string with_reason(const char* text, const std::string& reason) {
    return reason.empty() ? text : std::string(text) + ": " + reason;
}

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
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!parts.state[i].skipped) (parts.part(i).audio ? audio : video).push_back(parts.path(i));
    }
    std::string error;
    if (remux_tracks(work_dir + "/" + kJoinFile, video_init_path, video, audio_init_path, audio, error))
        return "";
    return "error: mux failed: " + (error.empty() ? std::string("remux failed") : error);
}

std::string place_output(const RunContext& task, const std::string& joined, std::string& output,
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

} // namespace twk

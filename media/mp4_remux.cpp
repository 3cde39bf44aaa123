#include "media/mp4_remux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "media/mp4_boxes.h"
#include "media/mp4_moov.h"

namespace twk {

namespace {

// Short ranges of sample data (and all of them where the kernel cannot copy) pass through one
// buffer of this size, so that reads and writes are as large as the layout of the samples allows.
constexpr size_t kCopyBufferSize = size_t{8} << 20;
// Ranges of sample data at least this long are copied by the kernel (copy_file_range), without
// passing through this process, where the file systems allow it; that saves a copy of every byte
// and lets file systems that can share blocks do so.
constexpr uint64_t kKernelCopyMin = uint64_t{16} << 10;
constexpr size_t kMaxKernelCopy = size_t{1} << 30;
// The largest `moov` or `moof` box the streamed reading holds in memory. Real ones hold a few
// KiB of tables; a larger one is treated as unreadable.
constexpr uint64_t kMaxIndexBoxSize = uint64_t{64} << 20;

const std::string kWriteFailed = "write failed (disk full?)";

// A part or init file opened for positional reads.
class InputFile {
public:
    InputFile() = default;
    ~InputFile() { close(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool open(const std::string& path) {
        close();
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            close();
            return false;
        }
        m_size = static_cast<uint64_t>(st.st_size);
        return true;
    }
    void close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        m_size = 0;
    }
    uint64_t size() const { return m_size; }
    int fd() const { return m_fd; }

    // All `length` bytes at `offset`, else false.
    bool read(uint64_t offset, char* out, size_t length) const {
        while (length > 0) {
            ssize_t n = ::pread(m_fd, out, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            out += n;
            length -= static_cast<size_t>(n);
            offset += static_cast<uint64_t>(n);
        }
        return true;
    }

private:
    int m_fd = -1;
    uint64_t m_size = 0;
};

bool read_whole(const std::string& path, std::string& out) {
    InputFile file;
    if (!file.open(path)) return false;
    out.resize(file.size());
    return file.read(0, out.data(), out.size());
}

// Calls `visit(header, box start)` for each top-level box of `file`, reading only the headers,
// with the size rules of the in-memory walk. `visit` returns false to stop; false when a header
// could not be read.
template <typename Visit> bool walk_boxes(const InputFile& file, Visit visit) {
    uint64_t at = 0;
    while (at < file.size()) {
        char head[16];
        size_t length = static_cast<size_t>(std::min<uint64_t>(16, file.size() - at));
        if (!file.read(at, head, length)) return false;
        auto header = read_box_header(std::string_view(head, length), file.size() - at);
        if (!header || !visit(*header, at)) return true;
        at += header->box_size;
    }
    return true;
}

bool is_type(const BoxHeader& header, std::string_view type) {
    return std::string_view(header.type.data(), 4) == type;
}

// The track description from the top-level `moov` of a file, reading only that box.
bool read_track_info_from(const InputFile& file, TrackInfo& info) {
    std::string moov;
    bool read = walk_boxes(file, [&](const BoxHeader& header, uint64_t at) {
        if (!is_type(header, "moov")) return true;
        if (header.box_size <= kMaxIndexBoxSize) {
            moov.resize(header.box_size);
            if (!file.read(at, moov.data(), moov.size())) moov.clear();
        }
        return false;
    });
    return read && read_track_info(moov, info);
}

// One track as the remux collects it.
struct Track {
    const std::vector<std::string>* paths = nullptr;
    std::vector<std::string> contents; // the part files, when read whole
    TrackInfo info;
    std::vector<Sample> samples;
    uint64_t data_size = 0;
};

class Remux {
public:
    Remux(RemuxReading reading, std::string& error)
        : m_reading(reading), m_error(error), m_kernel_copy(reading == RemuxReading::streamed) {}

    bool check_parts(Track& track) {
        for (const std::string& path : *track.paths) {
            if (m_reading == RemuxReading::whole_files) {
                track.contents.emplace_back();
                if (!read_whole(path, track.contents.back())) return fail_read(path);
            } else {
                InputFile file;
                if (!file.open(path)) return fail_read(path);
            }
        }
        return true;
    }

    bool load_info(Track& track, const std::string& init_path, const char* init_error,
                   const char* moov_error) {
        if (!init_path.empty()) {
            if (!info_from_file(init_path, track.info)) return fail(init_error);
        } else if (m_reading == RemuxReading::whole_files) {
            if (!read_track_info(track.contents.front(), track.info)) return fail(moov_error);
        } else if (!info_from_file(track.paths->front(), track.info)) {
            return fail(moov_error);
        }
        return true;
    }

    bool collect_samples(Track& track, bool video) {
        const uint32_t fallback = fallback_duration(track.info, video);
        for (size_t i = 0; i < track.paths->size(); ++i) {
            const uint32_t part = static_cast<uint32_t>(i);
            if (m_reading == RemuxReading::whole_files) {
                read_fragments(track.contents[i], track.info, fallback, part, track.samples);
            } else if (!scan_fragments(track, i, fallback)) {
                return fail_read((*track.paths)[i]);
            }
        }
        for (const Sample& s : track.samples)
            track.data_size += s.size;
        return true;
    }

    // Copies the sample data of `track` to the output through the copy buffer.
    bool copy_samples(const Track& track, int out) {
        InputFile file;
        size_t open_part = SIZE_MAX;
        size_t i = 0;
        while (i < track.samples.size()) {
            // Samples that follow one another in their part are copied as one range.
            const Sample& first = track.samples[i];
            uint64_t start = static_cast<uint64_t>(first.offset);
            uint64_t end = start + first.size;
            for (++i; i < track.samples.size(); ++i) {
                const Sample& s = track.samples[i];
                if (s.part != first.part || static_cast<uint64_t>(s.offset) != end) break;
                end += s.size;
            }
            const std::string& path = (*track.paths)[first.part];
            if (m_reading != RemuxReading::whole_files) {
                if (open_part != first.part && !file.open(path)) return fail_read(path);
                open_part = first.part;
                if (m_kernel_copy && end - start >= kKernelCopyMin &&
                    !kernel_copy(file, path, start, end, out)) {
                    return false;
                }
            }
            while (start < end) {
                size_t n = static_cast<size_t>(std::min<uint64_t>(end - start, m_capacity - m_filled));
                char* to = m_buffer.get() + m_filled;
                if (m_reading == RemuxReading::whole_files) {
                    std::memcpy(to, track.contents[first.part].data() + start, n);
                } else if (!file.read(start, to, n)) {
                    return fail_read(path);
                }
                m_filled += n;
                start += n;
                if (m_filled == m_capacity && !flush(out)) return false;
            }
        }
        return true;
    }

    bool write_output(const std::string& path, const Track& video, const Track* audio) {
        const uint64_t video_offset = kFtypSize + kMdatHeaderSize;
        const uint64_t audio_offset = video_offset + video.data_size;
        const uint64_t mdat_size = kMdatHeaderSize + video.data_size + (audio ? audio->data_size : 0);
        MovieTrack video_track{&video.info, &video.samples, video_offset};
        MovieTrack audio_track{audio ? &audio->info : nullptr, audio ? &audio->samples : nullptr,
                               audio_offset};
        const std::string moov = moov_box(video_track, audio ? &audio_track : nullptr);
        const uint64_t total = kFtypSize + mdat_size + moov.size();

        int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) return fail("cannot open output");
        m_capacity = static_cast<size_t>(std::min<uint64_t>(kCopyBufferSize, total));
        m_buffer.reset(new char[m_capacity]);
        bool ok = check_room(out, total) && append(out, ftyp_box()) && append(out, mdat_header(mdat_size)) &&
                  copy_samples(video, out) && (!audio || copy_samples(*audio, out)) && append(out, moov) &&
                  flush(out);
        if (ok && m_written != total) ok = fail(kWriteFailed);
        if (::close(out) != 0 && ok) ok = fail(kWriteFailed);
        m_buffer.reset();
        if (!ok) ::unlink(path.c_str());
        return ok;
    }

private:
    bool fail(const std::string& message) {
        m_error = message;
        return false;
    }
    bool fail_read(const std::string& path) { return fail("read part failed: " + path); }

    bool info_from_file(const std::string& path, TrackInfo& info) {
        if (m_reading == RemuxReading::whole_files) {
            std::string data;
            return read_whole(path, data) && read_track_info(data, info);
        }
        InputFile file;
        return file.open(path) && read_track_info_from(file, info);
    }

    // The samples of one part, reading only its box headers and its `moof` boxes.
    bool scan_fragments(Track& track, size_t index, uint32_t fallback) {
        InputFile file;
        if (!file.open((*track.paths)[index])) return false;
        FragmentContext context{&track.info, fallback, static_cast<uint32_t>(index), file.size()};
        std::string moof;
        bool read_failed = false;
        bool walked = walk_boxes(file, [&](const BoxHeader& header, uint64_t at) {
            if (!is_type(header, "moof") || header.box_size > kMaxIndexBoxSize) return true;
            moof.resize(header.box_size);
            if (!file.read(at, moof.data(), moof.size())) {
                read_failed = true;
                return false;
            }
            read_moof(moof, static_cast<int64_t>(at), context, track.samples);
            return track.samples.size() < kMaxTrackSamples;
        });
        return walked && !read_failed;
    }

    // A disk without room for the whole file fails now rather than after most of the copying.
    // (Reserving the space with fallocate would do the same but makes the writes markedly slower
    // on ext4.) When the free space is unknown, the writes tell.
    bool check_room(int out, uint64_t total) {
        struct statvfs fs {};
        if (::fstatvfs(out, &fs) != 0 || fs.f_frsize == 0) return true;
        uint64_t free_blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
        if (free_blocks < total / fs.f_frsize) return fail(kWriteFailed);
        return true;
    }

    // Copies [start, end) of `file` to the output by the kernel, after what the copy buffer
    // holds. When the kernel cannot copy between these two files, kernel copies are turned off
    // and `start` tells the buffered copy where to go on; it reports any real read or write
    // error itself.
    bool kernel_copy(const InputFile& file, const std::string& path, uint64_t& start, uint64_t end, int out) {
        if (!flush(out)) return false;
        while (start < end) {
            loff_t from = static_cast<loff_t>(start);
            size_t length = static_cast<size_t>(std::min<uint64_t>(end - start, kMaxKernelCopy));
            ssize_t n = ::copy_file_range(file.fd(), &from, out, nullptr, length, 0);
            if (n > 0) {
                start += static_cast<uint64_t>(n);
                m_written += static_cast<uint64_t>(n);
                continue;
            }
            if (n == 0) return fail_read(path); // the part is shorter than its first reading said
            if (errno == EINTR) continue;
            if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) return fail(kWriteFailed);
            m_kernel_copy = false;
            return true;
        }
        return true;
    }

    bool write_all(int out, const char* data, size_t length) {
        while (length > 0) {
            ssize_t n = ::write(out, data, length);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return fail(kWriteFailed);
            data += n;
            length -= static_cast<size_t>(n);
            m_written += static_cast<uint64_t>(n);
        }
        return true;
    }

    bool flush(int out) {
        bool ok = write_all(out, m_buffer.get(), m_filled);
        m_filled = 0;
        return ok;
    }

    // Small boxes go through the copy buffer like sample data.
    bool append(int out, const std::string& bytes) {
        if (m_filled + bytes.size() > m_capacity && !flush(out)) return false;
        if (bytes.size() >= m_capacity) return write_all(out, bytes.data(), bytes.size());
        std::memcpy(m_buffer.get() + m_filled, bytes.data(), bytes.size());
        m_filled += bytes.size();
        return true;
    }

    RemuxReading m_reading;
    std::string& m_error;
    std::unique_ptr<char[]> m_buffer;
    size_t m_capacity = 0;
    size_t m_filled = 0;
    uint64_t m_written = 0;
    bool m_kernel_copy;
};

} // namespace

bool remux_tracks(const std::string& output_path, const std::string& video_init_path,
                  const std::vector<std::string>& video_part_paths, const std::string& audio_init_path,
                  const std::vector<std::string>& audio_part_paths, std::string& error,
                  RemuxReading reading) {
    Remux remux(reading, error);
    Track video, audio;
    video.paths = &video_part_paths;
    audio.paths = &audio_part_paths;
    const bool has_audio = !audio_part_paths.empty() || !audio_init_path.empty();

    if (!remux.check_parts(video) || (has_audio && !remux.check_parts(audio))) return false;
    if (video_init_path.empty() && video_part_paths.empty()) {
        error = "no video data";
        return false;
    }
    if (!remux.load_info(video, video_init_path, "parse video init failed", "parse video moov failed"))
        return false;
    if (has_audio &&
        !remux.load_info(audio, audio_init_path, "parse audio init failed", "parse audio moov failed")) {
        return false;
    }
    if (!remux.collect_samples(video, true) || (has_audio && !remux.collect_samples(audio, false)))
        return false;
    if (video.samples.empty()) {
        error = "no video samples parsed";
        return false;
    }
    const bool write_audio = has_audio && !audio.samples.empty();
    return remux.write_output(output_path, video, write_audio ? &audio : nullptr);
}

} // namespace twk

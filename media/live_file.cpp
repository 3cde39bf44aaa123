#include "media/live_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/naming.h"
#include "core/task.h"
#include "media/mp4_boxes.h"
#include "media/stream_parts.h" // file_size, stream_base_name
#include "net/debug_log.h"
#include "net/file_io.h"
#include "net/socket.h" // system_reason

namespace twk {

namespace {

// The initialisation segment at the head of a recording is read back up to this size.
constexpr uint64_t kLongestInit = 16u << 20;

} // namespace

bool LiveFile::open(const std::string& container) {
    const RunContext& task = m_task;
    // A run after a pause appends to the file the earlier run of this task created.
    const std::string earlier = task.progress.output_path();
    m_rejoined = false;
    if (task.progress.live.active && task.progress.created_output && task.progress.live.next_sequence >= 0 &&
        ::access(earlier.c_str(), F_OK) == 0) {
        m_out = UniqueFd(::open(earlier.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
        if (m_out.get() < 0) {
            task.progress.set_failure("error: cannot open " + earlier + ": " + system_reason(errno),
                                      FailureCategory::kIo);
            return false;
        }
        m_size = static_cast<uint64_t>(std::max<int64_t>(0, file_size(earlier)));
        m_rejoined = true;
    } else {
        const std::string candidate = folder_of(task.progress.output_path()) + "/" +
                                      stream_base_name(task.progress.name()) + "." + container;
        const std::string output = set_output_path(task, candidate, true).first;
        m_out = UniqueFd(::open(output.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (m_out.get() < 0) {
            task.progress.set_failure("error: cannot create " + output + ": " + system_reason(errno),
                                      FailureCategory::kIo);
            return false;
        }
        task.progress.created_output = true;
        task.progress.live.recorded_ms = 0;
        task.progress.live.next_sequence = -1;
        task.progress.live.gaps = 0;
        task.progress.live.gap_ms = 0;
        task.progress.live.init_digest = 0;
    }
    if (!lock_output(m_out.get())) {
        task.progress.set_failure("error: this stream is already being recorded (" +
                                      task.progress.output_path() + ")",
                                  FailureCategory::kOther);
        return false;
    }
    if (m_rejoined) {
        // The recording holds the bytes up to its place in the stream; a process killed while it
        // appended may have left part of a segment beyond them, which would end the file in
        // garbage with the next segment after it.
        uint64_t recorded = 0;
        {
            std::lock_guard lock(task.progress.segment_lock);
            if (!task.progress.segments.empty()) recorded = task.progress.segments.front()->pos;
        }
        if (recorded > 0 && recorded < m_size) {
            debug_log("[dl] live: cutting %llu bytes no segment accounts for off %s",
                      static_cast<unsigned long long>(m_size - recorded),
                      task.progress.output_path().c_str());
            if (::ftruncate(m_out.get(), static_cast<off_t>(recorded)) != 0) {
                task.progress.set_failure("error: cannot write " + task.progress.output_path() + ": " +
                                              system_reason(errno),
                                          FailureCategory::kIo);
                return false;
            }
            m_size = recorded;
        }
    }
    task.progress.live.active = true;
    task.progress.total = 0;
    task.progress.total_estimated = false;
    task.progress.supports_range = false;
    {
        std::lock_guard lock(task.progress.segment_lock);
        task.progress.segments.clear();
        task.progress.segments.push_back(make_segment(0, m_size, kUnknownEnd));
    }
    return true;
}

bool LiveFile::append(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_out.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
        m_size += static_cast<uint64_t>(n);
    }
    return true;
}

std::string LiveFile::recorded_init() const {
    std::string head;
    uint64_t at = 0;
    while (at < m_size && at < kLongestInit) {
        char bytes[16];
        const ssize_t n = ::pread(m_out.get(), bytes, sizeof bytes, static_cast<off_t>(at));
        if (n < 8) break;
        const auto header = read_box_header(std::string_view(bytes, static_cast<size_t>(n)), m_size - at);
        if (!header) break;
        const std::string_view type(header->type.data(), 4);
        if (type == "moof" || type == "mdat" || at + header->box_size > kLongestInit) break;
        const size_t old = head.size();
        head.resize(old + header->box_size);
        if (::pread(m_out.get(), head.data() + old, header->box_size, static_cast<off_t>(at)) !=
            static_cast<ssize_t>(header->box_size)) {
            head.resize(old);
            break;
        }
        at += header->box_size;
    }
    return head;
}

void LiveFile::sync() { ::fsync(m_out.get()); }

void LiveFile::remove() {
    const std::string path = m_task.progress.output_path();
    m_out = UniqueFd();
    ::unlink(path.c_str());
}

} // namespace twk

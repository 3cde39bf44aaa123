#include "core/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net/debug_log.h"
#include "net/file_io.h"
#include "net/text.h"

namespace twk {

int open_output(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); }

void create_parent_folders(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos || slash == 0) return;
    make_folders(path.substr(0, slash));
}

bool grow_output(int fd, uint64_t size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (static_cast<uint64_t>(st.st_size) >= size) return true;
    if (::fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0) return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) return false;
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

bool write_at(int fd, const char* data, size_t length, uint64_t offset) {
    const uint64_t first_chunk = offset / kWriteBackChunk;
    const uint64_t end_chunk = (offset + length) / kWriteBackChunk;
    while (length > 0) {
        size_t piece = std::min(length, kMaxWritePiece);
        ssize_t n = ::pwrite(fd, data, piece, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    if (end_chunk > first_chunk) {
        // Only a start: the pages go to disk in the background while the download goes on.
        ::sync_file_range(fd, static_cast<off_t>(first_chunk * kWriteBackChunk),
                          static_cast<off_t>((end_chunk - first_chunk) * kWriteBackChunk),
                          SYNC_FILE_RANGE_WRITE);
    }
    return true;
}

bool finalize_output(int fd, uint64_t size) {
    const int64_t start = monotonic_ms();
    const bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0 && ::fdatasync(fd) == 0;
    debug_log("[dl] final flush: %lld ms", static_cast<long long>(monotonic_ms() - start));
    return ok;
}

void flush_output(int fd) { ::fdatasync(fd); }

} // namespace twk

#include "core/file_digest.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace twk {

namespace {

constexpr size_t kReadPiece = 1 << 20;

} // namespace

void FileDigest::expect(const Checksum& expected) {
    std::lock_guard lock(m_lock);
    if (expected.algorithm == m_expected.algorithm && expected.hex == m_expected.hex) return;
    m_expected = expected;
    m_hasher = expected.empty() ? nullptr : Hasher::create(expected.algorithm);
    m_upto = 0;
    m_expecting = m_hasher != nullptr;
}

Checksum FileDigest::expected() const {
    std::lock_guard lock(m_lock);
    return m_hasher ? m_expected : Checksum{};
}

bool FileDigest::read_into_hash(int fd, uint64_t end) {
    std::vector<char> buffer(
        static_cast<size_t>(std::min<uint64_t>(kReadPiece, std::max(end, m_upto) - m_upto)));
    while (m_upto < end) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - m_upto));
        const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(m_upto));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        m_hasher->update(buffer.data(), static_cast<size_t>(n));
        m_upto += static_cast<uint64_t>(n);
    }
    return true;
}

void FileDigest::wrote(int fd, const char* data, size_t size, uint64_t offset,
                       const std::function<uint64_t(uint64_t)>& on_disk_until) {
    if (!expecting()) return;
    std::unique_lock lock(m_lock, std::try_to_lock);
    if (!lock.owns_lock() || !m_hasher) return;
    if (offset == m_upto) {
        m_hasher->update(data, size);
        m_upto += size;
    }
    // What other connections wrote right after the prefix joins it now, while it is cached.
    const uint64_t end = on_disk_until(m_upto);
    if (end > m_upto) read_into_hash(fd, end);
}

void FileDigest::restart() {
    std::lock_guard lock(m_lock);
    if (m_hasher) m_hasher = Hasher::create(m_expected.algorithm);
    m_upto = 0;
}

std::string FileDigest::finish(int fd, uint64_t total) {
    std::lock_guard lock(m_lock);
    if (!m_hasher) return {};
    // A prefix longer than the file would mean bytes were counted twice: hash it all again.
    if (m_upto > total) {
        m_hasher = Hasher::create(m_expected.algorithm);
        m_upto = 0;
    }
    if (!read_into_hash(fd, total)) return {};
    return m_hasher->finish();
}

} // namespace twk

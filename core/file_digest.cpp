#include "core/file_digest.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#include "net/debug_log.h"

namespace twk {

namespace {

// What the hashing thread reads and hashes at a time, holding the hash: small enough that
// `expect` and `finish` never wait long, large enough that a read costs little per byte.
constexpr size_t kReadPiece = 1 << 20;

} // namespace

FileDigest::~FileDigest() { stop(); }

void FileDigest::expect(const Checksum& expected) {
    std::lock_guard lock(m_lock);
    if (expected.algorithm == m_expected.algorithm && expected.hex == m_expected.hex) return;
    m_expected = expected;
    m_hasher = expected.empty() ? nullptr : Hasher::create(expected.algorithm);
    m_upto = 0;
    m_expecting = m_hasher != nullptr;
    // A thread waiting further on must start over from the first byte.
    m_frontier = 0;
    {
        std::lock_guard signal(m_signal_lock);
        m_written = true;
    }
    m_wake.notify_one();
}

Checksum FileDigest::expected() const {
    std::lock_guard lock(m_lock);
    return m_hasher ? m_expected : Checksum{};
}

uint64_t FileDigest::hashed() const {
    std::lock_guard lock(m_lock);
    return m_upto;
}

bool FileDigest::read_into_hash(int fd, uint64_t end) {
    if (m_upto < end) m_buffer.resize(kReadPiece);
    while (m_upto < end) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(m_buffer.size(), end - m_upto));
        const ssize_t n = ::pread(fd, m_buffer.data(), want, static_cast<off_t>(m_upto));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        m_hasher->update(m_buffer.data(), static_cast<size_t>(n));
        m_upto += static_cast<uint64_t>(n);
    }
    return true;
}

void FileDigest::wrote(int fd, uint64_t offset, uint64_t length,
                       const std::function<uint64_t(uint64_t)>& on_disk_until) {
    if (!expecting()) return;
    if (m_running.load(std::memory_order_acquire)) {
        const uint64_t frontier = m_frontier.load();
        if (frontier < offset || frontier - offset >= length) return;
    } else {
        start(fd, on_disk_until);
    }
    {
        std::lock_guard lock(m_signal_lock);
        m_written = true;
    }
    m_wake.notify_one();
}

void FileDigest::start(int fd, const std::function<uint64_t(uint64_t)>& on_disk_until) {
    std::lock_guard control(m_control);
    if (m_thread.joinable() || m_no_thread) return;
    m_quit = false;
    try {
        m_thread = std::thread([this, fd, on_disk_until] { follow(fd, on_disk_until); });
        m_running.store(true, std::memory_order_release);
    } catch (const std::system_error&) {
        debug_log("[dl] no thread for the checksum: the file is hashed when complete");
        m_no_thread = true;
    }
}

void FileDigest::follow(int fd, const std::function<uint64_t(uint64_t)>& on_disk_until) {
    for (;;) {
        {
            std::unique_lock lock(m_signal_lock);
            m_wake.wait(lock, [this] { return m_written || m_quit; });
            if (m_quit) return;
            m_written = false;
        }
        // Everything on disk past the prefix, a piece at a time; a read that fails is tried
        // again by `finish`, which reports it.
        while (!m_quit.load(std::memory_order_relaxed)) {
            uint64_t upto = 0;
            {
                std::lock_guard lock(m_lock);
                if (!m_hasher) break;
                upto = m_upto;
            }
            uint64_t end = on_disk_until(upto);
            if (end <= upto) {
                // Caught up: say where the prefix waits, then look once more, since a write
                // that came before the word went out woke nobody.
                m_frontier = upto;
                end = on_disk_until(upto);
                if (end <= upto) break;
            }
            end = std::min<uint64_t>(end, upto + kReadPiece);
            std::lock_guard lock(m_lock);
            // `expect` may have started the hash over meanwhile: the next round sees it.
            if (!m_hasher || m_upto != upto) continue;
            if (!read_into_hash(fd, end)) break;
        }
    }
}

void FileDigest::stop() {
    std::lock_guard control(m_control);
    if (!m_thread.joinable()) return;
    {
        std::lock_guard lock(m_signal_lock);
        m_quit = true;
    }
    m_wake.notify_one();
    m_thread.join();
    m_running.store(false, std::memory_order_release);
}

void FileDigest::restart() {
    stop();
    std::lock_guard lock(m_lock);
    if (m_hasher) m_hasher = Hasher::create(m_expected.algorithm);
    m_upto = 0;
}

std::string FileDigest::finish(int fd, uint64_t total) {
    stop();
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

std::string digest_of_file(const std::string& path, std::string_view algorithm) {
    std::unique_ptr<Hasher> hasher = Hasher::create(algorithm);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (!hasher || fd < 0) return {};
    std::vector<char> buffer(kReadPiece);
    std::string digest;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) {
            digest = hasher->finish();
            break;
        }
        hasher->update(buffer.data(), static_cast<size_t>(n));
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return digest;
}

} // namespace twk

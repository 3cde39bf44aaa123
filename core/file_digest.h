// The hash of a download's file, taken while it is written: the bytes that continue the hashed
// prefix are fed as they arrive, and bytes another connection wrote beyond it are read back (from
// the page cache, just written) as soon as the prefix reaches them. At the end only what was
// never reached is read from the file. One per run; thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/checksum.h"

namespace twk {

class FileDigest {
public:
    // The checksum the file must match; a different one starts the hash over. Empty: none.
    void expect(const Checksum& expected);
    bool expecting() const { return m_expecting.load(std::memory_order_relaxed); }
    Checksum expected() const;

    // `size` bytes at `offset` of `fd` were just written from `data`. `on_disk_until(pos)` gives
    // where the bytes already on disk from `pos` on end. Returns at once when another thread is
    // hashing (what it leaves is read at the end).
    void wrote(int fd, const char* data, size_t size, uint64_t offset,
               const std::function<uint64_t(uint64_t)>& on_disk_until);
    // The file is being fetched again from its first byte.
    void restart();
    // The digest of the first `total` bytes of `fd` in hex; empty when the file cannot be read.
    std::string finish(int fd, uint64_t total);

private:
    // Reads [m_upto, end) from `fd` into the hash. False on a read failure.
    bool read_into_hash(int fd, uint64_t end);

    mutable std::mutex m_lock;
    std::atomic<bool> m_expecting{false};
    Checksum m_expected;
    std::unique_ptr<Hasher> m_hasher;
    uint64_t m_upto = 0; // bytes hashed
};

} // namespace twk

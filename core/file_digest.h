// The hash of a download's file, taken while it is written. A thread of its own follows the
// file's contiguous prefix: whenever a connection reports bytes written it hashes what is on disk
// past the prefix (read back from the page cache, where those bytes were just put), one piece at
// a time, so neither the connections wait for the hash nor the memory grows with the file. At
// the end only what the thread has not reached yet is read. One per run; thread-safe.
//
// The thread starts with the first bytes written and is joined by `stop`, `restart`, `finish`
// and the destructor: before the run replaces, empties or closes its file, and at its end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/checksum.h"

namespace twk {

class FileDigest {
public:
    FileDigest() = default;
    ~FileDigest();
    FileDigest(const FileDigest&) = delete;
    FileDigest& operator=(const FileDigest&) = delete;

    // The checksum the file must match; a different one starts the hash over. Empty: none.
    void expect(const Checksum& expected);
    bool expecting() const { return m_expecting.load(std::memory_order_relaxed); }
    Checksum expected() const;

    // `length` bytes were just written to `fd` at `offset`; `on_disk_until(pos)` gives where the
    // bytes already on disk from `pos` on end. Starts the hashing thread on the first call, and
    // wakes it when the write covers the byte the prefix waits for; returns at once.
    void wrote(int fd, uint64_t offset, uint64_t length,
               const std::function<uint64_t(uint64_t)>& on_disk_until);
    // Joins the hashing thread; what it hashed stays. The next `wrote` starts it again.
    void stop();
    // The file is being fetched again from its first byte.
    void restart();
    // How many bytes from the file's start are hashed so far.
    uint64_t hashed() const;
    // The digest of the first `total` bytes of `fd` in hex; empty when the file cannot be read.
    std::string finish(int fd, uint64_t total);

private:
    void start(int fd, const std::function<uint64_t(uint64_t)>& on_disk_until);
    void follow(int fd, const std::function<uint64_t(uint64_t)>& on_disk_until);
    // Reads [m_upto, end) from `fd` into the hash. False on a read failure.
    bool read_into_hash(int fd, uint64_t end);

    // The hash and how far it got.
    mutable std::mutex m_lock;
    std::atomic<bool> m_expecting{false};
    Checksum m_expected;
    std::unique_ptr<Hasher> m_hasher;
    uint64_t m_upto = 0;        // bytes hashed
    std::vector<char> m_buffer; // one piece read back from the file

    // The hashing thread. `m_control` serialises starting and joining it; `m_signal_lock`
    // guards the wake-up flags, so that a writer never waits for a piece being hashed.
    std::mutex m_control;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    bool m_no_thread = false; // one could not be started: `finish` hashes it all
    std::mutex m_signal_lock;
    std::condition_variable m_wake;
    bool m_written = false;
    std::atomic<bool> m_quit{false};
    // The first byte missing past the prefix, where the idle thread waits: only a write covering
    // it can make the prefix grow, so other writes (most of them, with several connections) do
    // not wake the thread. Published before the thread looks once more and sleeps, read by
    // writers after their bytes are on disk: one of the two always sees the other.
    std::atomic<uint64_t> m_frontier{0};
};

// The digest in hex of the whole file at `path` under `algorithm` (a file made in one piece on
// this machine, such as a joined stream); empty, with errno set, when it cannot be read.
std::string digest_of_file(const std::string& path, std::string_view algorithm);

} // namespace twk

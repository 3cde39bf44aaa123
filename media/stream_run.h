// One run of the stream driver (media/stream_driver.h): its timing, its key cache and what its
// workers share. The task's request, progress and control come in the run context
// (core/task.h); what a run learns stays here and ends with it.
//
// The key cache has its own lock; the part table's states are guarded by the task's segment
// lock (media/stream_parts.h). Everything else is atomic or fixed for the run.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "core/task.h"
#include "media/stream_bandwidth.h"
#include "media/stream_parts.h"

namespace twk {

// How long the fetcher waits between attempts. Tests shorten them; the program uses the defaults.
struct StreamTiming {
    // A part whose three attempts failed is tried again while some part of the task was
    // finished within this window.
    int64_t stall_window_ms = 90'000;
    // The pause after the first failed attempt; it doubles with each further one, up to the
    // longest.
    int64_t first_backoff_ms = 150;
    int64_t longest_backoff_ms = 10'000;
    // A live recording honours a server's Retry-After up to this (other fetches wait at the
    // host gate, up to its own limit).
    int64_t longest_retry_after_ms = 120'000;
    // A live recording: every wait for a playlist reload is multiplied by this (tests run a
    // stream's clock faster), and the recording ends after this long without a new segment.
    double live_wait_scale = 1.0;
    int64_t live_outage_ms = 300'000;
};
// Key URI to its 16 bytes, shared by the workers of one run.
class KeyCache {
public:
    bool find(const std::string& uri, std::array<uint8_t, 16>& key);
    void store(const std::string& uri, const std::array<uint8_t, 16>& key);

private:
    std::mutex m_lock;
    std::map<std::string, std::array<uint8_t, 16>> m_keys;
};

// One run of the stream driver: what its thread and its workers share, and nothing outside the
// run sees. Made when the parts are known, gone when the run ends.
struct StreamRun {
    StreamRun(const RunContext& task, StreamBandwidth& bandwidth, PartTable& parts,
              const StreamTiming& timing);
    StreamRun(const StreamRun&) = delete;
    StreamRun& operator=(const StreamRun&) = delete;

    const RunContext task;
    StreamBandwidth& bandwidth; // the task's limit, shared by the workers
    PartTable& parts;           // the work folder's part list (media/stream_parts.h)
    StreamTiming timing;
    KeyCache keys;
    std::atomic<bool> error{false};         // a part failed: the task's status says why
    std::atomic<uint64_t> next{0};          // the next part a worker takes
    std::atomic<uint64_t> payload{0};       // bytes fetched in this run
    std::atomic<int64_t> last_progress_ms;  // when a part was last finished
    std::atomic<int64_t> last_layout_ms{0}; // when the progress was last laid out
};

} // namespace twk

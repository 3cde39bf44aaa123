// What the downloads of this process owe each server, whichever task they belong to:
//
// - A pause the server asked for. A 429 or 503 with Retry-After (seconds, or an HTTP date)
//   holds every connection of every task to that host until then, at most kMaxServerPauseMs
//   from now; no request goes to the host earlier. The row shows "waiting 42 s (server asked)".
// - A connection budget. All tasks together hold at most `budget()` connections to one host
//   (default kDefaultPerHostConnections). The budget is shared fairly: each task that wants the
//   host may hold an equal share; a task holds more only while no other task waits, and gives
//   the excess back after its current request once one does, so that a task started later is
//   not starved by one that took every slot first.
//
// A host is its lower-cased name and port ("example.com:443"). The gate is process-wide, as the
// servers are; every operation is thread-safe and returns at once.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace twk {

constexpr uint32_t kDefaultPerHostConnections = 32;
constexpr int64_t kMaxServerPauseMs = 600'000;
// A task counts as waiting for a slot this long after it was last refused one (its workers ask
// again every 100 ms while they want one).
constexpr int64_t kSlotWaitMemoryMs = 1'000;

// The row's status while a hold lasts `ms` more: "waiting 42 s (server asked)". Every such
// status begins with kServerPausePrefix.
constexpr std::string_view kServerPausePrefix = "waiting ";
std::string server_pause_status(int64_t ms);

// The host of a URL as the gate keys it; empty when the URL does not parse.
std::string gate_host(std::string_view url);

// Milliseconds a Retry-After value asks for, at `now_unix` seconds of wall time: delta-seconds
// or an HTTP date (IMF-fixdate, RFC 850 or asctime form). -1 when the value is neither; 0 for a
// date in the past.
int64_t server_pause_ms(std::string_view value, int64_t now_unix);

// Who holds a host's connection slots: one task, the same for all its workers and runs. Each
// task progress record takes a new one (`next`), unique for the process.
struct SlotHolder {
    uint64_t id = 0;
    static SlotHolder next();
    auto operator<=>(const SlotHolder&) const = default;
};

class HostGate {
public:
    static HostGate& shared();

    // 0 restores the default.
    void set_budget(uint32_t per_host);
    uint32_t budget() const;

    // Holds `host` for `ms` from `now_ms` (monotonic), at most kMaxServerPauseMs; a longer hold
    // already in place stays.
    void hold(const std::string& host, int64_t ms, int64_t now_ms);
    // Milliseconds until `host` may be asked again; 0 when it may be now.
    int64_t held_for(const std::string& host, int64_t now_ms) const;

    // A connection slot for a worker of `task`. True when granted; the worker gives it back with
    // `release`.
    bool try_acquire(const std::string& host, SlotHolder task, int64_t now_ms);
    void release(const std::string& host, SlotHolder task, int64_t now_ms);
    // Whether `task` holds more than its fair share while another task waits for the host.
    bool over_share(const std::string& host, SlotHolder task, int64_t now_ms) const;
    // Connections held to `host` now, by all tasks.
    uint32_t held(const std::string& host) const;

private:
    struct Host {
        int64_t open_at_ms = 0;
        uint32_t total = 0;
        std::map<SlotHolder, uint32_t> held;      // slots by task
        std::map<SlotHolder, int64_t> refused_ms; // when each task was last refused one
    };
    uint32_t share(const Host& host, int64_t now_ms) const;
    bool others_wait(const Host& host, SlotHolder task, int64_t now_ms) const;
    void tidy(const std::string& name, int64_t now_ms);

    mutable std::mutex m_lock;
    uint32_t m_budget = kDefaultPerHostConnections;
    std::map<std::string, Host> m_hosts;
};

} // namespace twk

// Diagnostics without Qt: the run marker that tells a crashed run from a clean one, the crash
// check at start-up, the once-a-minute resource sampler and its triggers, and the one anonymous
// record the user may choose to share.
//
// Files live in the state folder, $XDG_STATE_HOME/tarnwick (default ~/.local/state/tarnwick):
//   session.marker  exists while the program runs: "v=%s;os=%s;up=%d;rss=%d;cpu=%d"
//   last-crash.txt  the newest crash report already offered, as a decimal number (the report's
//                   modification time in nanoseconds since 1970)
// A run that ends any way but cleanly leaves session.marker behind. The next start reads it and
// looks for a crash report of this program made by the system: a file or folder in /var/crash
// (apport) or /var/lib/systemd/coredump whose name contains the executable's name cut to its
// first 12 characters. TWK_CRASH_REPORT_DIRS (folders separated by ":") replaces those two, for
// tests.
//
// Memory is RssAnon + VmSwap from /proc/self/status in MiB; CPU time is getrusage's user plus
// system time. Every failure here is silent: a missing state folder disables the markers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/proxy_spec.h"
#include "net/socket.h"

namespace twk::app {

// What a run marker holds.
struct RunMarker {
    std::string v;
    std::string os;
    int64_t up = 0;
    int64_t rss = 0;
    int64_t cpu = 0;
};

// The record the user may share; `trig` is "crash", "rss" or "cpu".
struct DiagRecord {
    std::string v;
    std::string os;
    int64_t up = 0;
    int64_t rss = 0;
    int64_t cpu = 0;
    int64_t act = 0;
    int64_t done = 0;
    std::string trig;
};

inline constexpr size_t kMaxMarkerChars = 191;
inline constexpr size_t kMaxMarkerRead = 511;

// "linux<major>.<minor>" of the running kernel; "linux" when unknown.
std::string os_text();
// RssAnon + VmSwap in MiB; 0 when unknown.
int64_t memory_mib();
// User plus system CPU time of the process in 100-nanosecond units; 0 when unknown.
int64_t cpu_time_100ns();

// The crash-report folders: TWK_CRASH_REPORT_DIRS, else apport's and systemd-coredump's.
std::vector<std::string> crash_report_folders_from_env();

// The marker line, cut to kMaxMarkerChars.
std::string format_marker(const RunMarker& marker);
// Items split at ";", each at its first "="; "v" and "os" as text, "up", "rss" and "cpu" as
// leading decimal numbers (0 for anything else). Other items are ignored.
RunMarker parse_marker(std::string_view text);

// The record as one JSON object; every string goes through json_quote.
std::string format_diag_record(const DiagRecord& record);

class MarkerFiles {
public:
    explicit MarkerFiles(std::string folder) : m_folder(std::move(folder)) {}

    bool available() const { return !m_folder.empty(); }
    std::string marker_path() const { return m_folder + "/session.marker"; }
    std::string crash_marker_path() const { return m_folder + "/last-crash.txt"; }

    // Replaces the marker through write_private_file (net/file_io.h), the folder made 0700.
    void write_marker(const RunMarker& marker) const;
    void delete_marker() const;
    // Reads (at most kMaxMarkerRead bytes) and deletes the marker; nullopt when there was none.
    std::optional<std::string> take_marker() const;

    // The newest report time in `folders` for `exe_name`, when it is newer than the one the
    // crash marker holds; the crash marker then holds it.
    bool newer_crash_report(const std::vector<std::string>& folders, const std::string& exe_name) const;

private:
    std::string m_folder;
};

// The newest modification time (nanoseconds since 1970) of an entry in `folders` whose name
// contains `exe_name` cut to its first 12 characters (compared without regard to case); 0 when
// there is none.
uint64_t newest_crash_report(const std::vector<std::string>& folders, const std::string& exe_name);

// The start-up check: takes the previous run's marker, writes a fresh one (`fresh`), and returns
// the crash record when the marker described a run and a newer crash report exists.
std::optional<DiagRecord> crash_check(const MarkerFiles& files, const std::vector<std::string>& folders,
                                      const std::string& exe_name, const RunMarker& fresh);

// One sample's inputs; times in monotonic milliseconds and 100-nanosecond CPU units.
struct ResourceSample {
    int64_t now_ms = 0;
    int64_t cpu_time = 0;
    int64_t memory_mib = 0;
    int64_t active = 0; // tasks queued, probing or downloading
    int64_t done = 0;
};

// The sampler's state and its two triggers: memory over 800 MiB at once; CPU of 26 % or more
// with nothing to download on three samples in a row.
class ResourceSampler {
public:
    static constexpr int64_t kIntervalMs = 60'000;
    static constexpr int64_t kRssLimitMib = 800;
    static constexpr int64_t kCpuLimitPercent = 26;
    static constexpr int kCpuSamples = 3;
    static constexpr int kMarkerEvery = 5;

    void start(int64_t now_ms, int64_t cpu_time, int64_t memory_mib);
    // Whether a sample is due (more than 59 999 ms since the last).
    bool due(int64_t now_ms) const { return now_ms - m_last_ms > kIntervalMs - 1; }

    struct Outcome {
        bool write_marker = false; // every fifth sample
        std::string trigger;       // "rss", "cpu" or empty
    };
    Outcome sample(const ResourceSample& s);

    int64_t start_ms() const { return m_start_ms; }
    int64_t last_memory() const { return m_memory; }
    int64_t last_cpu() const { return m_cpu_percent; }

private:
    int64_t m_start_ms = 0;
    int64_t m_last_ms = 0;
    int64_t m_cpu_time = 0;
    int64_t m_memory = 0;
    int64_t m_cpu_percent = 0;
    int64_t m_samples = 0;
    int m_high_cpu = 0;
};

// One prompt per run, one record sent per run.
class DiagnosticPrompt {
public:
    // Stores `record` as pending and returns true, unless a prompt was already raised.
    bool raise(const DiagRecord& record);
    // The body to send, once: nullopt when nothing is pending or it was already sent.
    std::optional<std::string> take_for_sending();
    bool raised() const { return m_raised; }
    bool sent() const { return m_sent; }

private:
    bool m_raised = false;
    bool m_sent = false;
    std::optional<DiagRecord> m_pending;
};

// POSTs `body` to "<endpoint>/api/diag" as application/json with the user agent "Tarnwick";
// the reply is ignored; a redirect from https to anything else is refused. False when the
// request could not be made.
bool post_diagnostic(const std::string& endpoint, const std::string& body, const ProxySpec& proxy,
                     SocketCanceller* connections = nullptr);

} // namespace twk::app

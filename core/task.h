// The task record: one download (one file, or one stream), in four parts:
//   - the request (`TaskRequest`): what was asked for, fixed when the record is made, read by
//     every thread without a lock;
//   - the progress (`TaskProgress`): what snapshots read (names, status, sizes, segments, speed),
//     under its own locks or atomics;
//   - the control (`TaskControl`): stop, pause, the bandwidth limit, interrupting and waiting;
//   - what one run of a driver keeps to itself (the probe verdict, the validator, the restart
//     flags, the open output file, the part table of a stream), which lives in that run's own
//     record (core/driver_run.h for plain downloads, media/stream_run.h for streams) and ends
//     with the run.
// A driver gets a `RunContext` (the first three by reference), never the task record.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/change_signal.h"
#include "core/connection_counts.h"
#include "core/host_gate.h" // SlotHolder
#include "core/speed_meter.h"
#include "core/task_snapshot.h" // TaskPhase
#include "net/http_message.h"
#include "net/proxy_spec.h"
#include "net/text.h" // monotonic_ns
#include "net/transport_error.h"

namespace twk {

// The end of a segment while the size is unknown; also what a status document prints for it.
inline constexpr uint64_t kUnknownEnd = UINT64_MAX;
inline constexpr int32_t kSegmentRetryBudget = 3;

// One byte range of the output: [start, end). A segment is finished when pos >= end and free
// when unfinished and not active. A split may shorten end while a worker holds the segment.
struct Segment {
    uint64_t id = 0; // from a process-wide counter, unique for the process
    uint64_t start = 0;
    std::atomic<uint64_t> pos{0};
    std::atomic<uint64_t> end{kUnknownEnd};
    std::atomic<bool> active{false};
    std::atomic<int32_t> retry_budget{kSegmentRetryBudget};
    // The exclusive end of the range the request in flight asked for (0: none). Set under the
    // segment lock; a split never cuts below it, so no byte already on its way is thrown away.
    std::atomic<uint64_t> asked_end{0};
};

class TaskProgress;

// The complete flag is set, or the total is known and every segment has pos >= end.
bool download_complete(const TaskProgress& progress);

// Milliseconds since the task's start time (the clock of last progress).
int64_t task_elapsed_ms(const TaskProgress& progress);

// A new segment with the next process-wide id, not active, full retry budget.
std::shared_ptr<Segment> make_segment(uint64_t start, uint64_t pos, uint64_t end);

// What an interrupted ranged download left on disk: its segments, size and validator.
struct ResumeState {
    std::vector<std::shared_ptr<Segment>> segments;
    uint64_t total = 0;
    std::string validator; // ETag, else Last-Modified; may be empty
};

// What a task was asked to do, after cleaning (core/start_request.h). Fixed for the life of
// the task: every run, and every thread of a run, reads the same request without a lock.
struct TaskRequest {
    std::string url; // as given
    uint64_t connections = kDefaultConnections;
    std::string method = "GET"; // "GET", "POST" or "HEAD"
    HeaderList headers;         // sent in this order after User-Agent
    std::string post_data;
    std::string user_agent = "TWK";
    bool insecure = false;
    ProxySpec proxy;                // kind 0 when none
    std::string stream_type;        // "hls" or "dash" for a stream task, else empty
    bool auto_named = false;        // the name came from the URL: a server-supplied name may replace it
    bool live_from_start = false;   // a live stream is recorded from its oldest listed segment
    bool skip_bad_segments = false; // a stream finishes without the segments that keep failing
    // Seconds a live recording waits for a new segment before it gives up; 0: the default (300).
    int64_t live_outage_limit = 0;
    // "sha-256=HEX" (net/checksum.h) the finished file must match; empty: none asked for (a
    // digest the server sends is then checked).
    std::string checksum;
    // When the task was added, milliseconds since the Unix epoch; 0 when not known (a task
    // from a journal written before this was kept).
    int64_t added_ms = 0;

    // An HLS or DASH task, driven by the stream driver.
    bool is_stream() const { return !stream_type.empty(); }
};

class PathArbiter;
class SharedBandwidth;

// How a run ended, as its driver said: kNone while it has not said, or failed.
enum class RunEnd : int32_t { kNone, kDone, kPaused, kCanceled };

// How a task is told to stop, and how its threads wait: the one object every run of the task
// shares with whoever pauses, cancels or changes its limit.
class TaskControl {
public:
    // Whoever sets stop or pause calls interrupt() afterwards; a failure does it itself.
    // Workers and the driver see the flags within moments, even when blocked on a peer.
    std::atomic<bool> stop{false};  // leave the run (pause or cancel)
    std::atomic<bool> pause{false}; // with stop: save the sidecar and end "paused"

    // The bandwidth limit in bytes per second (0 = none). It may change while the task runs; the
    // driver hands it to the run's limiter (core/bandwidth_limiter.h) on every pass tick.
    std::atomic<int64_t> bandwidth_limit{0};

    // Every connection of the task's transfers is watched by this, so that a stop, a pause, a
    // restart or a failure ends connects and reads blocked on a silent peer at once.
    SocketCanceller canceller;
    // Cancels the connections and wakes every wait() of the run.
    void interrupt();
    // Waits up to `ms` or until `done` holds (checked on every wake-up); true when it holds.
    bool wait(int64_t ms, const std::function<bool()>& done);
    // Wakes every wait() so that it checks its condition again.
    void wake();

private:
    std::mutex m_wake_lock;
    std::condition_variable m_wake;
};

// What the task shows: names, status, sizes, segments, speed. Snapshots and status documents
// read it from any thread; the run that drives the task writes it.
//
// Which lock guards what:
//   name lock      name, output path, sidecar path
//   segment lock   the segment list and the left-out list
//   status lock    the status text, failure category and run ending
//   effective-URL lock   the effective URL
// Flags, counters and segment positions are atomics read without a lock.
class TaskProgress {
public:
    // A failure interrupts `control`, so that the other workers need not wait out a silent peer.
    explicit TaskProgress(TaskControl& control);
    TaskProgress(const TaskProgress&) = delete;
    TaskProgress& operator=(const TaskProgress&) = delete;

    // --- output names, under the name lock ---
    std::string name() const;
    std::string output_path() const;
    std::string sidecar_path() const; // always output path + ".twk"
    // Sets name (the part after the last "/" or "\"), output path and sidecar path together;
    // notes a status change (`note_status`).
    void set_output_path(std::string_view path);

    // --- status text, failure category and run ending, under the status lock ---
    std::string status() const;
    // A status text that is neither a failure nor an ending: "queued" (kNone), "probing",
    // "downloading", "muxing", or the phase's own text (a server's pause, a recording). Clears
    // the failure category and the ending.
    void set_status(TaskPhase phase, std::string_view text = {});
    TaskPhase phase() const; // kNone once the run ended or failed
    // Sets the phase and its text only while the phase is `from`: false when anything else
    // (a failure, an ending, another phase) came first.
    bool replace_status(TaskPhase from, TaskPhase phase, std::string_view text);
    // How a run ended: sets the ending (`run_end`) and its text ("done", "paused", "canceled").
    void finish(RunEnd end);
    RunEnd run_end() const;
    // A failure: its exact text (beginning with "error") and what it was about
    // (net/transport_error.h). Sets the failed flag and interrupts the run. Code that acts on a
    // failure asks the category, never the text.
    void set_failure(std::string_view text, FailureCategory category);
    FailureCategory failure_category() const; // kNone while the status is no failure
    bool status_is_error() const;

    // --- effective URL, under its own lock ---
    std::string effective_url() const;
    void set_effective_url(std::string_view url);

    // --- sizes and counters ---
    std::atomic<uint64_t> total{0}; // 0 = unknown
    // The total is a guess made from what was fetched so far (a stream's parts), not a size
    // any server gave.
    std::atomic<bool> total_estimated{false};
    std::atomic<bool> supports_range{false};
    std::atomic<uint64_t> active_target{0}; // connections the driver currently wants
    std::atomic<uint32_t> throttle_hits{0}; // 429 and 503 answers seen
    // Sum over segments of pos - start, where pos > start. Takes the segment lock.
    uint64_t bytes_done() const;
    // Adds a reading of `done` bytes at `now_ms` (steady clock) and gives the speed over the
    // last few seconds; a task that is not running reads 0 and its measurement starts afresh.
    double measure_speed(int64_t now_ms, uint64_t done, bool running) const;

    mutable std::mutex segment_lock;
    std::vector<std::shared_ptr<Segment>> segments; // under segment_lock
    // A stream that skips bad segments: the numbers of those its last run left out, in order
    // (under segment_lock).
    std::vector<size_t> left_out;

    // --- flags ---
    std::atomic<bool> failed{false};   // the last failure has not been cleared by a new run
    std::atomic<bool> complete{false}; // the end of an unknown-size body was seen
    // The file at the output path was created by a run of this task (so a later run may write
    // over it, core/naming.h). Outlives the run that set it.
    std::atomic<bool> created_output{false};

    // --- identity ---
    // Whose connection slots the task's workers take from the host gate (core/host_gate.h).
    const SlotHolder slot_holder = SlotHolder::next();

    // --- timing ---
    const int64_t start_ns;                   // steady clock, when the record was made
    std::atomic<int64_t> last_progress_ms{0}; // milliseconds since start_ns

    // --- the list the task is in: its change signal (core/change_signal.h), the arbiter of its
    // output paths (core/path_arbiter.h) and the limit all its tasks share ---
    // Set by the task list when the task is added, before any thread runs it; read-only after.
    void attach_changes(std::shared_ptr<ChangeSignal> changes);
    void attach_path_arbiter(std::weak_ptr<PathArbiter> arbiter);
    std::shared_ptr<PathArbiter> path_arbiter() const { return m_arbiter.lock(); }
    // The limit all tasks of the list share (core/shared_bandwidth.h); null outside a list.
    void attach_shared_bandwidth(std::shared_ptr<SharedBandwidth> shared);
    SharedBandwidth* shared_bandwidth() const { return m_shared_bandwidth.get(); }
    // Whoever changes what a status document shows calls one of these afterwards: progress for
    // bytes, segments, sizes and flags; status for what starts or ends something. The status
    // setters do it themselves. Without a list they do nothing.
    void note_progress();
    void note_status();
    // Moves with every note above (a new output path is one): a view that kept what it built for
    // this task rebuilds it only once this differs (running tasks aside, whose speed moves alone).
    uint64_t change_count() const { return m_change_count.load(std::memory_order_acquire); }

    // A live stream's recording (media/live_recorder.h). Kept across pause and resume (and in the
    // journal), so that the next run knows where the last one stopped and what went missing. The
    // recorder moves next_sequence together with the progress segment, under the segment lock.
    struct LiveRecording {
        std::atomic<bool> active{false};        // the task records a live stream
        std::atomic<int64_t> recorded_ms{0};    // media time in the output
        std::atomic<int64_t> next_sequence{-1}; // the next media sequence to record; -1: none yet
        std::atomic<uint32_t> gaps{0};          // runs of segments lost to an outage or a pause
        std::atomic<int64_t> gap_ms{0};         // their media time
        std::atomic<bool> finish{false};        // a stop ends the recording "done", not "paused"
        // A digest of the initialisation segment the output was last given (0: none yet).
        std::atomic<uint64_t> init_digest{0};
    };
    LiveRecording live;

private:
    void set_text(std::string_view text, FailureCategory category, RunEnd end, TaskPhase phase);

    TaskControl& m_control;

    mutable std::mutex m_name_lock;
    std::string m_name;
    std::string m_output_path;
    std::string m_sidecar_path;

    mutable std::mutex m_status_lock;
    std::string m_status;
    FailureCategory m_failure = FailureCategory::kNone;
    RunEnd m_end = RunEnd::kNone;
    TaskPhase m_phase = TaskPhase::kNone;

    mutable std::mutex m_effective_url_lock;
    std::string m_effective_url;

    std::shared_ptr<ChangeSignal> m_changes;
    std::weak_ptr<PathArbiter> m_arbiter;
    std::shared_ptr<SharedBandwidth> m_shared_bandwidth;
    std::atomic<uint64_t> m_change_count{0};

    mutable std::mutex m_speed_lock;
    mutable SpeedMeter m_speed;
};

// What a driver gets for one run: the task's request, its progress and its control, and not
// the task record itself. What the run keeps to itself lives in the driver's own run record.
struct RunContext {
    const TaskRequest& request;
    TaskProgress& progress;
    TaskControl& control;
};

// The task record: one download (one file, or one stream), shared by the task list, the task's
// thread and its workers. Built by `create_task` (core/start_request.h).
struct Task {
    explicit Task(TaskRequest request = {});
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    const TaskRequest request;
    TaskControl control;
    TaskProgress progress{control};

    RunContext context() { return RunContext{request, progress, control}; }
};

} // namespace twk

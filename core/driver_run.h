// One run of the plain download driver (core/download_driver.h): what the driver's thread and
// the run's segment workers share, and nothing outside the run sees. It is made when the run
// starts and is gone when the run ends; the next run of the task starts from the sidecar on
// disk, never from what this one knew.
//
// Which lock guards what:
//   validator lock   the validator
//   pending lock     the interrupted run found under the server's file name
// The output file is opened and replaced only by the driver's thread while no worker runs;
// workers write through it. Everything else is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "core/bandwidth_limiter.h"
#include "core/file_digest.h"
#include "core/shared_bandwidth.h"
#include "core/task.h"
#include "net/body_reader.h"
#include "net/file_io.h"
#include "net/http_message.h"

namespace twk {

// The time limits of a run. Tests shorten them; the program uses the defaults.
struct DriverSettings {
    // A worker whose retry budget is spent keeps retrying while the task wrote a byte within
    // this window; after that the task ends "error: stalled (no progress)".
    int64_t stall_window_ms = 90'000;
    // A ranged body that delivers fewer than `dribble_min_bytes` within a window this long is
    // abandoned for a fresh connection.
    int64_t dribble_window_ms = 60'000;
    uint64_t dribble_min_bytes = 32'768;
    // Handed to every request.
    int32_t connect_timeout_ms = kDefaultConnectTimeoutMs;
    uint32_t io_timeout_ms = kDefaultIoTimeoutMs;
    // How long one body read may keep collecting bytes before it returns what it has (and so how
    // often a slow body is looked at by the dribble guard).
    int body_read_bound_ms = kBodyReadBoundMs;
    // The size of a piece when the file is taken in order (core/segment_worker.h); 0: by the
    // file's size.
    uint64_t ordered_piece = 0;
    // Called before each worker thread is started; a test makes it throw std::system_error to
    // stand for a thread that cannot be created.
    std::function<void(uint64_t index)> before_worker_start;
};

// What the run knows of the server's range support.
enum ProbeState : uint8_t {
    kNotProbed = 0,
    kRanged = 1,
    kSingleStream = 2, // ranges refused, size unknown, or a method other than GET
};

struct DriverRun {
    DriverRun(const RunContext& task, const DriverSettings& settings)
        : task(task), settings(settings), shared_share(task.progress.shared_bandwidth(), &task.progress) {}
    DriverRun(const DriverRun&) = delete;
    DriverRun& operator=(const DriverRun&) = delete;

    const RunContext task;
    const DriverSettings& settings;
    BandwidthLimiter limiter;                  // the task's own limit, or its share of the list's, the lower
    SharedBandwidth::Participant shared_share; // the task's place under the list's limit
    UniqueFd output;                           // the output file while the run has it open
    // The file's hash while it is written, when a checksum was asked for or the server sent one.
    // Declared after the file: its thread is joined before the file is closed.
    FileDigest digest;

    std::atomic<uint8_t> probe_state{kNotProbed};
    std::atomic<uint32_t> reprobes{0}; // first responses asked for again (a 200 offering ranges)

    // The validator ranged requests carry in If-Range (ETag, else Last-Modified); empty: none.
    std::string validator() const;
    void set_validator(std::string validator);

    // --- restarts ---
    std::atomic<bool> restart{false};      // end the pass early and run another
    std::atomic<bool> adopt_resume{false}; // the next pass continues the pending run
    // The next pass starts over as a single stream: the server stopped honouring ranges.
    std::atomic<bool> restart_single{false};
    // Sets restart and interrupts the task, so that every worker and the driver see it at once.
    void request_restart();
    // The interrupted run found under the server's file name, kept from the worker that found
    // it until the driver takes it to continue there.
    void set_pending_adopt(std::string path, ResumeState state);
    std::pair<std::string, ResumeState> take_pending_adopt();

    // --- naming (core/naming.h) ---
    std::atomic<bool> resumed{false};        // this run continues from a sidecar
    std::atomic<bool> adoption_tried{false}; // the server file name step ran

    // A body byte was written in this run: from then on no failure ends the task at once.
    std::atomic<bool> progressed{false};
    // Body bytes charged to the limiter and slept off: what the list's split measures the task by.
    std::atomic<uint64_t> paid_bytes{0};
    // Workers of the current pass that have returned; each one wakes the driver's wait.
    std::atomic<uint32_t> workers_ended{0};

private:
    mutable std::mutex m_validator_lock;
    std::string m_validator;

    std::mutex m_pending_lock;
    std::string m_pending_path;
    ResumeState m_pending_resume;
};

// Whether the pass is ending for every worker: stop, pause, failure or restart.
bool pass_ending(const DriverRun& run);

// Saves the task's sidecar with the run's validator (core/sidecar.h).
bool save_run_sidecar(const DriverRun& run);

} // namespace twk

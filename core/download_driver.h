// The plain download driver: one run of a task that is not a stream (HTTP, HTTPS, FTP, FTPS).
//
// A run opens the output file, picks up the sidecar of an interrupted run (GET only), and then
// runs passes. Every 200 ms of a pass the adaptive controller (core/adaptive_controller.h) picks
// how many segment workers (core/segment_worker.h) may be active, capped by the connection cap;
// workers are started up to that number and the sidecar is saved at most once a second. A pass
// ends when the download is complete, has failed, was stopped, or must restart (the resource
// changed under a stale validator, or an interrupted run turned up under the server's file
// name). The run then finalises the file (exact size, "done", sidecar deleted), ends "canceled"
// (output and sidecar deleted), or ends "paused" or "error..." leaving a partial file that a
// sidecar describes, or nothing when no byte could be kept. Stop, pause, restart and failure
// interrupt connects and reads blocked on a silent peer (Task::interrupt).
//
// There is no segment plan: a ranged download starts as one segment and grows by halving the
// largest remaining range whenever a worker finds nothing free.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/task.h"
#include "net/body_reader.h"
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
    // Called before each worker thread is started; a test makes it throw std::system_error to
    // stand for a thread that cannot be created.
    std::function<void(uint64_t index)> before_worker_start;
};

constexpr int64_t kPassTickMs = 200;
constexpr int64_t kSidecarSaveIntervalMs = 1'000;
// Each further connection needs about this many remaining bytes (544 KiB).
constexpr uint64_t kBytesPerConnection = 557'056;
// A run restarts from scratch at most this often; one more stale validator ends it with
// "error: remote file changed since last run" (a server whose validator changes with every
// answer would otherwise keep it restarting forever).
constexpr int kMaxRestartsFromScratch = 3;

// Runs the task to the end of one run and leaves its final status text. Returns once the run
// has ended; honours the stop and pause flags.
void run_download(const std::shared_ptr<Task>& task, const DriverSettings& settings = {});

// How many connections the task can use now: 1 unless the transfer is ranged with a known
// total; else min(connections, max(1, sum over unfinished segments of remaining / 557,056 + 1)).
uint64_t connection_cap(const Task& task);

// The complete flag is set, or the total is known and every segment has pos >= end.
bool download_complete(const Task& task);

// Milliseconds since the task's start time (the clock of last progress).
int64_t task_elapsed_ms(const Task& task);

} // namespace twk

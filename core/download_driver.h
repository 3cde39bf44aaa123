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
// interrupt connects and reads blocked on a silent peer (TaskControl::interrupt). What the run learns
// on the way (core/driver_run.h) ends with it.
//
// There is no segment plan: a ranged download starts as one segment and grows by halving the
// largest remaining range whenever a worker finds nothing free. A download whose hash is taken
// as it runs is handed out in file order instead, a piece at a time (core/segment_worker.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/driver_run.h"
#include "core/task.h"

namespace twk {

constexpr int64_t kPassTickMs = 200;
constexpr int64_t kSidecarSaveIntervalMs = 1'000;
// Each further connection needs about this many remaining bytes (544 KiB).
constexpr uint64_t kBytesPerConnection = 557'056;
// A run restarts from scratch at most this often; one more stale validator ends it with
// "error: remote file changed since last run" (a server whose validator changes with every
// answer would otherwise keep it restarting forever).
constexpr int kMaxRestartsFromScratch = 3;
// A run looks this many names further when another process holds the output's lock.
constexpr int kLockAttempts = 16;

// Runs the task to the end of one run and leaves its final status text. Returns once the run
// has ended; honours the stop and pause flags.
void run_download(const RunContext& task, const DriverSettings& settings = {});

// How many connections the run can use now: 1 unless the transfer is ranged with a known
// total; else min(connections, max(1, sum over unfinished segments of remaining / 557,056 + 1)).
uint64_t connection_cap(const DriverRun& run);

} // namespace twk

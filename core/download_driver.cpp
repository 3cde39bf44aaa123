#include "core/download_driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

#include "core/adaptive_controller.h"
#include "core/host_gate.h"
#include "core/naming.h"
#include "core/output_file.h"
#include "core/segment_worker.h"
#include "core/sidecar.h"
#include "net/checksum.h"
#include "net/debug_log.h"
#include "net/text.h"

namespace twk {

namespace {

using ull = unsigned long long;

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

void set_open_failure(const RunContext& task, const std::string& path, int error) {
    task.progress.set_failure("error: cannot open output file: " + path + " (" + system_reason(error) + ")",
                              FailureCategory::kIo);
}

// Takes over an interrupted run's state: total, validator and segments.
void take_resume_state(DriverRun& run, ResumeState state) {
    const RunContext& task = run.task;
    task.progress.total = state.total;
    task.progress.supports_range = true;
    run.probe_state = kRanged;
    run.set_validator(std::move(state.validator));
    std::lock_guard lock(task.progress.segment_lock);
    task.progress.segments = std::move(state.segments);
}

// Nothing known: one segment over the whole (unknown) file.
void start_fresh(DriverRun& run) {
    const RunContext& task = run.task;
    task.progress.total = 0;
    task.progress.supports_range = false;
    run.probe_state = task.request.method == "GET" ? kNotProbed : kSingleStream;
    run.set_validator("");
    std::lock_guard lock(task.progress.segment_lock);
    task.progress.segments = {make_segment(0, 0, kUnknownEnd)};
}

// Opens the output file and takes its lock. A file that another process is writing (it holds
// the lock) stays its own: the task moves on to the next free name, as it would beside a user's
// file. `existed` tells whether the file was there before. False when no file could be had.
bool open_locked_output(DriverRun& run, bool& existed) {
    const RunContext& task = run.task;
    std::string path = task.progress.output_path();
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        create_parent_folders(path);
        existed = exists(path);
        run.output.reset(open_output(path));
        if (!run.output.valid()) {
            set_open_failure(task, path, errno);
            return false;
        }
        if (lock_output(run.output.get())) return true;
        run.output.reset();
        debug_log("[dl] \"%s\" is being written by another process — taking another name", path.c_str());
        const std::string taken = path;
        path = set_output_path(task, taken, true).first;
        if (path == taken) break;
    }
    task.progress.set_failure("error: cannot open output file: " + path + " (another process is writing it)",
                              FailureCategory::kIo);
    return false;
}

// Steps 1-4 of a run: the folder, the output file and its lock, the sidecar. False when the
// file cannot be opened.
bool open_run(DriverRun& run) {
    const RunContext& task = run.task;
    bool existed = false;
    if (!open_locked_output(run, existed)) return false;
    const std::string path = task.progress.output_path();
    // What a run killed while saving its sidecar left half-written; never a file of another's.
    remove_stale_sidecar_temporaries(task.progress.sidecar_path());
    std::optional<ResumeState> resume;
    if (task.request.method == "GET") resume = load_sidecar(task.progress.sidecar_path(), path);
    run.resumed = resume.has_value();
    if (!resume && !existed) task.progress.created_output = true;
    if (task.progress.created_output) mark_as_ours(run.output.get(), task.request.url);
    if (resume) {
        grow_output(run.output.get(), resume->total);
        take_resume_state(run, std::move(*resume));
    } else {
        start_fresh(run);
    }
    return true;
}

bool pass_over(const DriverRun& run) {
    const RunContext& task = run.task;
    return run.restart || download_complete(task.progress) || task.progress.failed || task.control.stop;
}

// Starts worker number `index`. A thread that cannot start ends the task with an error when no
// worker runs yet; otherwise the pass goes on with those it has.
bool start_worker(DriverRun& run, std::vector<std::thread>& workers) {
    const uint64_t index = workers.size();
    try {
        if (run.settings.before_worker_start) run.settings.before_worker_start(index);
        workers.emplace_back(run_segment_worker, std::ref(run), index);
        return true;
    } catch (const std::system_error& e) {
        debug_log("[dl] worker %llu could not start: %s", static_cast<ull>(index), e.what());
        if (workers.empty())
            run.task.progress.set_failure("error: cannot start worker thread", FailureCategory::kOther);
        return false;
    }
}

// Waits out one pass tick, ending it early when the pass is over: a stop, a failure, a restart,
// or a worker that returned and left the download complete (so that a small file is "done"
// right after its last byte rather than at the next tick). The first response settling the
// file's size and range support ends it too: the other connections start at once.
void wait_for_tick(DriverRun& run, int64_t tick_ms) {
    const RunContext& task = run.task;
    const int64_t tick_end = monotonic_ms() + tick_ms;
    const uint8_t probe = run.probe_state;
    for (;;) {
        const uint32_t ended = run.workers_ended;
        const int64_t left = tick_end - monotonic_ms();
        if (left <= 0 || pass_over(run) || run.probe_state != probe) return;
        task.control.wait(left, [&] {
            return run.restart || task.progress.failed || task.control.stop || run.workers_ended != ended ||
                   run.probe_state != probe;
        });
    }
}

// While the server's pause holds the task's host, the row says so, "waiting 42 s (server
// asked)"; afterwards it is "downloading" again. Any other phase (a failure, an ending) is left
// alone.
void show_server_pause(const RunContext& task) {
    const int64_t now = monotonic_ms();
    HostGate& gate = HostGate::shared();
    const std::string effective = task.progress.effective_url();
    int64_t ms = gate.held_for(gate_host(task.request.url), now);
    if (!effective.empty()) ms = std::max(ms, gate.held_for(gate_host(effective), now));
    if (ms > 0) {
        const std::string wanted = server_pause_status(ms);
        if (!task.progress.replace_status(TaskPhase::kServerPause, TaskPhase::kServerPause, wanted))
            task.progress.replace_status(TaskPhase::kDownloading, TaskPhase::kServerPause, wanted);
    } else {
        task.progress.replace_status(TaskPhase::kServerPause, TaskPhase::kDownloading, "downloading");
    }
}

// The task's own limit, or its share of the limit all tasks share when that is lower
// (task_limit in core/shared_bandwidth.h). The share is measured by the bytes already slept off.
int64_t effective_limit(DriverRun& run) {
    const int64_t share = run.shared_share.share(run.paid_bytes.load(std::memory_order_relaxed));
    return task_limit(run.task.control.bandwidth_limit, share, run.limiter.limit());
}

void run_pass(DriverRun& run, int64_t& last_save_ms) {
    const RunContext& task = run.task;
    run.restart = false;
    // A new pass: connections may be opened again, unless the run is being stopped already.
    task.control.canceller.reset();
    if (pass_ending(run)) task.control.interrupt();
    task.progress.last_progress_ms = task_elapsed_ms(task.progress);
    AdaptiveController controller(static_cast<uint32_t>(task.request.connections),
                                  static_cast<uint64_t>(monotonic_ns()), task.progress.bytes_done(),
                                  task.progress.throttle_hits, AdaptiveSettings::from_environment());
    std::vector<std::thread> workers;
    bool can_start = true;
    for (;;) {
        controller.sample(static_cast<uint64_t>(monotonic_ns()),
                          static_cast<uint64_t>(task_elapsed_ms(task.progress)), task.progress.bytes_done(),
                          task.progress.throttle_hits);
        task.progress.active_target = std::min<uint64_t>(controller.target(), connection_cap(run));
        run.limiter.set_limit(effective_limit(run));
        show_server_pause(task);
        while (can_start && workers.size() < task.progress.active_target)
            can_start = start_worker(run, workers);
        if (pass_over(run)) break;
        if (task_elapsed_ms(task.progress) - last_save_ms > kSidecarSaveIntervalMs) {
            save_run_sidecar(run);
            last_save_ms = task_elapsed_ms(task.progress);
        }
        wait_for_tick(run, controller.ramping_fast() ? kQuickTickMs : kPassTickMs);
    }
    if (run.digest.expecting() && download_complete(task.progress))
        debug_log_if("TWK_DEBUG_HASH", "[hash] %llu of %llu bytes left to hash after the last byte arrived",
                     static_cast<ull>(task.progress.total -
                                      std::min<uint64_t>(run.digest.hashed(), task.progress.total)),
                     static_cast<ull>(task.progress.total.load()));
    for (auto& worker : workers)
        worker.join();
}

// Continues the interrupted run found under the server's file name. False when its file cannot
// be opened.
bool adopt_pending_run(DriverRun& run) {
    const RunContext& task = run.task;
    run.adopt_resume = false;
    run.restart = false;
    // Another file: its own bytes are hashed from its start.
    run.digest.restart();
    run.output.reset();
    auto [path, state] = run.take_pending_adopt();
    run.output.reset(open_output(path));
    if (!run.output.valid()) {
        set_open_failure(task, path, errno);
        return false;
    }
    if (!lock_output(run.output.get())) {
        run.output.reset();
        task.progress.set_failure("error: cannot open output file: " + path +
                                      " (another process is writing it)",
                                  FailureCategory::kIo);
        return false;
    }
    grow_output(run.output.get(), state.total);
    take_resume_state(run, std::move(state));
    run.resumed = true;
    task.progress.complete = false;
    debug_log("[dl] resuming \"%s\" (%llu bytes already on disk of %llu)", task.progress.name().c_str(),
              static_cast<ull>(task.progress.bytes_done()), static_cast<ull>(task.progress.total.load()));
    return true;
}

void restart_from_scratch(DriverRun& run) {
    const RunContext& task = run.task;
    debug_log("[dl] resource changed on resume — discarding partial, restarting from scratch");
    remove_sidecar(task.progress.sidecar_path());
    task.progress.complete = false;
    run.digest.restart();
    start_fresh(run);
    if (run.restart_single.exchange(false)) run.probe_state = kSingleStream;
    // Should emptying fail, the old bytes stay until the new ones are written over them.
    if (::ftruncate(run.output.get(), 0) != 0)
        debug_log("[dl] could not empty the output file for the restart");
}

// Whether the output path still names the file this run wrote: not deleted (a link count of 0),
// nor replaced, nor gone with its folder.
bool output_still_there(int fd, const std::string& path) {
    struct stat open_file {};
    struct stat at_path {};
    return ::fstat(fd, &open_file) == 0 && open_file.st_nlink > 0 && ::stat(path.c_str(), &at_path) == 0 &&
           open_file.st_dev == at_path.st_dev && open_file.st_ino == at_path.st_ino;
}

// Removes what a run leaves that nothing can continue: the output file (the run's open file,
// when the path still names it) and its sidecar. A run only ever opens a file that is its own
// to write over (core/naming.h: empty, or left by an unfinished run of ours), so nothing of the
// user's goes with it.
void discard_output(const DriverRun& run) {
    const RunContext& task = run.task;
    if (output_still_there(run.output.get(), task.progress.output_path()))
        ::unlink(task.progress.output_path().c_str());
    remove_sidecar(task.progress.sidecar_path());
}

// An ended run leaves a partial file that a later run continues (bytes on disk and a sidecar
// describing them) or nothing at all: never an empty file, nor one preallocated to the full
// size and mostly zeros. True when the file stays; `why` tells why it could not.
bool keep_resumable(DriverRun& run, std::string& why) {
    const RunContext& task = run.task;
    if (task.progress.bytes_done() == 0) {
        discard_output(run);
        return false;
    }
    if (!task.progress.supports_range || task.progress.total == 0) {
        why = "the server does not support resuming";
    } else if (save_run_sidecar(run)) {
        return true;
    } else {
        why = "cannot save resume state: " + system_reason(errno);
        // A sidecar saved earlier still describes what is on disk, only less of it.
        if (load_sidecar(task.progress.sidecar_path(), task.progress.output_path())) return true;
    }
    discard_output(run);
    return false;
}

// The end of a run. The output stays open (and locked) until the sidecar says what it holds,
// so that no other process takes the pair over half-way.
// A file that does not match its checksum is never left as the finished file: it is kept as
// "<name>.bad" beside it, and the task fails with both digests. True when there was nothing to
// check or the file matched.
bool verify_output(DriverRun& run) {
    const RunContext& task = run.task;
    const Checksum expected = run.digest.expected();
    if (expected.empty()) return true;
    const int fd = run.output.get();
    const std::string got = run.digest.finish(fd, task.progress.total);
    if (got == expected.hex) return true;
    unmark(fd);
    task.progress.created_output = false;
    remove_sidecar(task.progress.sidecar_path());
    run.output.reset();
    if (got.empty()) {
        task.progress.set_failure("error: checksum could not be computed: " + system_reason(errno),
                                  FailureCategory::kIo);
        return false;
    }
    const std::string bad = task.progress.output_path() + ".bad";
    if (::rename(task.progress.output_path().c_str(), bad.c_str()) != 0)
        debug_log("[dl] could not set the bad file aside: %s", system_reason(errno).c_str());
    task.progress.set_failure("error: checksum mismatch (expected " + expected.text() + ", got " + got + ")",
                              FailureCategory::kProtocol);
    return false;
}

void finish_run(DriverRun& run) {
    const RunContext& task = run.task;
    run.digest.stop(); // the file is closed or set aside below
    const int fd = run.output.get();
    std::string why;
    if (task.control.pause) {
        flush_output(fd);
        // "paused" promises that resume continues; nothing received means nothing is lost.
        const bool kept = keep_resumable(run, why) || task.progress.bytes_done() == 0;
        run.output.reset();
        if (kept) {
            task.progress.finish(RunEnd::kPaused);
        } else {
            task.progress.set_failure("error: interrupted and not resumable: " + why, FailureCategory::kIo);
        }
        return;
    }
    if (task.control.stop) {
        discard_output(run);
        run.output.reset();
        task.progress.finish(RunEnd::kCanceled);
        return;
    }
    if (download_complete(task.progress) && !task.progress.status_is_error()) {
        // Deleted, or its folder removed, while it was written: there is nothing to call done.
        if (!output_still_there(fd, task.progress.output_path())) {
            remove_sidecar(task.progress.sidecar_path());
            run.output.reset();
            task.progress.set_failure("error: output file was removed during the download",
                                      FailureCategory::kIo);
            return;
        }
        if (finalize_output(fd, task.progress.total)) {
            if (!verify_output(run)) return;
            // Finished, the file is the user's: a later run never writes into it.
            unmark(fd);
            task.progress.created_output = false;
            remove_sidecar(task.progress.sidecar_path());
            run.output.reset();
            task.progress.finish(RunEnd::kDone);
            return;
        }
        task.progress.set_failure("error: finalize failed: " + system_reason(errno), FailureCategory::kIo);
    }
    flush_output(fd);
    if (!task.progress.status_is_error())
        task.progress.set_failure("error: incomplete", FailureCategory::kIo);
    keep_resumable(run, why);
    run.output.reset();
}

} // namespace

uint64_t connection_cap(const DriverRun& run) {
    const RunContext& task = run.task;
    if (run.probe_state != kRanged || task.progress.total == 0) return 1;
    uint64_t wanted = 0;
    {
        std::lock_guard lock(task.progress.segment_lock);
        for (const auto& segment : task.progress.segments) {
            const uint64_t pos = segment->pos;
            const uint64_t end = segment->end;
            if (pos < end) wanted += (end - pos) / kBytesPerConnection + 1;
        }
    }
    return std::min<uint64_t>(task.request.connections, std::max<uint64_t>(1, wanted));
}

void run_download(const RunContext& task, const DriverSettings& settings) {
    // A new run: whatever ended the last one (its error) is history.
    task.progress.failed = false;
    task.progress.complete = false;
    DriverRun run(task, settings);
    if (!open_run(run)) return;
    Checksum asked;
    if (parse_checksum(task.request.checksum, asked)) run.digest.expect(asked);
    task.progress.set_status(TaskPhase::kDownloading);

    int64_t last_save_ms = task_elapsed_ms(task.progress);
    int restarts = 0;
    for (;;) {
        run_pass(run, last_save_ms);
        if (!run.restart || task.control.stop || task.control.pause || task.progress.failed) break;
        if (run.adopt_resume) {
            if (!adopt_pending_run(run)) return;
        } else if (++restarts > kMaxRestartsFromScratch) {
            // A validator that changes with every answer would restart the run forever.
            task.progress.set_failure("error: remote file changed since last run",
                                      FailureCategory::kProtocol);
            break;
        } else {
            restart_from_scratch(run);
        }
        task.progress.set_status(TaskPhase::kDownloading);
    }
    finish_run(run);
}

} // namespace twk

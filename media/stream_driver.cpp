#include "media/stream_driver.h"

#include <stdio.h>

#include <cerrno>

#include "core/file_digest.h"
#include "core/naming.h"
#include "core/task.h"
#include "core/task_driver.h"
#include "media/live_recorder.h"
#include "media/segment_fetcher.h"
#include "media/stream_job.h"
#include "media/stream_join.h"
#include "media/stream_parts.h"
#include "media/stream_progress.h"
#include "net/checksum.h"
#include "net/debug_log.h"
#include "net/socket.h" // system_reason

namespace twk {

namespace {

// How a run that was stopped, or failed, ends: a pause or an error keeps the work folder for
// the next run; only a cancel removes it.
void finish_interrupted(const RunContext& task, const std::string& work_dir) {
    if (task.progress.status_is_error()) return;
    if (task.control.pause) {
        task.progress.finish(RunEnd::kPaused);
        return;
    }
    task.progress.finish(RunEnd::kCanceled);
    remove_work_dir(work_dir);
}

// Names the output and takes the work folder: an earlier run of the same part list is continued
// under its name; otherwise the first free name is used. False with the failure set when another
// process holds the folder.
bool claim_work_dir(const RunContext& task, const StreamJob& job, const std::string& signature,
                    std::string& candidate, std::string& output, std::string& work_dir, UniqueFd& lock) {
    candidate = folder_of(task.progress.output_path()) + "/" + stream_base_name(task.progress.name()) + "." +
                job.container;
    const std::string earlier = find_earlier_run(candidate, signature);
    // Named like plain downloads: another live task's path or a file already on disk is never
    // taken over; the next free " (N)" name is used instead.
    output = earlier.empty() ? set_output_path(task, candidate, true).first
                             : set_output_path(task, earlier, false).first;
    work_dir = stream_work_dir(output);
    bool busy = false;
    if (lock_work_dir(work_dir, lock, busy)) return true;
    if (busy) {
        task.progress.set_failure("error: this stream is already being downloaded (" + work_dir + ")",
                                  FailureCategory::kOther);
    } else {
        task.progress.set_failure("error: cannot create the work folder " + work_dir + ": " +
                                      system_reason(errno),
                                  FailureCategory::kIo);
    }
    return false;
}

// A stream given a checksum is checked once joined, as a plain download is when complete: a
// file that does not match is set aside as "<name>.bad", never left as the finished file, and
// the task fails with both digests. True when there was nothing to check or the file matched.
bool verify_output(const RunContext& task, const std::string& output) {
    Checksum expected;
    if (!parse_checksum(task.request.checksum, expected)) return true;
    const std::string got = digest_of_file(output, expected.algorithm);
    if (got == expected.hex) return true;
    if (got.empty()) {
        task.progress.set_failure("error: checksum could not be computed: " + system_reason(errno),
                                  FailureCategory::kIo);
        return false;
    }
    if (::rename(output.c_str(), (output + ".bad").c_str()) != 0)
        debug_log("[dl] could not set the bad file aside: %s", system_reason(errno).c_str());
    task.progress.set_failure("error: checksum mismatch (expected " + expected.text() + ", got " + got + ")",
                              FailureCategory::kProtocol);
    return false;
}

} // namespace

void run_stream_task(const RunContext& task) {
    TaskProgress& progress = task.progress;
    TaskControl& control = task.control;
    // A new run may open connections again (an earlier pause cancelled the task's sockets),
    // unless this one is being stopped already.
    control.canceller.reset();
    if (control.stop) control.interrupt();
    progress.set_status(TaskPhase::kProbing);
    std::string manifest, error;
    // A pause or cancel while the playlist is read ends the run as asked: nothing is fetched yet.
    const auto stopped = [&] {
        if (control.stop) progress.finish(control.pause ? RunEnd::kPaused : RunEnd::kCanceled);
        return control.stop.load();
    };
    // One limiter for everything the run fetches; the task takes its share of the list's limit
    // from here on.
    StreamBandwidth bandwidth(task);
    if (!fetch_manifest(task, bandwidth, task.request.url, manifest, error)) {
        if (!stopped())
            progress.set_failure("error: manifest fetch failed: " + error, FailureCategory::kOther);
        return;
    }
    StreamFetch fetch = [&task, &bandwidth](const std::string& url, int64_t offset, int64_t length,
                                            std::string& body, std::string& fetch_error) {
        return offset < 0 && length < 0
                   ? fetch_manifest(task, bandwidth, url, body, fetch_error)
                   : fetch_resource(task, bandwidth, url, offset, length, body, fetch_error);
    };
    StreamJob job = read_stream_job(task.request.stream_type, task.request.url, manifest, fetch);
    manifest = std::string();
    if (!job.error.empty()) {
        if (!stopped()) progress.set_failure("error: " + job.error, FailureCategory::kProtocol);
        return;
    }
    // A recording that was paused (or the program closed) while the stream was live goes on in
    // its file when the stream has ended since: what is listed past its place is added, and it is
    // done. Taken for a download on demand, it would be fetched again beside the recording.
    const bool recording =
        progress.live.active && progress.live.next_sequence >= 0 && progress.created_output;
    if (job.live || recording) {
        record_live_stream(task, bandwidth, job);
        return;
    }

    const std::string signature = job.signature();
    std::string candidate, output, work_dir;
    UniqueFd lock;
    if (!claim_work_dir(task, job, signature, candidate, output, work_dir, lock)) return;
    progress.supports_range = false;

    PartTable parts(job, work_dir);
    prepare_work_dir(work_dir, signature, parts);
    const JoinRecord record = resume_join(work_dir, parts);
    progress.total = lay_out_progress(task, parts);
    progress.total_estimated = true;
    progress.set_status(TaskPhase::kDownloading);

    StreamRun run(task, bandwidth, parts, stream_timing());
    const bool video_init = !job.video_init.uri.empty();
    const bool audio_init = job.separate_audio && !job.audio_init.uri.empty();
    // An init file already in the joined file is not needed again.
    if (video_init && !record.present &&
        !fetch_init(run, job.video_init, work_dir + "/" + kVideoInit, error)) {
        if (!control.stop)
            progress.set_failure(with_reason("error: init segment fetch failed", error),
                                 FailureCategory::kOther);
        finish_interrupted(task, work_dir);
        return;
    }
    if (audio_init && !fetch_init(run, job.audio_init, work_dir + "/" + kAudioInit, error)) {
        if (!control.stop)
            progress.set_failure(with_reason("error: audio init fetch failed", error),
                                 FailureCategory::kOther);
        finish_interrupted(task, work_dir);
        return;
    }

    {
        std::lock_guard segments(progress.segment_lock);
        progress.left_out.clear();
    }
    run_workers(run, task.request.connections);
    size_t left_out = 0;
    {
        std::lock_guard segments(progress.segment_lock);
        progress.total = lay_out_locked(parts);
        left_out = progress.left_out.size();
    }
    // Leaving bad segments out is for a stream with a few of them, not for one with none good.
    if (!run.error && !control.stop && left_out == parts.size()) {
        progress.set_failure("error: every segment failed", FailureCategory::kOther);
        finish_interrupted(task, work_dir);
        return;
    }
    if (run.error || control.stop) {
        progress.note_progress();
        finish_interrupted(task, work_dir);
        return;
    }
    progress.total_estimated = false;
    progress.note_progress();

    progress.set_status(TaskPhase::kMuxing);
    std::string failure = join_tracks(work_dir, video_init, audio_init, parts, job.separate_audio, record);
    // A pause or cancel that came while joining: the task list will call the run paused or
    // cancelled, so it must not leave a file behind as if done. The join goes on from where it
    // stopped at the next run.
    if (failure.empty() && control.stop) {
        finish_interrupted(task, work_dir);
        return;
    }
    if (failure.empty()) failure = place_output(task, work_dir + "/" + kJoinFile, output, candidate);
    if (!failure.empty()) {
        debug_log("[dl] stream join failed: %s (parts kept in %s)", failure.c_str(), work_dir.c_str());
        progress.set_failure(failure, FailureCategory::kIo);
        return;
    }
    // A file that fails its check is no use to continue from: the next run fetches it anew.
    if (!verify_output(task, output)) {
        remove_work_dir(work_dir);
        return;
    }
    const int64_t size = file_size(output);
    if (size > 0) progress.total = static_cast<uint64_t>(size);
    rescale_progress(task, parts, progress.total);
    progress.note_progress();
    remove_work_dir(work_dir);
    debug_log("[dl] stream done: %zu parts, %llu payload bytes -> %s", parts.size(),
              static_cast<unsigned long long>(run.payload.load()), output.c_str());
    progress.finish(RunEnd::kDone);
}

void clean_up_stream_task(const RunContext& task) {
    remove_work_dir(stream_work_dir(task.progress.output_path()));
}

TaskDrivers stream_drivers() {
    TaskDrivers drivers;
    drivers.stream = run_stream_task;
    drivers.stream_cleanup = clean_up_stream_task;
    return drivers;
}

} // namespace twk

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
void finish_interrupted(Task& task, const std::string& work_dir) {
    if (task.status_is_error()) return;
    if (task.pause) {
        task.set_status("paused");
        return;
    }
    task.set_status("canceled");
    remove_work_dir(work_dir);
}

// Names the output and takes the work folder: an earlier run of the same part list is continued
// under its name; otherwise the first free name is used. False with the status set when another
// process holds the folder.
bool claim_work_dir(Task& task, const StreamJob& job, const std::string& signature, std::string& candidate,
                    std::string& output, std::string& work_dir, UniqueFd& lock) {
    candidate = folder_of(task.output_path()) + "/" + stream_base_name(task.name()) + "." + job.container;
    const std::string earlier = find_earlier_run(candidate, signature);
    // Named like plain downloads: another live task's path or a file already on disk is never
    // taken over; the next free " (N)" name is used instead.
    output = earlier.empty() ? set_output_path(task, candidate, true).first
                             : set_output_path(task, earlier, false).first;
    work_dir = stream_work_dir(output);
    bool busy = false;
    if (lock_work_dir(work_dir, lock, busy)) return true;
    task.set_status(busy ? "error: this stream is already being downloaded (" + work_dir + ")"
                         : "error: cannot create the work folder " + work_dir + ": " + system_reason(errno));
    return false;
}

// A stream given a checksum is checked once joined, as a plain download is when complete: a
// file that does not match is set aside as "<name>.bad", never left as the finished file, and
// the task fails with both digests. True when there was nothing to check or the file matched.
bool verify_output(Task& task, const std::string& output) {
    Checksum expected;
    if (!parse_checksum(task.request.checksum, expected)) return true;
    const std::string got = digest_of_file(output, expected.algorithm);
    if (got == expected.hex) return true;
    if (got.empty()) {
        task.set_failure("error: checksum could not be computed: " + system_reason(errno),
                         FailureCategory::kIo);
        return false;
    }
    if (::rename(output.c_str(), (output + ".bad").c_str()) != 0)
        debug_log("[dl] could not set the bad file aside: %s", system_reason(errno).c_str());
    task.set_failure("error: checksum mismatch (expected " + expected.text() + ", got " + got + ")",
                     FailureCategory::kProtocol);
    return false;
}

} // namespace

void run_stream_task(const std::shared_ptr<Task>& task) {
    // A new run may open connections again (an earlier pause cancelled the task's sockets),
    // unless this one is being stopped already.
    task->canceller.reset();
    if (task->stop) task->interrupt();
    task->set_status("probing");
    std::string manifest, error;
    // A pause or cancel while the playlist is read ends the run as asked: nothing is fetched yet.
    const auto stopped = [&task] {
        if (task->stop) task->set_status(task->pause ? "paused" : "canceled");
        return task->stop.load();
    };
    if (!fetch_manifest(*task, task->request.url, manifest, error)) {
        if (!stopped()) task->set_status("error: manifest fetch failed: " + error);
        return;
    }
    StreamFetch fetch = [&task](const std::string& url, int64_t offset, int64_t length, std::string& body,
                                std::string& fetch_error) {
        return offset < 0 && length < 0 ? fetch_manifest(*task, url, body, fetch_error)
                                        : fetch_resource(*task, url, offset, length, body, fetch_error);
    };
    StreamJob job = read_stream_job(task->request.stream_type, task->request.url, manifest, fetch);
    manifest = std::string();
    if (!job.error.empty()) {
        if (!stopped()) task->set_status("error: " + job.error);
        return;
    }
    // A recording that was paused (or the program closed) while the stream was live goes on in
    // its file when the stream has ended since: what is listed past its place is added, and it is
    // done. Taken for a download on demand, it would be fetched again beside the recording.
    const bool recording = task->live.active && task->live.next_sequence >= 0 && task->created_output;
    if (job.live || recording) {
        record_live_stream(task, job);
        return;
    }

    const std::string signature = job.signature();
    std::string candidate, output, work_dir;
    UniqueFd lock;
    if (!claim_work_dir(*task, job, signature, candidate, output, work_dir, lock)) return;
    task->supports_range = false;

    PartTable parts(job, work_dir);
    prepare_work_dir(work_dir, signature, parts);
    const JoinRecord record = resume_join(work_dir, parts);
    task->total = lay_out_progress(*task, parts);
    task->total_estimated = true;
    task->set_status("downloading");

    FetchRun context(task, parts);
    const bool video_init = !job.video_init.uri.empty();
    const bool audio_init = job.separate_audio && !job.audio_init.uri.empty();
    // An init file already in the joined file is not needed again.
    if (video_init && !record.present &&
        !fetch_init(context, job.video_init, work_dir + "/" + kVideoInit, error)) {
        if (!task->stop) task->set_status(with_reason("error: init segment fetch failed", error));
        finish_interrupted(*task, work_dir);
        return;
    }
    if (audio_init && !fetch_init(context, job.audio_init, work_dir + "/" + kAudioInit, error)) {
        if (!task->stop) task->set_status(with_reason("error: audio init fetch failed", error));
        finish_interrupted(*task, work_dir);
        return;
    }

    {
        std::lock_guard segments(task->segment_lock);
        task->left_out.clear();
    }
    run_workers(context, task->request.connections);
    size_t left_out = 0;
    {
        std::lock_guard segments(task->segment_lock);
        task->total = lay_out_locked(parts);
        left_out = task->left_out.size();
    }
    // Leaving bad segments out is for a stream with a few of them, not for one with none good.
    if (!context.error && !task->stop && left_out == parts.size()) {
        task->set_status("error: every segment failed");
        finish_interrupted(*task, work_dir);
        return;
    }
    if (context.error || task->stop) {
        task->note_progress();
        finish_interrupted(*task, work_dir);
        return;
    }
    task->total_estimated = false;
    task->note_progress();

    task->set_status("muxing");
    std::string failure = join_tracks(work_dir, video_init, audio_init, parts, job.separate_audio, record);
    // A pause or cancel that came while joining: the task list will call the run paused or
    // cancelled, so it must not leave a file behind as if done. The join goes on from where it
    // stopped at the next run.
    if (failure.empty() && task->stop) {
        finish_interrupted(*task, work_dir);
        return;
    }
    if (failure.empty()) failure = place_output(*task, work_dir + "/" + kJoinFile, output, candidate);
    if (!failure.empty()) {
        debug_log("[dl] stream join failed: %s (parts kept in %s)", failure.c_str(), work_dir.c_str());
        task->set_status(failure);
        return;
    }
    // A file that fails its check is no use to continue from: the next run fetches it anew.
    if (!verify_output(*task, output)) {
        remove_work_dir(work_dir);
        return;
    }
    const int64_t size = file_size(output);
    if (size > 0) task->total = static_cast<uint64_t>(size);
    rescale_progress(*task, parts, task->total);
    task->note_progress();
    remove_work_dir(work_dir);
    debug_log("[dl] stream done: %zu parts, %llu payload bytes -> %s", parts.size(),
              static_cast<unsigned long long>(context.payload.load()), output.c_str());
    task->set_status("done");
}

void clean_up_stream_task(const Task& task) { remove_work_dir(stream_work_dir(task.output_path())); }

TaskDrivers stream_drivers() {
    TaskDrivers drivers;
    drivers.stream = run_stream_task;
    drivers.stream_cleanup = clean_up_stream_task;
    return drivers;
}

} // namespace twk

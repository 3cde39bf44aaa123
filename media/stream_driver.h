// The stream driver: an HLS or DASH task becomes one playable file.
//
// `run_stream_task` runs on the task's thread. It fetches the manifest (with the retry rules of
// the segments below), reads it into a list of parts (media/stream_job.h), names the output
// "<name>.ts" or "<name>.mp4" beside the task's path (the first free " (N)" name when that file
// exists or another live task holds it), and fetches every part into a hidden work folder
// "<dir>/.<output name>.parts" with up to the task's connection count of worker threads, AES-128
// segments decrypted on the way. Then the parts are joined: concatenated after the initialisation
// segment when there is one track, remuxed into one MP4 when audio comes as a separate track.
// Status texts: "probing", "downloading", "muxing", "done"; or "paused", "canceled", or one
// beginning with "error". A task with a checksum has the joined file checked before "done"
// (a mismatch keeps it as "<name>.bad", as for plain downloads).
//
// Progress: one progress segment per part in the task's segment list (a stream of more than
// 1000 parts gives each progress segment a run of neighbouring parts). Until every part is in,
// the sizes are estimates (bandwidth x duration, then the mean of the parts fetched so far) and
// the task's total says so (`total_estimated`); at the end they are rescaled so that the
// segments tile the finished file.
//
// A failed segment is tried again with a growing pause (longer when the server sends
// Retry-After) as long as the task made progress within the stall window; a failure no retry
// can mend (a 404, an unknown host, a refused certificate, a key that is no key) ends the task
// at once. A task that skips bad segments gives each failing one three attempts, leaves it out
// of the file and names it (`TaskProgress::left_out`, the status document's "leftOut"); it still ends
// in error when every segment failed, or when writing failed.
//
// The work folder outlives a pause and an error: a later run for the same output name whose
// manifest yields the same part list fetches only the parts that are missing; any other list
// starts over. Only a cancel removes it. While a run uses the folder it holds an advisory lock
// on it, so that a second process on the same stream says so instead of writing beside it.
//
// Joining builds the file inside the work folder and renames it into place at the end. A plain
// concatenation appends the parts in order and releases them, a few MiB at a time, once they are
// safely in the file (flushed, and counted in a small record in the folder), so it needs room for
// one copy of the stream, not two; a killed or failed join is continued by the next run from
// that record. Free space is checked first: "not enough space to join: need 7.5 MB, 4.1 MB free".
// A run that finds a work folder of the same part list under the candidate name or one of its
// numbered names continues there, so a rerun never starts afresh beside its own earlier work.
//
// The pieces: the parts store (media/stream_parts.h), the segment fetcher and its retries
// (media/segment_fetcher.h), decryption (media/segment_decrypt.h), the progress layout
// (media/stream_progress.h) and joining (media/stream_join.h). This file runs them in order.
#pragma once

#include <memory>

#include "core/task.h"
#include "core/task_driver.h"

namespace twk {

struct RunContext;

// Runs the whole task and returns when it has ended; the outcome is in its status text.
void run_stream_task(const RunContext& task);

// Removes what a paused stream task keeps between runs (its work folder of fetched parts).
void clean_up_stream_task(const RunContext& task);

// The stream driver and its clean-up, for an engine's drivers (core/task_driver.h).
TaskDrivers stream_drivers();

} // namespace twk

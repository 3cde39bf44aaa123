// The stream driver: an HLS or DASH task becomes one playable file.
//
// `run_stream_task` runs on the task's thread. It fetches the manifest, reads it into a list of
// parts (media/stream_job.h), names the output "<name>.ts" or "<name>.mp4" beside the task's
// path (the first free " (N)" name when that file exists or another live task holds it), and
// fetches every part into a hidden work folder "<dir>/.<output name>.parts" with up to the task's
// connection count of worker threads, AES-128 segments decrypted on the way. Then the parts are
// joined: concatenated after the initialisation segment when there is one track, remuxed into one
// MP4 when audio comes as a separate track. Status texts: "probing", "downloading", "muxing",
// "done"; or "paused", "canceled", or one beginning with "error".
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
// at once.
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
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/task_driver.h"

namespace twk {

struct Task;

// Runs the whole task and returns when it has ended; the outcome is in its status text.
void run_stream_task(const std::shared_ptr<Task>& task);

// Removes what a paused stream task keeps between runs (its work folder of fetched parts).
void clean_up_stream_task(const Task& task);

// The stream driver and its clean-up, for an engine's drivers (core/task_driver.h).
TaskDrivers stream_drivers();

// One GET with the task's user agent, headers, proxy and TLS setting (method and body of the
// task are not used), on the request every transfer of the task starts from, so that a pause or
// cancel ends it at once. An offset and length of -1 fetch the whole resource; otherwise a Range
// is asked for, and a server that answers 200 with the whole resource has the range cut out
// here. False with the reason: the exchange's error, "http " + status, "read error", or
// "body over 2 GiB"; `failure`, when given, tells whether asking again can help and how long
// the server asked to wait.
struct FetchFailure {
    bool permanent = false;      // no retry can mend it: a 404, an unknown host, a certificate...
    int64_t retry_after_ms = -1; // the server's Retry-After; -1 when it sent none
};
bool fetch_resource(Task& task, const std::string& url, int64_t range_offset, int64_t range_length,
                    std::string& body, std::string& error, FetchFailure* failure = nullptr);

// The output name without its extension: the task's file name cut at "?" or "#", less one of
// ".m3u8", ".mpd", ".ts", ".mp4", ".mkv", ".m4v", ".mov", ".m4s" (any case); "video" when empty.
std::string stream_base_name(std::string_view name);

// The work folder of an output path: "<dir>/.<file name>.parts".
std::string stream_work_dir(std::string_view output_path);

// How long the driver waits between attempts. Tests shorten them; the program uses the defaults.
struct StreamTiming {
    // A part whose three attempts failed is tried again while some part of the task was
    // finished within this window.
    int64_t stall_window_ms = 90'000;
    // The pause after the first failed attempt; it doubles with each further one, up to the
    // longest.
    int64_t first_backoff_ms = 150;
    int64_t longest_backoff_ms = 10'000;
    // A server's Retry-After is honoured up to this.
    int64_t longest_retry_after_ms = 120'000;
};
// Applies to runs that start afterwards.
void set_stream_timing(const StreamTiming& timing);

// The wait a Retry-After value asks for: delta-seconds or an HTTP date (measured from `now`,
// seconds since the epoch). -1 when the value is neither.
int64_t retry_after_ms(std::string_view value, int64_t now);

enum class Decrypted {
    ok,
    bad_length,  // not a non-zero multiple of 16
    bad_padding, // the plaintext does not end in PKCS#7 padding: the key is not this segment's
};

// AES-128-CBC decryption of one segment. The plaintext must end in PKCS#7 padding (a last byte
// n in 1..16 and n bytes of value n), which is removed.
Decrypted decrypt_segment(std::string_view data, const std::array<uint8_t, 16>& key,
                          const std::array<uint8_t, 16>& iv, std::string& out);

// The join record a work folder keeps: "<parts joined> <bytes of the joined file>\n". False for
// any other text (then the join starts over).
bool parse_join_record(std::string_view text, size_t& count, uint64_t& size);

// "7.5 MB": one decimal, powers of 1024.
std::string join_size_text(uint64_t bytes);

} // namespace twk

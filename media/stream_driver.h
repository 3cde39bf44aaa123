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
// Progress: one progress segment per part in the task's segment list, sized by the part's
// estimate (bandwidth × duration) while downloading and rescaled at the end so that the segments
// tile the finished file.
//
// Pausing keeps the work folder with its finished parts (and a list of the parts): a later run
// for the same output name whose manifest yields the same part list fetches only the parts that
// are missing; any other list starts over. Cancelling and every error remove the folder.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace twk {

struct Task;

// Runs the whole task and returns when it has ended; the outcome is in its status text.
void run_stream_task(const std::shared_ptr<Task>& task);

// Makes every engine of the process run stream tasks with `run_stream_task`.
void install_stream_driver();

// One GET with the task's user agent, headers, proxy and TLS setting (method and body of the
// task are not used), on the request every transfer of the task starts from, so that a pause or
// cancel ends it at once. An offset and length of -1 fetch the whole resource; otherwise a Range
// is asked for, and a server that answers 200 with the whole resource has the range cut out
// here. False with the reason: the exchange's error, "http " + status, "read error", or
// "body over 2 GiB".
bool fetch_resource(Task& task, const std::string& url, int64_t range_offset, int64_t range_length,
                    std::string& body, std::string& error);

// The output name without its extension: the task's file name cut at "?" or "#", less one of
// ".m3u8", ".mpd", ".ts", ".mp4", ".mkv", ".m4v", ".mov", ".m4s" (any case); "video" when empty.
std::string stream_base_name(std::string_view name);

// The work folder of an output path: "<dir>/.<file name>.parts".
std::string stream_work_dir(std::string_view output_path);

// AES-128-CBC decryption of one segment. The length must be a non-zero multiple of 16. A last
// byte n in 1..16 whose n last bytes all equal n is padding and removed; otherwise every byte is
// kept.
bool decrypt_segment(std::string_view data, const std::array<uint8_t, 16>& key,
                     const std::array<uint8_t, 16>& iv, std::string& out);

} // namespace twk

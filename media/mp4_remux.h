// Joins a stream's separate video and audio tracks, each delivered as fragmented MP4 (an
// initialisation file and part files of `moof`/`mdat` fragments), into one ordinary MP4 file:
// `ftyp`, one `mdat` with every video sample followed by every audio sample, then a `moov` whose
// sample tables point into that `mdat`.
//
// The part files are read twice. The first pass reads only box headers and the `moof` boxes and
// collects the sample tables (size, duration, flags and place in the part file of every sample);
// the second copies the sample data in large sequential pieces, by the kernel (copy_file_range)
// where the file systems allow it. Memory thus grows with the number of samples, not with the
// size of the stream. Because every size is known before the first byte of media is copied, a
// disk without room for the whole file fails at once rather than after most of the copying.
#pragma once

#include <string>
#include <vector>

namespace twk {

// How the part files are read. `whole_files` reads each part whole into memory before anything
// is written; it gives the same output and serves as the reference for the streamed form.
// `streamed_buffered` is the streamed form with every byte going through this process, as on file
// systems the kernel cannot copy between.
enum class RemuxReading { streamed, streamed_buffered, whole_files };

// Writes `output_path` from the video track and, when it has an init path or parts, the audio
// track. An empty init path means the track has none: its description then comes from the
// `moov` of its first part. The audio track is written only when it has samples.
//
// On failure returns false with one of: "read part failed: " + path, "parse video init failed",
// "no video data", "parse video moov failed", "parse audio init failed", "parse audio moov
// failed", "no video samples parsed", "cannot open output", "write failed (disk full?)". A failure
// after the output was opened deletes it.
bool remux_tracks(const std::string& output_path, const std::string& video_init_path,
                  const std::vector<std::string>& video_part_paths, const std::string& audio_init_path,
                  const std::vector<std::string>& audio_part_paths, std::string& error,
                  RemuxReading reading = RemuxReading::streamed);

} // namespace twk

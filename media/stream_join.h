// Joining a stream's parts into its output file, and continuing a join that was cut short.
//
// One track is joined by appending the initialisation segment (when there is one) and every part
// to "joined.out" in the work folder, a few MiB at a time: each batch is flushed and counted in
// the record "joined.list" ("<parts joined> <bytes of the joined file>\n") before its part files
// are released, so joining needs room for one copy of the stream, not two, and a killed or failed
// join is continued by the next run from that record. Audio in a separate track is handed to the
// MP4 remux (media/mp4_remux.h) instead. Free space is checked first ("not enough space to join:
// need 7.5 MB, 4.1 MB free"); the finished file is renamed into place without replacing a file
// that appeared meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "media/stream_parts.h"

namespace twk {

struct RunContext;

// How far an earlier join got: the first `count` parts (after the init file, when there is
// one) are in the joined file, which is `size` bytes long up to there.
struct JoinRecord {
    bool present = false;
    size_t count = 0;
    uint64_t size = 0;
};

// Takes up what a killed or failed join left: the parts its record counts are in the joined
// file (a part file still there was released after the record was written, and goes now). A
// record the joined file does not bear out (it is gone or short) is dropped, and those parts
// are fetched again.
JoinRecord resume_join(const std::string& work_dir, PartTable& parts);

// Joins the parts into the joined file in the work folder, after the init files named when
// `video_init` / `audio_init`. Empty on success; else the task's status text.
std::string join_tracks(const std::string& work_dir, bool video_init, bool audio_init, PartTable& parts,
                        bool separate_audio, const JoinRecord& record);

// Moves the joined file to `output` without replacing a file that appeared there meanwhile (then
// the next free name after `candidate` is taken and `output` says which). Empty on success; else
// the task's status text.
std::string place_output(const RunContext& task, const std::string& joined, std::string& output,
                         const std::string& candidate);

// The join record's text to its numbers. False for any other text (then the join starts over).
bool parse_join_record(std::string_view text, size_t& count, uint64_t& size);

// "7.5 MB": one decimal, powers of 1024.
std::string join_size_text(uint64_t bytes);

// "text: reason", or the text alone when there is no reason.
std::string with_reason(const char* text, const std::string& reason);

} // namespace twk

// The parts store of a stream task: its work folder "<dir>/.<output name>.parts", the part list
// kept there, the part files an earlier run left, and the advisory lock a run holds on it.
//
// A work folder holds only files of this store: "parts.list" (the job's signature, so that a
// later run can tell whether the parts are its own), "v_000000.part" and "a_000000.part" (one per
// part, written whole or not at all), the initialisation segments "v_init.mp4" and "a_init.mp4",
// and the join's "joined.out" and "joined.list". Nothing else in the folder is ever deleted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "media/stream_job.h"
#include "net/file_io.h"

namespace twk {

struct Segment;

constexpr const char* kListFile = "parts.list";
constexpr const char* kVideoInit = "v_init.mp4";
constexpr const char* kAudioInit = "a_init.mp4";
// The output while it is being joined, and how far the join got ("<parts> <bytes>").
constexpr const char* kJoinFile = "joined.out";
constexpr const char* kJoinRecord = "joined.list";

struct PartState {
    bool finished = false; // its bytes are in its part file, or already in the joined file
    bool joined = false;   // in the joined file (its part file released)
    uint64_t size = 0;     // its real size once finished; 0 when unknown
    bool skipped = false;  // failed and left out (the task skips bad segments); this run only
};

// The parts of a run and what is known of each. Once workers run, the states, the sums and
// the progress segments are under the task's segment lock.
struct PartTable {
    PartTable(const StreamJob& j, std::string dir)
        : job(j), work_dir(std::move(dir)), state(j.part_count()) {}
    const StreamJob& job;
    const std::string work_dir;
    std::vector<PartState> state;
    std::vector<std::shared_ptr<Segment>> groups; // progress segments, one per run of parts
    std::vector<uint32_t> in_flight;              // parts being fetched, per group
    size_t per_group = 1;
    uint64_t known_bytes = 0; // sum and count of the sizes known
    uint64_t known_count = 0;

    size_t size() const { return state.size(); }
    StreamPart part(size_t i) const { return job.part(i); }
    std::string path(size_t i) const { return work_dir + "/" + job.part(i).file_name(); }
    size_t group_of(size_t i) const { return i / per_group; }
    void count_known();
};

// The output name without its extension: the task's file name cut at "?" or "#", less one of
// ".m3u8", ".mpd", ".ts", ".mp4", ".mkv", ".m4v", ".mov", ".m4s" (any case); "video" when empty.
std::string stream_base_name(std::string_view name);

// The work folder of an output path: "<dir>/.<file name>.parts".
std::string stream_work_dir(std::string_view output_path);

// Takes the advisory lock on the work folder (creating it, 0700), checked to be the folder that
// is still at that path. False when it cannot be made or opened, or when another run holds it
// (then `busy`).
bool lock_work_dir(const std::string& dir, UniqueFd& lock, bool& busy);

// The output path of an earlier run of the same part list: the candidate or one of its
// numbered names whose work folder holds this signature. Empty when there is none.
std::string find_earlier_run(const std::string& candidate, const std::string& signature);

// Picks up the parts an earlier run of the same list left in the work folder, or starts the
// folder afresh with this list.
void prepare_work_dir(const std::string& work_dir, const std::string& signature, PartTable& parts);

// Deletes the store's files; the folder stays.
void clear_work_dir(const std::string& dir);
// Clears the folder, then removes it when that left it empty (a folder the user put something
// into stays).
void remove_work_dir(const std::string& dir);

// Writes the whole file under a temporary name and renames it into place, flushed, so that a
// file that exists is always complete (a later run trusts it) and records survive a crash in the
// order they were written.
bool write_file_atomically(const std::string& path, std::string_view bytes);
// The whole of a small file; empty when it cannot be read.
std::string read_small_file(const std::string& path);
// The size of a regular file; -1 when there is none.
int64_t file_size(const std::string& path);

} // namespace twk

// The sidecar: the resume state of a ranged download, kept next to its output file P as
// P + ".twk". It is the only state that outlives the process.
//
// Layout, all integers little-endian, no padding:
//   0      4       magic "TWK1"
//   4      2       L, validator length
//   6      L       validator (ETag, else Last-Modified), no terminator; may be empty
//   6+L    24*n    records: start, min(pos, end), end (exclusive), 8 bytes each
// A file that does not begin with the magic is read as bare records with an empty validator.
//
// Saving goes through write_private_file (net/file_io.h): a crash or a failed save leaves the
// previous sidecar as it was, and the sidecar is the user's alone (0600).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/task.h"

namespace twk {

inline constexpr std::string_view kSidecarMagic = "TWK1";
inline constexpr size_t kSidecarRecordSize = 24;
inline constexpr size_t kMaxValidatorLength = 65535;
// At most 65,536 records: a record area is a multiple of 24 no longer than this.
inline constexpr size_t kMaxRecordArea = 1572887;
// The largest sidecar read: magic, length, the longest validator and 65,536 records.
inline constexpr size_t kMaxSidecarSize = 1638405;

// The file image of a resume state (validator cut to 65,535 bytes).
std::string sidecar_image(const ResumeState& state);

// Checks and reads a sidecar image for an output file of `output_size` bytes.
std::optional<ResumeState> parse_sidecar(std::string_view image, uint64_t output_size);

// Writes the task's sidecar with its segments and the run's `validator`; does nothing (false)
// unless the task supports ranges and its total is known. False when the save failed; the
// previous sidecar then stays untouched. A file in the sidecar's place that is none of ours
// stays too: the save fails (EEXIST).
bool save_sidecar(const RunContext& task, std::string_view validator);

// Whether the file at `path` reads as a sidecar of ours (whatever output it describes). A file
// under a sidecar's name that does not is someone else's: it is never written over (`save_sidecar`
// fails with EEXIST) nor deleted (`remove_sidecar` leaves it).
bool is_own_sidecar(const std::string& path);

// Deletes the sidecar at `path` when it is one of ours.
void remove_sidecar(const std::string& path);

// Deletes the temporary files a save of the sidecar at `path` left when its process was killed
// mid-write: only those provably ours, named `path` + ".tmp-" + six letters or digits (the
// temporary names of write_private_file), regular files of this user with mode 0600 whose
// bytes are the start of a sidecar. Anything else near the name (a user's "<path>.tmp") stays.
void remove_stale_sidecar_temporaries(const std::string& path);

// Reads the sidecar at `sidecar_path` for the output file `output_path`, which must exist.
std::optional<ResumeState> load_sidecar(const std::string& sidecar_path, const std::string& output_path);

} // namespace twk

// Output file naming: where a task's bytes go.
//
// - Two live tasks never share a path: a taken path becomes "stem (N).ext" for the first free N.
// - A task never writes over a file that is already on disk unless that file is its own
//   interrupted download (its sidecar loads) or was created by the task's own earlier run;
//   otherwise it takes the first free " (N)" name, counting existing files as taken.
// - When the first response arrives, an auto-named task may switch to the server's own file
//   name (Content-Disposition, or the last step of a redirect), and may pick up an interrupted
//   run it finds under that name.
//
// Paths are UTF-8 and joined with "/". The sidecar path is always output path + ".twk".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/driver_run.h"
#include "core/path_arbiter.h"
#include "core/task.h"
#include "json/json.h" // valid_utf8: names are made valid UTF-8 as the documents show them

namespace twk {

// Whether `task` may write at `path` as far as files on disk go. Never while another process
// writes it (it holds the file's lock, `lock_output`), nor when a file is at the path's sidecar
// name that is no sidecar of ours. Otherwise: nothing is there, or an empty file is (nothing to
// lose: what a run killed before its first answer leaves), or it is the task's own interrupted
// download (a GET task whose sidecar for that path loads), or an unfinished run of ours for the
// same URL left it (its mark, below), or the task's own earlier run created it. A finished file
// is the user's: it has neither sidecar nor mark.
bool may_write_over(const RunContext& task, const std::string& path);

// The extended attribute that names the URL an unfinished output file was created for, so that
// a later run for the same URL knows the file as its own (to continue or write over) and does
// not take a " (N)" name beside it. The mark goes when the download is done. File systems
// without user attributes keep no mark: such files then count as the user's.
inline constexpr const char* kOwnerAttribute = "user.twk.partial";
void mark_as_ours(int fd, const std::string& url);
bool marked_as_ours(const std::string& path, const std::string& url);
void unmark(int fd);

// Takes the advisory lock (flock) that says a task writes this output file and its sidecar;
// false when another process holds it. The lock lasts while the descriptor is open.
bool lock_output(int fd);
// Whether another open file (another process, or another task) holds the lock on `path`.
bool output_locked(const std::string& path);

// Moves the task to `candidate` through the collision check of the list it belongs to (other
// entries that are not done; with `avoid_files` also files on disk, as in `may_write_over`),
// then sets name, output path and sidecar path together. Returns the final path and the task's
// id (0 when the task is in no list).
std::pair<std::string, int32_t> set_output_path(const RunContext& task, const std::string& candidate,
                                                bool avoid_files = false);

// The final touches every file name gets, whoever chose it:
// - the bidirectional controls U+202A-U+202E, U+2066-U+2069, U+200E and U+200F are dropped (they
//   let "gpj.exe" show as "exe.jpg");
// - a name ending in the sidecar suffix ".twk" ends in "_twk" instead ("x.bin.twk" is saved as
//   "x.bin_twk"), so that no file a task writes is another task's resume state;
// - a name longer than 255 bytes is shortened on a UTF-8 character boundary, keeping its
//   extension (the text from its last "." on, when that is at most 32 bytes).
std::string fit_file_name(std::string_view name);

// A name a server supplied, made safe: refused (nothing) when it holds a byte below 32, "/",
// ":", "\" or 127, is empty after trimming blanks, leading dots and trailing blanks and dots,
// or is a device name ("con", "prn", "aux", "nul", "com1"-"com9", "lpt1"-"lpt9" before its
// first ".", any case); then fitted (`fit_file_name`).
std::optional<std::string> sanitize_server_name(std::string_view name);

// The file name a Content-Disposition value offers: a usable "filename*" (charset utf-8,
// iso-8859-1 or empty; percent-encoded) wins over "filename". Nothing when neither survives
// `sanitize_server_name`.
std::optional<std::string> parse_content_disposition(std::string_view value);

// Not "download.bin", and an extension of 1 to 8 letters or digits that is not a script or page
// extension ("php", "asp", "html", ...).
bool is_real_file_name(std::string_view name);

// What the probe response tells about the server's name for the file.
struct ServerNaming {
    std::optional<std::string> content_disposition; // the header's value, when present
    bool redirected = false;                        // a redirect was followed
    std::string final_path;                         // path and query of the final URL
    bool ranged = false;                            // the answer is a ranged transfer
    uint64_t size = 0;                              // the size the answer reports
};

enum class ServerNameResult {
    kKept,        // the task keeps its name
    kRenamed,     // output file, name and paths moved to the server's name
    kAdoptResume, // an interrupted run exists under the server's name: the worker stops, the
                  // run's restart and adopt-resume flags are set and its pending state holds
                  // the interrupted run
};

// The server file name step, run once per run by the worker that receives the probe response,
// and only for an auto-named task whose run did not continue a sidecar. The run's output file
// is open.
ServerNameResult apply_server_file_name(DriverRun& run, const ServerNaming& response);

} // namespace twk

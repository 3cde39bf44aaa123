// The task journal: the task list kept on disk, so that the desktop app and `twk serve` show the
// same list after a restart and every paused download continues where it stopped.
//
// The file ($XDG_STATE_HOME/tarnwick/tasks.json, default ~/.local/state/tarnwick/tasks.json) is
// one JSON object written with our codec:
//
//   {"version":1,"nextId":N,"tasks":[<entry>,...]}   entries in the list's order
//
// "nextId" is the id the list gives its next task: ids of deleted tasks are never given again,
// even when the highest ones were deleted. A journal without it (an older one) is read as if it
// named the id after its highest entry.
//   entry  {"id":N,"url":..,"filename":..,"outputPath":..,"connections":N,"method":..,
//           "headers":[[name,value],...],"postData":..,"userAgent":..,"insecure":B,
//           "proxy":{"kind":N,"host":..,"port":N,"user":..,"password":..},
//           "bandwidthLimit":N,"type":"" | "hls" | "dash","autoNamed":B,"checksum":..,
//           "liveFromStart":B,"skipBadSegments":B,"liveOutageLimit":N,
//           "state":"queued" | "running" | "done" | "error" | "paused" | "canceled",
//           "status":..,"total":N,"done":N,"supportsRange":B[,"live":<live>]}
//   live   {"next":N,"recordedMs":N,"gaps":N,"gapMs":N,"init":"<16 hex digits>"}
//
// "live" is there for a live recording: the media sequence it goes on from (-1: none yet), the
// media time it holds, its gaps and a digest of the initialisation segment in the file. "done"
// is then the size of the recording up to "next", read together with it, so that a run after a
// restart cuts off what a killed process appended beyond it and goes on from there. Members
// added after the first journals ("checksum" on) may be missing: they read as their defaults.
//
// "headers" are the request headers exactly as the task sends them, in order and with repeated
// names kept; the request's cookies and referrer are among them as the "Cookie" and "Referer"
// headers the task built from them, so they are kept once and cannot disagree with what is sent.
// Numbers are whole and from 0 to 2^53 (what a JSON number carries exactly).
//
// Cookies, authorisation headers and proxy passwords are in the file, so it is written through
// write_private_file (net/file_io.h): mode 0600 whatever an older file had, in a folder of mode
// 0700, atomically, so that a process killed at any moment leaves either the previous journal or
// the new one, never a mix.
//
// Reading checks the shape of everything. A file that does not parse, whose root is not such an
// object, or whose version is not 1 is set aside as "<path>.bad" and the list starts empty. In a
// file that parses, each entry stands alone: an entry of another shape (a missing or mistyped
// member, an unknown state, a duplicate id, a URL that does not parse, a header or user agent
// with a control byte, an output path with no file name) is dropped, the others load, and the
// original file is set aside as "<path>.bad" too, so that nothing of it is lost without a trace.
// A file set aside replaces an earlier "<path>.bad". A missing file is an empty list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/connection_counts.h"
#include "core/task.h"
#include "core/task_list.h"
#include "net/http_message.h"
#include "net/proxy_spec.h"

namespace twk {

inline constexpr int64_t kJournalVersion = 1;
// A journal larger than this is not read: some ten thousand tasks with long headers fit.
inline constexpr size_t kMaxJournalSize = 64u << 20;
// The largest whole number a JSON number holds exactly.
inline constexpr uint64_t kMaxJournalNumber = 1ull << 53;
inline constexpr const char* kJournalBadSuffix = ".bad";

// Where a live recording stood (Task::LiveRecording).
struct JournalLive {
    bool active = false;
    int64_t next_sequence = -1;
    int64_t recorded_ms = 0;
    uint32_t gaps = 0;
    int64_t gap_ms = 0;
    uint64_t init_digest = 0;
};

// One task as the journal keeps it: what made it, and where it stood.
struct JournalEntry {
    int32_t id = 0;
    std::string filename;
    std::string output_path;
    TaskRequest request; // headers as sent, in order; "Cookie" and "Referer" among them
    int64_t bandwidth_limit = 0;
    int32_t state = kPaused; // a TaskState
    std::string status;
    uint64_t total = 0;
    uint64_t done = 0;
    bool supports_range = false;
    JournalLive live;
};

// "queued", "running", "done", "error", "paused", "canceled"; empty for any other value.
std::string_view journal_state_name(int32_t state);

// The journal document for these entries, in this order, with "nextId" when `next_id` is above 0.
std::string journal_document(const std::vector<JournalEntry>& entries, int32_t next_id = 0);
// One entry as the document holds it, and the document made of such texts (in this order):
// for a writer that keeps the texts of the entries that did not change.
std::string journal_entry_json(const JournalEntry& entry);
std::string journal_document(const std::vector<const std::string*>& entry_texts, int32_t next_id = 0);

struct JournalParse {
    bool parsed = false;               // the root is a journal object of version 1
    std::vector<JournalEntry> entries; // the well-formed entries, in file order
    size_t dropped = 0;                // entries of another shape
    int32_t next_id = 0;               // the file's "nextId"; 0 when it has none (or a bad one)
};
JournalParse parse_journal(std::string_view text);

// Writes the document atomically (see above). False with the reason in `error`; the previous
// journal is then untouched.
bool write_journal(const std::string& path, const std::vector<JournalEntry>& entries, std::string& error);
bool write_journal_document(const std::string& path, const std::string& document, std::string& error);

struct JournalLoad {
    std::vector<JournalEntry> entries;
    int32_t next_id = 0;    // the file's "nextId"; 0 when it has none
    bool set_aside = false; // the file, or some of it, was unusable and is now "<path>.bad"
    std::string problem;    // what was wrong, for the diagnostic log
};
// Reads the journal at `path`; sets the file aside as described above.
JournalLoad load_journal(const std::string& path);

// Creates the folders above the journal at `path`, with mode 0700 for those it makes.
void make_journal_folder(const std::string& path);

// tasks.json in the program's state folder (net/file_io.h); empty when there is none.
std::string default_journal_path();

} // namespace twk

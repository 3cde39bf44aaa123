// Link refresh: a download whose link stopped working (a signed link that expired, a mirror that
// went away) continues from its sidecar with another URL for the same file, fetching none of the
// bytes it has.
//
// The new link is asked for the file (GET with "Range: bytes=0-0"; for ftp and ftps a HEAD,
// which asks SIZE, MDTM and a REST and fetches no byte). It is taken when its file has the
// download's size and no strong validator contradicts the one the sidecar holds (an ETag against
// an ETag, a Last-Modified date against a date; an FTP server's MDTM counts as its Last-Modified,
// so a copy with another modification time is refused); the sidecar then takes the new link's
// validator, so that the next run's If-Range matches the new server. Otherwise nothing changes
// and the reason says why (`RefreshResult`).
//
// What the new link is fetched with: its own credentials (the cookies, headers and user agent
// given with it, its proxy or else the engine's). The download's own headers go with it only
// when the new URL has the old one's origin (scheme, host, port); the connection count,
// bandwidth limit, checksum and file name stay the download's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/start_request.h"
#include "core/task.h"

namespace twk {

// The status of a download that took a new link, until its run starts.
inline constexpr std::string_view kContinuingStatus = "continuing with a new link";

enum class RefreshError {
    kNone,
    kNoSuchTask,      // "no such download"
    kStream,          // "a stream cannot continue from another link"
    kStreamLink,      // "a stream link cannot continue a download"
    kFinished,        // "the download has finished"
    kCanceled,        // "the download was canceled"
    kInvalidUrl,      // "invalid url"
    kNotGet,          // "the new link must be fetched with GET"
    kBusy,            // "the download did not stop in time"
    kRestarted,       // "the download was started again meanwhile"
    kNewLinkFailed,   // "the new link failed: CAUSE"
    kNotResumable,    // "the new link's server does not resume downloads"
    kSizeUnknown,     // "the new link does not tell the file's size"
    kSizeDiffers,     // "the new link's file is N bytes, the download's is M"
    kEtagDiffers,     // "the new link's file has ETag X, the download's is Y"
    kModifiedDiffers, // "the new link's file was modified at X, the download's at Y"
    kCannotSave,      // "cannot save resume state: REASON"
    kLocked,          // "another process is writing the file"
    kClosed,          // "engine not running"
};

struct RefreshResult {
    RefreshError error = RefreshError::kNone;
    std::string message; // empty for kNone
    bool ok() const { return error == RefreshError::kNone; }
};

RefreshResult refresh_refusal(RefreshError error, std::string_view detail = {});

// What the new link said about its file.
struct LinkFacts {
    bool ranged = false; // it answered the range with 206
    uint64_t size = 0;   // 0: not told
    std::string etag;
    std::string last_modified;
};

// Asks the URL of `request` for the file (its credentials go only to its own origin,
// core/transfer_request.h). False with the cause ("http 403", a transport error) when it did
// not answer with 200 or 206.
bool probe_link(const TaskRequest& request, LinkFacts& facts, std::string& cause);

// Whether a download of `size` bytes (0: not known yet) whose sidecar holds `validator` may
// continue with a link that told `facts`. `resuming` is false when there is no sidecar: nothing
// was fetched, so a server without ranges is good enough.
RefreshResult judge_new_link(const LinkFacts& facts, uint64_t size, std::string_view validator,
                             bool resuming);

// The request the download continues with (see above).
TaskRequest refreshed_request(const TaskRequest& old, const StartOptions& given);

// The whole check for the download whose file is at `output_path` (its size `known_size`, 0 when
// unknown, used when no sidecar loads): probe, judge, and on success the sidecar's validator
// becomes the new link's and the file's owner mark (core/naming.h) names the new URL. On
// refusal the file and its sidecar are untouched; a file another process is writing (it holds
// the file's lock) is refused before anything is asked.
RefreshResult adopt_new_link(const std::string& output_path, uint64_t known_size, const TaskRequest& request);

// The URL the unfinished file at `path` was created for (its owner mark), empty when unmarked.
std::string owner_url(const std::string& path);

} // namespace twk

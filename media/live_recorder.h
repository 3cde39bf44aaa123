// Recording a live stream: an HLS media playlist without #EXT-X-ENDLIST (or a master playlist
// whose chosen variant has none), or a dynamic DASH manifest (media/dash_manifest.h: segments by
// $Number$ or $Time$, on the client's clock where the manifest does not list them), is reloaded
// as it slides, and every new segment is appended to the output as it arrives, so the file
// plays while it grows. A DASH manifest that turns static ends the recording like ENDLIST.
//
// The playlist is reloaded after its target duration when the last load brought something new,
// after half of it when it did not (RFC 8216, 6.3.4). Each segment is fetched once, by media
// sequence (media/live_window.h): the first run starts three target durations behind the live
// edge, or at the oldest listed segment with `live_from_start`; a run after a pause starts at
// the live edge again and counts what it missed as a gap. MPEG-TS segments are appended as they
// are; fragmented MP4 ones after the initialisation segment, which makes a fragmented MP4.
//
// Outages: a playlist that fails to load (refused, 5xx, timeout, unreadable) is tried again with
// a growing pause (at least the server's Retry-After); segments that left the window meanwhile
// are a gap. A segment that cannot be fetched after a few tries is passed over as a gap too.
// When no new segment arrived for the outage limit (5 minutes unless set otherwise), the task
// ends "error: live stream lost for N s" and keeps what it recorded. A DASH manifest that gains
// a separate audio set is no outage: the recording ends at once with an error that says so, its
// file kept as it is (the video so far, playable), since the rest would have no sound.
//
// A recording that ended "done" is whole and is never appended to: a retry of the task records
// the stream again into a new file under a free name ("<name> (1).ts"), the finished one kept.
//
// Status texts: "recording", or "recording, 1 gap of 12 s" (gaps counted, their media time
// summed); at the end "done" (ENDLIST reached, or a stop that asked to finish), "paused",
// "canceled" (the recording removed) or an error. The task's one progress segment grows with
// the file; its total stays 0 (unknown); the task record's live counters hold the recorded time.
#pragma once

#include <memory>

#include "media/stream_job.h"

namespace twk {

struct RunContext;
class StreamBandwidth;

// Records the live stream whose first playlist load is `job` (job.live) until it ends, its
// fetches charged to `bandwidth` (media/stream_bandwidth.h); the outcome is in the task's status.
void record_live_stream(const RunContext& task, StreamBandwidth& bandwidth, StreamJob& job);

// "recording" or "recording, N gap(s) of S s" for the task's live counters.
std::string live_status_text(uint32_t gaps, int64_t gap_ms);

} // namespace twk

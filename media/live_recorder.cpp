#include "media/live_recorder.h"


#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <ctime>

#include "core/task.h"
#include "media/dash_manifest.h"
#include "media/hls_playlist.h"
#include "media/live_file.h"
#include "media/live_window.h"
#include "media/mp4_init.h"
#include "media/segment_decrypt.h"
#include "media/segment_fetcher.h"
#include "media/stream_join.h" // with_reason
#include "net/debug_log.h"
#include "net/socket.h" // system_reason

namespace twk {

namespace {

// Tries of one segment (or key, or the initialisation segment) before it counts as lost.
constexpr int kSegmentAttempts = 3;
// A reload never comes sooner than this, whatever the playlist's target duration says.
constexpr int64_t kShortestReloadMs = 1;
// A target duration missing or absurd is read as this (seconds).
constexpr double kDefaultTarget = 6;
constexpr double kLongestTarget = 600;
// Why a reloaded DASH manifest cannot be recorded on.
constexpr const char* kGainedAudio = "the manifest gained a separate audio track";

int64_t now_ms() { return monotonic_ms(); }

enum class InitStep {
    kReady,   // the output holds what the listed segments need
    kNotYet,  // it could not be fetched: the segments wait for the next reload
    kEnded,   // the recording cannot go on: the status says why
    kStopped, // the task is being stopped
};

class Recorder {
public:
    Recorder(const RunContext& task, StreamBandwidth& bandwidth, StreamJob& job)
        : m_task(task), m_bandwidth(bandwidth), m_timing(stream_timing()), m_url(job.playlist_url),
          m_kind(job.kind), m_file(task) {
        m_track.segments = std::move(job.video);
        m_track.first_sequence = job.first_sequence;
        m_track.target_duration = job.target_duration;
        m_init = job.video_init;
        m_container = job.container;
    }

    void run();

private:
    bool open_output();
    bool fetch_once(const std::string& url, int64_t offset, int64_t length, std::string& body,
                    std::string& error, FetchFailure& failure);
    bool fetch_segment(const MediaSegment& segment, std::string& body, std::string& error);
    // Records what the current playlist lists past the window; true when something new came.
    bool record_listed(bool rejoin);
    void lose(double seconds);
    // Waits `ms` of the stream's clock; false when the task was stopped meanwhile.
    bool pause_for(double ms);
    // Loads the playlist until it answers, the task stops or the outage limit passes.
    bool reload();
    bool read_playlist(std::string_view body, TrackPlan& track, std::string& error) const;
    // Brings the output up to the initialisation segment the playlist names now (see InitStep;
    // kEnded has set the status).
    InitStep follow_init(const StreamInit& init);
    void finish(bool ended);
    // The output is no longer this task's to go on with: what it holds stays, and the next run
    // starts a new file under a free name.
    void leave_file();
    int64_t outage_ms() const {
        const int64_t limit = m_task.request.live_outage_limit;
        return limit > 0 ? limit * 1000 : m_timing.live_outage_ms;
    }
    double target() const {
        const double t = m_track.target_duration;
        return t > 0 && t <= kLongestTarget ? t : kDefaultTarget;
    }

    const RunContext m_task;
    StreamBandwidth& m_bandwidth;
    StreamTiming m_timing;
    std::string m_url;
    std::string m_kind;
    TrackPlan m_track;
    StreamInit m_init;     // the initialisation segment of the first load
    StreamInit m_followed; // the one fetched last, which the output goes by
    std::string m_container;
    LiveFile m_file;
    LiveWindow m_window;
    bool m_last_lost = false; // the segment before was lost too: the same gap goes on
    int64_t m_last_new_ms = 0;
    std::string m_key_uri;
    std::array<uint8_t, 16> m_key{};
};

bool Recorder::open_output() {
    if (!m_file.open(m_container)) return false;
    if (m_file.rejoined()) m_window = LiveWindow(m_task.progress.live.next_sequence);
    return true;
}

bool Recorder::fetch_once(const std::string& url, int64_t offset, int64_t length, std::string& body,
                          std::string& error, FetchFailure& failure) {
    body.clear();
    return fetch_resource(m_task, m_bandwidth, url, offset, length, body, error, &failure);
}

// A segment and its key, each tried a few times with growing pauses.
bool Recorder::fetch_segment(const MediaSegment& segment, std::string& body, std::string& error) {
    auto fetch = [&](const std::string& url, int64_t offset, int64_t length, std::string& out) {
        for (int attempt = 1;; ++attempt) {
            FetchFailure failure;
            if (fetch_once(url, offset, length, out, error, failure)) return true;
            if (m_task.control.stop || failure.permanent || attempt >= kSegmentAttempts) return false;
            int64_t wait = std::min(m_timing.first_backoff_ms << (attempt - 1), m_timing.longest_backoff_ms);
            if (failure.retry_after_ms >= 0)
                wait = std::max(wait, std::min(failure.retry_after_ms, m_timing.longest_retry_after_ms));
            if (m_task.control.wait(wait, [this] { return m_task.control.stop.load(); })) return false;
        }
    };
    if (!fetch(segment.uri, segment.range_offset, segment.range_length, body)) return false;
    if (!segment.encrypted) return true;
    if (segment.key_uri != m_key_uri) {
        std::string key;
        if (!fetch(segment.key_uri, -1, -1, key)) return false;
        if (key.size() != m_key.size()) {
            error =
                "key fetch failed: the answer is " + std::to_string(key.size()) + " bytes, not a 16-byte key";
            return false;
        }
        std::copy(key.begin(), key.end(), m_key.begin());
        m_key_uri = segment.key_uri;
    }
    std::string plain;
    if (decrypt_segment(body, m_key, segment.iv, plain) != Decrypted::ok) {
        error = "decrypt failed";
        return false;
    }
    body.swap(plain);
    return true;
}

void Recorder::lose(double seconds) {
    const RunContext& task = m_task;
    if (!m_last_lost) ++task.progress.live.gaps;
    m_last_lost = true;
    task.progress.live.gap_ms += std::llround(std::max(0.0, seconds) * 1000);
    task.progress.set_status(TaskPhase::kRecording,
                             live_status_text(task.progress.live.gaps, task.progress.live.gap_ms));
}

bool Recorder::record_listed(bool rejoin) {
    const RunContext& task = m_task;
    const LiveStep step = m_window.take(m_track, task.request.live_from_start, rejoin);
    if (step.restarted) {
        debug_log("[dl] live: the playlist's sequence went back to %llu: a new discontinuity",
                  static_cast<unsigned long long>(m_track.first_sequence));
        m_window.restart_at(m_track.first_sequence);
    }
    if (step.lost > 0) {
        debug_log("[dl] live: %llu segments left the window before they were fetched",
                  static_cast<unsigned long long>(step.lost));
        lose(step.lost_seconds);
    }
    bool advanced = false;
    for (size_t i = step.first; i < m_track.segments.size() && !task.control.stop; ++i) {
        const MediaSegment segment = m_track.segments[i];
        const uint64_t sequence = m_track.first_sequence + i;
        std::string body, error;
        if (!fetch_segment(segment, body, error)) {
            if (task.control.stop) break;
            debug_log("[dl] live: segment %llu lost (%s)", static_cast<unsigned long long>(sequence),
                      error.c_str());
            m_window.skipped(sequence);
            {
                std::lock_guard lock(task.progress.segment_lock);
                task.progress.live.next_sequence = m_window.next();
            }
            lose(segment.duration > 0 ? segment.duration : target());
            continue;
        }
        if (!m_file.append(body)) {
            task.progress.set_failure("error: cannot write " + task.progress.output_path() + ": " +
                                          system_reason(errno),
                                      FailureCategory::kIo);
            return false;
        }
        m_last_lost = false;
        m_window.recorded(sequence, segment.uri);
        {
            // The place and the bytes before it move together (the journal reads them so).
            std::lock_guard lock(task.progress.segment_lock);
            task.progress.live.next_sequence = m_window.next();
            task.progress.live.recorded_ms += std::llround(std::max(0.0, segment.duration) * 1000);
            if (!task.progress.segments.empty()) task.progress.segments.front()->pos = m_file.size();
        }
        task.progress.note_progress();
        advanced = true;
    }
    if (advanced) m_last_new_ms = now_ms();
    return advanced;
}

bool Recorder::pause_for(double ms) {
    const auto wait = std::max<int64_t>(kShortestReloadMs, std::llround(ms * m_timing.live_wait_scale));
    return !m_task.control.wait(wait, [this] { return m_task.control.stop.load(); });
}

bool Recorder::reload() {
    const RunContext& task = m_task;
    for (int failures = 0;;) {
        std::string body, error;
        FetchFailure failure;
        TrackPlan track;
        if (fetch_once(m_url, -1, -1, body, error, failure) && read_playlist(body, track, error)) {
            m_track = std::move(track);
            return true;
        }
        if (task.control.stop) return false;
        // No outage: the stream is there and will stay so. Going on with the video alone would
        // leave the rest of the recording without sound.
        if (error == kGainedAudio) {
            m_file.sync();
            leave_file();
            task.progress.set_failure("error: the live stream gained a separate audio track; recording the "
                                      "video alone would leave out the sound, so the recording ends here",
                                      FailureCategory::kProtocol);
            return false;
        }
        if (now_ms() - m_last_new_ms >= outage_ms()) {
            task.progress.set_failure("error: live stream lost for " +
                                          std::to_string((now_ms() - m_last_new_ms) / 1000) + " s (" + error +
                                          ")",
                                      FailureCategory::kOther);
            return false;
        }
        ++failures;
        const int shift = std::min(failures - 1, 20);
        double wait =
            static_cast<double>(std::min(m_timing.first_backoff_ms << shift, m_timing.longest_backoff_ms));
        if (failure.retry_after_ms >= 0)
            wait = std::max(
                wait, static_cast<double>(std::min(failure.retry_after_ms, m_timing.longest_retry_after_ms)));
        debug_log("[dl] live: playlist failed (%s), again in %.0f ms", error.c_str(), wait);
        if (!pause_for(wait)) return false;
    }
}

// The reloaded playlist or manifest into `track`; false with the reason when it is unusable.
bool Recorder::read_playlist(std::string_view body, TrackPlan& track, std::string& error) const {
    if (m_kind == "dash") {
        StreamPlan plan = parse_dash(m_url, body);
        if (plan.error == kLiveSeparateAudio || plan.has_separate_audio) {
            error = kGainedAudio;
            return false;
        }
        if (!plan.error.empty()) {
            error = plan.error;
            return false;
        }
        track = std::move(plan.video);
    } else if (!parse_media_playlist(m_url, body, track, error)) {
        return false;
    }
    // An empty list (a stream that has not begun, or a manifest between periods) is waited out
    // like one that does not advance.
    return true;
}

void Recorder::leave_file() {
    const RunContext& task = m_task;
    std::lock_guard lock(task.progress.segment_lock);
    task.progress.created_output = false;
    task.progress.live.next_sequence = -1;
}

void Recorder::finish(bool ended) {
    const RunContext& task = m_task;
    m_file.sync();
    if (ended || (task.control.stop && task.progress.live.finish)) {
        // The recording is whole and stays as it is: a later run of the task (a retry) records
        // into a file of its own instead of appending a second recording to this one.
        leave_file();
        task.progress.finish(RunEnd::kDone);
    } else if (task.control.stop && task.control.pause) {
        task.progress.finish(RunEnd::kPaused);
    } else if (task.control.stop) {
        m_file.remove();
        task.progress.live.next_sequence = -1;
        task.progress.finish(RunEnd::kCanceled);
    }
    task.progress.note_progress();
}

// The initialisation segment the playlist names: the one the output holds, unless the encoder
// started over with another. The first one is written at the head of a new file. A later one
// that differs is written into an MPEG-TS recording (a new program table the stream carries on
// with); a fragmented MP4 recording keeps its own when the new one describes the same tracks and
// codec settings, and otherwise ends here: fragments of other tracks or settings after it would
// make a file that no longer plays.
InitStep Recorder::follow_init(const StreamInit& init) {
    const RunContext& task = m_task;
    MediaSegment segment;
    segment.uri = init.uri;
    segment.range_offset = init.range_offset;
    segment.range_length = init.range_length;
    std::string body, error;
    if (!fetch_segment(segment, body, error)) {
        if (task.control.stop) return InitStep::kStopped;
        if (m_file.size() > 0) {
            debug_log("[dl] live: initialisation segment failed (%s), again at the next reload",
                      error.c_str());
            return InitStep::kNotYet;
        }
        task.progress.set_failure(with_reason("error: init segment fetch failed", error),
                                  FailureCategory::kOther);
        return InitStep::kEnded;
    }
    m_followed = init;
    const uint64_t digest = init_digest(body);
    if (digest == task.progress.live.init_digest) return InitStep::kReady;
    if (m_file.size() > 0 && m_container == "mp4") {
        if (!init_fits(m_file.recorded_init(), body)) {
            debug_log("[dl] live: a new initialisation segment that does not fit %s",
                      task.progress.output_path().c_str());
            m_file.sync();
            leave_file();
            task.progress.set_failure("error: the stream's format changed (a new initialization segment with "
                                      "other tracks or codec settings); the recording ends here",
                                      FailureCategory::kProtocol);
            return InitStep::kEnded;
        }
        debug_log("[dl] live: a new initialisation segment with the same tracks: recording goes on");
    } else {
        if (!m_file.append(body)) {
            task.progress.set_failure("error: cannot write " + task.progress.output_path() + ": " +
                                          system_reason(errno),
                                      FailureCategory::kIo);
            return InitStep::kEnded;
        }
        std::lock_guard lock(task.progress.segment_lock);
        if (!task.progress.segments.empty()) task.progress.segments.front()->pos = m_file.size();
    }
    task.progress.live.init_digest = digest;
    return InitStep::kReady;
}

void Recorder::run() {
    const RunContext& task = m_task;
    if (!open_output()) return;
    task.progress.set_status(TaskPhase::kRecording,
                             live_status_text(task.progress.live.gaps, task.progress.live.gap_ms));
    const bool rejoin = m_window.next() >= 0;
    // The listed segments' initialisation segment is the output's (a rejoin that could not fetch
    // it yet records nothing before it has).
    bool usable = true;
    if (!m_init.uri.empty()) {
        const InitStep step = follow_init(m_init);
        if (step == InitStep::kEnded) return;
        if (step == InitStep::kStopped) {
            finish(false);
            return;
        }
        usable = step == InitStep::kReady;
    }
    m_last_new_ms = now_ms();
    bool first = true;
    for (;;) {
        bool advanced = false;
        if (usable) {
            const uint64_t listed_end = m_track.first_sequence + m_track.segments.size();
            advanced = record_listed(first && rejoin);
            first = false;
            if (task.progress.status_is_error()) return;
            if (task.control.stop) break;
            if (m_track.ended && m_window.next() >= static_cast<int64_t>(listed_end)) {
                finish(true);
                return;
            }
        }
        if (now_ms() - m_last_new_ms >= outage_ms()) {
            task.progress.set_failure("error: live stream lost for " +
                                          std::to_string((now_ms() - m_last_new_ms) / 1000) +
                                          " s (the playlist stopped advancing)",
                                      FailureCategory::kOther);
            return;
        }
        // After a change the next segment is about a target duration away; a playlist that did
        // not change is asked again sooner.
        if (!pause_for((advanced ? 1.0 : 0.5) * target() * 1000)) break;
        if (!reload()) {
            if (task.progress.status_is_error()) return;
            break;
        }
        const StreamInit listed{m_track.init_uri, m_track.init_range_offset, m_track.init_range_length};
        if (listed.uri.empty() ||
            (listed.uri == m_followed.uri && listed.range_offset == m_followed.range_offset &&
             listed.range_length == m_followed.range_length)) {
            usable = true;
            continue;
        }
        const InitStep step = follow_init(listed);
        if (step == InitStep::kEnded) return;
        if (step == InitStep::kStopped) break;
        usable = step == InitStep::kReady;
    }
    finish(false);
}

} // namespace

std::string live_status_text(uint32_t gaps, int64_t gap_ms) {
    if (gaps == 0) return "recording";
    return "recording, " + std::to_string(gaps) + (gaps == 1 ? " gap of " : " gaps of ") +
           std::to_string(std::llround(static_cast<double>(gap_ms) / 1000.0)) + " s";
}

void record_live_stream(const RunContext& task, StreamBandwidth& bandwidth, StreamJob& job) {
    if (job.separate_audio) {
        task.progress.set_failure("error: live stream with separate audio: recording the video alone would "
                                  "leave out the sound",
                                  FailureCategory::kProtocol);
        return;
    }
    Recorder recorder(task, bandwidth, job);
    recorder.run();
}

} // namespace twk

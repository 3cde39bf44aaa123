#include "media/mp4_moov.h"

#include <algorithm>
#include <limits>

#include "media/mp4_bytes.h"

namespace twk {

namespace {

constexpr uint32_t kUnityMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
constexpr uint16_t kLanguageUndetermined = 0x55C4; // "und", packed ISO 639-2

// Starts a box: a size to be patched by close_box, then the type.
size_t open_box(std::string& out, const char* type) {
    size_t at = out.size();
    put32(out, 0);
    out.append(type, 4);
    return at;
}

size_t open_full_box(std::string& out, const char* type, uint8_t version, uint32_t flags) {
    size_t at = open_box(out, type);
    put32(out, (uint32_t{version} << 24) | (flags & 0xFFFFFF));
    return at;
}

void close_box(std::string& out, size_t at) {
    std::string size;
    put32(size, static_cast<uint32_t>(out.size() - at));
    out.replace(at, 4, size);
}

void put_matrix(std::string& out) {
    for (uint32_t v : kUnityMatrix)
        put32(out, v);
}

uint32_t clamp32(uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX)); }

uint64_t duration_sum(const std::vector<Sample>& samples) {
    uint64_t sum = 0;
    for (const Sample& s : samples)
        sum += s.duration;
    return sum;
}

// What is presented of the track, in `timescale`: its samples less the media before the edit
// list's start.
uint64_t presented_duration(const TrackInfo& info, const std::vector<Sample>& samples, uint32_t timescale) {
    const uint64_t media = duration_sum(samples);
    const uint64_t shown = media > info.edit_media_time ? media - info.edit_media_time : 0;
    unsigned __int128 scaled = static_cast<unsigned __int128>(shown) * timescale;
    return static_cast<uint64_t>(scaled / std::max<uint32_t>(info.timescale, 1));
}

void put_edit(std::string& out, bool wide, uint64_t duration, int64_t media_time) {
    if (wide) {
        put64(out, duration);
        put64(out, static_cast<uint64_t>(media_time));
    } else {
        put32(out, static_cast<uint32_t>(duration));
        put32(out, static_cast<uint32_t>(static_cast<int32_t>(media_time)));
    }
    put32(out, 0x00010000); // rate 1.0
}

// The source's edit list as the remux carries it over, durations in the movie timescale: the
// pause before the media (an empty edit) when there was one, then `shown` of the media from
// `media_time` on, so that a player starts picture and sound where the source did.
void write_edts(std::string& out, uint64_t delay, uint64_t shown, uint64_t media_time) {
    const bool wide =
        delay > UINT32_MAX || shown > UINT32_MAX || media_time > static_cast<uint64_t>(INT32_MAX);
    size_t edts = open_box(out, "edts");
    size_t elst = open_full_box(out, "elst", wide ? 1 : 0, 0);
    put32(out, delay != 0 ? 2 : 1);
    if (delay != 0) put_edit(out, wide, delay, -1);
    put_edit(out, wide, shown, static_cast<int64_t>(std::min<uint64_t>(media_time, INT64_MAX)));
    close_box(out, elst);
    close_box(out, edts);
}

// The delay before the media in `timescale`.
uint64_t delay_in(const TrackInfo& info, uint32_t timescale) {
    return static_cast<uint64_t>(static_cast<unsigned __int128>(info.edit_delay_ms) * timescale / 1000);
}

void write_stts(std::string& out, const std::vector<Sample>& samples) {
    std::vector<std::pair<uint32_t, uint32_t>> runs; // count, duration
    for (const Sample& s : samples) {
        if (!runs.empty() && runs.back().second == s.duration) {
            ++runs.back().first;
        } else {
            runs.emplace_back(1, s.duration);
        }
    }
    size_t box = open_full_box(out, "stts", 0, 0);
    put32(out, static_cast<uint32_t>(runs.size()));
    for (auto [count, duration] : runs) {
        put32(out, count);
        put32(out, duration);
    }
    close_box(out, box);
}

void write_ctts(std::string& out, const std::vector<Sample>& samples) {
    bool any = std::any_of(samples.begin(), samples.end(),
                           [](const Sample& s) { return s.composition_offset != 0; });
    if (!any) return;
    std::vector<std::pair<uint32_t, int32_t>> runs; // count, offset
    for (const Sample& s : samples) {
        if (!runs.empty() && runs.back().second == s.composition_offset) {
            ++runs.back().first;
        } else {
            runs.emplace_back(1, s.composition_offset);
        }
    }
    size_t box = open_full_box(out, "ctts", 1, 0);
    put32(out, static_cast<uint32_t>(runs.size()));
    for (auto [count, offset] : runs) {
        put32(out, count);
        put32(out, static_cast<uint32_t>(offset));
    }
    close_box(out, box);
}

// Only when some but not all samples are sync samples: without the box every sample is one.
void write_stss(std::string& out, const std::vector<Sample>& samples) {
    size_t sync = static_cast<size_t>(
        std::count_if(samples.begin(), samples.end(), [](const Sample& s) { return s.sync; }));
    if (sync == 0 || sync == samples.size()) return;
    size_t box = open_full_box(out, "stss", 0, 0);
    put32(out, static_cast<uint32_t>(sync));
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].sync) put32(out, static_cast<uint32_t>(i + 1));
    }
    close_box(out, box);
}

void write_stbl(std::string& out, const TrackInfo& info, const std::vector<Sample>& samples,
                uint64_t chunk_offset) {
    const uint32_t count = static_cast<uint32_t>(samples.size());
    size_t stbl = open_box(out, "stbl");

    size_t stsd = open_full_box(out, "stsd", 0, 0);
    put32(out, 1);
    out += info.sample_entry;
    close_box(out, stsd);

    write_stts(out, samples);
    write_ctts(out, samples);
    write_stss(out, samples);

    size_t stsc = open_full_box(out, "stsc", 0, 0);
    put32(out, 1);
    put32(out, 1);     // first chunk
    put32(out, count); // samples per chunk
    put32(out, 1);     // sample description index
    close_box(out, stsc);

    size_t stsz = open_full_box(out, "stsz", 0, 0);
    put32(out, 0);
    put32(out, count);
    for (const Sample& s : samples)
        put32(out, s.size);
    close_box(out, stsz);

    bool narrow = chunk_offset <= UINT32_MAX;
    size_t stco = open_full_box(out, narrow ? "stco" : "co64", 0, 0);
    put32(out, 1);
    if (narrow) {
        put32(out, static_cast<uint32_t>(chunk_offset));
    } else {
        put64(out, chunk_offset);
    }
    close_box(out, stco);

    close_box(out, stbl);
}

void write_mdhd(std::string& out, const TrackInfo& info, uint64_t duration) {
    // A sum beyond 32 bits (some 13 hours at 90 kHz) needs the 64-bit form to stay right.
    bool wide = duration > UINT32_MAX;
    size_t mdhd = open_full_box(out, "mdhd", wide ? 1 : 0, 0);
    if (wide) {
        put64(out, 0);
        put64(out, 0);
        put32(out, info.timescale);
        put64(out, duration);
    } else {
        put32(out, 0);
        put32(out, 0);
        put32(out, info.timescale);
        put32(out, static_cast<uint32_t>(duration));
    }
    put16(out, kLanguageUndetermined);
    put16(out, 0);
    close_box(out, mdhd);
}

} // namespace

std::string ftyp_box() {
    std::string out;
    size_t box = open_box(out, "ftyp");
    out += "isom";
    put32(out, 512);
    out += "isomiso2mp41avc1";
    close_box(out, box);
    return out;
}

std::string mdat_header(uint64_t size) {
    std::string out;
    put32(out, 1);
    out += "mdat";
    put64(out, size);
    return out;
}

uint64_t track_duration(const TrackInfo& info, const std::vector<Sample>& samples) {
    return delay_in(info, kMovieTimescale) + presented_duration(info, samples, kMovieTimescale);
}

std::string write_trak(const TrackInfo& info, const std::vector<Sample>& samples, uint32_t track_id,
                       uint64_t chunk_offset, uint32_t movie_timescale) {
    const bool video = info.is_video();
    const uint64_t delay = delay_in(info, movie_timescale);
    const uint64_t shown = presented_duration(info, samples, movie_timescale);
    const uint64_t movie_duration = delay + shown;

    std::string out;
    size_t trak = open_box(out, "trak");

    size_t tkhd = open_full_box(out, "tkhd", 0, 7);
    put32(out, 0); // creation
    put32(out, 0); // modification
    put32(out, track_id);
    put32(out, 0);
    put32(out, clamp32(movie_duration));
    put32(out, 0);
    put32(out, 0);
    put16(out, 0); // layer
    put16(out, 0); // alternate group
    put16(out, video ? 0 : 0x0100);
    put16(out, 0);
    put_matrix(out);
    put32(out, video ? uint32_t{info.width} << 16 : 0);
    put32(out, video ? uint32_t{info.height} << 16 : 0);
    close_box(out, tkhd);
    if (delay != 0 || info.edit_media_time != 0) write_edts(out, delay, shown, info.edit_media_time);

    size_t mdia = open_box(out, "mdia");
    write_mdhd(out, info, duration_sum(samples));

    size_t hdlr = open_full_box(out, "hdlr", 0, 0);
    put32(out, 0);
    out += video ? "vide" : "soun";
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    out += video ? "VideoHandler" : "SoundHandler";
    out.push_back('\0');
    close_box(out, hdlr);

    size_t minf = open_box(out, "minf");
    if (video) {
        size_t vmhd = open_full_box(out, "vmhd", 0, 1);
        put16(out, 0); // graphics mode
        put16(out, 0);
        put16(out, 0);
        put16(out, 0);
        close_box(out, vmhd);
    } else {
        size_t smhd = open_full_box(out, "smhd", 0, 0);
        put16(out, 0); // balance
        put16(out, 0);
        close_box(out, smhd);
    }
    size_t dinf = open_box(out, "dinf");
    size_t dref = open_full_box(out, "dref", 0, 0);
    put32(out, 1);
    close_box(out, open_full_box(out, "url ", 0, 1)); // the media data are in this file
    close_box(out, dref);
    close_box(out, dinf);
    write_stbl(out, info, samples, chunk_offset);
    close_box(out, minf);

    close_box(out, mdia);
    close_box(out, trak);
    return out;
}

std::string moov_box(const MovieTrack& video, const MovieTrack* audio) {
    uint64_t duration = track_duration(*video.info, *video.samples);
    if (audio) duration = std::max(duration, track_duration(*audio->info, *audio->samples));

    std::string out;
    size_t moov = open_box(out, "moov");
    size_t mvhd = open_full_box(out, "mvhd", 0, 0);
    put32(out, 0); // creation
    put32(out, 0); // modification
    put32(out, kMovieTimescale);
    put32(out, clamp32(duration));
    put32(out, 0x00010000); // rate 1.0
    put16(out, 0x0100);     // volume 1.0
    put16(out, 0);
    put32(out, 0);
    put32(out, 0);
    put_matrix(out);
    for (int i = 0; i < 6; ++i)
        put32(out, 0);
    put32(out, audio ? 3 : 2); // next track id
    close_box(out, mvhd);

    out += write_trak(*video.info, *video.samples, 1, video.chunk_offset, kMovieTimescale);
    if (audio) out += write_trak(*audio->info, *audio->samples, 2, audio->chunk_offset, kMovieTimescale);
    close_box(out, moov);
    return out;
}

} // namespace twk

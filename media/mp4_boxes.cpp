#include "media/mp4_boxes.h"

#include <algorithm>
#include <cstring>

#include "media/mp4_bytes.h"

namespace twk {

namespace {

// Base offsets are clamped here: no part file comes near it, and positions built on it stay far
// from overflowing.
constexpr int64_t kFarOffset = int64_t{1} << 62;

// tfhd flags
constexpr uint32_t kBaseDataOffsetPresent = 0x1;
constexpr uint32_t kSampleDescriptionIndexPresent = 0x2;
constexpr uint32_t kDefaultDurationPresent = 0x8;
constexpr uint32_t kDefaultSizePresent = 0x10;
constexpr uint32_t kDefaultFlagsPresent = 0x20;
constexpr uint32_t kDefaultBaseIsMoof = 0x20000;
// trun flags
constexpr uint32_t kDataOffsetPresent = 0x1;
constexpr uint32_t kFirstSampleFlagsPresent = 0x4;
constexpr uint32_t kSampleDurationPresent = 0x100;
constexpr uint32_t kSampleSizePresent = 0x200;
constexpr uint32_t kSampleFlagsPresent = 0x400;
constexpr uint32_t kCompositionOffsetPresent = 0x800;

size_t payload_size(const BoxSpan& box) { return box.end - box.payload; }

// The defaults and data base of one track fragment, from its `tfhd` and the track's `trex`.
struct FragmentDefaults {
    int64_t base = 0;
    uint32_t duration = 0;
    uint32_t size = 0;
    uint32_t flags = 0;
};

FragmentDefaults read_tfhd(std::string_view data, const std::optional<BoxSpan>& tfhd, int64_t implied_base,
                           const TrackInfo& info) {
    FragmentDefaults d{implied_base, info.default_duration, info.default_size, info.default_flags};
    if (!tfhd || payload_size(*tfhd) < 8) return d;
    const uint8_t* p = bytes_at(data, tfhd->payload);
    uint32_t flags = be32(p) & 0xFFFFFF;
    size_t length = payload_size(*tfhd);
    size_t at = 8;
    if (flags & kBaseDataOffsetPresent) {
        if (length < at + 8) return d;
        uint64_t base = be64(p + at);
        d.base = base > static_cast<uint64_t>(kFarOffset) ? kFarOffset : static_cast<int64_t>(base);
        at += 8;
    }
    size_t need = at;
    for (uint32_t field : {kSampleDescriptionIndexPresent, kDefaultDurationPresent, kDefaultSizePresent,
                           kDefaultFlagsPresent}) {
        if (flags & field) need += 4;
    }
    if (length < need) return d;
    if (flags & kSampleDescriptionIndexPresent) at += 4;
    if (flags & kDefaultDurationPresent) {
        if (uint32_t v = be32(p + at)) d.duration = v;
        at += 4;
    }
    if (flags & kDefaultSizePresent) {
        if (uint32_t v = be32(p + at)) d.size = v;
        at += 4;
    }
    // An explicit 0 is a real value here (a sync sample without dependency information), unlike a
    // duration or size of 0, so it is not replaced by the track's default.
    if (flags & kDefaultFlagsPresent) d.flags = be32(p + at);
    return d;
}

// Reads one `trun`. Its data start at `position` unless it gives its own offset from the base;
// returns where its data end, so that a following run without an offset continues there.
int64_t read_trun(std::string_view data, const BoxSpan& trun, const FragmentDefaults& d, int64_t position,
                  const FragmentContext& context, std::vector<Sample>& samples) {
    size_t length = payload_size(trun);
    if (length < 8) return position;
    const uint8_t* p = bytes_at(data, trun.payload);
    uint32_t flags = be32(p) & 0xFFFFFF;
    uint64_t count = be32(p + 4);
    size_t at = 8;
    if (flags & kDataOffsetPresent) {
        if (length < at + 4) return position;
        position = d.base + static_cast<int32_t>(be32(p + at));
        at += 4;
    }
    bool has_first_flags = (flags & kFirstSampleFlagsPresent) != 0;
    uint32_t first_flags = 0;
    if (has_first_flags) {
        if (length < at + 4) return position;
        first_flags = be32(p + at);
        at += 4;
    }
    size_t entry_size = 0;
    for (uint32_t field :
         {kSampleDurationPresent, kSampleSizePresent, kSampleFlagsPresent, kCompositionOffsetPresent}) {
        if (flags & field) entry_size += 4;
    }
    if (entry_size > 0) {
        count = std::min<uint64_t>(count, (length - at) / entry_size);
    } else if (d.size == 0) {
        count = 0;
    } else {
        count = std::min<uint64_t>(count, context.part_size / d.size + 1);
    }
    const int64_t part_size = static_cast<int64_t>(context.part_size);
    for (uint64_t i = 0; i < count; ++i) {
        // Past the end no later sample of this run can be inside the part either.
        if (position > part_size || samples.size() >= kMaxTrackSamples) break;
        const uint8_t* e = p + at + i * entry_size;
        Sample s;
        s.part = context.part;
        s.offset = position;
        s.duration = d.duration;
        s.size = d.size;
        uint32_t sample_flags = d.flags;
        if (flags & kSampleDurationPresent) s.duration = be32(e), e += 4;
        if (flags & kSampleSizePresent) s.size = be32(e), e += 4;
        if (flags & kSampleFlagsPresent) sample_flags = be32(e), e += 4;
        if (flags & kCompositionOffsetPresent) s.composition_offset = static_cast<int32_t>(be32(e));
        if (i == 0 && has_first_flags) sample_flags = first_flags;
        position += s.size;
        if (s.offset < 0 || position > part_size) continue;
        s.sync = (sample_flags & kSampleIsNonSync) == 0;
        if (s.duration == 0) s.duration = context.fallback_duration;
        samples.push_back(s);
    }
    // A run cut short above ends beyond the part, which is all its successors need to know.
    return position > part_size ? part_size + 1 : position;
}

} // namespace

std::optional<BoxHeader> read_box_header(std::string_view head, uint64_t room) {
    if (room < 8 || head.size() < 8) return std::nullopt;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(head.data());
    BoxHeader h;
    std::memcpy(h.type.data(), p + 4, 4);
    h.header_size = 8;
    h.box_size = be32(p);
    if (h.box_size == 1) {
        if (room < 16 || head.size() < 16) return std::nullopt;
        h.header_size = 16;
        h.box_size = be64(p + 8);
    } else if (h.box_size == 0) {
        h.box_size = room;
    }
    if (h.box_size < h.header_size || h.box_size > room) return std::nullopt;
    return h;
}

std::optional<BoxSpan> find_box(std::string_view data, size_t start, size_t end, std::string_view type) {
    end = std::min(end, data.size());
    size_t at = start;
    while (at < end) {
        auto header = read_box_header(data.substr(at, std::min<size_t>(16, end - at)), end - at);
        if (!header) return std::nullopt;
        size_t box_end = at + static_cast<size_t>(header->box_size);
        if (std::string_view(header->type.data(), 4) == type) {
            return BoxSpan{at, at + static_cast<size_t>(header->header_size), box_end};
        }
        at = box_end;
    }
    return std::nullopt;
}

std::optional<BoxSpan> find_path(std::string_view data, size_t start, size_t end,
                                 std::initializer_list<std::string_view> types) {
    std::optional<BoxSpan> box;
    for (std::string_view type : types) {
        box = find_box(data, start, end, type);
        if (!box) return std::nullopt;
        start = box->payload;
        end = box->end;
    }
    return box;
}

namespace {

// The timescale of an `mvhd` or `mdhd` (the same layout up to it, by version); 0 when the box is
// too short to hold one.
uint32_t header_timescale(std::string_view data, const BoxSpan& box) {
    if (payload_size(box) < 1) return 0;
    const uint8_t* p = bytes_at(data, box.payload);
    if (p[0] == 1 && payload_size(box) >= 24) return be32(p + 20);
    if (p[0] == 0 && payload_size(box) >= 16) return be32(p + 12);
    return 0;
}

// The empty edits before the first media entry (their durations are in the movie timescale of
// `mvhd`) and that entry's media time. Later entries are not carried over.
void read_edit_list(std::string_view data, const BoxSpan& moov, size_t ts, size_t te, TrackInfo& info) {
    auto elst = find_path(data, ts, te, {"edts", "elst"});
    if (!elst || payload_size(*elst) < 8) return;
    uint32_t movie_timescale = 0;
    if (auto mvhd = find_box(data, moov.payload, moov.end, "mvhd"))
        movie_timescale = header_timescale(data, *mvhd);
    const uint8_t* p = bytes_at(data, elst->payload);
    const bool wide = p[0] == 1;
    const size_t entry_size = wide ? 20 : 12;
    const uint64_t entries = std::min<uint64_t>(be32(p + 4), (payload_size(*elst) - 8) / entry_size);
    unsigned __int128 delay = 0; // movie timescale
    for (uint64_t i = 0; i < entries; ++i) {
        const uint8_t* e = p + 8 + i * entry_size;
        const uint64_t duration = wide ? be64(e) : be32(e);
        const int64_t media_time =
            wide ? static_cast<int64_t>(be64(e + 8)) : static_cast<int32_t>(be32(e + 4));
        if (media_time < 0) {
            delay += duration;
            continue;
        }
        info.edit_media_time = static_cast<uint64_t>(media_time);
        break;
    }
    // Without a movie timescale a delay cannot be read; an hour is more than any stream starts late.
    if (movie_timescale != 0)
        info.edit_delay_ms =
            static_cast<uint64_t>(std::min<unsigned __int128>(delay * 1000 / movie_timescale, 3'600'000));
}

} // namespace

bool read_track_info(std::string_view data, TrackInfo& info) {
    info = TrackInfo{};
    auto moov = find_box(data, 0, data.size(), "moov");
    if (!moov) return false;
    auto trak = find_box(data, moov->payload, moov->end, "trak");
    if (!trak) return false;
    const size_t ts = trak->payload, te = trak->end;

    if (auto tkhd = find_box(data, ts, te, "tkhd"); tkhd && tkhd->end - tkhd->start >= 8) {
        info.width = static_cast<uint16_t>(be32(bytes_at(data, tkhd->end - 8)) >> 16);
        info.height = static_cast<uint16_t>(be32(bytes_at(data, tkhd->end - 4)) >> 16);
    }
    if (auto mdhd = find_path(data, ts, te, {"mdia", "mdhd"})) {
        if (const uint32_t timescale = header_timescale(data, *mdhd)) info.timescale = timescale;
    }
    if (auto hdlr = find_path(data, ts, te, {"mdia", "hdlr"}); hdlr && payload_size(*hdlr) >= 12) {
        std::memcpy(info.handler.data(), bytes_at(data, hdlr->payload + 8), 4);
    }
    auto stsd = find_path(data, ts, te, {"mdia", "minf", "stbl", "stsd"});
    if (!stsd || payload_size(*stsd) < 16) return false;
    size_t entry = stsd->payload + 8;
    uint32_t entry_size = be32(bytes_at(data, entry));
    if (entry_size <= 7 || entry_size > stsd->end - entry) return false;
    info.sample_entry.assign(data.substr(entry, entry_size));

    read_edit_list(data, *moov, ts, te, info);
    if (auto trex = find_path(data, moov->payload, moov->end, {"mvex", "trex"});
        trex && payload_size(*trex) >= 24) {
        const uint8_t* p = bytes_at(data, trex->payload);
        info.default_duration = be32(p + 12);
        info.default_size = be32(p + 16);
        info.default_flags = be32(p + 20);
    }
    info.ok = true;
    return true;
}

uint32_t fallback_duration(const TrackInfo& info, bool video) { return video ? info.timescale / 30 : 1024; }

void read_moof(std::string_view moof, int64_t moof_offset, const FragmentContext& context,
               std::vector<Sample>& samples) {
    auto header = read_box_header(moof.substr(0, 16), moof.size());
    if (!header) return;
    const size_t end = static_cast<size_t>(header->box_size);
    // Without a base offset of its own, the first track fragment's data are counted from the
    // `moof`, and each later one's from where the one before it ended.
    int64_t previous_end = moof_offset;
    size_t at = static_cast<size_t>(header->header_size);
    bool first_traf = true;
    while (auto traf = find_box(moof, at, end, "traf")) {
        at = traf->end;
        auto tfhd = find_box(moof, traf->payload, traf->end, "tfhd");
        bool base_is_moof = first_traf || (tfhd && payload_size(*tfhd) >= 4 &&
                                           (be32(bytes_at(moof, tfhd->payload)) & kDefaultBaseIsMoof));
        FragmentDefaults d = read_tfhd(moof, tfhd, base_is_moof ? moof_offset : previous_end, *context.info);
        first_traf = false;
        int64_t position = d.base;
        size_t run_at = traf->payload;
        while (auto trun = find_box(moof, run_at, traf->end, "trun")) {
            run_at = trun->end;
            position = read_trun(moof, *trun, d, position, context, samples);
            if (samples.size() >= kMaxTrackSamples) return;
        }
        previous_end = position;
    }
}

void read_fragments(std::string_view data, const TrackInfo& info, uint32_t fallback, uint32_t part,
                    std::vector<Sample>& samples) {
    FragmentContext context{&info, fallback, part, data.size()};
    size_t at = 0;
    while (at < data.size()) {
        auto header = read_box_header(data.substr(at, 16), data.size() - at);
        if (!header) return;
        size_t box_end = at + static_cast<size_t>(header->box_size);
        if (std::string_view(header->type.data(), 4) == "moof") {
            read_moof(data.substr(at, box_end - at), static_cast<int64_t>(at), context, samples);
            if (samples.size() >= kMaxTrackSamples) return;
        }
        at = box_end;
    }
}

} // namespace twk

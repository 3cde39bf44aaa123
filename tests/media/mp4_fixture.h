// Hand-made MP4 boxes for the remux tests: an init segment with one track, and fragments whose
// `tfhd` and `trun` fields the test chooses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/mp4_bytes.h"

namespace twk::test {

inline std::string u32(uint32_t v) {
    std::string s;
    put32(s, v);
    return s;
}

inline std::string u64(uint64_t v) {
    std::string s;
    put64(s, v);
    return s;
}

inline std::string box(const std::string& type, const std::string& payload) {
    return u32(static_cast<uint32_t>(8 + payload.size())) + type + payload;
}

inline std::string full_box(const std::string& type, uint8_t version, uint32_t flags,
                            const std::string& payload) {
    return box(type, u32((uint32_t{version} << 24) | flags) + payload);
}

struct InitOptions {
    std::string handler = "vide";
    uint32_t timescale = 90000;
    uint16_t width = 320;
    uint16_t height = 240;
    std::string sample_entry = box("avc1", std::string(78, '\x01'));
    uint32_t trex_duration = 0;
    uint32_t trex_size = 0;
    uint32_t trex_flags = 0;
};

// ftyp + moov with one trak and mvex/trex.
inline std::string make_init(const InitOptions& options) {
    std::string tkhd = full_box("tkhd", 0, 7,
                                std::string(72, '\0') + u32(uint32_t{options.width} << 16) +
                                    u32(uint32_t{options.height} << 16));
    std::string mdhd = full_box("mdhd", 0, 0, u32(0) + u32(0) + u32(options.timescale) + u32(0) + u32(0));
    std::string hdlr = full_box("hdlr", 0, 0, u32(0) + options.handler + std::string(12, '\0') + "h" + '\0');
    std::string stsd = full_box("stsd", 0, 0, u32(1) + options.sample_entry);
    std::string stbl = box("stbl", stsd + full_box("stts", 0, 0, u32(0)));
    std::string mdia = box("mdia", mdhd + hdlr + box("minf", stbl));
    std::string trak = box("trak", tkhd + mdia);
    std::string trex = full_box("trex", 0, 0,
                                u32(1) + u32(1) + u32(options.trex_duration) + u32(options.trex_size) +
                                    u32(options.trex_flags));
    std::string moov = box("moov", full_box("mvhd", 0, 0, std::string(96, '\0')) + trak + box("mvex", trex));
    return box("ftyp", std::string("iso6") + u32(0) + "iso6") + moov;
}

struct TrunEntry {
    std::optional<uint32_t> duration, size, flags;
    std::optional<int32_t> composition;
};

struct TrunOptions {
    std::optional<int32_t> data_offset;
    std::optional<uint32_t> first_flags;
    uint32_t fields = 0; // 0x100 duration, 0x200 size, 0x400 flags, 0x800 composition
    std::vector<TrunEntry> entries;
    std::optional<uint32_t> count; // the box's count when not the number of entries
};

inline std::string make_trun(const TrunOptions& options) {
    uint32_t flags = options.fields;
    if (options.data_offset) flags |= 0x1;
    if (options.first_flags) flags |= 0x4;
    std::string payload = u32(options.count.value_or(static_cast<uint32_t>(options.entries.size())));
    if (options.data_offset) payload += u32(static_cast<uint32_t>(*options.data_offset));
    if (options.first_flags) payload += u32(*options.first_flags);
    for (const TrunEntry& e : options.entries) {
        if (options.fields & 0x100) payload += u32(e.duration.value_or(0));
        if (options.fields & 0x200) payload += u32(e.size.value_or(0));
        if (options.fields & 0x400) payload += u32(e.flags.value_or(0));
        if (options.fields & 0x800) payload += u32(static_cast<uint32_t>(e.composition.value_or(0)));
    }
    return full_box("trun", 1, flags, payload);
}

struct TfhdOptions {
    std::optional<uint64_t> base_offset = {};
    std::optional<uint32_t> duration = {}, size = {}, flags = {};
    bool base_is_moof = false;
};

inline std::string make_tfhd(const TfhdOptions& options) {
    uint32_t flags = options.base_is_moof ? 0x20000 : 0;
    std::string payload = u32(1);
    if (options.base_offset) flags |= 0x1, payload += u64(*options.base_offset);
    if (options.duration) flags |= 0x8, payload += u32(*options.duration);
    if (options.size) flags |= 0x10, payload += u32(*options.size);
    if (options.flags) flags |= 0x20, payload += u32(*options.flags);
    return full_box("tfhd", 0, flags, payload);
}

inline std::string make_moof(const std::string& tfhd, const std::vector<std::string>& truns) {
    std::string traf = tfhd;
    for (const std::string& t : truns)
        traf += t;
    return box("moof", full_box("mfhd", 0, 0, u32(1)) + box("traf", traf));
}

// A fragment with the data of `sample_sizes` after it: the trun's data offset points at the first
// byte of the mdat payload, sizes per sample, every sample `flags`. Sample i is filled with the
// byte `fill + i`.
inline std::string make_fragment(const std::vector<uint32_t>& sample_sizes, uint32_t duration, char fill,
                                 uint32_t flags = 0, const std::vector<int32_t>& composition = {}) {
    TrunOptions trun;
    trun.fields = 0x100 | 0x200 | 0x400 | (composition.empty() ? 0 : 0x800);
    std::string data;
    for (size_t i = 0; i < sample_sizes.size(); ++i) {
        TrunEntry e{duration, sample_sizes[i], flags, std::nullopt};
        if (!composition.empty()) e.composition = composition[i];
        trun.entries.push_back(e);
        data += std::string(sample_sizes[i], static_cast<char>(fill + i));
    }
    trun.data_offset = 0;
    TfhdOptions tfhd;
    tfhd.base_is_moof = true;
    size_t moof_size = make_moof(make_tfhd(tfhd), {make_trun(trun)}).size();
    trun.data_offset = static_cast<int32_t>(moof_size + 8);
    return make_moof(make_tfhd(tfhd), {make_trun(trun)}) + box("mdat", data);
}

} // namespace twk::test

#include "media/mp4_init.h"

#include "media/mp4_boxes.h"
#include "media/mp4_bytes.h"

namespace twk {

namespace {

// The field at `offset_v0` (version 0) or `offset_v1` (version 1) of a full box's payload, 32 bits;
// false when the box is too short.
bool full_box_field(std::string_view data, const BoxSpan& box, size_t offset_v0, size_t offset_v1,
                    uint32_t& out) {
    const size_t size = box.end - box.payload;
    if (size < 1) return false;
    const size_t offset = bytes_at(data, box.payload)[0] == 1 ? offset_v1 : offset_v0;
    if (size < offset + 4) return false;
    out = be32(bytes_at(data, box.payload + offset));
    return true;
}

void put_text(std::string& out, std::string_view bytes) {
    put32(out, static_cast<uint32_t>(bytes.size()));
    out.append(bytes);
}

} // namespace

std::string fragment_layout(std::string_view init) {
    const auto moov = find_box(init, 0, init.size(), "moov");
    if (!moov) return {};
    std::string out;
    bool any = false;
    for (size_t at = moov->payload;;) {
        const auto trak = find_box(init, at, moov->end, "trak");
        if (!trak) break;
        at = trak->end;
        const auto tkhd = find_box(init, trak->payload, trak->end, "tkhd");
        const auto mdhd = find_path(init, trak->payload, trak->end, {"mdia", "mdhd"});
        const auto hdlr = find_path(init, trak->payload, trak->end, {"mdia", "hdlr"});
        const auto stsd = find_path(init, trak->payload, trak->end, {"mdia", "minf", "stbl", "stsd"});
        uint32_t id = 0, timescale = 0, handler = 0;
        if (!tkhd || !mdhd || !hdlr || !stsd || !full_box_field(init, *tkhd, 12, 20, id) ||
            !full_box_field(init, *mdhd, 12, 20, timescale) || !full_box_field(init, *hdlr, 8, 8, handler))
            return {};
        put32(out, id);
        put32(out, timescale);
        put32(out, handler);
        put_text(out, init.substr(stsd->start, stsd->end - stsd->start));
        any = true;
    }
    if (!any) return {};
    if (const auto mvex = find_box(init, moov->payload, moov->end, "mvex")) {
        for (size_t at = mvex->payload;;) {
            const auto trex = find_box(init, at, mvex->end, "trex");
            if (!trex) break;
            at = trex->end;
            put_text(out, init.substr(trex->start, trex->end - trex->start));
        }
    }
    return out;
}

bool init_fits(std::string_view recorded, std::string_view next) {
    const std::string layout = fragment_layout(recorded);
    return !layout.empty() && layout == fragment_layout(next);
}

uint64_t init_digest(std::string_view bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 1099511628211ull;
    }
    return hash != 0 ? hash : 1;
}

} // namespace twk

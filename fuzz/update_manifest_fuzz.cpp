// The update manifest, the version comparison and the run marker on arbitrary bytes. Checks
// their promises: the comparison is antisymmetric and a version equals itself; a marker read back
// from its own line keeps its numbers; the diagnostic record built from any marker is one JSON
// object with eight members. The signature check reads arbitrary DER without harm (and no
// random bytes pass it).
#include <cstdlib>
#include <string_view>

#include "ui/diagnostics.h"
#include "ui/self_update.h"
#include "ui/update_key.h"
#include "json/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    twk::ui::UpdateOffer offer;
    if (twk::ui::read_manifest(text, offer)) {
        int forward = twk::ui::compare_versions(twk::ui::program_version(), offer.version);
        int backward = twk::ui::compare_versions(offer.version, twk::ui::program_version());
        if ((forward < 0) != (backward > 0) || twk::ui::compare_versions(offer.version, offer.version) != 0)
            std::abort();
        (void)twk::ui::installer_path("/tmp", offer.version);
    }
    size_t half = size / 2;
    if (twk::ui::update_list_signed(text.substr(half), text.substr(0, half),
                                    twk::ui::update_public_key_hex()))
        std::abort();
    int ab = twk::ui::compare_versions(text.substr(0, half), text.substr(half));
    int ba = twk::ui::compare_versions(text.substr(half), text.substr(0, half));
    if ((ab < 0) != (ba > 0) || (ab == 0) != (ba == 0)) std::abort();

    twk::ui::RunMarker marker = twk::ui::parse_marker(text);
    twk::ui::DiagRecord record{marker.v, marker.os, marker.up, marker.rss, marker.cpu, 0, 0, "crash"};
    twk::JsonValue parsed;
    if (!twk::parse_json(twk::ui::format_diag_record(record), parsed) ||
        parsed.kind != twk::JsonKind::Object || parsed.object.size() != 8)
        std::abort();
    return 0;
}

// The update manifest, the version comparison and the run marker on arbitrary bytes. Checks
// their promises: the comparison is antisymmetric and a version equals itself; a marker read back
// from its own line keeps its numbers; the diagnostic record built from any marker is one JSON
// object with eight members. The signature check reads arbitrary DER without harm (and no
// random bytes pass it).
#include <cstdlib>
#include <string_view>

#include "app/diagnostics.h"
#include "app/self_update.h"
#include "app/update_key.h"
#include "json/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    twk::app::UpdateOffer offer;
    if (twk::app::read_manifest(text, offer)) {
        int forward = twk::app::compare_versions(twk::app::program_version(), offer.version);
        int backward = twk::app::compare_versions(offer.version, twk::app::program_version());
        if ((forward < 0) != (backward > 0) || twk::app::compare_versions(offer.version, offer.version) != 0)
            std::abort();
        (void)twk::app::installer_path("/tmp", offer.version);
    }
    size_t half = size / 2;
    if (twk::app::update_list_signed(text.substr(half), text.substr(0, half),
                                     twk::app::update_public_key_hex()))
        std::abort();
    int ab = twk::app::compare_versions(text.substr(0, half), text.substr(half));
    int ba = twk::app::compare_versions(text.substr(half), text.substr(0, half));
    if ((ab < 0) != (ba > 0) || (ab == 0) != (ba == 0)) std::abort();

    twk::app::RunMarker marker = twk::app::parse_marker(text);
    twk::app::DiagRecord record{marker.v, marker.os, marker.up, marker.rss, marker.cpu, 0, 0, "crash"};
    twk::JsonValue parsed;
    if (!twk::parse_json(twk::app::format_diag_record(record), parsed) ||
        parsed.kind != twk::JsonKind::Object || parsed.object.size() != 8)
        std::abort();
    return 0;
}

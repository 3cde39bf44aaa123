// The sidecar loader on any file image: the first 8 bytes give the output file's size. A sidecar
// that loads must save to an image that loads back to the same state.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/sidecar.h"

namespace {

std::string describe(const twk::ResumeState& state) {
    std::string out = std::to_string(state.total) + "|" + state.validator;
    for (const auto& s : state.segments) {
        out += "|" + std::to_string(s->start) + "," + std::to_string(s->pos.load()) + "," +
               std::to_string(s->end.load());
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint64_t output_size = 0;
    if (size >= 8) {
        std::memcpy(&output_size, data, 8);
        data += 8;
        size -= 8;
    }
    auto state = twk::parse_sidecar(std::string_view(reinterpret_cast<const char*>(data), size), output_size);
    if (!state) return 0;
    if (state->segments.empty() || state->segments.front()->start != 0 || state->total == 0) __builtin_trap();
    auto again = twk::parse_sidecar(twk::sidecar_image(*state), output_size);
    if (!again || describe(*again) != describe(*state)) __builtin_trap();
    return 0;
}

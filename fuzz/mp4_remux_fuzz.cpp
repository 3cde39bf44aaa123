// The remux on any init and part file: never a crash, and the streamed reading must give the
// same result, byte for byte, as reading every part whole.
//
// Input: one flags byte (bit 0: the same files serve as an audio track too), a 16-bit big-endian
// init length, the init file (none when the length is 0), then the part file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "media/mp4_remux.h"

namespace {

std::string folder() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/twk-fuzz-mp4-XXXXXX";
        return ::mkdtemp(pattern.data()) ? pattern : std::string("/tmp");
    }();
    return path;
}

void write(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const bool with_audio = data[0] & 1;
    size_t init_size = std::min<size_t>((size_t{data[1]} << 8) | data[2], size - 3);
    const std::string dir = folder();
    const std::string init = init_size > 0 ? dir + "/init.mp4" : "";
    const std::string part = dir + "/part.m4s";
    if (init_size > 0) write(init, data + 3, init_size);
    write(part, data + 3 + init_size, size - 3 - init_size);
    const std::vector<std::string> parts = {part};
    const std::vector<std::string> no_parts;

    std::string streamed_error, whole_error;
    bool streamed = twk::remux_tracks(dir + "/streamed.mp4", init, parts, with_audio ? init : "",
                                      with_audio ? parts : no_parts, streamed_error);
    bool whole =
        twk::remux_tracks(dir + "/whole.mp4", init, parts, with_audio ? init : "",
                          with_audio ? parts : no_parts, whole_error, twk::RemuxReading::whole_files);
    if (streamed != whole || streamed_error != whole_error) __builtin_trap();
    if (streamed && read(dir + "/streamed.mp4") != read(dir + "/whole.mp4")) __builtin_trap();
    return 0;
}

// The small test video the live stream tests encode: ffmpeg's test pattern, 64x48 at 10 frames a
// second, H.264 with a key frame every 2 s and none elsewhere, so that every 2 s segment starts
// on one.
#pragma once

#include <string>
#include <vector>

namespace twk::test {

// ffmpeg's input and video encoder arguments for `seconds` of that video; with `real_time`
// it is read at its own speed (-re), as a live encoder would produce it. The output format and
// file follow.
inline std::vector<std::string> test_video_args(int seconds, bool real_time = false) {
    std::vector<std::string> args;
    if (real_time) args.push_back("-re");
    for (const char* arg : {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-t"})
        args.push_back(arg);
    args.push_back(std::to_string(seconds));
    for (const char* arg : {"-c:v", "libx264", "-preset", "ultrafast", "-g", "20", "-sc_threshold", "0"})
        args.push_back(arg);
    return args;
}

} // namespace twk::test

// Running the media tools the stream tests compare against: ffmpeg to make media, ffprobe and
// openssl to check what a download produced.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace twk::test {

// Runs `args` (found on PATH) in `dir`. Standard output goes to `out_file` when given, else to
// dir/tool.log with standard error. Returns "" on exit status 0, else what failed and the log.
inline std::string run_program(const std::string& dir, std::vector<std::string> args,
                               const std::string& out_file = "") {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = dir + "/tool.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (out_file.empty()) {
        posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return "cannot start " + args[0] + " (scripts/setup.sh installs it)";
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    std::string command;
    for (const auto& a : args)
        command += a + " ";
    return args[0] + " failed: " + command + "\n" + read_file(log);
}

inline std::string run_ffmpeg(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"});
    return run_program(dir, std::move(args));
}

// ffmpeg's arguments (after the input) for an HLS master with two H.264 variants (the second
// 64x36) sharing one fMP4 audio rendition copied from the input: master.m3u8, out_0..2.m3u8,
// init_0..2.mp4 and s<variant>_<n>.m4s.
inline std::vector<std::string> hls_master_with_audio_args() {
    return {"-map",
            "0:v",
            "-map",
            "0:v",
            "-map",
            "0:a",
            "-c:v",
            "libx264",
            "-preset",
            "ultrafast",
            "-g",
            "10",
            "-s:v:1",
            "64x36",
            "-b:v:0",
            "200k",
            "-b:v:1",
            "100k",
            "-c:a",
            "copy",
            "-f",
            "hls",
            "-hls_time",
            "1",
            "-hls_list_size",
            "0",
            "-hls_segment_type",
            "fmp4",
            "-master_pl_name",
            "master.m3u8",
            "-var_stream_map",
            "v:0,agroup:aud v:1,agroup:aud a:0,agroup:aud,language:eng",
            "-hls_segment_filename",
            "s%v_%03d.m4s",
            "out_%v.m3u8"};
}

// What a tool wrote to standard output; `error` set when it failed.
inline std::string program_output(const std::string& dir, std::vector<std::string> args, std::string& error) {
    const std::string out = dir + "/tool.out";
    error = run_program(dir, std::move(args), out);
    return read_file(out);
}

// The earliest presentation time of a packet of the file's `kind` stream, in seconds, as
// ffprobe reads it through the edit lists: where the picture or the sound starts. (ffprobe's
// stream start time is not used: it reads an AAC priming edit differently in fragmented and
// whole files.)
inline double first_presented(const std::string& dir, const std::string& file, const std::string& kind,
                              std::string& error) {
    const std::string text =
        test::program_output(dir,
                             {"ffprobe", "-v", "error", "-select_streams", kind, "-show_entries",
                              "packet=pts_time", "-of", "csv=p=0", file},
                             error);
    std::istringstream lines(text);
    double earliest = 1e9;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line != ",") earliest = std::min(earliest, std::atof(line.c_str()));
    }
    return earliest;
}

// The size and MD5 of every packet of the file's first video or audio stream ("v" or "a"), as
// ffmpeg's framemd5 muxer lists them; timestamps are left out, since an edit list may shift them.
inline std::vector<std::string> packet_sums(const std::string& dir, const std::string& file,
                                            const std::string& kind, std::string& error) {
    std::string text = test::program_output(dir,
                                            {"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-map",
                                             "0:" + kind, "-c", "copy", "-f", "framemd5", "-"},
                                            error);
    std::vector<std::string> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        // stream, dts, pts, duration, size, md5[, side data]: the size and the md5
        size_t comma = 0;
        for (int i = 0; i < 4 && comma != std::string::npos; ++i)
            comma = line.find(',', comma + 1);
        if (comma == std::string::npos) continue;
        const size_t md5_end = line.find(',', line.find(',', comma + 1) + 1);
        out.push_back(
            line.substr(comma + 1, md5_end == std::string::npos ? std::string::npos : md5_end - comma - 1));
    }
    return out;
}

} // namespace twk::test

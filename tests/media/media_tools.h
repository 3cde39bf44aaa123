// Running the media tools the stream tests compare against: ffmpeg to make media, ffprobe and
// openssl to check what a download produced.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

// What a tool wrote to standard output; `error` set when it failed.
inline std::string program_output(const std::string& dir, std::vector<std::string> args, std::string& error) {
    const std::string out = dir + "/tool.out";
    error = run_program(dir, std::move(args), out);
    return read_file(out);
}

} // namespace twk::test

// Fresh directories for tests, removed with everything in them.
//
// They live under one folder per test process, $TMPDIR (else /tmp)/twk-tests-UID/run-PID-XXXXXX,
// so that a run killed half-way leaves one folder behind, not dozens. The first test directory a
// process makes clears the run folders of processes that no longer run; nothing else there (and
// nothing outside) is ever removed.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace twk::test {

// The process id in a run folder's name ("run-PID-XXXXXX"); 0 when the name is not one.
inline pid_t run_folder_pid(const std::string& name) {
    constexpr std::string_view kPrefix = "run-";
    if (name.rfind(kPrefix, 0) != 0) return 0;
    const size_t dash = name.find('-', kPrefix.size());
    if (dash == std::string::npos || dash == kPrefix.size() || name.size() != dash + 7) return 0;
    pid_t pid = 0;
    for (size_t i = kPrefix.size(); i < dash; ++i) {
        if (name[i] < '0' || name[i] > '9' || pid > 100'000'000) return 0;
        pid = pid * 10 + (name[i] - '0');
    }
    return pid;
}

// Removes the run folders under `root` whose process is gone.
inline void clear_dead_runs(const std::string& root) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
        const pid_t pid = run_folder_pid(entry.path().filename().string());
        if (pid <= 0 || pid == ::getpid() || !entry.is_directory(error) || entry.is_symlink(error)) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue; // running, or not ours to judge
        std::error_code ignored;
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

// This process's run folder, made (and the dead runs' cleared) on the first call, and removed at
// exit when it is empty; the temporary folder itself when the shared folder cannot be used (not a
// directory of ours).
inline const std::string& run_folder() {
    // Never destroyed: test directories of other static objects may outlive this one's exit step.
    static const std::string* folder = new std::string([] {
        const char* base_env = std::getenv("TMPDIR");
        const std::string base = base_env && *base_env ? base_env : "/tmp";
        const std::string root = base + "/twk-tests-" + std::to_string(::getuid());
        ::mkdir(root.c_str(), 0755);
        struct stat info {};
        if (::lstat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
            return base;
        clear_dead_runs(root);
        std::string pattern = root + "/run-" + std::to_string(::getpid()) + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) return base;
        // Servers the tests start may run as another user (nginx's workers): they pass through.
        ::chmod(pattern.c_str(), 0755);
        std::atexit([] { ::rmdir(run_folder().c_str()); });
        return pattern;
    }());
    return *folder;
}

// A fresh directory (mode 0700) in the run folder whose name begins with `prefix`.
inline std::string make_temp_dir(const std::string& prefix = "twk-test") {
    std::string pattern = run_folder() + "/" + prefix + "-XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

class TempDir {
public:
    TempDir() : m_path(make_temp_dir()) {}
    ~TempDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool file_exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

} // namespace twk::test

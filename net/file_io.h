// Small file helpers every layer shares: the loops and flushes that plain POSIX calls leave to
// the caller.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace twk {

// A file descriptor with one owner, closed when the owner lets it go or takes another.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes the descriptor held (if any) and holds `fd` instead.
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// Writes all of `bytes` to `fd`, again after a short write or an interrupted one. False when a
// write fails (errno tells why).
bool write_all(int fd, std::string_view bytes);

// Creates `folder` and its parents; what cannot be created shows at its first use.
void make_folders(const std::string& folder);

// The environment variable's value; empty when it is not set.
std::string env_value(const char* name);

// Where the program keeps its state (the task journal, the run marker): "tarnwick" in
// $XDG_STATE_HOME, else in $HOME/.local/state. Relative values are ignored, as the base
// directory rules say; empty when neither gives a folder.
std::string state_folder();

// The folder part of a path: "." for a bare name, "/" for a name in the root.
std::string folder_of(std::string_view path);

// Creates `folder` and its missing parents with mode 0700: nobody else may list what the
// program keeps there. Folders that exist keep their mode. False when the folder is not there
// afterwards.
bool make_private_folders(const std::string& folder);

// Whose folder a private file goes into.
enum class FolderOwner {
    kProgram, // the program's own (settings, state): made 0700 even when it exists
    kUser,    // a folder of the user's choosing (downloads): made 0700 only when created
};

// The one way the program writes a file that may hold a secret or that must never be seen half
// written (settings, the task journal, run markers, sidecars, a stream's part list and parts):
// the bytes go to a new temporary file in the same folder, mode 0600 whatever the umask, which is
// synced and renamed over `path`; then the folder is synced. A crash leaves the old file or the
// new one, and the new one is 0600 whatever mode an older file had. Missing folders are made as
// make_private_folders does. On failure the temporary file is gone, `path` is untouched and
// `error` (when given) holds one message: what failed, ": ", and the system's reason.
bool write_private_file(const std::string& path, std::string_view bytes, std::string* error = nullptr,
                        FolderOwner owner = FolderOwner::kProgram);

// Flushes the folder's own entry, so that a file renamed into it survives a crash. False when
// the folder cannot be opened or flushed.
bool sync_folder(const std::string& folder);

} // namespace twk

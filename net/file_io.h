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

// Flushes the folder's own entry, so that a file renamed into it survives a crash. False when
// the folder cannot be opened or flushed.
bool sync_folder(const std::string& folder);

} // namespace twk

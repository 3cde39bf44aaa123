#include "net/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace twk {

void UniqueFd::reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void make_folders(const std::string& folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
}

std::string env_value(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string state_folder() {
    std::string base = env_value("XDG_STATE_HOME");
    if (base.empty() || base[0] != '/') {
        const std::string home = env_value("HOME");
        if (home.empty() || home[0] != '/') return {};
        base = home + "/.local/state";
    }
    return base + "/tarnwick";
}

std::string folder_of(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

bool sync_folder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace twk

#include "net/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

bool make_private_folders(const std::string& folder) {
    for (size_t at = 1; at <= folder.size(); ++at) {
        if (at == folder.size() || folder[at] == '/') ::mkdir(folder.substr(0, at).c_str(), 0700);
    }
    struct stat info {};
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

namespace {

bool failed(std::string* error, const char* what) {
    if (error) *error = std::string(what) + ": " + std::strerror(errno);
    return false;
}

} // namespace

bool write_private_file(const std::string& path, std::string_view bytes, std::string* error,
                        FolderOwner owner) {
    const std::string folder = folder_of(path);
    if (!make_private_folders(folder)) return failed(error, "cannot create the folder");
    if (owner == FolderOwner::kProgram && ::chmod(folder.c_str(), 0700) != 0)
        return failed(error, "cannot make the folder private");
    // mkstemp opens a name nobody had (O_EXCL), so a planted file or link is never written through.
    std::string temporary = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return failed(error, "cannot create the temporary file");
    const char* step = nullptr;
    if (::fchmod(fd, 0600) != 0) {
        step = "cannot make the file private";
    } else if (!write_all(fd, bytes)) {
        step = "cannot write the file";
    } else if (::fsync(fd) != 0) {
        step = "cannot sync the file";
    }
    int reason = errno;
    if (::close(fd) != 0 && !step) {
        step = "cannot close the file";
        reason = errno;
    }
    if (!step && ::rename(temporary.c_str(), path.c_str()) != 0) {
        step = "cannot replace the file";
        reason = errno;
    }
    if (step) {
        ::unlink(temporary.c_str());
        errno = reason;
        return failed(error, step);
    }
    sync_folder(folder);
    return true;
}

bool sync_folder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace twk

#include "control/extension_key.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <mbedtls/md.h>

#include "net/file_io.h"
#include "net/socket.h" // system_reason

namespace twk {

namespace {

constexpr size_t kKeyBytes = kExtensionKeyLength / 2;
// A file longer than this holds no key of ours.
constexpr size_t kMaxKeyFile = 256;

bool is_lower_hex(std::string_view text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string to_hex(const unsigned char* bytes, size_t size) {
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += "0123456789abcdef"[bytes[i] >> 4];
        text += "0123456789abcdef"[bytes[i] & 15];
    }
    return text;
}

// The key in `path` when it is a regular file of this user that nobody else can read; empty
// otherwise (missing, a link, someone else's, readable by others, or not a key).
std::string read_key(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 077) != 0)
        return {};
    char buffer[kMaxKeyFile + 1];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 || static_cast<size_t>(n) > kMaxKeyFile) return {};
    std::string_view text(buffer, static_cast<size_t>(n));
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return valid_extension_key(text) ? std::string(text) : std::string();
}

bool random_bytes(unsigned char* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::getrandom(out + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string extension_key_folder() {
    const std::string runtime = env_value("XDG_RUNTIME_DIR");
    if (!runtime.empty() && runtime[0] == '/') return runtime + "/tarnwick";
    return state_folder();
}

bool load_extension_key(std::string& key, std::string& error) {
    const std::string folder = extension_key_folder();
    if (folder.empty()) {
        error = "no folder for the extension key (neither XDG_RUNTIME_DIR nor HOME is set)";
        return false;
    }
    make_private_folders(folder);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        error = folder + " is not a folder of this user";
        return false;
    }
    if ((info.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
        error = "cannot make " + folder + " private: " + system_reason(errno);
        return false;
    }
    // The program and the native host may both start for the first time at once: the folder's
    // lock makes one of them write the key and the other read it.
    UniqueFd lock(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock.valid() || ::flock(lock.get(), LOCK_EX) != 0) {
        error = "cannot lock " + folder + ": " + system_reason(errno);
        return false;
    }
    const std::string path = folder + "/" + kExtensionKeyFile;
    key = read_key(path);
    if (!key.empty()) return true;
    std::string fresh;
    if (!random_hex(kKeyBytes, fresh)) {
        error = "no random source for the extension key";
        return false;
    }
    std::string reason;
    if (!write_private_file(path, fresh + "\n", &reason)) {
        error = "cannot store the extension key as " + path + ": " + reason;
        return false;
    }
    key = fresh;
    return true;
}

bool valid_extension_key(std::string_view key) {
    return key.size() == kExtensionKeyLength && is_lower_hex(key);
}

bool valid_nonce(std::string_view nonce) {
    return nonce.size() >= kMinNonceLength && nonce.size() <= kMaxNonceLength && is_lower_hex(nonce);
}

std::string key_proof(std::string_view key, std::string_view label, std::string_view nonce) {
    if (key.empty()) return {};
    const std::string message = std::string(label) + std::string(nonce);
    unsigned char mac[32];
    const mbedtls_md_info_t* sha256 = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    if (!sha256 ||
        mbedtls_md_hmac(sha256, reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                        reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac) != 0)
        return {};
    return to_hex(mac, sizeof mac);
}

bool random_hex(size_t bytes, std::string& hex) {
    std::string raw(bytes, '\0');
    if (!random_bytes(reinterpret_cast<unsigned char*>(raw.data()), bytes)) return false;
    hex = to_hex(reinterpret_cast<const unsigned char*>(raw.data()), bytes);
    return true;
}

void AnsweredNonces::remember(const std::string& nonce, int64_t now_ms) {
    std::lock_guard lock(m_lock);
    std::erase_if(m_answered,
                  [now_ms](const auto& entry) { return now_ms - entry.second > kProofLifetimeMs; });
    while (m_answered.size() >= kMaxAnsweredNonces)
        m_answered.erase(std::min_element(m_answered.begin(), m_answered.end(),
                                          [](const auto& a, const auto& b) { return a.second < b.second; }));
    m_answered[nonce] = now_ms;
}

bool AnsweredNonces::take(const std::string& nonce, int64_t now_ms) {
    std::lock_guard lock(m_lock);
    auto it = m_answered.find(nonce);
    if (it == m_answered.end()) return false;
    const bool fresh = now_ms - it->second <= kProofLifetimeMs;
    m_answered.erase(it);
    return fresh;
}

} // namespace twk

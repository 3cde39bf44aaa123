#include "core/naming.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <vector>

#include "core/sidecar.h"
#include "net/debug_log.h"
#include "net/url.h"

namespace twk {

namespace {

constexpr int kMaxServerNameNumber = 9999;
// An extension longer than this is no extension worth keeping when a name is shortened.
constexpr size_t kMaxKeptExtension = 32;
constexpr std::string_view kSidecarSuffix = ".twk";

constexpr std::string_view kScriptExtensions[] = {
    "php", "php3",   "php4", "php5", "asp", "aspx", "jsp", "jspx", "cgi",
    "do",  "action", "pl",   "py",   "rb",  "ashx", "axd", "html", "htm",
};

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Everything up to and including the last "/" or "\"; empty when there is none.
std::string_view folder_part(std::string_view path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

bool is_device_name(std::string_view name) {
    std::string base = lower(name.substr(0, name.find('.')));
    if (base == "con" || base == "prn" || base == "aux" || base == "nul") return true;
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) && base[3] >= '1' &&
           base[3] <= '9';
}

std::string latin1_to_utf8(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

// charset "'" language "'" percent-encoded value.
std::optional<std::string> decode_extended_value(std::string_view value) {
    size_t first = value.find('\'');
    if (first == std::string_view::npos) return std::nullopt;
    size_t second = value.find('\'', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    std::string charset = lower(value.substr(0, first));
    std::string bytes;
    if (!percent_decode(value.substr(second + 1), bytes)) return std::nullopt;
    if (charset.empty() || charset == "utf-8" || charset == "utf8") return bytes;
    if (charset == "iso-8859-1" || charset == "latin1") return latin1_to_utf8(bytes);
    return std::nullopt;
}

// One parameter value at `at` (just after "="): a quoted string with backslash escapes, or
// the trimmed text up to the next ";". `at` ends on the ";" or at the end.
std::string read_parameter_value(std::string_view text, size_t& at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
    if (at < text.size() && text[at] == '"') {
        std::string value;
        for (++at; at < text.size() && text[at] != '"'; ++at) {
            if (text[at] == '\\' && at + 1 < text.size()) ++at;
            value += text[at];
        }
        size_t next = text.find(';', at);
        at = next == std::string_view::npos ? text.size() : next;
        return value;
    }
    size_t next = text.find(';', at);
    size_t stop = next == std::string_view::npos ? text.size() : next;
    std::string value = trim_spaces(text.substr(at, stop - at));
    at = stop;
    return value;
}

// The name in the last step of the final URL's path, percent-decoded where possible.
std::optional<std::string> name_from_final_path(std::string_view path) {
    path = path.substr(0, path.find_first_of("?#"));
    size_t slash = path.find_last_of("/\\");
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::string decoded;
    if (!percent_decode(last, decoded)) decoded = last;
    auto name = sanitize_server_name(decoded);
    if (!name || !is_real_file_name(*name)) return std::nullopt;
    return name;
}

std::optional<std::string> server_candidate(const RunContext& task, const ServerNaming& response) {
    if (response.content_disposition) {
        if (auto name = parse_content_disposition(*response.content_disposition)) return name;
    }
    if (!response.redirected || is_real_file_name(task.progress.name())) return std::nullopt;
    return name_from_final_path(response.final_path);
}

// A run interrupted under the server's name, with the same size as this answer: the task moves
// there and the driver continues that run instead of this one.
bool try_adopt_resume(DriverRun& run, const ServerNaming& response, const std::string& target,
                      const std::string& candidate) {
    const RunContext& task = run.task;
    std::string old_path = task.progress.output_path();
    if (!response.ranged || task.request.method != "GET" || target == old_path) return false;
    if (!file_exists(target) || !file_exists(target + ".twk") || output_locked(target)) return false;
    auto [moved, id] = set_output_path(task, target);
    (void)id;
    std::optional<ResumeState> state;
    if (moved == target) state = load_sidecar(target + ".twk", target);
    if (!state || state->total != response.size) {
        task.progress.set_output_path(old_path);
        return false;
    }
    if (task.progress.created_output) ::unlink(old_path.c_str());
    task.progress.created_output = false;
    run.set_pending_adopt(target, std::move(*state));
    debug_log("[dl] server file name \"%s\" already has an interrupted run on disk — resuming it instead "
              "of restarting",
              candidate.c_str());
    run.adopt_resume = true;
    run.request_restart();
    return true;
}

// N itself when no file is there, else the first "stem (i).ext" with no file; empty when none.
// The task's own current file is no other file: finding it means the task stays where it is.
// A file at the path's sidecar name that is no sidecar of ours makes the path unusable too.
std::string first_absent_path(const std::string& path, const std::string& own_path) {
    const auto usable = [&](const std::string& candidate) {
        if (candidate == own_path) return true;
        const std::string sidecar = candidate + std::string(kSidecarSuffix);
        return !file_exists(candidate) && (!file_exists(sidecar) || is_own_sidecar(sidecar));
    };
    if (usable(path)) return path;
    for (int i = 1; i <= kMaxServerNameNumber; ++i) {
        std::string numbered = numbered_path(path, i);
        if (usable(numbered)) return numbered;
    }
    return {};
}

// Renames without ever replacing a file that appeared meanwhile.
bool rename_no_replace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without RENAME_NOREPLACE: link and unlink never replace either.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

bool move_output(const RunContext& task, const std::string& old_path, const std::string& target) {
    std::string folder(folder_part(old_path));
    auto [moved, id] = set_output_path(task, target);
    (void)id;
    std::string_view rest = std::string_view(moved).substr(std::min(folder.size(), moved.size()));
    return moved.size() > folder.size() && moved.starts_with(folder) &&
           rest.find_first_of("/\\") == std::string_view::npos && moved != old_path && !file_exists(moved) &&
           rename_no_replace(old_path, moved);
}

} // namespace

bool may_write_over(const RunContext& task, const std::string& path) {
    const std::string sidecar = path + std::string(kSidecarSuffix);
    if (file_exists(sidecar) && !is_own_sidecar(sidecar)) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return true;
    if (!S_ISREG(st.st_mode) || output_locked(path)) return false;
    if (st.st_size == 0 || marked_as_ours(path, task.request.url)) return true;
    if (task.progress.created_output && path == task.progress.output_path()) return true;
    return task.request.method == "GET" && load_sidecar(sidecar, path).has_value();
}

void mark_as_ours(int fd, const std::string& url) {
    ::fsetxattr(fd, kOwnerAttribute, url.data(), url.size(), 0);
}

void unmark(int fd) { ::fremovexattr(fd, kOwnerAttribute); }

bool lock_output(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return errno != EWOULDBLOCK;
    }
    return true;
}

bool output_locked(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    int result;
    while ((result = ::flock(fd, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
    }
    const bool locked = result != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

bool marked_as_ours(const std::string& path, const std::string& url) {
    std::string value(url.size() + 1, '\0');
    const ssize_t n = ::lgetxattr(path.c_str(), kOwnerAttribute, value.data(), value.size());
    return n >= 0 && static_cast<size_t>(n) == url.size() && value.compare(0, url.size(), url) == 0;
}

std::pair<std::string, int32_t> set_output_path(const RunContext& task, const std::string& candidate,
                                                bool avoid_files) {
    std::shared_ptr<PathArbiter> arbiter = task.progress.path_arbiter();
    if (!arbiter) {
        task.progress.set_output_path(candidate);
        return {candidate, 0};
    }
    PathArbiter::FileCheck file_free;
    if (avoid_files) file_free = [&task](const std::string& path) { return may_write_over(task, path); };
    return arbiter->place(task.progress, candidate, file_free);
}

std::string fit_file_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        // U+200E, U+200F: E2 80 8E-8F; U+202A-U+202E: E2 80 AA-AE; U+2066-U+2069: E2 81 A6-A9.
        if (static_cast<unsigned char>(name[i]) == 0xE2 && i + 2 < name.size()) {
            const auto b1 = static_cast<unsigned char>(name[i + 1]);
            const auto b2 = static_cast<unsigned char>(name[i + 2]);
            if ((b1 == 0x80 && (b2 == 0x8E || b2 == 0x8F || (b2 >= 0xAA && b2 <= 0xAE))) ||
                (b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9)) {
                i += 2;
                continue;
            }
        }
        out += name[i];
    }
    if (out.ends_with(kSidecarSuffix)) out[out.size() - kSidecarSuffix.size()] = '_';
    if (out.size() <= kMaxNameBytes) return out;
    size_t dot = out.rfind('.');
    if (dot == std::string::npos || dot == 0 || out.size() - dot > kMaxKeptExtension) dot = out.size();
    const std::string extension = out.substr(dot);
    size_t cut = kMaxNameBytes - extension.size();
    // Back to the first byte of a character: never half of one.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
        --cut;
    return out.substr(0, cut) + extension;
}

std::optional<std::string> sanitize_server_name(std::string_view name) {
    for (char c : name) {
        auto b = static_cast<unsigned char>(c);
        if (b < 32 || b == 127 || c == '/' || c == ':' || c == '\\') return std::nullopt;
    }
    // A name is created on disk as it is shown: ill-formed UTF-8 becomes U+FFFD first.
    std::string out = valid_utf8(trim_spaces(name));
    out.erase(0, out.find_first_not_of('.'));
    while (!out.empty() && (out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    if (out.empty() || is_device_name(out)) return std::nullopt;
    out = fit_file_name(out);
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<std::string> parse_content_disposition(std::string_view value) {
    size_t at = 0;
    size_t semicolon = value.find(';');
    if (value.substr(0, semicolon).find('=') == std::string_view::npos) {
        if (semicolon == std::string_view::npos) return std::nullopt;
        at = semicolon + 1;
    }
    std::optional<std::string> plain;
    std::optional<std::string> extended;
    while (at < value.size()) {
        size_t stop = value.find_first_of("=;", at);
        std::string key =
            lower(trim_spaces(value.substr(at, stop == std::string_view::npos ? stop : stop - at)));
        if (stop == std::string_view::npos) break;
        if (value[stop] == ';') {
            at = stop + 1;
            continue;
        }
        at = stop + 1;
        std::string parameter = read_parameter_value(value, at);
        if (key == "filename" && !plain) plain = std::move(parameter);
        if (key == "filename*" && !extended) extended = std::move(parameter);
        if (at < value.size()) ++at; // the ";"
    }
    if (extended) {
        if (auto decoded = decode_extended_value(*extended)) {
            if (auto name = sanitize_server_name(*decoded)) return name;
        }
    }
    if (plain) return sanitize_server_name(*plain);
    return std::nullopt;
}

bool is_real_file_name(std::string_view name) {
    if (name == "download.bin") return false;
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return false;
    std::string extension = lower(name.substr(dot + 1));
    if (extension.size() > 8) return false;
    for (char c : extension) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    for (std::string_view script : kScriptExtensions) {
        if (extension == script) return false;
    }
    return true;
}

ServerNameResult apply_server_file_name(DriverRun& run, const ServerNaming& response) {
    const RunContext& task = run.task;
    if (!task.request.auto_named || run.resumed || run.adoption_tried.exchange(true))
        return ServerNameResult::kKept;
    std::optional<std::string> candidate = server_candidate(task, response);
    if (!candidate || *candidate == task.progress.name()) return ServerNameResult::kKept;

    std::string old_path = task.progress.output_path();
    std::string old_name = task.progress.name();
    std::string target = std::string(folder_part(old_path)) + *candidate;
    if (try_adopt_resume(run, response, target, *candidate)) return ServerNameResult::kAdoptResume;

    std::string chosen = first_absent_path(target, old_path);
    if (chosen.empty() || chosen == old_path) return ServerNameResult::kKept;
    if (!move_output(task, old_path, chosen)) {
        task.progress.set_output_path(old_path);
        debug_log("[dl] could not adopt server file name \"%s\" — keeping \"%s\"", candidate->c_str(),
                  old_name.c_str());
        return ServerNameResult::kKept;
    }
    // The run's own sidecar, when it had saved one; never the file it has just become.
    const std::string old_sidecar = old_path + std::string(kSidecarSuffix);
    if (old_sidecar != task.progress.output_path()) remove_sidecar(old_sidecar);
    debug_log("[dl] server file name adopted: \"%s\" -> \"%s\"", old_name.c_str(),
              task.progress.name().c_str());
    return ServerNameResult::kRenamed;
}

} // namespace twk

#include "app/diagnostics.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/file_io.h"
#include "net/http_exchange.h"
#include "net/text.h"
#include "json/json.h"

namespace twk::app {
namespace {

constexpr size_t kMaxCrashMarkerRead = 31;
constexpr size_t kReportNameChars = 12;

int64_t leading_decimal(std::string_view text) {
    int64_t value = 0;
    size_t i = 0;
    bool negative = !text.empty() && text[0] == '-';
    if (negative || (!text.empty() && text[0] == '+')) i = 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (INT64_MAX - 9) / 10) break;
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

// Up to `limit` bytes of a file; nullopt when it cannot be opened.
std::optional<std::string> read_head(const std::string& path, size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text(limit, '\0');
    size_t got = 0;
    while (got < limit) {
        ssize_t n = ::read(fd, text.data() + got, limit - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    return text;
}

// A "Key:   1234 kB" line of /proc/self/status, in kB.
int64_t status_kb(const std::string& status, std::string_view key) {
    size_t at = status.find(std::string("\n") + std::string(key) + ":");
    if (at == std::string::npos) return 0;
    at += key.size() + 2;
    while (at < status.size() && (status[at] == ' ' || status[at] == '\t'))
        ++at;
    return leading_decimal(std::string_view(status).substr(at));
}

} // namespace

std::string os_text() {
    utsname name{};
    if (::uname(&name) != 0) return "linux";
    unsigned major = 0, minor = 0;
    const char* end = name.release + strnlen(name.release, sizeof name.release);
    auto [after_major, e1] = std::from_chars(name.release, end, major);
    if (e1 != std::errc() || after_major == end || *after_major != '.') return "linux";
    auto [after_minor, e2] = std::from_chars(after_major + 1, end, minor);
    if (e2 != std::errc()) return "linux";
    return "linux" + std::to_string(major) + "." + std::to_string(minor);
}

int64_t memory_mib() {
    std::optional<std::string> status = read_head("/proc/self/status", 16384);
    if (!status) return 0;
    std::string text = "\n" + *status;
    return (status_kb(text, "RssAnon") + status_kb(text, "VmSwap")) >> 10;
}

int64_t cpu_time_100ns() {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    auto units = [](const timeval& t) { return int64_t{t.tv_sec} * 10'000'000 + int64_t{t.tv_usec} * 10; };
    return units(usage.ru_utime) + units(usage.ru_stime);
}

std::vector<std::string> crash_report_folders_from_env() {
    const char* value = std::getenv("TWK_CRASH_REPORT_DIRS");
    if (!value) return {"/var/crash", "/var/lib/systemd/coredump"};
    std::vector<std::string> folders;
    std::string_view rest(value);
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        std::string_view item = rest.substr(0, colon);
        if (!item.empty()) folders.emplace_back(item);
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return folders;
}

std::string format_marker(const RunMarker& m) {
    std::string line = "v=" + m.v + ";os=" + m.os + ";up=" + std::to_string(m.up) +
                       ";rss=" + std::to_string(m.rss) + ";cpu=" + std::to_string(m.cpu);
    if (line.size() > kMaxMarkerChars) line.resize(kMaxMarkerChars);
    return line;
}

RunMarker parse_marker(std::string_view text) {
    RunMarker marker;
    while (!text.empty()) {
        size_t semicolon = text.find(';');
        std::string_view item = text.substr(0, semicolon);
        size_t equals = item.find('=');
        if (equals != std::string_view::npos) {
            std::string_view key = item.substr(0, equals), value = item.substr(equals + 1);
            if (key == "v")
                marker.v = value;
            else if (key == "os")
                marker.os = value;
            else if (key == "up")
                marker.up = leading_decimal(value);
            else if (key == "rss")
                marker.rss = leading_decimal(value);
            else if (key == "cpu")
                marker.cpu = leading_decimal(value);
        }
        if (semicolon == std::string_view::npos) break;
        text.remove_prefix(semicolon + 1);
    }
    return marker;
}

std::string format_diag_record(const DiagRecord& r) {
    return "{\"v\":" + json_quote(r.v) + ",\"os\":" + json_quote(r.os) + ",\"up\":" + std::to_string(r.up) +
           ",\"rss\":" + std::to_string(r.rss) + ",\"cpu\":" + std::to_string(r.cpu) +
           ",\"act\":" + std::to_string(r.act) + ",\"done\":" + std::to_string(r.done) +
           ",\"trig\":" + json_quote(r.trig) + "}";
}

void MarkerFiles::write_marker(const RunMarker& marker) const {
    if (available()) write_private_file(marker_path(), format_marker(marker));
}

void MarkerFiles::delete_marker() const {
    if (available()) ::unlink(marker_path().c_str());
}

std::optional<std::string> MarkerFiles::take_marker() const {
    if (!available()) return std::nullopt;
    std::optional<std::string> text = read_head(marker_path(), kMaxMarkerRead);
    if (text) ::unlink(marker_path().c_str());
    return text;
}

uint64_t newest_crash_report(const std::vector<std::string>& folders, const std::string& exe_name) {
    std::string needle = to_lower_ascii(exe_name.substr(0, kReportNameChars));
    if (needle.empty()) return 0;
    uint64_t newest = 0;
    for (const std::string& folder : folders) {
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) continue;
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == ".." || to_lower_ascii(name).find(needle) == std::string::npos)
                continue;
            struct stat info {};
            if (::stat((folder + "/" + name).c_str(), &info) != 0) continue;
            uint64_t when = static_cast<uint64_t>(info.st_mtim.tv_sec) * 1'000'000'000u +
                            static_cast<uint64_t>(info.st_mtim.tv_nsec);
            if (when > newest) newest = when;
        }
        ::closedir(dir);
    }
    return newest;
}

bool MarkerFiles::newer_crash_report(const std::vector<std::string>& folders,
                                     const std::string& exe_name) const {
    if (!available()) return false;
    uint64_t newest = newest_crash_report(folders, exe_name);
    if (newest == 0) return false;
    if (std::optional<std::string> text = read_head(crash_marker_path(), kMaxCrashMarkerRead)) {
        uint64_t handled = 0;
        std::from_chars(text->data(), text->data() + text->size(), handled);
        if (handled >= newest) return false;
    }
    write_private_file(crash_marker_path(), std::to_string(newest));
    return true;
}

std::optional<DiagRecord> crash_check(const MarkerFiles& files, const std::vector<std::string>& folders,
                                      const std::string& exe_name, const RunMarker& fresh) {
    std::optional<std::string> text = files.take_marker();
    RunMarker previous = text ? parse_marker(*text) : RunMarker{};
    if (previous.v.empty()) {
        files.write_marker(fresh);
        return std::nullopt;
    }
    DiagRecord record;
    record.v = previous.v;
    record.os = previous.os.empty() ? fresh.os : previous.os;
    record.up = previous.up;
    record.rss = previous.rss;
    record.cpu = previous.cpu;
    record.trig = "crash";
    bool crashed = files.newer_crash_report(folders, exe_name);
    files.write_marker(fresh);
    if (!crashed) return std::nullopt;
    return record;
}

void ResourceSampler::start(int64_t now_ms, int64_t cpu_time, int64_t memory) {
    m_start_ms = m_last_ms = now_ms;
    m_cpu_time = cpu_time;
    m_memory = memory;
}

ResourceSampler::Outcome ResourceSampler::sample(const ResourceSample& s) {
    Outcome out;
    int64_t elapsed = (s.now_ms - m_last_ms) / 1000;
    m_last_ms = s.now_ms;
    int64_t used = s.cpu_time - m_cpu_time;
    m_cpu_percent =
        elapsed <= 1 || used < 0
            ? 0
            : static_cast<int64_t>(static_cast<double>(used) / 1e7 / static_cast<double>(elapsed) * 100);
    m_cpu_time = s.cpu_time;
    m_memory = s.memory_mib;
    out.write_marker = ++m_samples % kMarkerEvery == 0;
    if (m_memory > kRssLimitMib) {
        out.trigger = "rss";
    } else if (s.active > 0 || m_cpu_percent < kCpuLimitPercent) {
        m_high_cpu = 0;
    } else if (++m_high_cpu >= kCpuSamples) {
        out.trigger = "cpu";
    }
    return out;
}

bool DiagnosticPrompt::raise(const DiagRecord& record) {
    if (m_raised) return false;
    m_raised = true;
    m_pending = record;
    return true;
}

std::optional<std::string> DiagnosticPrompt::take_for_sending() {
    if (!m_pending || m_sent) return std::nullopt;
    m_sent = true;
    return format_diag_record(*m_pending);
}

bool post_diagnostic(const std::string& endpoint, const std::string& body, const ProxySpec& proxy,
                     SocketCanceller* connections) {
    HttpRequest request;
    request.method = "POST";
    request.url = endpoint + "/api/diag";
    request.headers = {{"User-Agent", "Tarnwick"}, {"Content-Type", "application/json"}};
    request.body = body;
    request.proxy = proxy;
    request.canceller = connections;
    // The record never leaves https once the post started on it.
    request.refuse_downgrade = true;
    HttpResponse response;
    std::string error;
    if (!http_exchange(request, response, error)) return false;
    if (response.connection) response.connection->close();
    return true;
}

} // namespace twk::app

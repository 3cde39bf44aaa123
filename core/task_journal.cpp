#include "core/task_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "core/start_request.h"
#include "net/file_io.h"
#include "net/text.h"
#include "net/url.h"
#include "json/json.h"

namespace twk {

namespace {

constexpr const char* kStateNames[] = {"queued", "running", "done", "error", "paused", "canceled"};

std::string number(uint64_t value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, ec == std::errc() ? end : buffer);
}

std::string signed_number(int64_t value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, ec == std::errc() ? end : buffer);
}

const char* boolean(bool value) { return value ? "true" : "false"; }

} // namespace

std::string journal_entry_json(const JournalEntry& e) {
    std::string out = "{\"id\":" + signed_number(e.id);
    out += ",\"url\":" + json_quote(e.request.url);
    out += ",\"filename\":" + json_quote(e.filename);
    out += ",\"outputPath\":" + json_quote(e.output_path);
    out += ",\"connections\":" + number(e.request.connections);
    out += ",\"method\":" + json_quote(e.request.method);
    out += ",\"headers\":[";
    for (size_t i = 0; i < e.request.headers.size(); ++i) {
        if (i) out += ',';
        out += "[" + json_quote(e.request.headers[i].first) + "," + json_quote(e.request.headers[i].second) +
               "]";
    }
    out += "],\"postData\":" + json_quote(e.request.post_data);
    out += ",\"userAgent\":" + json_quote(e.request.user_agent);
    out += ",\"insecure\":" + std::string(boolean(e.request.insecure));
    out += ",\"proxy\":{\"kind\":" + signed_number(e.request.proxy.kind);
    out += ",\"host\":" + json_quote(e.request.proxy.host);
    out += ",\"port\":" + signed_number(e.request.proxy.port);
    out += ",\"user\":" + json_quote(e.request.proxy.user);
    out += ",\"password\":" + json_quote(e.request.proxy.password) + "}";
    out += ",\"bandwidthLimit\":" + signed_number(e.bandwidth_limit);
    out += ",\"type\":" + json_quote(e.request.stream_type);
    out += ",\"autoNamed\":" + std::string(boolean(e.request.auto_named));
    out += ",\"checksum\":" + json_quote(e.request.checksum);
    out += ",\"liveFromStart\":" + std::string(boolean(e.request.live_from_start));
    out += ",\"skipBadSegments\":" + std::string(boolean(e.request.skip_bad_segments));
    out += ",\"addedAt\":" + signed_number(e.request.added_ms);
    out += ",\"liveOutageLimit\":" + signed_number(e.request.live_outage_limit);
    out += ",\"state\":" + json_quote(journal_state_name(e.state));
    out += ",\"status\":" + json_quote(e.status);
    out += ",\"total\":" + number(e.total);
    out += ",\"done\":" + number(e.done);
    out += ",\"supportsRange\":" + std::string(boolean(e.supports_range));
    if (e.live.active) {
        char digest[17];
        std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(e.live.init_digest));
        out += ",\"live\":{\"next\":" + signed_number(e.live.next_sequence);
        out += ",\"recordedMs\":" + signed_number(e.live.recorded_ms);
        out += ",\"gaps\":" + number(e.live.gaps);
        out += ",\"gapMs\":" + signed_number(e.live.gap_ms);
        out += ",\"init\":\"" + std::string(digest) + "\"}";
    }
    out += "}";
    return out;
}

namespace {

// --- reading one entry; every getter fails on a missing or mistyped member ---

bool get_text(const OrderedJsonValue& object, std::string_view key, std::string& out) {
    const OrderedJsonValue* v = object.member(key);
    if (!v || v->kind != JsonKind::String) return false;
    out = v->string;
    return true;
}

bool get_bool(const OrderedJsonValue& object, std::string_view key, bool& out) {
    const OrderedJsonValue* v = object.member(key);
    if (!v || v->kind != JsonKind::Bool) return false;
    out = v->boolean;
    return true;
}

// A whole number in [min, max].
bool get_whole(const OrderedJsonValue& object, std::string_view key, double min, double max, double& out) {
    const OrderedJsonValue* v = object.member(key);
    if (!v || v->kind != JsonKind::Number || !std::isfinite(v->number)) return false;
    if (v->number != std::floor(v->number) || v->number < min || v->number > max) return false;
    out = v->number;
    return true;
}

bool get_unsigned(const OrderedJsonValue& object, std::string_view key, uint64_t& out) {
    double value = 0;
    if (!get_whole(object, key, 0, static_cast<double>(kMaxJournalNumber), value)) return false;
    out = static_cast<uint64_t>(value);
    return true;
}

bool get_int32(const OrderedJsonValue& object, std::string_view key, int32_t min, int32_t& out) {
    double value = 0;
    if (!get_whole(object, key, min, INT32_MAX, value)) return false;
    out = static_cast<int32_t>(value);
    return true;
}

bool read_headers(const OrderedJsonValue& object, HeaderList& out) {
    const OrderedJsonValue* v = object.member("headers");
    if (!v || v->kind != JsonKind::Array) return false;
    for (const OrderedJsonValue& pair : v->array) {
        if (pair.kind != JsonKind::Array || pair.array.size() != 2) return false;
        const OrderedJsonValue& name = pair.array[0];
        const OrderedJsonValue& value = pair.array[1];
        if (name.kind != JsonKind::String || value.kind != JsonKind::String || name.string.empty())
            return false;
        // A hand-edited journal must not put a line break into a request.
        if (has_control_byte(name.string) || has_control_byte(value.string)) return false;
        out.emplace_back(name.string, value.string);
    }
    return true;
}

bool read_proxy(const OrderedJsonValue& object, ProxySpec& out) {
    const OrderedJsonValue* v = object.member("proxy");
    if (!v || v->kind != JsonKind::Object) return false;
    if (!get_int32(*v, "kind", kProxyNone, out.kind) || out.kind > kProxyHttps) return false;
    if (!get_text(*v, "host", out.host) || !get_int32(*v, "port", 0, out.port) || out.port > 65535)
        return false;
    if (!get_text(*v, "user", out.user) || !get_text(*v, "password", out.password)) return false;
    for (const std::string* text : {&out.host, &out.user, &out.password}) {
        if (has_control_byte(*text)) return false;
    }
    return out.kind == kProxyNone || out.configured();
}

int32_t state_from_name(std::string_view name) {
    for (int32_t i = 0; i < static_cast<int32_t>(std::size(kStateNames)); ++i) {
        if (name == kStateNames[i]) return i;
    }
    return -1;
}

// A path that names a file: not empty, not ending in "/", no "/../" step, no control byte.
bool usable_output_path(const std::string& path) {
    if (path.empty() || path.back() == '/' || has_control_byte(path)) return false;
    if (path.find("/../") != std::string::npos || path.starts_with("../")) return false;
    size_t slash = path.find_last_of('/');
    std::string_view name =
        slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
    return !name.empty() && name != "." && name != "..";
}

// The "live" member: absent for anything but a live recording; one of another shape costs the
// entry, like any other member.
bool read_live(const OrderedJsonValue& entry, JournalLive& out) {
    const OrderedJsonValue* v = entry.member("live");
    if (!v) return true;
    if (v->kind != JsonKind::Object) return false;
    const double most = static_cast<double>(kMaxJournalNumber);
    double next = 0, recorded = 0, gaps = 0, gap_ms = 0;
    std::string digest;
    if (!get_whole(*v, "next", -1, most, next) || !get_whole(*v, "recordedMs", 0, most, recorded) ||
        !get_whole(*v, "gaps", 0, UINT32_MAX, gaps) || !get_whole(*v, "gapMs", 0, most, gap_ms) ||
        !get_text(*v, "init", digest) || digest.size() != 16) {
        return false;
    }
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digest.data(), digest.data() + digest.size(), value, 16);
    if (ec != std::errc() || end != digest.data() + digest.size()) return false;
    out.active = true;
    out.next_sequence = static_cast<int64_t>(next);
    out.recorded_ms = static_cast<int64_t>(recorded);
    out.gaps = static_cast<uint32_t>(gaps);
    out.gap_ms = static_cast<int64_t>(gap_ms);
    out.init_digest = value;
    return true;
}

bool read_entry(const OrderedJsonValue& v, JournalEntry& e) {
    if (v.kind != JsonKind::Object) return false;
    std::string state;
    double bandwidth_limit = 0;
    uint64_t connections = 0;
    if (!get_int32(v, "id", 1, e.id) || !get_text(v, "url", e.request.url) ||
        !get_text(v, "filename", e.filename) || !get_text(v, "outputPath", e.output_path) ||
        !get_unsigned(v, "connections", connections) || !get_text(v, "method", e.request.method) ||
        !read_headers(v, e.request.headers) || !get_text(v, "postData", e.request.post_data) ||
        !get_text(v, "userAgent", e.request.user_agent) || !get_bool(v, "insecure", e.request.insecure) ||
        !read_proxy(v, e.request.proxy) ||
        !get_whole(v, "bandwidthLimit", 0, static_cast<double>(kMaxJournalNumber), bandwidth_limit) ||
        !get_text(v, "type", e.request.stream_type) || !get_bool(v, "autoNamed", e.request.auto_named) ||
        !get_text(v, "state", state) || !get_text(v, "status", e.status) ||
        !get_unsigned(v, "total", e.total) || !get_unsigned(v, "done", e.done) ||
        !get_bool(v, "supportsRange", e.supports_range)) {
        return false;
    }
    // Journals written before checksums existed have none.
    if (!get_text(v, "checksum", e.request.checksum)) e.request.checksum.clear();
    // Nor the stream options: a live stream recorded from the edge, no segment left out.
    if (!get_bool(v, "liveFromStart", e.request.live_from_start)) e.request.live_from_start = false;
    if (!get_bool(v, "skipBadSegments", e.request.skip_bad_segments)) e.request.skip_bad_segments = false;
    // Nor when a task was added (then unknown).
    double added_ms = 0;
    if (!get_whole(v, "addedAt", 0, static_cast<double>(kMaxJournalNumber), added_ms)) added_ms = 0;
    e.request.added_ms = static_cast<int64_t>(added_ms);
    double outage = 0;
    if (get_whole(v, "liveOutageLimit", 0, kMaxLiveOutageLimit, outage))
        e.request.live_outage_limit = static_cast<int64_t>(outage);
    if (!read_live(v, e.live)) return false;
    bool allowed = false;
    for (uint64_t c : {1, 2, 4, 8, 12, 16, 24, 32})
        allowed = allowed || c == connections;
    if (!allowed) return false;
    e.request.connections = connections;
    e.bandwidth_limit = static_cast<int64_t>(bandwidth_limit);
    e.state = state_from_name(state);
    if (e.state < 0) return false;
    if (e.id == INT32_MAX) return false; // no id would be left for the next task
    if (e.request.method != "GET" && e.request.method != "POST" && e.request.method != "HEAD") return false;
    if (e.request.stream_type != "" && e.request.stream_type != "hls" && e.request.stream_type != "dash")
        return false;
    if (e.request.user_agent.empty() || has_control_byte(e.request.user_agent)) return false;
    if (e.state == kError && !e.status.starts_with("error")) return false;
    UrlParts parts;
    if (e.request.url.empty() || !parse_url(e.request.url, parts)) return false;
    return usable_output_path(e.output_path);
}

std::string errno_text(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

enum class ReadResult { kOk, kMissing, kFailed };

ReadResult read_whole(const std::string& path, std::string& out, std::string& problem) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return ReadResult::kMissing;
        problem = errno_text("cannot open", errno);
        return ReadResult::kFailed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = "not a regular file";
        ::close(fd);
        return ReadResult::kFailed;
    }
    if (static_cast<uint64_t>(info.st_size) > kMaxJournalSize) {
        problem = "larger than " + number(kMaxJournalSize) + " bytes";
        ::close(fd);
        return ReadResult::kFailed;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem = errno_text("cannot read", errno);
            ::close(fd);
            return ReadResult::kFailed;
        }
        if (n == 0) break;
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > kMaxJournalSize) {
            problem = "larger than " + number(kMaxJournalSize) + " bytes";
            ::close(fd);
            return ReadResult::kFailed;
        }
    }
    ::close(fd);
    return ReadResult::kOk;
}

} // namespace

std::string_view journal_state_name(int32_t state) {
    if (state < 0 || state >= static_cast<int32_t>(std::size(kStateNames))) return {};
    return kStateNames[state];
}

std::string journal_document(const std::vector<JournalEntry>& entries, int32_t next_id) {
    std::vector<std::string> texts;
    texts.reserve(entries.size());
    for (const JournalEntry& entry : entries)
        texts.push_back(journal_entry_json(entry));
    std::vector<const std::string*> pointers;
    pointers.reserve(texts.size());
    for (const std::string& text : texts)
        pointers.push_back(&text);
    return journal_document(pointers, next_id);
}

std::string journal_document(const std::vector<const std::string*>& entry_texts, int32_t next_id) {
    size_t size = 64;
    for (const std::string* text : entry_texts)
        size += text->size() + 2;
    std::string out;
    out.reserve(size);
    out += "{\"version\":" + signed_number(kJournalVersion);
    if (next_id > 0) out += ",\"nextId\":" + signed_number(next_id);
    out += ",\"tasks\":[";
    for (size_t i = 0; i < entry_texts.size(); ++i) {
        if (i) out += ",\n";
        out += *entry_texts[i];
    }
    out += "]}\n";
    return out;
}

JournalParse parse_journal(std::string_view text) {
    JournalParse result;
    OrderedJsonValue root;
    if (!parse_ordered_document(text, root)) return result;
    double version = 0;
    if (!get_whole(root, "version", 0, INT32_MAX, version) || version != kJournalVersion) return result;
    const OrderedJsonValue* tasks = root.member("tasks");
    if (!tasks || tasks->kind != JsonKind::Array) return result;
    result.parsed = true;
    double next_id = 0;
    if (root.member("nextId") && get_whole(root, "nextId", 1, INT32_MAX, next_id))
        result.next_id = static_cast<int32_t>(next_id);
    std::set<int32_t> ids;
    for (const OrderedJsonValue& value : tasks->array) {
        JournalEntry entry;
        if (!read_entry(value, entry) || !ids.insert(entry.id).second) {
            ++result.dropped;
            continue;
        }
        result.entries.push_back(std::move(entry));
    }
    return result;
}

bool write_journal(const std::string& path, const std::vector<JournalEntry>& entries, std::string& error) {
    return write_journal_document(path, journal_document(entries), error);
}

bool write_journal_document(const std::string& path, const std::string& document, std::string& error) {
    if (write_private_file(path, document, &error)) return true;
    error = "cannot save the journal: " + error;
    return false;
}

JournalLoad load_journal(const std::string& path) {
    JournalLoad load;
    std::string text;
    ReadResult read = read_whole(path, text, load.problem);
    if (read == ReadResult::kMissing) return load;
    if (read == ReadResult::kOk) {
        JournalParse parse = parse_journal(text);
        if (!parse.parsed) {
            load.problem = "not a task journal";
        } else if (parse.dropped > 0) {
            load.problem = number(parse.dropped) + " entries of another shape dropped";
        }
        load.entries = std::move(parse.entries);
        load.next_id = parse.next_id;
        if (parse.parsed && parse.dropped == 0) return load;
    }
    const std::string aside = path + kJournalBadSuffix;
    load.set_aside = ::rename(path.c_str(), aside.c_str()) == 0;
    if (!load.set_aside) load.problem += "; " + errno_text("cannot set it aside", errno);
    return load;
}

void make_journal_folder(const std::string& path) { make_private_folders(folder_of(path)); }

std::string default_journal_path() {
    const std::string folder = state_folder();
    return folder.empty() ? std::string() : folder + "/tasks.json";
}

} // namespace twk

#include "core/link_refresh.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "core/naming.h"
#include "core/sidecar.h"
#include "core/transfer_request.h"
#include "net/file_io.h"
#include "net/http_exchange.h"
#include "net/redirect_policy.h"
#include "net/url.h"

namespace twk {

namespace {

// The longest URL an owner mark is read back with.
constexpr size_t kMaxMarkBytes = 65536;

const char* fixed_text(RefreshError error) {
    switch (error) {
    case RefreshError::kNone: return "";
    case RefreshError::kNoSuchTask: return "no such download";
    case RefreshError::kStream: return "a stream cannot continue from another link";
    case RefreshError::kStreamLink: return "a stream link cannot continue a download";
    case RefreshError::kFinished: return "the download has finished";
    case RefreshError::kCanceled: return "the download was canceled";
    case RefreshError::kInvalidUrl: return "invalid url";
    case RefreshError::kNotGet: return "the new link must be fetched with GET";
    case RefreshError::kBusy: return "the download did not stop in time";
    case RefreshError::kRestarted: return "the download was started again meanwhile";
    case RefreshError::kNewLinkFailed: return "the new link failed: ";
    case RefreshError::kNotResumable: return "the new link's server does not resume downloads";
    case RefreshError::kSizeUnknown: return "the new link does not tell the file's size";
    case RefreshError::kSizeDiffers: return "";
    case RefreshError::kEtagDiffers: return "";
    case RefreshError::kModifiedDiffers: return "";
    case RefreshError::kCannotSave: return "cannot save resume state: ";
    case RefreshError::kLocked: return "another process is writing the file";
    case RefreshError::kClosed: return "engine not running";
    }
    return "";
}

bool is_etag(std::string_view validator) {
    return validator.starts_with("\"") || validator.starts_with("W/\"");
}

bool strong_etag(std::string_view etag) { return etag.starts_with("\""); }

} // namespace

RefreshResult refresh_refusal(RefreshError error, std::string_view detail) {
    RefreshResult result;
    result.error = error;
    result.message = fixed_text(error);
    result.message += detail;
    return result;
}

bool probe_link(const TaskRequest& request, LinkFacts& facts, std::string& cause) {
    // A record of its own, so that the request goes through the one place that decides which
    // of the link's credentials go where.
    Task probe(request);
    HttpRequest http = transfer_request(probe.context(), request.url);
    // An FTP server has no one-byte answer: a RETR would push the file's start down the data
    // connection. A HEAD there asks SIZE, MDTM and a REST, and fetches nothing.
    UrlParts parts;
    const bool ftp = parse_url(request.url, parts) && (parts.scheme == "ftp" || parts.scheme == "ftps");
    http.method = ftp ? "HEAD" : "GET";
    http.headers.emplace_back("Range", "bytes=0-0");
    HttpResponse response;
    if (!http_exchange(http, response, cause)) return false;
    if (response.status != 200 && response.status != 206) {
        cause = "http " + std::to_string(response.status);
        return false;
    }
    facts.ranged = response.status == 206;
    if (facts.ranged) {
        facts.size = response.range_total > 0 ? static_cast<uint64_t>(response.range_total) : 0;
    } else {
        facts.size = response.content_length > 0 ? static_cast<uint64_t>(response.content_length) : 0;
    }
    facts.etag = response.headers.get("ETag");
    facts.last_modified = response.headers.get("Last-Modified");
    return true;
}

RefreshResult judge_new_link(const LinkFacts& facts, uint64_t size, std::string_view validator,
                             bool resuming) {
    if (resuming && !facts.ranged) return refresh_refusal(RefreshError::kNotResumable);
    if (size != 0 && facts.size == 0) return refresh_refusal(RefreshError::kSizeUnknown);
    if (size != 0 && facts.size != size) {
        return refresh_refusal(RefreshError::kSizeDiffers,
                               "the new link's file is " + std::to_string(facts.size) +
                                   " bytes, the download's is " + std::to_string(size));
    }
    if (is_etag(validator)) {
        if (strong_etag(validator) && strong_etag(facts.etag) && facts.etag != validator) {
            return refresh_refusal(RefreshError::kEtagDiffers, "the new link's file has ETag " + facts.etag +
                                                                   ", the download's is " +
                                                                   std::string(validator));
        }
    } else if (!validator.empty() && !facts.last_modified.empty() && facts.last_modified != validator) {
        return refresh_refusal(RefreshError::kModifiedDiffers,
                               "the new link's file was modified at " + facts.last_modified +
                                   ", the download's at " + std::string(validator));
    }
    return {};
}

TaskRequest refreshed_request(const TaskRequest& old, const StartOptions& given) {
    TaskRequest request = clean_request(given);
    UrlParts was;
    UrlParts now;
    const bool home = parse_url(old.url, was) && parse_url(request.url, now) && same_origin(was, now);
    // A link pasted alone brings no credentials: on the same origin the download's own still
    // apply (a re-signed link of the same site); anywhere else they stay behind.
    if (home && given.headers.empty() && given.cookies.empty() && given.referrer.empty())
        request.headers = old.headers;
    if (home && given.user_agent.empty()) request.user_agent = old.user_agent;
    if (home) request.insecure = request.insecure || old.insecure;
    request.connections = old.connections;
    request.auto_named = old.auto_named;
    if (request.checksum.empty()) request.checksum = old.checksum;
    return request;
}

std::string owner_url(const std::string& path) {
    std::string value(kMaxMarkBytes, '\0');
    const ssize_t n = ::lgetxattr(path.c_str(), kOwnerAttribute, value.data(), value.size());
    if (n <= 0) return {};
    value.resize(static_cast<size_t>(n));
    return value;
}

RefreshResult adopt_new_link(const std::string& output_path, uint64_t known_size,
                             const TaskRequest& request) {
    const std::string sidecar_path = output_path + ".twk"; // as Task::sidecar_path
    if (output_locked(output_path)) return refresh_refusal(RefreshError::kLocked);
    std::optional<ResumeState> resume;
    if (::access(output_path.c_str(), F_OK) == 0) resume = load_sidecar(sidecar_path, output_path);
    const uint64_t size = resume ? resume->total : known_size;
    LinkFacts facts;
    std::string cause;
    if (!probe_link(request, facts, cause)) return refresh_refusal(RefreshError::kNewLinkFailed, cause);
    RefreshResult verdict = judge_new_link(facts, size, resume ? resume->validator : "", resume.has_value());
    if (!verdict.ok() || !resume) return verdict;
    // The next run sends this in If-Range and expects it back on every 206.
    const std::string validator = !facts.etag.empty() ? facts.etag : facts.last_modified;
    if (validator != resume->validator) {
        resume->validator = validator;
        std::string error;
        if (!write_private_file(sidecar_path, sidecar_image(*resume), &error, FolderOwner::kUser))
            return refresh_refusal(RefreshError::kCannotSave, error);
    }
    if (!owner_url(output_path).empty())
        ::lsetxattr(output_path.c_str(), kOwnerAttribute, request.url.data(), request.url.size(), 0);
    return {};
}

} // namespace twk

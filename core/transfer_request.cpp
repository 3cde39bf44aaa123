#include "core/transfer_request.h"

#include "net/redirect_policy.h"
#include "net/url.h"

namespace twk {

namespace {

// `url` with the user and password of `given` put back in, when `url` has none: an effective
// URL is recorded without them, and its origin is still theirs.
std::string with_credentials_of(const UrlParts& given, std::string_view url, const UrlParts& parsed) {
    const size_t scheme_end = url.find("://");
    if (given.user.empty() || !parsed.user.empty() || scheme_end == std::string_view::npos)
        return std::string(url);
    std::string user_info = percent_encode(given.user);
    if (!given.password.empty()) user_info += ":" + percent_encode(given.password);
    std::string out(url.substr(0, scheme_end + 3));
    out += user_info + "@";
    out += url.substr(scheme_end + 3);
    return out;
}

// The task's headers that may go to a host they were not given for.
HeaderList stranger_headers(const HeaderList& headers, std::string_view target) {
    HeaderList out;
    for (const auto& [name, value] : headers) {
        if (equals_ignoring_case(name, "referer")) {
            std::string referer = browser_referer(value, target);
            if (!referer.empty()) out.emplace_back(name, std::move(referer));
        } else if (is_cross_origin_safe_header(name)) {
            out.emplace_back(name, value);
        }
    }
    return out;
}

} // namespace

HttpRequest transfer_request(const RunContext& task, std::string_view url, const TransferLimits& limits) {
    HttpRequest request;
    const TaskRequest& asked = task.request;
    UrlParts given;
    UrlParts target;
    const bool home = parse_url(asked.url, given) && parse_url(url, target) && same_origin(given, target);
    request.headers.reserve(asked.headers.size() + 3); // room for the Range headers
    request.headers.emplace_back("User-Agent", asked.user_agent);
    if (home) {
        request.method = asked.method;
        request.url = with_credentials_of(given, url, target);
        request.headers.insert(request.headers.end(), asked.headers.begin(), asked.headers.end());
        request.body = asked.post_data;
    } else {
        request.method = asked.method == "HEAD" ? "HEAD" : "GET";
        request.url = url;
        HeaderList neutral = stranger_headers(asked.headers, url);
        request.headers.insert(request.headers.end(), neutral.begin(), neutral.end());
    }
    request.proxy = asked.proxy;
    request.insecure = asked.insecure;
    request.max_redirects = limits.max_redirects;
    request.connect_timeout_ms = limits.connect_timeout_ms;
    request.io_timeout_ms = limits.io_timeout_ms;
    request.canceller = &task.control.canceller;
    return request;
}

} // namespace twk

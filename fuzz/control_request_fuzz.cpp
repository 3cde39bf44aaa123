// The control server's request reader and access rules on arbitrary bytes: the head found and
// parsed, the Host check, the token, the extension's proof, the access decision, the query parameters and the
// browser tag, and the WebSocket accept value for whatever key came.
#include "control/request.h"
#include "control/websocket.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace twk;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const size_t end = request_head_end(bytes);
    if (end > size || (end != 0 && end < 4)) std::abort();
    const ControlRequest request = parse_request_head(end ? bytes.substr(0, end - 4) : bytes);

    const HostCheck host = check_host(request);
    // Whatever passes the Host check names loopback, and only loopback.
    if (host == HostCheck::kAllowed && request.header("host") &&
        !is_loopback_name(host_without_port(*request.header("host"))))
        std::abort();
    const AccessDecision access = decide_access(request, "0123456789abcdef0123456789abcdef");
    // An extension's Origin alone opens nothing: it takes a proof, the token or the key.
    const AccessDecision proven = decide_access(request, "0123456789abcdef0123456789abcdef", "", true);
    if (proven.extension != kNoExtension && !proven.allowed) std::abort();
    if (access.extension != kNoExtension && access.allowed &&
        presented_token(request) != "0123456789abcdef0123456789abcdef")
        std::abort();
    std::string nonce;
    std::string proof;
    if (presented_proof(request, nonce, proof) && nonce.find('.') != std::string::npos) std::abort();
    if (!decide_access(request, "").allowed && access.allowed && access.extension == kNoExtension &&
        presented_token(request) != "0123456789abcdef0123456789abcdef") {
        // Allowed without the token: only a loopback web origin can do that.
        const std::string* origin = request.header("origin");
        if (!origin) std::abort();
    }
    const std::string tag = query_parameter(request.target, "b");
    if (valid_browser_tag(tag) && (tag.empty() || tag.size() > kMaxBrowserTag)) std::abort();
    (void)request_path(request.target);
    if (const std::string* key = request.header("sec-websocket-key")) {
        if (websocket_accept(*key).size() != 28) std::abort();
    }
    return 0;
}

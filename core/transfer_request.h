// The request every transfer of a task starts from, shared by the download driver and the
// stream driver: the task's method, the URL given, ("User-Agent", the task's user agent) then
// the task's headers in order, its body, proxy and TLS flag, the redirect cap, the time-outs,
// and the task's canceller, so that a stop ends the request at once. A driver adds what only it
// knows (the download driver its Range and If-Range headers).
//
// What a task was given belongs to the origin (scheme, host, port) of the URL it was given
// with: its cookies, Authorization and every other header of its own, its body, and the user
// and password of that URL. Requests to that origin carry them all; a request anywhere else
// (an effective URL after a redirect to another host, a stream segment, key or init section on
// another host, the same host over another scheme or port, so never plain http for what was
// given for https) carries only what a browser sends to a stranger: the user agent, the
// neutral headers of the redirect policy (Accept..., conditionals), the Referer cut as a
// browser cuts it, and GET instead of POST, without the body. This is the one place that
// decides it, for every request of every driver.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/task.h"
#include "net/http_message.h"

namespace twk {

struct TransferLimits {
    int32_t max_redirects = kDefaultMaxRedirects;
    int32_t connect_timeout_ms = kDefaultConnectTimeoutMs;
    uint32_t io_timeout_ms = kDefaultIoTimeoutMs;
};

HttpRequest transfer_request(const RunContext& task, std::string_view url, const TransferLimits& limits = {});

} // namespace twk

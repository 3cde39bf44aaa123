// The request every transfer of a task starts from, shared by the download driver and the
// stream driver: the task's method, the URL given, ("User-Agent", the task's user agent) then
// the task's headers in order, its body, proxy and TLS flag, the redirect cap, the time-outs,
// and the task's canceller, so that a stop ends the request at once. A driver adds what only it
// knows (the download driver its Range and If-Range headers).
#pragma once

#include <cstdint>
#include <string_view>

#include "core/task.h"
#include "net/http_message.h"

namespace twk {

struct TransferLimits {
    int32_t max_redirects = kDefaultMaxRedirects;
    int32_t connect_timeout_ms = kDefaultConnectTimeoutMs;
    uint32_t io_timeout_ms = kDefaultIoTimeoutMs;
};

HttpRequest transfer_request(Task& task, std::string_view url, const TransferLimits& limits = {});

} // namespace twk

#include "core/transfer_request.h"

namespace twk {

HttpRequest transfer_request(Task& task, std::string_view url, const TransferLimits& limits) {
    HttpRequest request;
    request.method = task.method;
    request.url = url;
    request.headers.reserve(task.headers.size() + 3); // room for the Range headers
    request.headers.emplace_back("User-Agent", task.user_agent);
    request.headers.insert(request.headers.end(), task.headers.begin(), task.headers.end());
    request.body = task.post_data;
    request.proxy = task.proxy;
    request.insecure = task.insecure;
    request.max_redirects = limits.max_redirects;
    request.connect_timeout_ms = limits.connect_timeout_ms;
    request.io_timeout_ms = limits.io_timeout_ms;
    request.canceller = &task.canceller;
    return request;
}

} // namespace twk

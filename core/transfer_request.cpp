#include "core/transfer_request.h"

namespace twk {

HttpRequest transfer_request(Task& task, std::string_view url, const TransferLimits& limits) {
    HttpRequest request;
    const TaskRequest& asked = task.request;
    request.method = asked.method;
    request.url = url;
    request.headers.reserve(asked.headers.size() + 3); // room for the Range headers
    request.headers.emplace_back("User-Agent", asked.user_agent);
    request.headers.insert(request.headers.end(), asked.headers.begin(), asked.headers.end());
    request.body = asked.post_data;
    request.proxy = asked.proxy;
    request.insecure = asked.insecure;
    request.max_redirects = limits.max_redirects;
    request.connect_timeout_ms = limits.connect_timeout_ms;
    request.io_timeout_ms = limits.io_timeout_ms;
    request.canceller = &task.canceller;
    return request;
}

} // namespace twk

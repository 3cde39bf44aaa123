#include "control/control_reply.h"

#include <string>

#include "net/socket.h"

namespace twk {

namespace {

const char* reason_for(int status) {
    switch (status) {
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 503: return "Service Unavailable";
    default: return "OK";
    }
}

} // namespace

bool write_reply(int socket, int status, std::string_view content_type, std::string_view body,
                 std::string_view extra_headers) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason_for(status) + "\r\n";
    head += "Content-Type: ";
    head += content_type;
    head += "\r\n";
    head += extra_headers;
    head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    if (!send_raw_all(socket, head.data(), head.size())) return false;
    return body.empty() || send_raw_all(socket, body.data(), body.size());
}

} // namespace twk

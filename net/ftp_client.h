// The FTP client: ftp:// and explicit FTPS (ftps://, AUTH TLS on the control connection and a
// protected data channel). http_exchange hands it every ftp and ftps URL, and it answers with a
// response shaped like HTTP's, so the segmented transfer fetches FTP files in byte ranges the same
// way: a 200 for the whole file or a 206 for a Range (REST), the length from SIZE,
// "Accept-Ranges: bytes", and an FtpBodyStream that delivers the file. Each retrieval has its
// own control and data connection; nothing is pooled.
//
// The data connection always goes to the control connection's peer address: the address a PASV
// reply names is ignored, so a server cannot point the client at a third host.
#pragma once

#include "net/ftp_reply.h"
#include "net/http_message.h"
#include "net/socket.h"
#include "net/transport_error.h"

#include <memory>
#include <string>
#include <string_view>

namespace twk {

// The password of an anonymous login.
constexpr std::string_view kFtpAnonymousPassword = "guestuser@";

// The body of an FTP retrieval. At the end of the data the server's final reply is read: only
// a 2xx ends the body cleanly; anything else (426, 451, a dead control connection) makes the
// read fail, so an aborted transfer never passes for a short file. A failed read names its
// cause where one is known: the server's final reply, or the data channel's TLS failure.
class FtpBodyStream final : public ByteStream {
public:
    FtpBodyStream(std::unique_ptr<ByteStream> data, FtpControl control)
        : m_data(std::move(data)), m_control(std::move(control)) {}
    ~FtpBodyStream() override { close(); }
    FtpBodyStream(const FtpBodyStream&) = delete;
    FtpBodyStream& operator=(const FtpBodyStream&) = delete;

    int read(char* buffer, int capacity) override;
    bool send_all(const char* data, size_t length) override;
    // Closes the data connection, then the control connection (no QUIT).
    void close() override;
    // "ftp transfer failed: 426 ..." when the server's final reply refused the transfer, else
    // the data channel's own words ("TLS record authentication failed"); empty after a dropped
    // connection or a time-out.
    std::string failure_reason() const override;

private:
    std::unique_ptr<ByteStream> m_data;
    FtpControl m_control;
    bool m_final_reply_read = false;
    bool m_failed = false;
    std::string m_failure; // the server's final reply when it refused the transfer
};

// The contract of http_exchange for an ftp or ftps URL: logs in, asks for SIZE, maps a Range
// header onto REST, opens the passive data connection and starts RETR. Of the request it uses
// the URL, a Range header, the time-outs, `insecure`, the canceller (every socket of the
// retrieval is one it watches, so a pause ends a blocked read at once), and the proxy, through
// which the control and the passive data connection are both tunnelled (HTTP CONNECT or SOCKS5).
// A HEAD looks at the file without fetching it: login, SIZE, MDTM and, for a Range, a REST to
// its start; the answer is a 206 when the REST was taken (the server resumes), else a 200, with
// the length and Last-Modified a GET would have, and no body. No data connection is opened and
// the server sends no byte of the file.
// A failure says whether a retry can mend it: a refused login, a 5xx reply, a bad URL, a proxy's
// refusal, a refused AUTH TLS or certificate are permanent; a connect failure, a 4xx reply (FTP's
// transient class) or a dead connection are retryable.
bool ftp_retrieve(const HttpRequest& request, HttpResponse& response, TransportError& error);
// The same with the message alone.
bool ftp_retrieve(const HttpRequest& request, HttpResponse& response, std::string& error);

} // namespace twk

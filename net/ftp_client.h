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

#include "net/http_message.h"
#include "net/socket.h"
#include "net/transport_error.h"

#include <memory>
#include <string>
#include <string_view>

namespace twk {

// Each reply must be complete within this long, however the socket time-outs slice it.
constexpr int kFtpReplyTimeoutMs = 60000;
// Bytes asked of the control connection per read.
constexpr int kFtpControlReadSize = 1024;
// The control receive buffer never grows past this: a server cannot feed an endless line.
constexpr size_t kFtpMaxControlBuffer = 65536;
// Lines are added to the reply text only while it is at most this long.
constexpr size_t kFtpMaxReplyText = 8191;
// A reply that has not completed by its 256th line is refused.
constexpr int kFtpMaxReplyLines = 256;
// safe_reply_text copies at most this many bytes.
constexpr size_t kSafeReplyTextMax = 200;
// The password of an anonymous login.
constexpr std::string_view kFtpAnonymousPassword = "guestuser@";

// One control connection: the stream (plain, or TLS after AUTH TLS) and the bytes received past
// the last reply, kept for the next one.
struct FtpControl {
    std::unique_ptr<ByteStream> stream;
    std::string buffer;
};

// Reads one reply (multi-line replies whole) into `reply`, every line followed by "\n". Returns
// its three-digit code, or -1 when no valid reply came: a failed read, the peer closing, an
// overlong line, 256 lines without an end, or kFtpReplyTimeoutMs passing.
int ftp_read_reply(FtpControl& control, std::string& reply);

// Sends `command` and "\r\n", then reads the reply. A command holding a byte below 0x20, 0x7F
// or 0xFF is not sent: -1 with "illegal control character in FTP command" in `error`; a failed
// send gives -1 with "FTP control write failed". Otherwise `error` is left as it was. `kind`, when
// given, tells the two apart: permanent for the refused command, retryable for the failed send.
int ftp_command(FtpControl& control, std::string_view command, std::string& reply, std::string& error,
                FailureKind* kind = nullptr);

// The modification time of an MDTM reply ("213 YYYYMMDDHHMMSS[.fff]", UTC) as an HTTP date
// ("Thu, 10 Dec 2026 23:54:51 GMT"), which the retrieval passes on as its Last-Modified: the
// validator a resumed transfer compares, so that a file replaced on the server is fetched anew
// rather than spliced into the old one. Empty when the reply holds no valid time.
std::string http_date_from_mdtm(std::string_view reply);

// A server's text made fit for an error message: control bytes become blanks, at most
// kSafeReplyTextMax bytes are kept, and "..." marks a text that reached that length.
std::string safe_reply_text(std::string_view text);

// The body of an FTP retrieval. At the end of the data the server's final reply is read: only
// a 2xx ends the body cleanly; anything else (426, 451, a dead control connection) makes the
// read fail, so an aborted transfer never passes for a short file.
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

private:
    std::unique_ptr<ByteStream> m_data;
    FtpControl m_control;
    bool m_final_reply_read = false;
    bool m_failed = false;
};

// The contract of http_exchange for an ftp or ftps URL: logs in, asks for SIZE, maps a Range
// header onto REST, opens the passive data connection and starts RETR. Of the request it uses
// the URL, a Range header, the time-outs, `insecure`, the canceller (every socket of the
// retrieval is one it watches, so a pause ends a blocked read at once), and the proxy, through
// which the control and the passive data connection are both tunnelled (HTTP CONNECT or SOCKS5).
// A failure says whether a retry can mend it: a refused login, a 5xx reply, a bad URL, a proxy's
// refusal, a refused AUTH TLS or certificate are permanent; a connect failure, a 4xx reply (FTP's
// transient class) or a dead connection are retryable.
bool ftp_retrieve(const HttpRequest& request, HttpResponse& response, TransportError& error);
// The same with the message alone.
bool ftp_retrieve(const HttpRequest& request, HttpResponse& response, std::string& error);

} // namespace twk

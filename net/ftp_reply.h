// The control connection's replies: reading one whole (multi-line replies included, with
// limits on time, line length and line count), sending a command and reading its answer, and the
// values the client takes out of replies (SIZE, EPSV and PASV ports, MDTM times).
#pragma once

#include "net/socket.h"
#include "net/transport_error.h"

#include <cstddef>
#include <cstdint>
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

// A run of decimal digits that fits an int64; false for none or an overflow.
bool parse_ftp_digits(std::string_view text, int64_t& value);

// The size from a 213 reply: the digits after its first blank; -1 when there are none, or too
// many to hold.
int64_t ftp_size_from_reply(std::string_view reply);

// The port of a 229 reply, "(|||port|)" with any delimiter; 0 when it cannot be read.
int ftp_epsv_port(std::string_view reply);

// The port of a 227 reply, "(h1,h2,h3,h4,p1,p2)"; 0 when it cannot be read. The address part is
// checked for form only: the data connection goes to the control peer whatever it says.
int ftp_pasv_port(std::string_view reply);

} // namespace twk

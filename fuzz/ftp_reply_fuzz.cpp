// The FTP reply reader on arbitrary control-connection bytes, delivered in pieces whose size the
// first input byte chooses: replies are read until the bytes run out, each reply's text is made
// safe for a message, and the same bytes then serve as the final reply an FtpBodyStream reads at
// the end of its data; the bytes are also read as an MDTM reply.
#include "net/ftp_client.h"
#include "net/text.h"

#include "tests/support/memory_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace twk;
    if (size < 1) return 0;
    const size_t piece = data[0] % 64 + 1;
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    FtpControl control;
    control.stream = std::make_unique<test::MemoryStream>(bytes, piece);
    std::string reply;
    for (int replies = 0; replies < 1000; ++replies) {
        const int code = ftp_read_reply(control, reply);
        if (code == -1) break;
        if (code < 0 || code > 999) std::abort();
        if (control.buffer.size() > kFtpMaxControlBuffer) std::abort();
        if (reply.size() > kFtpMaxReplyText + kFtpMaxControlBuffer + 1) std::abort();
        const std::string safe = safe_reply_text(reply);
        if (safe.size() > kSafeReplyTextMax + 3 || has_control_byte(safe, true)) std::abort();
    }

    const std::string date = http_date_from_mdtm(bytes);
    if (!date.empty() && (date.size() != 29 || !date.ends_with(" GMT"))) std::abort();

    FtpControl final_reply;
    final_reply.stream = std::make_unique<test::MemoryStream>(bytes, piece);
    FtpBodyStream body(std::make_unique<test::MemoryStream>("file bytes"), std::move(final_reply));
    char buffer[64];
    int total = 0;
    for (int n; (n = body.read(buffer, sizeof buffer)) > 0;)
        total += n;
    if (total != 10) std::abort();
    return 0;
}

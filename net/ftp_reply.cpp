#include "net/ftp_reply.h"

#include "net/text.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace twk {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

} // namespace

bool parse_ftp_digits(std::string_view text, int64_t& value) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), is_digit)) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

int64_t ftp_size_from_reply(std::string_view reply) {
    const size_t blank = reply.find(' ');
    if (blank == std::string_view::npos) return -1;
    std::string_view rest = reply.substr(blank + 1);
    size_t digits = 0;
    while (digits < rest.size() && is_digit(rest[digits]))
        ++digits;
    int64_t size;
    return parse_ftp_digits(rest.substr(0, digits), size) ? size : -1;
}

int ftp_epsv_port(std::string_view reply) {
    const size_t open = reply.find('(');
    if (open == std::string_view::npos || open + 1 >= reply.size()) return 0;
    const char delimiter = reply[open + 1];
    size_t at = open + 1;
    for (int seen = 1; seen < 3; ++seen) {
        at = reply.find(delimiter, at + 1);
        if (at == std::string_view::npos) return 0;
    }
    std::string_view rest = reply.substr(at + 1);
    size_t digits = 0;
    while (digits < rest.size() && is_digit(rest[digits]))
        ++digits;
    int64_t port;
    if (!parse_ftp_digits(rest.substr(0, digits), port) || port < 1 || port > 65535) return 0;
    return static_cast<int>(port);
}

int ftp_pasv_port(std::string_view reply) {
    const size_t open = reply.find('(');
    if (open == std::string_view::npos) return 0;
    const size_t close = reply.find(')', open + 1);
    if (close == std::string_view::npos) return 0;
    std::string_view inside = reply.substr(open + 1, close - open - 1);
    int64_t numbers[6];
    for (int i = 0; i < 6; ++i) {
        const size_t comma = i < 5 ? inside.find(',') : inside.size();
        if (comma == std::string_view::npos) return 0;
        if (!parse_ftp_digits(inside.substr(0, comma), numbers[i]) || numbers[i] > 255) return 0;
        inside.remove_prefix(i < 5 ? comma + 1 : comma);
    }
    const int64_t port = numbers[4] * 256 + numbers[5];
    return port >= 1 && port <= 65535 ? static_cast<int>(port) : 0;
}

std::string http_date_from_mdtm(std::string_view reply) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const size_t blank = reply.find(' ');
    if (blank == std::string_view::npos || reply.size() < blank + 15) return {};
    const std::string_view digits = reply.substr(blank + 1, 14);
    if (!std::all_of(digits.begin(), digits.end(), is_digit)) return {};
    if (reply.size() > blank + 15 && is_digit(reply[blank + 15])) return {}; // more than 14 digits
    auto field = [&](size_t at, size_t length) {
        int value = 0;
        for (size_t i = at; i < at + length; ++i)
            value = value * 10 + (digits[i] - '0');
        return value;
    };
    std::tm when{};
    when.tm_year = field(0, 4) - 1900;
    when.tm_mon = field(4, 2) - 1;
    when.tm_mday = field(6, 2);
    when.tm_hour = field(8, 2);
    when.tm_min = field(10, 2);
    when.tm_sec = field(12, 2);
    const std::tm given = when;
    const std::time_t seconds = ::timegm(&when);
    // timegm moves fields that are out of range (a 13th month, a 32nd day): such a time is none.
    if (seconds == static_cast<std::time_t>(-1) || when.tm_year != given.tm_year ||
        when.tm_mon != given.tm_mon || when.tm_mday != given.tm_mday || when.tm_hour != given.tm_hour ||
        when.tm_min != given.tm_min || when.tm_sec != given.tm_sec)
        return {};
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[when.tm_wday], when.tm_mday,
                  kMonths[when.tm_mon], when.tm_year + 1900, when.tm_hour, when.tm_min, when.tm_sec);
    return text;
}

int ftp_read_reply(FtpControl& control, std::string& reply) {
    reply.clear();
    if (!control.stream) return -1;
    const int64_t deadline = monotonic_ms() + kFtpReplyTimeoutMs;
    int code = -1;
    bool multi_line = false;
    int open_lines = 0; // lines that did not complete the reply
    for (;;) {
        const size_t newline = control.buffer.find('\n');
        if (newline == std::string::npos) {
            if (monotonic_ms() >= deadline) return -1;
            char piece[kFtpControlReadSize];
            const int n = control.stream->read(piece, sizeof piece);
            if (n <= 0 || control.buffer.size() + static_cast<size_t>(n) > kFtpMaxControlBuffer) return -1;
            control.buffer.append(piece, static_cast<size_t>(n));
            continue;
        }
        std::string_view line(control.buffer.data(), newline);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (reply.size() <= kFtpMaxReplyText) {
            reply += line;
            reply += '\n';
        }
        const bool numbered = line.size() > 3 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]);
        bool complete = false;
        if (numbered && code < 0) {
            code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
            multi_line = line[3] == '-';
            complete = !multi_line;
        } else if (numbered && multi_line) {
            complete = line[3] == ' ' && line[0] - '0' == code / 100 && line[1] - '0' == code / 10 % 10 &&
                       line[2] - '0' == code % 10;
        }
        control.buffer.erase(0, newline + 1);
        if (complete) return code;
        if (++open_lines >= kFtpMaxReplyLines) return -1;
    }
}

int ftp_command(FtpControl& control, std::string_view command, std::string& reply, std::string& error,
                FailureKind* kind) {
    reply.clear();
    for (char c : command) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || byte == 0xFF) {
            error = "illegal control character in FTP command";
            if (kind) *kind = FailureKind::kPermanent;
            return -1;
        }
    }
    if (kind) *kind = FailureKind::kRetryable;
    std::string line;
    line.reserve(command.size() + 2);
    line += command;
    line += "\r\n";
    if (!control.stream || !control.stream->send_all(line.data(), line.size())) {
        error = "FTP control write failed";
        return -1;
    }
    return ftp_read_reply(control, reply);
}

std::string safe_reply_text(std::string_view text) {
    const size_t kept = std::min(text.size(), kSafeReplyTextMax);
    std::string out(text.substr(0, kept));
    for (char& c : out) {
        if (is_control_byte(static_cast<unsigned char>(c), true)) c = ' ';
    }
    if (text.size() >= kSafeReplyTextMax) out += "...";
    return out;
}

} // namespace twk

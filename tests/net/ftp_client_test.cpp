// The FTP client against scripted input: the reply reader over bytes in memory, and whole
// retrievals from a small FTP server of the test's own that does what real servers rarely do
// (odd greetings, refused EPSV or REST, a PASV reply naming a foreign host, aborts after the data).
#include "net/body_reader.h"
#include "net/ftp_client.h"
#include "net/http_exchange.h"
#include "tests/support/loopback.h"
#include "tests/support/memory_stream.h"
#include "tests/support/real_peers.h"
#include "tests/support/script_server.h"

#include <gtest/gtest.h>

#include <map>
#include <poll.h>

namespace twk {
namespace {

using test::MemoryStream;

// --- the reply reader ---

FtpControl control_over(std::string bytes, size_t max_read = SIZE_MAX, int at_end = 0) {
    FtpControl control;
    control.stream = std::make_unique<MemoryStream>(std::move(bytes), max_read, at_end);
    return control;
}

struct ReplyCase {
    const char* name;
    std::string input;
    int code;
    std::string text; // the reply text, when the code is not -1
};

TEST(FtpReadReply, ReadsOneReplyOfEachShape) {
    const std::string long_line(70000, 'x');
    std::string many_lines = "220-start\r\n";
    for (int i = 0; i < 300; ++i)
        many_lines += "filler\r\n";
    many_lines += "220 end\r\n";
    const std::vector<ReplyCase> cases = {
        {"single line", "220 ready\r\n", 220, "220 ready\n"},
        {"bare line feed", "331 password\n", 331, "331 password\n"},
        {"multi-line", "220-Welcome\r\n220-to the server\r\n220 ready\r\n", 220,
         "220-Welcome\n220-to the server\n220 ready\n"},
        {"other codes inside a multi-line reply", "211-Features\r\n 213 SIZE\r\n214 x\r\n211 End\r\n", 211,
         "211-Features\n 213 SIZE\n214 x\n211 End\n"},
        {"noise before the reply line", "hello\r\n\r\n250 ok\r\n", 250, "hello\n\n250 ok\n"},
        {"three digits alone are no reply line", "226\r\n226 done\r\n", 226, "226\n226 done\n"},
        {"a stream that ends inside the reply", "220-only the start\r\n", -1, ""},
        {"a stream that ends inside a line", "220 no line feed", -1, ""},
        {"a line past the buffer cap", "220 " + long_line + "\r\n", -1, ""},
        {"256 lines without an end", many_lines, -1, ""},
    };
    for (const auto& c : cases) {
        FtpControl control = control_over(c.input, 100);
        std::string reply;
        EXPECT_EQ(ftp_read_reply(control, reply), c.code) << c.name;
        if (c.code != -1) {
            EXPECT_EQ(reply, c.text) << c.name;
        }
    }
}

TEST(FtpReadReply, KeepsWhatFollowsForTheNextReply) {
    FtpControl control = control_over("150 opening\r\n226 done\r\n");
    std::string reply;
    EXPECT_EQ(ftp_read_reply(control, reply), 150);
    EXPECT_EQ(control.buffer, "226 done\r\n");
    EXPECT_EQ(ftp_read_reply(control, reply), 226);
    EXPECT_EQ(reply, "226 done\n");
    EXPECT_EQ(ftp_read_reply(control, reply), -1);
}

TEST(FtpReadReply, StopsAddingLinesToAnOverlongText) {
    std::string input = "220-a\r\n";
    for (int i = 0; i < 200; ++i)
        input += "220-" + std::string(100, 'y') + "\r\n";
    input += "220 end\r\n";
    FtpControl control = control_over(input);
    std::string reply;
    EXPECT_EQ(ftp_read_reply(control, reply), 220);
    EXPECT_LE(reply.size(), kFtpMaxReplyText + 110);
    EXPECT_GT(reply.size(), kFtpMaxReplyText);
}

TEST(FtpCommand, RefusesControlBytesAndReportsAFailedWrite) {
    for (std::string bad : {"RETR a\r\nDELE b", "RETR a\nb", "USER \t", "RETR \x7f", "RETR \xff"}) {
        FtpControl control = control_over("200 ok\r\n");
        std::string reply, error;
        EXPECT_EQ(ftp_command(control, bad, reply, error), -1);
        EXPECT_EQ(error, "illegal control character in FTP command");
        EXPECT_TRUE(static_cast<MemoryStream&>(*control.stream).sent.empty()) << "nothing is sent";
    }
    FtpControl control = control_over("200 ok\r\n");
    std::string reply, error;
    EXPECT_EQ(ftp_command(control, "TYPE I", reply, error), 200);
    EXPECT_EQ(static_cast<MemoryStream&>(*control.stream).sent, "TYPE I\r\n");
    EXPECT_EQ(error, "");

    struct DeadStream final : public ByteStream {
        int read(char*, int) override { return -1; }
        bool send_all(const char*, size_t) override { return false; }
        void close() override {}
    };
    control.stream = std::make_unique<DeadStream>();
    EXPECT_EQ(ftp_command(control, "NOOP", reply, error), -1);
    EXPECT_EQ(error, "FTP control write failed");
}

TEST(SafeReplyText, BlanksControlBytesAndCutsAt200) {
    EXPECT_EQ(safe_reply_text("530 no\r\n"), "530 no  ");
    EXPECT_EQ(safe_reply_text(std::string("5\x01\x1b[31m\t\x7f", 9)), "5  [31m  ");
    EXPECT_EQ(safe_reply_text(std::string(199, 'a')), std::string(199, 'a'));
    EXPECT_EQ(safe_reply_text(std::string(200, 'a')), std::string(200, 'a') + "...");
    EXPECT_EQ(safe_reply_text(std::string(5000, 'a')), std::string(200, 'a') + "...");
}

// --- a scripted FTP server ---

// Answers each command by its verb from `replies` ("{port}" becomes the data port, in EPSV's
// form or PASV's); on RETR it sends "150", then `body` from the REST offset on the data
// connection, closes that and sends `final_reply`.
struct FtpScript {
    std::string greeting = "220 scripted server\r\n";
    std::map<std::string, std::string> replies = {
        {"USER", "331 send password\r\n"},
        {"PASS", "230 logged in\r\n"},
        {"TYPE", "200 binary\r\n"},
        {"SIZE", "213 {size}\r\n"},
        {"EPSV", "229 Entering Extended Passive Mode (|||{port}|)\r\n"},
        // A foreign address: the client must still connect to the control peer.
        {"PASV", "227 Entering Passive Mode (10,1,2,3,{p1},{p2})\r\n"},
        {"REST", "350 restarting\r\n"},
        {"RETR", "150 opening\r\n"},
        {"AUTH", "500 unknown command\r\n"},
    };
    std::string body;
    size_t body_sent = SIZE_MAX; // bytes of the body to send; all by default
    std::string final_reply = "226 transfer complete\r\n";
    // The control connection is closed after the reply to this verb ("" for the greeting).
    std::string close_after = "-";
};

class FtpScriptServer {
public:
    explicit FtpScriptServer(FtpScript script)
        : m_script(std::move(script)), m_server([this](test::ScriptPeer& peer) { serve(peer); }) {}

    std::string url(const std::string& path, const std::string& scheme = "ftp",
                    const std::string& userinfo = "") const {
        return scheme + "://" + userinfo + "127.0.0.1:" + std::to_string(m_server.port()) + path;
    }
    // Every command received, in order.
    std::vector<std::string> commands() const {
        std::lock_guard lock(m_mutex);
        return m_commands;
    }
    bool received(const std::string& command) const {
        const auto all = commands();
        return std::find(all.begin(), all.end(), command) != all.end();
    }
    int connections() const { return m_server.connections(); }

private:
    static bool read_line(test::ScriptPeer& peer, std::string& line) {
        line.clear();
        std::string byte;
        while (peer.read_exact(1, byte)) {
            if (byte == "\n") {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return true;
            }
            line += byte;
        }
        return false;
    }

    std::string fill(std::string reply, int data_port) const {
        const std::map<std::string, std::string> values = {{"{port}", std::to_string(data_port)},
                                                           {"{p1}", std::to_string(data_port / 256)},
                                                           {"{p2}", std::to_string(data_port % 256)},
                                                           {"{size}", std::to_string(m_script.body.size())}};
        for (const auto& [key, value] : values) {
            for (size_t at; (at = reply.find(key)) != std::string::npos;)
                reply.replace(at, key.size(), value);
        }
        return reply;
    }

    void send_body(test::Listener& data, size_t offset) const {
        pollfd pfd{data.fd(), POLLIN, 0};
        if (::poll(&pfd, 1, 10000) != 1) return;
        const int fd = data.accept();
        if (fd < 0) return;
        const size_t end = std::min(m_script.body.size(), m_script.body_sent);
        for (size_t at = std::min(offset, end); at < end;) {
            const ssize_t n = ::send(fd, m_script.body.data() + at, end - at, MSG_NOSIGNAL);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        ::close(fd);
    }

    void serve(test::ScriptPeer& peer) {
        test::Listener data;
        size_t offset = 0;
        peer.send(m_script.greeting);
        if (m_script.close_after.empty()) return;
        std::string line;
        while (read_line(peer, line)) {
            {
                std::lock_guard lock(m_mutex);
                m_commands.push_back(line);
            }
            const std::string verb = line.substr(0, line.find(' '));
            const auto found = m_script.replies.find(verb);
            if (found == m_script.replies.end()) {
                peer.send("502 not implemented\r\n");
                continue;
            }
            peer.send(fill(found->second, data.port()));
            if (verb == "REST" && found->second.starts_with("350"))
                offset = std::strtoull(line.c_str() + 5, nullptr, 10);
            if (verb == "RETR" && found->second.starts_with("1")) {
                send_body(data, offset);
                peer.send(m_script.final_reply);
            }
            if (verb == m_script.close_after) return;
        }
    }

    FtpScript m_script;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_commands;
    test::ScriptServer m_server; // last: its threads end before the members above go
};

HttpRequest request_for(const std::string& url, const std::string& range = "") {
    HttpRequest request;
    request.url = url;
    if (!range.empty()) request.headers.emplace_back("Range", range);
    request.connect_timeout_ms = 5000;
    request.io_timeout_ms = 10000;
    return request;
}

// The body through a BodyReader, as the engine reads it; false when a read failed, with the
// reader's words for it in `reason` when given.
bool read_body(HttpResponse& response, std::string& body, std::string* reason = nullptr) {
    BodyReader reader(response);
    char piece[4096];
    for (;;) {
        const int n = reader.read(piece, sizeof piece);
        if (n < 0 && reason) *reason = reader.failure_reason();
        if (n < 0) return false;
        if (n == 0) return true;
        body.append(piece, static_cast<size_t>(n));
    }
}

const std::string kBody = test::test_pattern(1000);

FtpScript script_with(std::initializer_list<std::pair<const std::string, std::string>> changes) {
    FtpScript script;
    script.body = kBody;
    for (const auto& [verb, reply] : changes)
        script.replies[verb] = reply;
    return script;
}

TEST(FtpRetrieve, AnonymousWholeFileLooksLikeAnHttp200) {
    FtpScriptServer server(script_with({}));
    HttpResponse response;
    std::string error, body;
    ASSERT_TRUE(ftp_retrieve(request_for(server.url("/dir/a%20b%zz.bin")), response, error)) << error;
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.content_length, 1000);
    EXPECT_FALSE(response.until_close);
    EXPECT_EQ(response.headers.get("accept-ranges"), "bytes");
    EXPECT_EQ(response.scheme, "ftp");
    EXPECT_EQ(response.path, "/dir/a%20b%zz.bin");
    ASSERT_TRUE(read_body(response, body));
    EXPECT_TRUE(body == kBody);
    const std::vector<std::string> expected = {"USER anonymous",       "PASS guestuser@",      "TYPE I",
                                               "SIZE /dir/a b%zz.bin", "MDTM /dir/a b%zz.bin", "EPSV",
                                               "RETR /dir/a b%zz.bin"};
    EXPECT_EQ(server.commands(), expected);
    EXPECT_EQ(response.headers.find("Last-Modified"), nullptr); // MDTM was not understood
}

// The file's modification time is the validator a resume compares: a file replaced on the
// server under the same size is then noticed instead of spliced.
TEST(FtpRetrieve, TheModificationTimeBecomesLastModified) {
    FtpScriptServer server(script_with({{"MDTM", "213 20261210235451\r\n"}}));
    HttpResponse response;
    std::string error, body;
    ASSERT_TRUE(ftp_retrieve(request_for(server.url("/f.bin"), "bytes=10-"), response, error)) << error;
    EXPECT_EQ(response.headers.get("Last-Modified"), "Thu, 10 Dec 2026 23:54:51 GMT");
    ASSERT_TRUE(read_body(response, body));

    const std::pair<std::string, std::string> cases[] = {
        {"213 19700101000000", "Thu, 01 Jan 1970 00:00:00 GMT"},
        {"213 20240229120000.123", "Thu, 29 Feb 2024 12:00:00 GMT"}, // fractions are dropped
        {"213 20230229120000", ""},                                  // no such day
        {"213 20241301000000", ""},
        {"213 2024010100000", ""},   // 13 digits
        {"213 202401010000001", ""}, // 15
        {"213 2024-01-01 00:00", ""},
        {"213", ""},
    };
    for (const auto& [reply, date] : cases)
        EXPECT_EQ(http_date_from_mdtm(reply), date) << reply;
}

TEST(FtpRetrieve, LogsInWithTheUrlsCredentials) {
    struct Case {
        std::string userinfo;
        std::vector<std::string> login;
        std::string user_reply = "331 send password\r\n";
    };
    const std::vector<Case> cases = {
        {"joe:se%20cret@", {"USER joe", "PASS se cret"}},
        {"joe:@", {"USER joe", "PASS "}},
        {"joe@", {"USER joe", "PASS "}},
        {"joe:pw@", {"USER joe"}, "230 no password needed\r\n"},
    };
    for (const auto& c : cases) {
        FtpScriptServer server(script_with({{"USER", c.user_reply}}));
        HttpResponse response;
        std::string error, body;
        ASSERT_TRUE(ftp_retrieve(request_for(server.url("/f", "ftp", c.userinfo)), response, error))
            << c.userinfo << ": " << error;
        ASSERT_TRUE(read_body(response, body));
        auto commands = server.commands();
        commands.resize(c.login.size() + 1);
        auto expected = c.login;
        expected.push_back("TYPE I");
        EXPECT_EQ(commands, expected) << c.userinfo;
    }
}

TEST(FtpRetrieve, MapsRangeHeadersOntoRest) {
    struct Case {
        std::string range;
        int status;
        int64_t start, length, total;
        std::string rest; // the REST command sent, empty for none
    };
    const std::vector<Case> cases = {
        {"bytes=100-", 206, 100, 900, 1000, "REST 100"},
        {"bytes=0-99", 206, 0, 100, 1000, ""},
        {"bytes=0-", 206, 0, 1000, 1000, ""},
        {"bytes=100-199", 206, 100, 100, 1000, "REST 100"},
        {"bytes=900-5000", 206, 900, 100, 1000, "REST 900"}, // cut to the file's end
        {"bytes=-100", 200, -1, 1000, -1, ""},               // a suffix range: the whole file
        {"bytes=200-100", 200, -1, 1000, -1, ""},
        {"items=0-1", 200, -1, 1000, -1, ""},
        {"bytes=1-2,5-6", 200, -1, 1000, -1, ""},
    };
    for (const auto& c : cases) {
        FtpScriptServer server(script_with({}));
        HttpResponse response;
        std::string error, body;
        ASSERT_TRUE(ftp_retrieve(request_for(server.url("/f"), c.range), response, error))
            << c.range << error;
        EXPECT_EQ(response.status, c.status) << c.range;
        EXPECT_EQ(response.range_start, c.start) << c.range;
        EXPECT_EQ(response.content_length, c.length) << c.range;
        EXPECT_EQ(response.range_total, c.total) << c.range;
        ASSERT_TRUE(read_body(response, body)) << c.range;
        const int64_t first = std::max<int64_t>(c.start, 0);
        EXPECT_TRUE(body == kBody.substr(static_cast<size_t>(first), static_cast<size_t>(c.length)))
            << c.range;
        bool rest_sent = false;
        for (const auto& command : server.commands())
            rest_sent = rest_sent || command.starts_with("REST");
        EXPECT_EQ(rest_sent, !c.rest.empty()) << c.range;
        if (!c.rest.empty()) {
            EXPECT_TRUE(server.received(c.rest)) << c.range;
        }
    }
}

TEST(FtpRetrieve, AnEmptyFileHasALengthOfZero) {
    FtpScript script = script_with({});
    script.body.clear();
    FtpScriptServer server(script);
    HttpResponse response;
    std::string error, body;
    ASSERT_TRUE(ftp_retrieve(request_for(server.url("/empty"), "bytes=0-"), response, error)) << error;
    EXPECT_EQ(response.status, 206);
    EXPECT_EQ(response.content_length, 0);
    EXPECT_EQ(response.range_total, 0);
    EXPECT_FALSE(response.until_close);
    ASSERT_TRUE(read_body(response, body));
    EXPECT_EQ(body, "");
}

TEST(FtpRetrieve, UnusualButValidServers) {
    struct Case {
        const char* name;
        FtpScript script;
    };
    FtpScript multi_line_greeting = script_with({});
    multi_line_greeting.greeting = "220-Welcome\r\n220-second line\r\n220 ready\r\n";
    std::vector<Case> cases = {
        {"multi-line greeting", multi_line_greeting},
        {"EPSV refused, PASV naming a foreign host", script_with({{"EPSV", "500 no EPSV here\r\n"}})},
        {"EPSV reply without a port",
         script_with({{"EPSV", "229 Entering Extended Passive Mode (|||x|)\r\n"}})},
        {"EPSV with another delimiter", script_with({{"EPSV", "229 ok (!!!{port}!)\r\n"}})},
        {"multi-line 150", script_with({{"RETR", "150-opening\r\n150 now\r\n"}})},
    };
    for (auto& c : cases) {
        FtpScriptServer server(c.script);
        HttpResponse response;
        std::string error, body;
        ASSERT_TRUE(ftp_retrieve(request_for(server.url("/f")), response, error)) << c.name << ": " << error;
        ASSERT_TRUE(read_body(response, body)) << c.name;
        EXPECT_TRUE(body == kBody) << c.name;
    }
}

// Without SIZE the length is unknown: the body runs until the data connection closes, and only
// the final reply says whether that close was the end of the file. A refusal is the read's
// failure reason.
TEST(FtpRetrieve, TheFinalReplyDecidesHowTheDataEnded) {
    struct Case {
        bool size_known;
        size_t sent;
        std::string final_reply;
        bool ok;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {false, SIZE_MAX, "226 complete\r\n", true, ""},
        {false, SIZE_MAX, "250 ok\r\n", true, ""},
        {false, 500, "426 connection closed; transfer aborted\r\n", false,
         "ftp transfer failed: 426 connection closed; transfer aborted "},
        {false, 500, "451 local error\r\n", false, "ftp transfer failed: 451 local error "},
        {false, SIZE_MAX, "426 aborted after all\r\n", false, "ftp transfer failed: 426 aborted after all "},
        {false, SIZE_MAX, "", false, ""}, // the control connection closes without a reply
        {true, 500, "426 aborted\r\n", false, "ftp transfer failed: 426 aborted "},
        {true, 500, "226 complete\r\n", false, ""}, // shorter than SIZE said
    };
    for (const auto& c : cases) {
        FtpScript script = script_with({});
        if (!c.size_known) script.replies["SIZE"] = "550 SIZE not allowed in ASCII mode\r\n";
        script.body_sent = c.sent;
        script.final_reply = c.final_reply;
        script.close_after = "RETR";
        FtpScriptServer server(script);
        const std::string name = (c.size_known ? "size known, " : "size unknown, ") + c.final_reply;
        HttpResponse response;
        std::string error, body;
        ASSERT_TRUE(ftp_retrieve(request_for(server.url("/f")), response, error)) << name << error;
        EXPECT_EQ(response.content_length, c.size_known ? 1000 : -1) << name;
        EXPECT_EQ(response.until_close, !c.size_known) << name;
        std::string reason;
        EXPECT_EQ(read_body(response, body, &reason), c.ok) << name;
        EXPECT_EQ(reason, c.reason) << name;
        if (c.ok) {
            EXPECT_TRUE(body == kBody) << name;
        }
    }
}

// A HEAD tells the file's length and date and, for a range, whether the server takes a REST to
// its start; it never opens a data connection nor asks for the file.
TEST(FtpRetrieve, AHeadLooksAtTheFileWithoutFetchingIt) {
    struct Case {
        std::string range, rest_reply;
        int status;
        int64_t length, total;
    };
    const std::vector<Case> cases = {
        {"bytes=0-0", "350 restarting\r\n", 206, 1, 1000},
        {"bytes=0-0", "502 REST not implemented\r\n", 200, 1000, -1},
        {"", "350 restarting\r\n", 200, 1000, -1},
    };
    for (const Case& c : cases) {
        const std::string name = c.range + " " + c.rest_reply;
        FtpScriptServer server(script_with({{"REST", c.rest_reply}, {"MDTM", "213 20261210235451\r\n"}}));
        HttpRequest request = request_for(server.url("/f"), c.range);
        request.method = "HEAD";
        HttpResponse response;
        std::string error, body;
        ASSERT_TRUE(ftp_retrieve(request, response, error)) << name << ": " << error;
        EXPECT_EQ(response.status, c.status) << name;
        EXPECT_EQ(response.content_length, c.length) << name;
        EXPECT_EQ(response.range_total, c.total) << name;
        EXPECT_EQ(response.headers.get("Last-Modified"), "Thu, 10 Dec 2026 23:54:51 GMT") << name;
        EXPECT_FALSE(response.connection) << name;
        ASSERT_TRUE(read_body(response, body)) << name;
        EXPECT_EQ(body, "") << name;
        std::vector<std::string> expected = {"USER anonymous", "PASS guestuser@", "TYPE I", "SIZE /f",
                                             "MDTM /f"};
        if (!c.range.empty()) expected.push_back("REST 0");
        EXPECT_EQ(server.commands(), expected) << name;
    }
}

TEST(FtpRetrieve, FailuresCarryTheirMessages) {
    struct Case {
        const char* name;
        FtpScript script;
        std::string url_scheme = "ftp";
        std::string range;
        std::string path = "/f";
        std::string error;
        FailureKind kind = FailureKind::kPermanent;
    };
    constexpr FailureKind kRetry = FailureKind::kRetryable;
    FtpScript busy = script_with({});
    busy.greeting = "421-too many users\r\n421 come back later\r\n";
    FtpScript garbled = script_with({});
    garbled.greeting = "no reply here\r\n";
    garbled.close_after = "";
    FtpScript no_tls = script_with({{"AUTH", "234 go ahead\r\n"}});
    no_tls.close_after = "AUTH";
    const std::vector<Case> cases = {
        {"greeting refused", busy, "ftp", "", "/f",
         "ftp greeting failed: 421-too many users 421 come back later ", kRetry},
        {"no greeting", garbled, "ftp", "", "/f", "ftp greeting failed: no reply here ", kRetry},
        {"login refused, control bytes shown safely", script_with({{"PASS", "530 bad\x01\x1b[31mlogin\r\n"}}),
         "ftp", "", "/f", "ftp login failed: 530 bad  [31mlogin "},
        {"TYPE refused", script_with({{"TYPE", "504 no\r\n"}}), "ftp", "", "/f",
         "ftp TYPE I failed: 504 no "},
        {"no passive mode", script_with({{"EPSV", "500 no\r\n"}, {"PASV", "500 no\r\n"}}), "ftp", "", "/f",
         "ftp passive mode failed: 500 no "},
        {"PASV reply out of range",
         script_with({{"EPSV", "500 no\r\n"}, {"PASV", "227 ok (127,0,0,1,256,1)\r\n"}}), "ftp", "", "/f",
         "ftp passive mode failed: 227 ok (127,0,0,1,256,1) ", kRetry},
        {"PASV reply with a port of 0",
         script_with({{"EPSV", "500 no\r\n"}, {"PASV", "227 ok (127,0,0,1,0,0)\r\n"}}), "ftp", "", "/f",
         "ftp passive mode failed: 227 ok (127,0,0,1,0,0) ", kRetry},
        {"REST refused", script_with({{"REST", "502 REST not implemented\r\n"}}), "ftp", "bytes=100-", "/f",
         "ftp REST rejected (no resume support): 502 REST not implemented "},
        {"RETR refused", script_with({{"RETR", "550 no such file\r\n"}}), "ftp", "", "/f",
         "ftp RETR failed: 550 no such file "},
        {"a path with a line break", script_with({}), "ftp", "", "/a%0d%0aDELE%20b",
         "illegal control character in FTP command"},
        {"AUTH TLS refused", script_with({}), "ftps", "", "/f",
         "server refused AUTH TLS (not an FTPS server?): 500 unknown command "},
        {"plaintext after 234", script_with({{"AUTH", "234 go ahead\r\n230 injected\r\n"}}), "ftps", "", "/f",
         "unexpected plaintext after AUTH TLS"},
        {"no TLS after 234", no_tls, "ftps", "", "/f",
         "FTPS control handshake failed (certificate or protocol)", kRetry},
    };
    for (const auto& c : cases) {
        FtpScriptServer server(c.script);
        HttpResponse response;
        TransportError error;
        EXPECT_FALSE(ftp_retrieve(request_for(server.url(c.path, c.url_scheme), c.range), response, error))
            << c.name;
        EXPECT_EQ(error.text, c.error) << c.name;
        // Whether a retry can help: a refusal of the permanent class (5xx, a bad path, a
        // protocol breach) ends a download at once; a busy server or a dead connection not.
        EXPECT_EQ(error.kind, c.kind) << c.name;
        EXPECT_FALSE(response.connection) << c.name;
    }
}

TEST(FtpRetrieve, RefusesBadUrlsAndAnAbsentProxyBeforeAskingTheServer) {
    FtpScriptServer server(script_with({}));
    HttpResponse response;
    std::string error;
    // A proxy that is not there, SOCKS5 or HTTP CONNECT, fails the retrieval at once and for
    // good, naming the proxy; the server is never asked.
    const int closed = test::closed_port();
    const std::string refused = "proxy 127.0.0.1:" + std::to_string(closed) + " refused the connection";
    for (const ProxyKind kind : {kProxySocks5, kProxyHttp}) {
        HttpRequest request = request_for(server.url("/f"));
        request.proxy = {kind, "127.0.0.1", closed, "", ""};
        TransportError typed;
        EXPECT_FALSE(ftp_retrieve(request, response, typed)) << kind;
        EXPECT_EQ(typed.text, refused) << kind;
        EXPECT_TRUE(typed.permanent()) << kind;
        EXPECT_EQ(typed.category, FailureCategory::kProxy) << kind;
        EXPECT_FALSE(http_exchange(request, response, error)) << kind;
        EXPECT_EQ(error, refused) << kind;
    }

    for (const std::string url : {"http://127.0.0.1/f", "ftp://", "not a url"}) {
        EXPECT_FALSE(ftp_retrieve(request_for(url), response, error)) << url;
        EXPECT_EQ(error, "bad ftp url") << url;
    }
    EXPECT_EQ(server.connections(), 0);

    EXPECT_FALSE(ftp_retrieve(request_for("ftp://127.0.0.1:" + std::to_string(test::closed_port()) + "/f"),
                              response, error));
    EXPECT_EQ(error, "ftp connect failed: 127.0.0.1");
}

// http_exchange hands ftp URLs to the FTP client, and follows an HTTP redirect into it.
TEST(FtpRetrieve, HttpExchangeFetchesFtpDirectlyAndAfterARedirect) {
    FtpScriptServer ftp(script_with({}));
    const std::string target = ftp.url("/file.bin");
    test::ScriptServer http([&](test::ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request))
            peer.send(test::http_response("302 Found", "Location: " + target + "\r\n", ""));
    });

    HttpResponse response;
    std::string error, body;
    ASSERT_TRUE(http_exchange(request_for(target), response, error)) << error;
    EXPECT_FALSE(response.redirected);
    ASSERT_TRUE(read_body(response, body));
    EXPECT_TRUE(body == kBody);

    HttpRequest request = request_for(http.url("/go"), "bytes=100-");
    request.headers.emplace_back("Cookie", "secret=1");
    ASSERT_TRUE(http_exchange(request, response, error)) << error;
    EXPECT_TRUE(response.redirected);
    EXPECT_EQ(response.status, 206);
    EXPECT_EQ(response.scheme, "ftp");
    EXPECT_EQ(response.path, "/file.bin");
    EXPECT_EQ(response.range_start, 100);
    body.clear();
    ASSERT_TRUE(read_body(response, body));
    EXPECT_TRUE(body == kBody.substr(100));
    EXPECT_TRUE(ftp.received("REST 100")) << "the Range header survives the redirect";
    EXPECT_EQ(http.requests().size(), 1u) << "the ftp URL never goes out as an HTTP request";
}

// An idle connection offered for reuse cannot carry an FTP retrieval; it is closed, not kept.
TEST(FtpRetrieve, HttpExchangeTakesAndClosesAPooledConnection) {
    FtpScriptServer ftp(script_with({}));
    std::unique_ptr<ByteStream> pooled = std::make_unique<MemoryStream>("");
    HttpResponse response;
    std::string error;
    ASSERT_TRUE(http_exchange(request_for(ftp.url("/f")), response, error, &pooled)) << error;
    EXPECT_FALSE(pooled);
}

} // namespace
} // namespace twk

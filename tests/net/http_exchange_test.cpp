// http_exchange and the body reader against a scripted loopback server: request building,
// refusals of misleading responses, redirects, pooled connections and fetch_small.
#include "net/http_exchange.h"

#include "tests/support/loopback.h"
#include "tests/support/script_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace twk {
namespace {

using test::http_response;
using test::request_header;
using test::request_path;
using test::ScriptPeer;
using test::ScriptServer;

// A handler that answers every request on a connection with `respond(request)`; an empty answer
// closes the connection instead.
ScriptServer::Handler answering(std::function<std::string(const std::string&)> respond) {
    return [respond](ScriptPeer& peer) {
        std::string request;
        while (peer.read_request(request)) {
            const std::string reply = respond(request);
            if (reply.empty()) return peer.close();
            peer.send(reply);
        }
    };
}

struct Result {
    bool ok = false;
    std::string error;
    HttpResponse response;
    std::string body;
    int last_read = 0;
};

Result exchange(const HttpRequest& request, std::unique_ptr<ByteStream>* pooled = nullptr) {
    Result r;
    r.ok = http_exchange(request, r.response, r.error, pooled);
    return r;
}

Result fetch(const HttpRequest& request) {
    Result r = exchange(request);
    if (!r.ok) return r;
    BodyReader reader(r.response);
    char buffer[4096];
    int n;
    while ((n = reader.read(buffer, sizeof buffer)) > 0)
        r.body.append(buffer, static_cast<size_t>(n));
    r.last_read = n;
    return r;
}

HttpRequest get(const std::string& url) {
    HttpRequest request;
    request.url = url;
    request.connect_timeout_ms = 5000;
    request.io_timeout_ms = 5000;
    return request;
}

TEST(HttpExchange, BuildsTheRequestFromFilteredHeadersAndDefaults) {
    ScriptServer server(answering([](const std::string&) { return http_response("200 OK", "", "ok"); }));
    HttpRequest request = get(server.url("/path?q=1"));
    request.headers = {{"host", "evil"},         {"Content-Length", "99"},
                       {"Connection", "close"},  {"X-Split", "a\r\nInjected: 1"},
                       {"user-agent", "Mine/1"}, {"X-Tab", "a\tb"}};
    const Result r = fetch(request);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "ok");
    const std::string expected =
        "GET /path?q=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
        "\r\nuser-agent: Mine/1\r\nX-Tab: a\tb\r\nAccept: */*\r\n"
        "Accept-Encoding: identity\r\nConnection: keep-alive\r\n\r\n";
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], expected);
}

TEST(HttpExchange, ContentLengthFollowsTheBodyAndThePostMethod) {
    ScriptServer server(answering([](const std::string&) { return http_response("200 OK", "", ""); }));
    HttpRequest post = get(server.url());
    post.method = "POST";
    ASSERT_TRUE(fetch(post).ok);
    HttpRequest get_with_body = get(server.url());
    get_with_body.body = "hello";
    ASSERT_TRUE(fetch(get_with_body).ok);
    HttpRequest plain = get(server.url());
    ASSERT_TRUE(fetch(plain).ok);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(request_header(requests[0], "content-length"), "0");
    EXPECT_EQ(request_header(requests[1], "content-length"), "5");
    EXPECT_NE(requests[1].find("\r\n\r\nhello"), std::string::npos);
    EXPECT_EQ(requests[2].find("Content-Length"), std::string::npos);
}

TEST(HttpExchange, RefusesBadRequestsBeforeConnecting) {
    HttpRequest control = get("http://127.0.0.1:1/");
    control.method = "GET /x HTTP/1.1\r\nX:";
    EXPECT_EQ(exchange(control).error, "illegal control character in request");

    EXPECT_EQ(exchange(get("http://user:pw@host:99999/")).error, "bad url: http://***@host:99999/");
    EXPECT_EQ(exchange(get("nonsense")).error, "bad url: nonsense");

    HttpRequest negative = get("http://127.0.0.1:1/");
    negative.max_redirects = -1;
    EXPECT_EQ(exchange(negative).error, "too many redirects");

    EXPECT_EQ(exchange(get("http://127.0.0.1:" + std::to_string(test::closed_port()) + "/")).error,
              "connect failed: 127.0.0.1");
}

// Whether asking again can help travels with the message, so that no caller reads the text.
TEST(HttpExchange, FailuresSayWhetherAnotherAttemptCanHelp) {
    const std::string closed_ftp = "ftp://127.0.0.1:" + std::to_string(test::closed_port()) + "/x";
    ScriptServer server(answering([closed_ftp](const std::string& request) {
        const std::string path = request_path(request);
        if (path == "/gzip") return http_response("200 OK", "Content-Encoding: gzip\r\n", "zz");
        if (path == "/lengths")
            return std::string("HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab");
        if (path == "/loop") return http_response("302 Found", "Location: /loop\r\n", "");
        if (path == "/ftp") return http_response("302 Found", "Location: " + closed_ftp + "\r\n", "");
        return http_response("302 Found", "Location: gopher://127.0.0.1/x\r\n", "");
    }));
    const std::string refused = "http://127.0.0.1:" + std::to_string(test::closed_port()) + "/";
    struct Case {
        std::string url;
        FailureKind kind;
        std::string described;
    } cases[] = {
        {"not a url", FailureKind::kPermanent, "bad url: not a url"},
        {"gopher://127.0.0.1/", FailureKind::kPermanent, "bad url: gopher://127.0.0.1/"},
        {closed_ftp, FailureKind::kRetryable, "ftp connect failed: 127.0.0.1 (connection refused)"},
        {"http://no-such-host.invalid/", FailureKind::kPermanent,
         "connect failed: no-such-host.invalid (name does not resolve)"},
        {refused, FailureKind::kRetryable, "connect failed: 127.0.0.1 (connection refused)"},
        {server.url("/gzip"), FailureKind::kPermanent, "unsupported Content-Encoding: gzip"},
        {server.url("/lengths"), FailureKind::kRetryable, "conflicting Content-Length headers"},
        {server.url("/loop"), FailureKind::kPermanent, "too many redirects"},
        {server.url("/ftp"), FailureKind::kRetryable, "ftp connect failed: 127.0.0.1 (connection refused)"},
        {server.url("/gopher"), FailureKind::kPermanent, "bad url: gopher://127.0.0.1/x"},
    };
    for (const Case& c : cases) {
        HttpResponse response;
        TransportError error;
        EXPECT_FALSE(http_exchange(get(c.url), response, error)) << c.url;
        EXPECT_EQ(error.describe(), c.described) << c.url;
        EXPECT_EQ(error.kind, c.kind) << c.url;
    }
}

// A head that arrives one line at a time, each within the time-out, must still be whole within
// it: a server cannot hold the exchange open forever.
TEST(HttpExchange, TheWholeHeadMustArriveWithinTheIoTimeout) {
    auto ended = std::make_shared<std::atomic<bool>>(false);
    ScriptServer server([ended](ScriptPeer& peer) {
        std::string request;
        if (!peer.read_request(request)) return;
        peer.send("HTTP/1.1 200 OK\r\n");
        for (int i = 0; i < 200 && !*ended; ++i) {
            peer.send("X-Line: " + std::to_string(i) + "\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    HttpRequest request = get(server.url());
    request.io_timeout_ms = 400;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(request).error, "no response headers");
    // Far below the ten seconds the lines keep coming.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    *ended = true;
}

TEST(HttpExchange, RefusesResponsesTheBodyReaderCouldMisread) {
    const std::pair<std::string, const char*> cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello",
         "conflicting Content-Length headers"},
        {"HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\nContent-Length: 1\r\n\r\n",
         "conflicting Content-Length headers"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
         "unsupported Transfer-Encoding: gzip, chunked"},
        {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 0\r\n\r\n",
         "unsupported Content-Encoding: gzip"},
        {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-1/2\r\nContent-Length: 2\r\n\r\nab",
         "unsolicited 206 (no Range requested)"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 1", "no response headers"},
    };
    for (const auto& [reply, message] : cases) {
        ScriptServer server([reply = reply](ScriptPeer& peer) {
            std::string request;
            if (peer.read_request(request)) peer.send(reply);
        });
        EXPECT_EQ(exchange(get(server.url())).error, message) << reply;
    }
}

TEST(HttpExchange, ValidatesA206AgainstTheRequestedRange) {
    ScriptServer server(answering([](const std::string& request) {
        const std::string body(100, 'x');
        if (request_path(request) == "/good")
            return http_response("206 Partial Content", "Content-Range: bytes 100-199/1000\r\n", body);
        return http_response("206 Partial Content", "Content-Range: bytes 0-99/1000\r\n", body);
    }));
    HttpRequest good = get(server.url("/good"));
    good.headers = {{"Range", "bytes=100-199"}};
    const Result ok = fetch(good);
    ASSERT_TRUE(ok.ok) << ok.error;
    EXPECT_EQ(ok.response.status, 206);
    EXPECT_EQ(ok.response.range_start, 100);
    EXPECT_EQ(ok.response.range_total, 1000);
    EXPECT_EQ(ok.body.size(), 100u);

    HttpRequest bad = get(server.url("/bad"));
    bad.headers = {{"range", "bytes=100-199"}};
    EXPECT_EQ(exchange(bad).error, "invalid 206 Content-Range");
}

TEST(HttpExchange, BodiesFramedOverTheWire) {
    ScriptServer server([](ScriptPeer& peer) {
        std::string request;
        if (!peer.read_request(request)) return;
        const std::string path = request_path(request);
        if (path == "/chunked") {
            peer.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n"
                      "6 ; other\r\n world\r\n0\r\nX-Trailer: yes\r\n\r\n");
        } else if (path == "/bad-chunk") {
            peer.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloXX\r\n0\r\n\r\n");
        } else if (path == "/truncated") {
            peer.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(50, 'a'));
            peer.close();
        } else if (path == "/until-close") {
            peer.send("HTTP/1.1 200 OK\r\n\r\nto the end");
            peer.close();
        }
    });
    Result chunked = fetch(get(server.url("/chunked")));
    ASSERT_TRUE(chunked.ok) << chunked.error;
    EXPECT_TRUE(chunked.response.chunked);
    EXPECT_EQ(chunked.body, "hello world");
    EXPECT_EQ(chunked.last_read, 0);

    Result bad = fetch(get(server.url("/bad-chunk")));
    ASSERT_TRUE(bad.ok);
    EXPECT_EQ(bad.last_read, -1);

    Result truncated = fetch(get(server.url("/truncated")));
    ASSERT_TRUE(truncated.ok);
    EXPECT_EQ(truncated.response.content_length, 100);
    EXPECT_EQ(truncated.last_read, -1);

    Result until_close = fetch(get(server.url("/until-close")));
    ASSERT_TRUE(until_close.ok);
    EXPECT_TRUE(until_close.response.until_close);
    EXPECT_EQ(until_close.body, "to the end");
    EXPECT_EQ(until_close.last_read, 0);
}

TEST(HttpExchange, AQuietPeerEndsAReadWithWhatArrived) {
    ScriptServer server([](ScriptPeer& peer) {
        std::string request;
        if (peer.read_request(request)) peer.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst");
        peer.read_request(request); // holds the connection open and silent until the client leaves
    });
    HttpRequest request = get(server.url());
    request.io_timeout_ms = 200;
    Result r = exchange(request);
    ASSERT_TRUE(r.ok) << r.error;
    BodyReader reader(r.response);
    char buffer[100];
    EXPECT_EQ(reader.read(buffer, sizeof buffer), 5);
    EXPECT_EQ(reader.read(buffer, sizeof buffer), -1);
}

// Serves /hop/N as a redirect to /hop/N-1 and /hop/0 as the content.
std::string chain(const std::string& request) {
    const std::string path = request_path(request);
    const int n = std::atoi(path.c_str() + 5);
    if (n == 0) return http_response("200 OK", "", "arrived");
    return http_response("302 Found", "Location: /hop/" + std::to_string(n - 1) + "\r\n", "");
}

TEST(HttpExchange, FollowsTenRedirectsAndRefusesTheEleventh) {
    ScriptServer server(answering(chain));
    Result ten = fetch(get(server.url("/hop/10")));
    ASSERT_TRUE(ten.ok) << ten.error;
    EXPECT_EQ(ten.body, "arrived");
    EXPECT_TRUE(ten.response.redirected);
    EXPECT_EQ(ten.response.path, "/hop/0");
    EXPECT_EQ(server.connections(), 11); // a fresh connection for every hop

    EXPECT_EQ(exchange(get(server.url("/hop/11"))).error, "too many redirects");
    HttpRequest none = get(server.url("/hop/1"));
    none.max_redirects = 0;
    EXPECT_EQ(exchange(none).error, "too many redirects");
}

TEST(HttpExchange, ARedirectWithoutLocationIsTheAnswer) {
    ScriptServer server(
        answering([](const std::string&) { return http_response("301 Moved", "Location: \r\n", ""); }));
    Result r = exchange(get(server.url()));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.response.status, 301);
    EXPECT_FALSE(r.response.redirected);
}

TEST(HttpExchange, CrossOriginRedirectsDropCredentialsAndRefuseUnsafeMethods) {
    ScriptServer target(answering([](const std::string&) { return http_response("200 OK", "", "target"); }));
    const std::string to = target.url("/landed");
    ScriptServer origin(answering([&](const std::string& request) {
        const std::string path = request_path(request);
        const std::string status = path == "/302"   ? "302 Found"
                                   : path == "/307" ? "307 Temporary"
                                                    : "308 Permanent";
        return http_response(status, "Location: " + to + "\r\n", "");
    }));
    const std::string origin_url = origin.url();
    HttpRequest post = get("http://user:pw@" + origin_url.substr(7) + "302");
    post.method = "POST";
    post.body = "form=1";
    post.headers = {{"Cookie", "c=1"},
                    {"Referer", "http://r.example/page"},
                    {"Range", "bytes=0-"},
                    {"If-Range", "\"e\""}};
    Result moved = fetch(post);
    ASSERT_TRUE(moved.ok) << moved.error;
    EXPECT_EQ(moved.body, "target");
    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(request_header(origin.requests()[0], "authorization"), "Basic dXNlcjpwdw==");
    ASSERT_EQ(target.requests().size(), 1u);
    const std::string landed = target.requests()[0];
    EXPECT_EQ(landed.rfind("GET /landed HTTP/1.1\r\n", 0), 0u) << landed;
    for (const char* gone : {"authorization", "cookie", "content-length"})
        EXPECT_EQ(request_header(landed, gone), "") << gone;
    EXPECT_EQ(request_header(landed, "referer"), "http://r.example/"); // where from, not which page
    EXPECT_EQ(request_header(landed, "range"), "bytes=0-");
    EXPECT_EQ(request_header(landed, "if-range"), "\"e\"");

    HttpRequest del = get(origin.url("/308"));
    del.method = "DELETE";
    EXPECT_EQ(exchange(del).error, "cross-origin 308 redirect blocked for non-safe method DELETE");
    HttpRequest put = get(origin.url("/307"));
    put.method = "PUT";
    EXPECT_EQ(exchange(put).error, "cross-origin 307 redirect blocked for non-safe method PUT");
    EXPECT_TRUE(fetch(get(origin.url("/308"))).ok);
}

TEST(HttpExchange, ASameOrigin307KeepsMethodBodyAndHeaders) {
    ScriptServer server(answering([](const std::string& request) {
        if (request_path(request) == "/from") return http_response("307 Temporary", "Location: /to\r\n", "");
        return http_response("200 OK", "", "done");
    }));
    HttpRequest post = get(server.url("/from"));
    post.method = "POST";
    post.body = "data";
    post.headers = {{"Cookie", "c=1"}};
    ASSERT_TRUE(fetch(post).ok);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].rfind("POST /to HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(request_header(requests[1], "cookie"), "c=1");
    EXPECT_NE(requests[1].find("\r\n\r\ndata"), std::string::npos);
}

TEST(HttpExchange, ReusesAPooledConnectionForTheFirstHop) {
    ScriptServer server(answering([](const std::string&) { return http_response("200 OK", "", "again"); }));
    Result first = exchange(get(server.url()));
    ASSERT_TRUE(first.ok);
    BodyReader reader(first.response);
    char buffer[16];
    while (reader.read(buffer, sizeof buffer) > 0) {
    }
    ASSERT_TRUE(reader.finished());
    std::unique_ptr<ByteStream> pooled = reader.release_connection();
    Result reused = exchange(get(server.url()), &pooled);
    ASSERT_TRUE(reused.ok) << reused.error;
    EXPECT_EQ(pooled, nullptr);
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.connections(), 1);
}

TEST(HttpExchange, APooledConnectionTheServerClosedIsStale) {
    ScriptServer server([](ScriptPeer& peer) {
        std::string request;
        if (peer.read_request(request)) peer.send(http_response("200 OK", "", "once"));
        peer.close();
    });
    Result first = exchange(get(server.url()));
    ASSERT_TRUE(first.ok);
    BodyReader reader(first.response);
    char buffer[16];
    while (reader.read(buffer, sizeof buffer) > 0) {
    }
    std::unique_ptr<ByteStream> pooled = reader.release_connection();
    // Wait until the server's close reached this side: a peek then sees the end of the stream.
    const int fd = static_cast<PlainStream*>(pooled.get())->socket();
    char peek;
    ASSERT_EQ(::recv(fd, &peek, 1, MSG_PEEK), 0);
    HttpResponse response;
    std::string error;
    EXPECT_FALSE(http_exchange(get(server.url()), response, error, &pooled));
    EXPECT_TRUE(error == "reused-conn no response (stale)" || error == "reused-conn send failed (stale)")
        << error;
}

TEST(HttpExchange, PlainRequestsGoToAnHttpProxyInAbsoluteForm) {
    ScriptServer proxy(answering([](const std::string&) { return http_response("200 OK", "", "proxied"); }));
    HttpRequest request = get("http://files.example:8080/a?b=c");
    request.proxy.kind = kProxyHttp;
    request.proxy.host = "127.0.0.1";
    request.proxy.port = proxy.port();
    request.proxy.user = "u";
    request.proxy.password = "p";
    Result r = fetch(request);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.body, "proxied");
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(proxy.requests()[0].rfind("GET http://files.example:8080/a?b=c HTTP/1.1\r\n"
                                        "Host: files.example:8080\r\nProxy-Authorization: Basic dTpw\r\n",
                                        0),
              0u)
        << proxy.requests()[0];
}

TEST(FetchSmall, ReturnsTheBodyOfA2xxOnly) {
    ScriptServer server(answering([](const std::string& request) {
        const std::string path = request_path(request);
        if (path == "/big") return http_response("200 OK", "", std::string(kMaxSmallFetch + 1, 'b'));
        if (path == "/limit") return http_response("200 OK", "", std::string(kMaxSmallFetch, 'b'));
        if (path == "/missing") return http_response("404 Not Found", "", "nope");
        return http_response("200 OK", "", "{\"version\":\"1.2.3\"}");
    }));
    EXPECT_EQ(fetch_small(server.url("/latest.json"), 0), "{\"version\":\"1.2.3\"}");
    EXPECT_EQ(fetch_small(server.url("/missing"), 2000), std::nullopt);
    EXPECT_EQ(fetch_small(server.url("/big"), 2000), std::nullopt);
    EXPECT_EQ(fetch_small(server.url("/limit"), 2000)->size(), kMaxSmallFetch);
    EXPECT_EQ(fetch_small("", 2000), std::nullopt);
    EXPECT_EQ(fetch_small("not a url", 2000), std::nullopt);
}

} // namespace
} // namespace twk

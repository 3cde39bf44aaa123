// One nginx serving a folder on a free loopback port, for tests that run whole downloads. It
// logs every request with the bytes of body it sent, so that a test can tell how much a
// download fetched. Started by `start`, stopped by the destructor.
#pragma once

#include <cstdint>
#include <string>

namespace twk::test {

class NginxSite {
public:
    NginxSite() = default;
    ~NginxSite() { stop(); }
    NginxSite(const NginxSite&) = delete;
    NginxSite& operator=(const NginxSite&) = delete;

    // Serves `root` (made readable to nginx) with `directives` added to the server block, for
    // instance "location /slow/ { limit_rate 1m; }". Its own files go to `work_dir`. False with
    // nginx's words in `error` when it did not start.
    bool start(const std::string& root, const std::string& work_dir, const std::string& directives,
               std::string& error);
    void stop();

    int port() const { return m_port; }
    std::string url(const std::string& path) const;

    // Body bytes sent for the requests that began at or after `since_ms` (wall clock,
    // milliseconds since the epoch; see `wall_clock_ms`) and have been logged.
    uint64_t body_bytes_since(int64_t since_ms) const;

private:
    bool start_once(const std::string& root, const std::string& work_dir, const std::string& directives,
                    std::string& error);

    int m_pid = -1;
    int m_port = 0;
    std::string m_access_log;
};

int64_t wall_clock_ms();

} // namespace twk::test

#include "tests/support/nginx_site.h"

#include "net/text.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace twk::test {

namespace {

constexpr int64_t kStartDeadlineMs = 20000;
constexpr int64_t kStopDeadlineMs = 5000;
constexpr int kStartAttempts = 5;

std::string config(const std::string& root, const std::string& work, int port, const std::string& directives,
                   const std::string& access_log) {
    std::string c = "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    c += "error_log " + work + "/nginx-error.log warn;\npid " + work + "/nginx.pid;\n";
    c += "events { worker_connections 256; }\nhttp {\n";
    c += "  log_format bytes '$msec $request_time $status $body_bytes_sent';\n";
    c += "  access_log " + access_log + " bytes;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        c += std::string("  ") + temp + "_temp_path " + work + "/" + temp + ";\n";
    c += "  default_type application/octet-stream;\n  keepalive_requests 10000;\n";
    c += "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n    root " + root + ";\n";
    c += "    " + directives + "\n  }\n}\n";
    return c;
}

} // namespace

int64_t wall_clock_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool NginxSite::start(const std::string& root, const std::string& work_dir, const std::string& directives,
                      std::string& error) {
    for (const std::string& dir : {root, work_dir})
        ::chmod(dir.c_str(), 0755);
    // The free port found may be taken by someone else before nginx binds it: then nginx exits,
    // and another port is tried.
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        if (start_once(root, work_dir, directives, error)) return true;
        if (error.find("Address already in use") == std::string::npos) break;
    }
    return false;
}

bool NginxSite::start_once(const std::string& root, const std::string& work_dir,
                           const std::string& directives, std::string& error) {
    Listener probe;
    const int port = probe.port();
    probe.close();
    m_access_log = work_dir + "/access.log";
    const std::string conf = work_dir + "/nginx.conf";
    write_file(conf, config(root, work_dir, port, directives, m_access_log));
    const std::string log = work_dir + "/nginx.log";
    const pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execlp("nginx", "nginx", "-p", work_dir.c_str(), "-c", conf.c_str(), "-e",
                 (work_dir + "/nginx-error.log").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0) {
        error = "fork failed";
        return false;
    }
    m_pid = pid;
    const int64_t deadline = monotonic_ms() + kStartDeadlineMs;
    while (monotonic_ms() < deadline) {
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            m_pid = -1;
            error = "nginx exited at start: " + read_file(log) + read_file(work_dir + "/nginx-error.log");
            return false;
        }
        if (accepts_connections(port)) {
            m_port = port;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    error = "nginx did not start listening: " + read_file(log);
    stop();
    return false;
}

void NginxSite::stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    const int64_t deadline = monotonic_ms() + kStopDeadlineMs;
    int status;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (monotonic_ms() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
    m_port = 0;
}

std::string NginxSite::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

uint64_t NginxSite::body_bytes_since(int64_t since_ms) const {
    std::istringstream lines(read_file(m_access_log));
    uint64_t total = 0;
    double end_s = 0, duration_s = 0;
    int status = 0;
    uint64_t bytes = 0;
    while (lines >> end_s >> duration_s >> status >> bytes) {
        const auto began_ms = static_cast<int64_t>((end_s - duration_s) * 1000.0);
        if (began_ms >= since_ms) total += bytes;
    }
    return total;
}

} // namespace twk::test

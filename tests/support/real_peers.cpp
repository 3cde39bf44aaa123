#include "tests/support/real_peers.h"

#include "net/text.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_dir.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace twk::test {

namespace {

constexpr int kStartDeadlineMs = 20000;
constexpr int kStopDeadlineMs = 5000;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A certificate for localhost and 127.0.0.1 signed by the test CA.
bool issue(const std::string& dir, const std::string& name, const std::string& key_options) {
    const std::string base = dir + "/" + name;
    return run("openssl req -new -newkey " + key_options + " -nodes -keyout " + base + ".key -out " + base +
               ".csr -subj /CN=localhost") &&
           run("openssl x509 -req -in " + base + ".csr -CA " + dir + "/ca.crt -CAkey " + dir +
               "/ca.key -CAcreateserial -days 2 -out " + base + ".crt -extfile " + dir + "/server.ext");
}

} // namespace

std::string test_pattern(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return out;
}

RealPeers& RealPeers::get() {
    static RealPeers peers;
    return peers;
}

void RealPeers::prepare() {
    m_dir = make_temp_dir("twk-peers");
    if (m_dir.empty()) {
        m_failure = "mkdtemp failed";
        return;
    }
    ::chmod(m_dir.c_str(), 0755);
    write_file(m_dir + "/server.ext", "basicConstraints=CA:FALSE\n"
                                      "keyUsage=digitalSignature,keyEncipherment\n"
                                      "extendedKeyUsage=serverAuth\n"
                                      "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    const std::string ec = "ec -pkeyopt ec_paramgen_curve:P-256";
    const bool ok =
        run("openssl req -x509 -newkey " + ec + " -nodes -keyout " + m_dir + "/ca.key -out " + m_dir +
            "/ca.crt -days 2 -subj '/CN=Tarnwick Test CA' -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign") &&
        issue(m_dir, "ec", ec) && issue(m_dir, "rsa", "rsa:2048") &&
        run("openssl req -x509 -newkey " + ec + " -nodes -keyout " + m_dir + "/self.key -out " + m_dir +
            "/self.crt -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
    if (!ok) {
        m_failure = "openssl could not make the test certificates";
        return;
    }
    m_ca_file = m_dir + "/ca.crt";
    ::setenv("TWK_CA_FILE", m_ca_file.c_str(), 1);
}

bool RealPeers::start(Process& process, const std::vector<std::string>& argv, int port,
                      const std::string& log) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (pid < 0) return false;
    process.pid = pid;
    const int64_t deadline = monotonic_ms() + kStartDeadlineMs;
    while (monotonic_ms() < deadline) {
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            process.pid = -1;
            m_failure = argv[0] + " exited at start: " + read_file(log);
            return false;
        }
        if (accepts_connections(port)) {
            process.port = port;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_failure = argv[0] + " did not start listening: " + read_file(log);
    return false;
}

namespace {

std::string nginx_config(const std::string& d, const NginxPorts& p) {
    auto tls_server = [&](int port, const std::string& cert, const std::string& extra) {
        return "  server {\n    listen 127.0.0.1:" + std::to_string(port) + " ssl;\n    ssl_certificate " +
               d + "/" + cert + ".crt;\n    ssl_certificate_key " + d + "/" + cert + ".key;\n" + extra +
               "    root " + d +
               "/www;\n    location = /proto { return 200 \"$ssl_protocol\"; }\n"
               "    location = /cipher { return 200 \"$ssl_cipher\"; }\n"
               "    location /noranges/ { max_ranges 0; }\n  }\n";
    };
    return "daemon off;\nmaster_process off;\nworker_processes 1;\nerror_log " + d +
           "/nginx-error.log warn;\npid " + d +
           "/nginx.pid;\nevents { worker_connections 128; }\nhttp {\n  access_log off;\n  "
           "client_body_temp_path " +
           d + "/body;\n  proxy_temp_path " + d + "/proxy;\n  fastcgi_temp_path " + d +
           "/fastcgi;\n  uwsgi_temp_path " + d + "/uwsgi;\n  scgi_temp_path " + d +
           "/scgi;\n  default_type application/octet-stream;\n" +
           "  keepalive_timeout 60s;\n  keepalive_requests 1000;\n" +
           "  server {\n    listen 127.0.0.1:" + std::to_string(p.http) + ";\n    root " + d +
           "/www;\n    location = /conn { return 200 \"$connection:$connection_requests\"; }\n"
           "    location /noranges/ { max_ranges 0; }\n  }\n" +
           tls_server(p.tls, "ec",
                      "    ssl_protocols TLSv1.2 TLSv1.3;\n"
                      "    location ~ ^/to-http/(\\d+)(/.*)$ { return 302 http://127.0.0.1:$1$2; }\n") +
           tls_server(p.tls12_rsa, "rsa", "") + tls_server(p.self_signed, "self", "") + "}\n";
}

// A free port can be taken by someone else (another test program's outgoing connection, say)
// before nginx binds it; nginx then exits at start and is tried again on other ports.
constexpr int kNginxStartAttempts = 5;

} // namespace

const NginxPorts& RealPeers::nginx() {
    if (m_nginx_tried || m_dir.empty()) return m_nginx;
    m_nginx_tried = true;
    std::filesystem::create_directories(m_dir + "/www/noranges");
    write_file(m_dir + "/www/data.bin", test_pattern(kDataSize));
    const std::string& d = m_dir;
    for (int attempt = 0; attempt < kNginxStartAttempts; ++attempt) {
        NginxPorts p{free_port(), free_port(), free_port(), free_port()};
        write_file(d + "/nginx.conf", nginx_config(d, p));
        if (start(m_nginx_process, {"nginx", "-p", d, "-c", d + "/nginx.conf", "-e", d + "/nginx-error.log"},
                  p.http, d + "/nginx.log") &&
            accepts_connections(p.tls) && accepts_connections(p.tls12_rsa) &&
            accepts_connections(p.self_signed)) {
            m_nginx = p;
            break;
        }
        if (m_nginx_process.pid > 0) {
            ::kill(m_nginx_process.pid, SIGKILL);
            int status;
            ::waitpid(m_nginx_process.pid, &status, 0);
            m_nginx_process.pid = -1;
        }
        m_nginx_process.port = 0;
    }
    return m_nginx;
}

int RealPeers::tinyproxy(bool with_auth) {
    Process& process = m_tinyproxy[with_auth ? 1 : 0];
    if (process.port != 0 || m_dir.empty()) return process.port;
    const int port = free_port();
    const std::string name = m_dir + (with_auth ? "/tinyproxy-auth" : "/tinyproxy");
    std::string config = "Port " + std::to_string(port) +
                         "\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\nAllow 127.0.0.1\nLogLevel Info\n";
    if (with_auth) config += std::string("BasicAuth ") + kProxyUser + " " + kProxyPassword + "\n";
    write_file(name + ".conf", config);
    start(process, {"tinyproxy", "-d", "-c", name + ".conf"}, port, name + ".log");
    return process.port;
}

int RealPeers::microsocks(bool with_auth) {
    Process& process = m_microsocks[with_auth ? 1 : 0];
    if (process.port != 0 || m_dir.empty()) return process.port;
    const int port = free_port();
    std::vector<std::string> argv = {"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
    if (with_auth) argv.insert(argv.end(), {"-u", kProxyUser, "-P", kProxyPassword});
    start(process, argv, port, m_dir + (with_auth ? "/microsocks-auth.log" : "/microsocks.log"));
    return process.port;
}

void RealPeers::stop_all() {
    for (Process* p :
         {&m_nginx_process, &m_tinyproxy[0], &m_tinyproxy[1], &m_microsocks[0], &m_microsocks[1]}) {
        if (p->pid <= 0) continue;
        ::kill(p->pid, SIGTERM);
        const int64_t deadline = monotonic_ms() + kStopDeadlineMs;
        int status;
        while (::waitpid(p->pid, &status, WNOHANG) == 0) {
            if (monotonic_ms() > deadline) {
                ::kill(p->pid, SIGKILL);
                ::waitpid(p->pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        p->pid = -1;
        p->port = 0;
    }
    if (!m_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
        m_dir.clear();
    }
}

} // namespace twk::test

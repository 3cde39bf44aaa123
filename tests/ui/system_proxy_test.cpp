// "Follow the system proxy": the desktop portal's ProxyResolver on a private session bus (a
// dbus-daemon of the test's own and a scripted portal), and the environment where no portal
// answers.
#include "ui/system_proxy.h"

#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace twk::ui {
namespace {

constexpr int64_t kStartDeadlineMs = 20000;

// A child process that writes its first line to a pipe; stopped with the object.
class Child {
public:
    Child(std::vector<std::string> argv, const std::string& log) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[0]);
            ::dup2(fds[1], 1);
            const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(err, 2);
            std::vector<char*> args;
            for (auto& a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            m_first_line += c;
        ::close(fds[0]);
    }
    ~Child() { stop(); }
    void stop() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    const std::string& first_line() const { return m_first_line; }

private:
    pid_t m_pid = -1;
    std::string m_first_line;
};

TEST(SystemProxy, ThePortalAnswersPerUrlAndTheEnvironmentStandsInWithoutOne) {
    test::TempDir dir;
    // A bus of our own: nothing of the desktop the tests run on is asked.
    Child bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1",
               "--address=unix:path=" + dir.file("bus")},
              dir.file("bus.log"));
    ASSERT_FALSE(bus.first_line().empty()) << test::read_file(dir.file("bus.log"));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.first_line().c_str(), 1);
    ::setenv("https_proxy", "socks5h://127.0.0.1:9050", 1);
    int argc = 1;
    char name[] = "system_proxy_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    // No portal on the bus: the environment's proxy.
    EXPECT_EQ(portal_proxy("https://a.test/f"), std::nullopt);
    EXPECT_EQ(system_proxy_for("https://a.test/f").host, "127.0.0.1");
    EXPECT_EQ(system_proxy_for("https://a.test/f").port, 9050);

    Child portal({"/usr/bin/python3", TWK_FAKE_PORTAL, dir.file("asked.log")}, dir.file("portal.log"));
    ASSERT_EQ(portal.first_line(), "ready") << test::read_file(dir.file("portal.log"));
    struct Case {
        const char* url;
        int32_t kind;
        int32_t port;
    };
    const Case cases[] = {
        {"https://a.test/f", kProxyHttp, 3128}, // the portal wins over the environment
        {"http://direct.test/f", kProxyNone, 0},
        {"ftp://socks.test/f", kProxySocks5Remote, 1080}, // the first entry we can use
    };
    for (const Case& c : cases) {
        const ProxySpec found = system_proxy_for(c.url);
        EXPECT_EQ(found.kind, c.kind) << c.url;
        EXPECT_EQ(found.port, c.port) << c.url;
    }
    EXPECT_EQ(test::read_file(dir.file("asked.log")),
              "https://a.test/f\nhttp://direct.test/f\nftp://socks.test/f\n");

    portal.stop();
    EXPECT_TRUE(test::wait_until([] { return !portal_proxy("https://a.test/f"); }, kStartDeadlineMs));
    EXPECT_EQ(system_proxy_for("https://a.test/f").port, 9050);
    ::unsetenv("https_proxy");
}

} // namespace
} // namespace twk::ui

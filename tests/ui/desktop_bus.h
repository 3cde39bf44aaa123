// A private D-Bus bus for the desktop tests, standing in for both the session and the system bus
// (dbus-daemon --session, with DBUS_SESSION_BUS_ADDRESS and DBUS_SYSTEM_BUS_ADDRESS pointed at it),
// and fake_desktop_bus.py on it as logind and the notification service, writing what it is asked
// to a log. Qt keeps its bus connections for the life of the process, so one bus serves a whole
// test binary: `DesktopBus::shared()` starts it on first use.
#pragma once

#include <QCoreApplication>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/control/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace twk::test {

class DesktopBus {
public:
    static DesktopBus& shared() {
        static DesktopBus bus;
        return bus;
    }
    bool ok() const { return m_ok; }
    const std::string& log_path() const { return m_log; }

    // The fake's log lines from `from` on (a line index).
    std::vector<std::string> lines(size_t from = 0) const {
        std::vector<std::string> all;
        std::istringstream in(read_file(m_log));
        for (std::string line; std::getline(in, line);)
            all.push_back(line);
        if (from >= all.size()) return {};
        return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
    }
    size_t mark() const { return lines().size(); }
    // Waits, running Qt's events, until a line from `from` on begins with `prefix`; that line,
    // or "" at the deadline.
    std::string wait_line(const std::string& prefix, size_t from, int64_t timeout_ms = 10000) const {
        std::string found;
        wait_until(
            [&] {
                QCoreApplication::processEvents();
                for (const std::string& line : lines(from))
                    if (line.rfind(prefix, 0) == 0) {
                        found = line;
                        return true;
                    }
                return false;
            },
            timeout_ms);
        return found;
    }
    void refuse_block(bool refuse) {
        if (refuse)
            write_file(m_log + ".refuse-block", "");
        else
            std::remove((m_log + ".refuse-block").c_str());
    }

private:
    DesktopBus() {
        const std::string address_file = m_dir.file("address");
        m_daemon = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1"},
            address_file);
        std::string address;
        wait_until(
            [&] {
                address = read_file(address_file);
                return address.find('\n') != std::string::npos;
            },
            10000);
        if (address.empty()) return;
        address.erase(address.find('\n'));
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        m_log = m_dir.file("calls.log");
        m_fake = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{"/usr/bin/python3", TWK_FAKE_DESKTOP_BUS, m_log}, m_dir.file("fake.out"),
            Environment{{"DBUS_SESSION_BUS_ADDRESS", address}});
        m_ok = wait_until([&] { return read_file(m_log).rfind("ready", 0) == 0; }, 10000);
    }

    TempDir m_dir;
    std::string m_log;
    std::unique_ptr<BackgroundProcess> m_daemon;
    std::unique_ptr<BackgroundProcess> m_fake;
    bool m_ok = false;
};

} // namespace twk::test

// Puts the whole process under a locale whose decimal separator is a comma (as a desktop app
// does when it takes the locale from the environment), for tests of texts that must not follow
// it. An installed de_DE, fr_FR, nl_NL or ru_RU is used when there is one; otherwise de_DE is
// compiled with localedef into a temporary folder and loaded through LOCPATH. The previous
// locale comes back when the object goes.
#pragma once

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/temp_dir.h"

namespace twk::test {

class CommaLocale {
public:
    CommaLocale() {
        const char* current = std::setlocale(LC_ALL, nullptr);
        m_saved = current ? current : "C";
        for (const char* name :
             {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8", "ru_RU.UTF-8"}) {
            if (switch_to(name)) return;
        }
        compile_and_switch();
    }
    ~CommaLocale() { std::setlocale(LC_ALL, m_saved.c_str()); }
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;

    // Whether a comma-decimal locale is in force; why not when it is not.
    bool active() const { return m_active; }
    const std::string& why_not() const { return m_why_not; }

private:
    bool switch_to(const char* name) {
        if (!std::setlocale(LC_ALL, name)) return false;
        // The C library itself must now print a comma, or the test would prove nothing.
        char printed[16];
        std::snprintf(printed, sizeof printed, "%.1f", 1.5);
        if (std::string(printed) == "1,5") return m_active = true;
        std::setlocale(LC_ALL, m_saved.c_str());
        return false;
    }

    void compile_and_switch() {
        TempDir dir;
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + dir.path() + "/de_DE.utf8' >/dev/null 2>&1";
        if (dir.path().empty() || std::system(command.c_str()) != 0) {
            m_why_not = "no comma-decimal locale is installed and localedef could not build de_DE "
                        "(Debian package \"locales\" missing?)";
            return;
        }
        const char* old = std::getenv("LOCPATH");
        const std::string saved_path = old ? old : "";
        setenv("LOCPATH", dir.path().c_str(), 1);
        // The loaded locale stays mapped once set, so the folder may go afterwards.
        bool ok = switch_to("de_DE.UTF-8");
        if (old) {
            setenv("LOCPATH", saved_path.c_str(), 1);
        } else {
            unsetenv("LOCPATH");
        }
        if (!ok) m_why_not = "de_DE was built with localedef but could not be set";
    }

    std::string m_saved;
    bool m_active = false;
    std::string m_why_not;
};

} // namespace twk::test

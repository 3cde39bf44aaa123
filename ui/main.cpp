#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include <string>
#include <vector>

#include "app/launch_link.h"
#include "ui/app.h"
#include "ui/single_instance.h"

namespace {

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

int main(int argc, char** argv) {
    // Without a display Qt would abort while loading its platform plugin, and the next start
    // would take that for a crash: say what is missing and what works without one instead.
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        std::fputs(twk::ui::kNoDisplayMessage, stderr);
        return 1;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));

    // The links to start: `tarnwick URL…` and twk: links. A refused one is named by its place
    // only, since it may hold a password.
    const QStringList arguments = QCoreApplication::arguments();
    std::vector<std::string> links;
    int refused = 0;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const twk::app::LaunchLink link = twk::app::parse_launch_link(arguments[i].toStdString());
        if (link.ok) {
            links.push_back(link.url);
        } else {
            std::fprintf(stderr, "tarnwick: link %lld refused: %s\n", static_cast<long long>(i),
                         link.error.c_str());
            ++refused;
        }
    }
    if (refused > 0 && links.empty()) return 2;
    // One app per user: while one runs, it takes the links and this start ends.
    if (twk::ui::hand_over_links(twk::ui::instance_socket_path(), links)) return refused > 0 ? 2 : 0;
    return twk::ui::run_app(links);
}

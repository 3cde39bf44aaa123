#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "ui/app.h"

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
    return twk::ui::run_app();
}

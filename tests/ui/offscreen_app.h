// The QApplication of an offscreen Qt test binary, made once on first use, and the pictures
// such tests leave in ui-shots/ of their working folder.
#pragma once

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QString>
#include <QWidget>

#include <cstdlib>

namespace twk::test {

inline QApplication& offscreen_application() {
    static int argc = 1;
    static char name[] = "twk_ui_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (auto* existing = qobject_cast<QApplication*>(QCoreApplication::instance())) return existing;
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *app;
}

inline void save_shot(const QImage& image, const char* name) {
    QDir().mkpath(QStringLiteral("ui-shots"));
    image.save(QStringLiteral("ui-shots/%1.png").arg(QString::fromUtf8(name)));
}

inline void save_shot(QWidget& widget, const char* name) {
    QDir().mkpath(QStringLiteral("ui-shots"));
    widget.grab().save(QStringLiteral("ui-shots/%1.png").arg(QString::fromUtf8(name)));
}

} // namespace twk::test

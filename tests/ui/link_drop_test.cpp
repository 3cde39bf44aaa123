// Links dropped on a widget (offscreen): which drags carry links, that such a drag is accepted and
// one without links refused, and that a drop starts each link once.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

#include <string>
#include <vector>

#include "tests/ui/offscreen_app.h"
#include "ui/link_drop.h"

namespace twk::ui {
namespace {

QApplication& application() { return test::offscreen_application(); }

using Links = std::vector<std::string>;

TEST(LinkDrop, WhatADragCarries) {
    application();
    struct Case {
        const char* name;
        QList<QUrl> urls;
        QString text;
        Links links;
    };
    const Case cases[] = {
        {"uri-list",
         {QUrl(QStringLiteral("https://example.org/a.iso")), QUrl(QStringLiteral("file:///home/u/b.txt")),
          QUrl(QStringLiteral("ftp://example.org/c.tar")), QUrl(QStringLiteral("https://example.org/a.iso"))},
         {},
         {"https://example.org/a.iso", "ftp://example.org/c.tar"}},
        {"text with links among words",
         {},
         QStringLiteral("get this: http://h/x.zip\r\n\thttps://h/y%20z.bin and mailto:a@b javascript:x"),
         {"http://h/x.zip", "https://h/y%20z.bin"}},
        {"text without a link", {}, QStringLiteral("just some words /etc/passwd"), {}},
        {"a local file only", {QUrl::fromLocalFile(QStringLiteral("/tmp/f"))}, {}, {}},
    };
    for (const Case& c : cases) {
        QMimeData data;
        if (!c.urls.isEmpty()) data.setUrls(c.urls);
        if (!c.text.isEmpty()) data.setText(c.text);
        EXPECT_EQ(dropped_links(data), c.links) << c.name;
    }
}

TEST(LinkDrop, ADropStartsEachLinkAndOtherDragsAreRefused) {
    application();
    QWidget window;
    Links started;
    new LinkDropFilter(window, [&](const std::string& link) { started.push_back(link); });
    EXPECT_TRUE(window.acceptDrops());

    QMimeData none;
    none.setText(QStringLiteral("no links here"));
    QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction, &none, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &refused);
    EXPECT_FALSE(refused.isAccepted());

    QMimeData links;
    links.setText(QStringLiteral("https://example.org/one.iso\nhttps://example.org/two.iso"));
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &links, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &links, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(started, (Links{"https://example.org/one.iso", "https://example.org/two.iso"}));

    QDropEvent nothing(QPointF(5, 5), Qt::CopyAction, &none, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &nothing);
    EXPECT_EQ(started.size(), 2u);
}

} // namespace
} // namespace twk::ui

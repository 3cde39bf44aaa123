// The New Download dialog's checksum field: what it takes, the reason it shows inside the
// dialog for the rest, and the checksum going with the link to the engine.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>

#include "tests/support/wait.h"
#include "tests/ui/offscreen_app.h"
#include "ui/new_download_dialog.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

void application() { test::offscreen_application(); }

TEST(ChecksumField, TakesWhatTheEngineTakesAndNamesTheFaultOfTheRest) {
    set_language_mode(LanguageMode::English);
    const QString sha256 = QStringLiteral("sha-256=") + QString(64, QLatin1Char('a'));
    struct Case {
        QString typed;
        QString problem;
    } cases[] = {
        {QString(), QString()},
        {QStringLiteral("   "), QString()},
        {sha256, QString()},
        {QStringLiteral(" SHA256:") + QString(64, QLatin1Char('F')) + QStringLiteral(" "), QString()},
        {QStringLiteral("md5=") + QString(32, QLatin1Char('0')), QString()},
        {QString(64, QLatin1Char('a')),
         QStringLiteral("Write the checksum as sha-256=HEX (sha-512, sha-1 and md5 too)")},
        {QStringLiteral("=abc"),
         QStringLiteral("Write the checksum as sha-256=HEX (sha-512, sha-1 and md5 too)")},
        {QStringLiteral("crc32=1234abcd"),
         QStringLiteral("Unknown checksum algorithm: crc32 (sha-256, sha-512, sha-1 or md5)")},
        {sha256.chopped(1), QStringLiteral("A sha-256 checksum is 64 hexadecimal digits")},
        {QStringLiteral("sha-512=") + QString(127, QLatin1Char('a')) + QStringLiteral("g"),
         QStringLiteral("A sha-512 checksum is 128 hexadecimal digits")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(checksum_problem(c.typed), c.problem) << c.typed.toStdString();
}

TEST(ChecksumField, AFaultyChecksumKeepsTheDialogOpenAndAGoodOneGoesWithTheLink) {
    application();
    set_language_mode(LanguageMode::English);
    const std::string good = "sha-256=" + std::string(64, 'a');
    std::vector<std::string> started;
    NewDownloadDialog dialog([&](const std::string& link) { started.push_back(link); }, nullptr);
    struct Case {
        const char* links;
        std::string checksum;
        QString error;
    } cases[] = {
        {"https://h/a.iso", "sha-256=abc", QStringLiteral("A sha-256 checksum is 64 hexadecimal digits")},
        {"https://h/a.iso https://h/b.iso", good, QStringLiteral("A checksum fits one link only")},
        {"https://h/a.iso", " " + good + " ", QString()},
    };
    for (const Case& c : cases) {
        dialog.field()->setText(QString::fromUtf8(c.links));
        dialog.checksum_field()->setText(QString::fromStdString(c.checksum));
        dialog.accept_link();
        EXPECT_EQ(dialog.error_text(), c.error) << c.links << " " << c.checksum;
    }
    EXPECT_EQ(started, std::vector<std::string>{"https://h/a.iso"});
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.checksum(), good);

    std::string given;
    bool done = false;
    DownloadStarter starter([&](const std::string&, int64_t, const std::string& checksum, std::string&) {
        given = checksum;
        return true;
    });
    QObject::connect(&starter, &DownloadStarter::finished, [&](bool, const QString&) { done = true; });
    starter.start({"https://h/a.iso"}, 8, dialog.checksum());
    ASSERT_TRUE(test::wait_until(
        [&] {
            QApplication::processEvents();
            return done;
        },
        10'000));
    EXPECT_EQ(given, good);
}

} // namespace
} // namespace twk::ui

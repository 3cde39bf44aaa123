// The Refresh Link dialog offscreen: a text that is no link is named at once, the engine's
// refusal is shown inside the dialog with the typed link kept, and a link the download took
// closes it.
#include "tests/ui/offscreen_app.h"
#include "ui/refresh_link_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>

#include <atomic>

#include "tests/support/wait.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

void application() { test::offscreen_application(); }

bool settle(RefreshLinkDialog& dialog) {
    return test::wait_until(
        [&] {
            QApplication::processEvents();
            return !dialog.checking();
        },
        10'000);
}

TEST(RefreshLinkDialog, ShowsWhyALinkIsRefusedAndClosesWhenOneIsTaken) {
    application();
    set_language_mode(LanguageMode::English);
    std::atomic<int> asked{0};
    std::string answer;
    RefreshLinkDialog dialog(
        QStringLiteral("big.iso"),
        [&](const std::string& url, std::string& error) {
            ++asked;
            if (url.find("other") == std::string::npos) return true;
            error = "the new link's file is 5 bytes, the download's is 9";
            return false;
        },
        nullptr);

    dialog.field()->setText(QStringLiteral("not a link"));
    dialog.submit();
    EXPECT_EQ(dialog.error_text(), QStringLiteral("Not a link: not a link"));
    EXPECT_EQ(asked, 0);

    dialog.field()->setText(QStringLiteral(" https://h/other.iso?sig=1 "));
    dialog.submit();
    ASSERT_TRUE(settle(dialog));
    EXPECT_EQ(dialog.error_text(), QStringLiteral("the new link's file is 5 bytes, the download's is 9"));
    EXPECT_EQ(dialog.field()->text(), QStringLiteral(" https://h/other.iso?sig=1 "));
    EXPECT_EQ(dialog.result(), QDialog::Rejected);

    dialog.field()->setText(QStringLiteral("https://h/big.iso?sig=2"));
    dialog.submit();
    ASSERT_TRUE(settle(dialog));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(asked, 2);
}

} // namespace
} // namespace twk::ui

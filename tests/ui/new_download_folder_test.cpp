// New Download's file name and folder, offscreen: the folder follows the kind of file and the
// pick is remembered for the kind; bad names and folders keep the dialog open; and what each
// answer to the duplicate question does. Pictures of the dialog go to ui-shots/.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>

#include <filesystem>
#include <mutex>
#include <optional>

#include "app/file_category.h"
#include "app/settings_store.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "tests/ui/modal.h"
#include "tests/ui/offscreen_app.h"
#include "ui/duplicate_prompt.h"
#include "ui/main_window.h"
#include "ui/new_download_dialog.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

using test::save_shot;

QApplication& application() { return test::offscreen_application(); }

QString q(const std::string& text) { return QString::fromStdString(text); }

// Takes the file links the window opens, in place of the desktop's opener.
class FileOpener : public QObject {
    Q_OBJECT
public:
    std::string opened;
public slots:
    void open(const QUrl& url) { opened = url.toLocalFile().toStdString(); }
};

// A download folder, folders to pick and a settings home, all in one temporary folder.
class NewDownloadFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        set_language_mode(LanguageMode::English);
        for (const char* folder : {"downloads", "videos", "archives", "config"})
            std::filesystem::create_directories(dir.file(folder));
        paths.config_home = dir.file("config");
        paths.data_home = dir.file("config");
    }
    void TearDown() override { set_language_mode(LanguageMode::System); }

    std::string remembered(app::FileCategory category) const {
        return app::SettingsStore(paths).read_string(app::category_folder_setting(category), "");
    }

    test::TempDir dir;
    app::SettingsPaths paths;
};

TEST_F(NewDownloadFolderTest, TheFolderFollowsTheKindAndThePickIsRemembered) {
    app::SettingsStore store(paths);
    ASSERT_TRUE(app::remember_category_folder(store, app::FileCategory::Video, dir.file("videos"),
                                              dir.file("downloads")));
    std::vector<NewDownload> submitted;
    bool accept_submit = true;
    NewDownloadDialog dialog(nullptr, nullptr);
    dialog.set_save_folders(dir.file("downloads"), paths);
    dialog.set_submit([&](const std::vector<NewDownload>& downloads) {
        submitted = downloads;
        return accept_submit;
    });
    dialog.show();
    // The link's kind picks the folder; a typed name's kind wins over the link's.
    const struct {
        const char* link;
        const char* name;
        const char* folder;
    } cases[] = {
        {"https://h/movie.MKV", "", "videos"},
        {"https://h/a.zip?x=1", "", "downloads"},
        {"https://h/a.zip", "clip.webm", "videos"},
        {"https://h/watch", "", "downloads"},
    };
    for (const auto& c : cases) {
        dialog.field()->setText(QString::fromUtf8(c.link));
        dialog.name_field()->setText(QString::fromUtf8(c.name));
        EXPECT_EQ(dialog.folder_field()->text().toStdString(), dir.file(c.folder)) << c.link << " " << c.name;
    }

    // A folder the user picks stays while the link changes, and is kept for the kind on Download.
    dialog.name_field()->clear();
    dialog.field()->setText(QStringLiteral("https://h/a.zip"));
    dialog.choose_folder(q(dir.file("archives") + "/"));
    dialog.field()->setText(QStringLiteral("https://h/b.tar.gz"));
    EXPECT_EQ(dialog.folder_field()->text().toStdString(), dir.file("archives"));
    // A question the user cancels keeps the dialog open and remembers nothing.
    accept_submit = false;
    dialog.accept_link();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(remembered(app::FileCategory::Archives), "");
    accept_submit = true;
    dialog.accept_link();
    EXPECT_FALSE(dialog.isVisible());
    ASSERT_EQ(submitted.size(), 1u);
    EXPECT_EQ(submitted[0].url, "https://h/b.tar.gz");
    EXPECT_EQ(submitted[0].folder, dir.file("archives"));
    EXPECT_EQ(submitted[0].name, "") << "an empty name leaves the naming to the program";
    EXPECT_EQ(remembered(app::FileCategory::Archives), dir.file("archives"));
    EXPECT_EQ(remembered(app::FileCategory::Video), dir.file("videos")) << "other kinds keep theirs";

    NewDownloadDialog next(nullptr, nullptr);
    next.set_save_folders(dir.file("downloads"), paths);
    next.field()->setText(QStringLiteral("https://h/c.7z"));
    EXPECT_EQ(next.folder_field()->text().toStdString(), dir.file("archives"));

    EXPECT_EQ(next.browse_button()->text(), QStringLiteral("Browse…"));
}

// The dialog as the README shows it, in both languages.
TEST_F(NewDownloadFolderTest, Pictures) {
    for (LanguageMode mode : {LanguageMode::English, LanguageMode::Chinese}) {
        set_language_mode(mode);
        NewDownloadDialog dialog(nullptr, nullptr);
        dialog.set_save_folders("/home/ana/Videos", std::nullopt);
        dialog.field()->setText(QStringLiteral("https://media.example/talks/keynote-2026.mp4"));
        if (mode == LanguageMode::Chinese) dialog.name_field()->setText(QStringLiteral("主题演讲.mp4"));
        dialog.show();
        dialog.field()->deselect();
        EXPECT_EQ(dialog.folder_field()->text(), QStringLiteral("/home/ana/Videos"));
        save_shot(dialog,
                  mode == LanguageMode::Chinese ? "new-download-folder-chinese" : "new-download-folder");
    }
}

TEST_F(NewDownloadFolderTest, BadNamesAndFoldersAreRefusedInTheDialog) {
    const struct {
        const char* links;
        std::string name;
        std::string folder;
        QString error;
    } cases[] = {
        {"https://h/a.zip", "x/a.zip", dir.file("downloads"),
         QStringLiteral("A file name cannot hold “/”: x/a.zip")},
        {"https://h/a.zip", " . ", dir.file("downloads"), QStringLiteral("“.” cannot be a file name")},
        {"https://h/a.zip", "..", dir.file("downloads"), QStringLiteral("“..” cannot be a file name")},
        {"https://h/a.zip https://h/b.zip", "a.zip", dir.file("downloads"),
         QStringLiteral("A file name fits one link only")},
        {"https://h/a.zip", "", dir.file("nowhere"), q("The folder does not exist: " + dir.file("nowhere"))},
        {"https://h/a.zip", "", dir.file("downloads/a.txt"),
         q("The folder does not exist: " + dir.file("downloads/a.txt"))},
        {"https://h/a.zip", "", "", QStringLiteral("The folder does not exist: ")},
        {"https://h/a.zip", "", "downloads", QStringLiteral("Give the folder’s whole path: downloads")},
        // Nobody, root included, makes files in /proc.
        {"https://h/a.zip", "", "/proc", QStringLiteral("The folder is read-only: /proc")},
    };
    test::write_file(dir.file("downloads/a.txt"), "a file, no folder");
    for (const auto& c : cases) {
        bool submitted = false;
        NewDownloadDialog dialog(nullptr, nullptr);
        dialog.set_save_folders(dir.file("downloads"), paths);
        dialog.set_submit([&](const std::vector<NewDownload>&) { return submitted = true; });
        dialog.show();
        dialog.field()->setText(QString::fromUtf8(c.links));
        dialog.name_field()->setText(q(c.name));
        dialog.folder_field()->setText(q(c.folder));
        dialog.accept_link();
        EXPECT_TRUE(dialog.isVisible()) << c.error.toStdString();
        EXPECT_FALSE(submitted) << c.error.toStdString();
        EXPECT_EQ(dialog.error_text(), c.error);
        EXPECT_EQ(remembered(app::FileCategory::Archives), "");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere"))) << "a missing folder is not made";

    // The download folder itself may be missing: the engine makes it, as it always has.
    std::vector<NewDownload> submitted;
    NewDownloadDialog dialog(nullptr, nullptr);
    dialog.set_save_folders(dir.file("fresh/Downloads"), paths);
    dialog.set_submit([&](const std::vector<NewDownload>& downloads) {
        submitted = downloads;
        return true;
    });
    dialog.field()->setText(QStringLiteral("https://h/a.zip"));
    dialog.accept_link();
    EXPECT_EQ(dialog.error_text(), QString());
    ASSERT_EQ(submitted.size(), 1u);
    EXPECT_EQ(submitted[0].folder, dir.file("fresh/Downloads"));
}

// What the window does for each answer, against recorded engine calls.
class DuplicateAnswerTest : public NewDownloadFolderTest {
protected:
    void SetUp() override {
        NewDownloadFolderTest::SetUp();
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &opener, "open");
        ops.running = [] { return true; };
        ops.snapshot = [this](std::vector<TaskSnapshot>& out) {
            out = tasks;
            return true;
        };
        ops.resume = [this](int32_t id) { calls.push_back("resume " + std::to_string(id)); };
        ops.retry = [this](int32_t id) { calls.push_back("retry " + std::to_string(id)); };
        ops.add_to = [this](const NewDownload& download, std::string&) {
            std::lock_guard lock(adds_lock);
            adds.push_back(download);
            return true;
        };
    }
    void TearDown() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        NewDownloadFolderTest::TearDown();
    }

    TaskSnapshot task(int32_t id, TaskState state, const std::string& url, const std::string& file) {
        TaskSnapshot snapshot;
        snapshot.id = id;
        snapshot.state = state;
        snapshot.url = url;
        snapshot.path = dir.file("downloads/" + file);
        snapshot.name = file;
        return snapshot;
    }

    EngineOps ops;
    std::vector<TaskSnapshot> tasks;
    std::vector<std::string> calls;
    std::mutex adds_lock;
    std::vector<NewDownload> adds;
    FileOpener opener;
};

TEST_F(DuplicateAnswerTest, EachAnswerDoesWhatItSays) {
    const std::string dl = dir.file("downloads");
    test::write_file(dir.file("downloads/file.zip"), "the user's finished file");
    test::write_file(dir.file("downloads/part.zip"), "half");
    test::write_file(dir.file("downloads/part.zip.twk"), "resume state");
    test::write_file(dir.file("downloads/done.zip"), "finished by task 9");
    test::write_file(dir.file("downloads/paused.zip"), "half");
    test::write_file(dir.file("downloads/paused.zip.twk"), "resume state");
    tasks = {task(7, kPaused, "https://h/paused.zip", "paused.zip"),
             task(8, twk::kError, "https://h/failed.zip", "failed.zip"),
             task(9, kDone, "https://h/done.zip", "done.zip"),
             task(10, kRunning, "https://h/running.zip", "running.zip"),
             task(11, kDone, "https://h/gone.zip", "gone.zip")};
    using O = app::DuplicateOffer;
    const struct {
        const char* url;
        std::optional<O> answer; // nothing: no question, or Cancel when `asked`
        bool asked;
        std::string call; // "open PATH", "resume N", "retry N", "row N" or ""
        std::optional<NewDownload> add;
    } cases[] = {
        {"https://h/new.zip", {}, false, "", NewDownload{"https://h/new.zip", 16, "", "", ""}},
        {"https://h/file.zip", O::OpenExisting, true, "open " + dl + "/file.zip", {}},
        {"https://h/file.zip", O::DownloadAgain, true, "",
         NewDownload{"https://h/file.zip", 16, dl, "file (1).zip", ""}},
        {"https://h/file.zip", {}, true, "", {}},
        {"https://h/part.zip", O::Resume, true, "",
         NewDownload{"https://h/part.zip", 16, dl, "part.zip", ""}},
        {"https://h/part.zip", O::DownloadAgain, true, "",
         NewDownload{"https://h/part.zip", 16, dl, "part (1).zip", ""}},
        {"https://h/part.zip", O::OpenExisting, true, "open " + dl + "/part.zip", {}},
        {"https://h/paused.zip", O::Resume, true, "resume 7", {}},
        {"https://h/paused.zip", O::DownloadAgain, true, "",
         NewDownload{"https://h/paused.zip", 16, dl, "paused (1).zip", ""}},
        {"https://h/failed.zip", O::Resume, true, "retry 8", {}},
        {"https://h/done.zip", O::OpenExisting, true, "open " + dl + "/done.zip", {}},
        {"https://h/done.zip", O::DownloadAgain, true, "",
         NewDownload{"https://h/done.zip", 16, dl, "done (1).zip", ""}},
        {"https://h/gone.zip", O::Resume, true, "retry 11", {}},
        {"https://h/running.zip", O::OpenExisting, true, "row 10", {}},
        // Nothing is on disk under the name yet: the new task is named as any other.
        {"https://h/running.zip", O::DownloadAgain, true, "",
         NewDownload{"https://h/running.zip", 16, "", "", ""}},
    };
    MainWindow window(ops);
    window.set_download_folder(dl);
    window.set_connections(16);
    window.tick(0);
    for (const auto& c : cases) {
        const std::string label =
            std::string(c.url) + " " + std::to_string(c.answer ? static_cast<int>(*c.answer) : -1);
        calls.clear();
        opener.opened.clear();
        window.model().select(std::nullopt);
        bool asked = false;
        bool timed_out = false;
        if (c.asked) {
            test::when_modal<DuplicatePrompt>([] { return true; },
                                              [&](DuplicatePrompt& prompt) {
                                                  asked = true;
                                                  QAbstractButton* button = c.answer
                                                                                ? prompt.button_for(*c.answer)
                                                                                : prompt.escapeButton();
                                                  ASSERT_NE(button, nullptr) << label;
                                                  button->click();
                                              },
                                              timed_out, 10000);
        }
        const size_t adds_before = adds.size();
        const bool done = window.submit_new_downloads({NewDownload{c.url, 0, "", "", ""}});
        EXPECT_EQ(asked, c.asked) << label;
        EXPECT_FALSE(timed_out) << label;
        EXPECT_EQ(done, !c.asked || c.answer.has_value()) << label;
        if (!opener.opened.empty()) calls.push_back("open " + opener.opened);
        if (c.call.rfind("row ", 0) == 0 && window.model().selected())
            calls.push_back("row " + std::to_string(*window.model().selected()));
        EXPECT_EQ(calls, c.call.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.call})
            << label;
        if (c.add) {
            ASSERT_TRUE(test::wait_until(
                [&] {
                    QApplication::processEvents();
                    std::lock_guard lock(adds_lock);
                    return adds.size() > adds_before;
                },
                10000))
                << label;
            std::lock_guard lock(adds_lock);
            const NewDownload& added = adds.back();
            EXPECT_EQ(added.url, c.add->url) << label;
            EXPECT_EQ(added.connections, c.add->connections) << label;
            EXPECT_EQ(added.folder, c.add->folder) << label;
            EXPECT_EQ(added.name, c.add->name) << label;
        } else {
            QApplication::processEvents();
            std::lock_guard lock(adds_lock);
            EXPECT_EQ(adds.size(), adds_before) << label << ": nothing is added";
        }
    }
    EXPECT_EQ(test::read_file(dir.file("downloads/file.zip")), "the user's finished file");
}

// New from the toolbar: the dialog starts at the kind's folder, the duplicate question comes
// up over it, and the download goes where both said.
TEST_F(DuplicateAnswerTest, NewFromTheWindow) {
    const std::string dl = dir.file("downloads");
    test::write_file(dir.file("videos/talk.mp4"), "an earlier talk");
    app::SettingsStore store(paths);
    ASSERT_TRUE(app::remember_category_folder(store, app::FileCategory::Video, dir.file("videos"), dl));
    MainWindow window(ops);
    window.set_download_folder(dl);
    window.set_connections(4);
    SettingsContext context;
    context.paths = paths;
    window.set_settings_context(context);
    std::string folder_shown;
    bool asked = false;
    bool timed_out = false;
    test::when_modal<NewDownloadDialog>(
        [] { return true; },
        [&](NewDownloadDialog& dialog) {
            dialog.field()->setText(QStringLiteral("https://h/talk.mp4"));
            folder_shown = dialog.folder_field()->text().toStdString();
            test::when_modal<DuplicatePrompt>(
                [] { return true; },
                [&](DuplicatePrompt& prompt) {
                    asked = true;
                    prompt.button_for(app::DuplicateOffer::DownloadAgain)->click();
                },
                timed_out, 10000);
            dialog.accept_link();
        },
        timed_out, 10000);
    window.press_button(kButtonNew);
    EXPECT_FALSE(timed_out);
    EXPECT_EQ(folder_shown, dir.file("videos"));
    EXPECT_TRUE(asked);
    ASSERT_TRUE(test::wait_until(
        [&] {
            QApplication::processEvents();
            std::lock_guard lock(adds_lock);
            return !adds.empty();
        },
        10000));
    std::lock_guard lock(adds_lock);
    EXPECT_EQ(adds[0].url, "https://h/talk.mp4");
    EXPECT_EQ(adds[0].connections, 4);
    EXPECT_EQ(adds[0].folder, dir.file("videos"));
    EXPECT_EQ(adds[0].name, "talk (1).mp4");
    EXPECT_EQ(remembered(app::FileCategory::Video), dir.file("videos"));
}

} // namespace
} // namespace twk::ui

#include "new_download_folder_test.moc"

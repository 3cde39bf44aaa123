// The New Download dialog: one field for links (several pasted at once become one download
// each), prefilled from the clipboard when it holds links, an optional file name, the folder to
// save in (with Browse…), an optional checksum the file must match, and Download / Cancel.
// The folder starts at the one last chosen for the link's kind of file (app/file_category.h)
// and follows the kind while the user has not picked one; the folder used is remembered for
// the kind when the dialog is accepted. Download is
// disabled while the field is blank; a link that cannot be one is named inside the dialog,
// which stays open with what was typed. Accepting hands each link to a `DownloadStarter`,
// which adds it on a worker thread and reports back on the UI thread.
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/file_category.h"
#include "app/settings_store.h"
#include "ui/dialog_parts.h"
#include "ui/engine_link.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace twk::ui {

// At most this much of the clipboard is looked at, and a link may be this long.
inline constexpr qsizetype kClipboardReadChars = 8192;
inline constexpr qsizetype kMaxLinkChars = 4096;
// The field holds at most this much: a few hundred pasted links.
inline constexpr qsizetype kMaxFieldChars = 256 * 1024;

// The clipboard text as a link to prefill, or empty when it is not one: trimmed of blanks and
// line breaks at both ends, at most 4096 characters, no character at or below a blank, and an
// http, https, ftp or ftps scheme (any case) before "://" with something after it.
QString clipboard_link(const QString& clipboard);

// The clipboard's links to prefill, blank-separated: each non-blank line must pass
// `clipboard_link`, else nothing is prefilled.
QString clipboard_links(const QString& clipboard);

// The typed text as the link to start (blanks, tabs, carriage returns and line feeds trimmed),
// or empty when there is nothing but those.
std::string typed_link(const QString& field);
// The typed links: the field split at blanks, tabs and line breaks (a link holds none).
std::vector<std::string> typed_links(const QString& field);
// Empty when the engine will take `link`, else the reason to show.
QString link_problem(const std::string& link);
// Empty when `text` is blank or a checksum the engine takes ("sha-256=HEX", net/checksum.h),
// else the reason to show: the form, an unknown algorithm, or the digits the algorithm has.
QString checksum_problem(const QString& text);
// Empty when `name` (trimmed) is blank or a name a file may have, else the reason to show: a
// name holds no "/" and is not "." or "..".
QString file_name_problem(const QString& name);
// The typed folder as a path: trimmed, "~" for the home folder, cleaned.
QString typed_folder(const QString& field);
// Empty when `folder` (as `typed_folder` reads it) is a whole path to an existing folder this
// user can write in, else the reason to show.
QString save_folder_problem(const QString& folder);

// Adds links on worker threads. `finished` arrives on the thread the starter lives on; a
// worker never touches a widget. Destroying the starter waits for the workers that still run.
class DownloadStarter : public QObject {
    Q_OBJECT
public:
    using Add = std::function<bool(const std::string& url, int64_t connections, const std::string& checksum,
                                   std::string& error)>;
    explicit DownloadStarter(Add add, QObject* parent = nullptr);
    ~DownloadStarter() override;

    void start(const std::string& url, int64_t connections) {
        start(std::vector<std::string>{url}, connections);
    }
    // Adds the links one after the other on one worker, so they keep their order in the list;
    // `finished` comes once for each.
    // `checksum` ("sha-256=HEX"; empty: none) goes with every link.
    void start(const std::vector<std::string>& urls, int64_t connections, const std::string& checksum = {});
    // As above, each with its own folder and name, through `add_to` when there is one.
    void start(const std::vector<NewDownload>& downloads);
    void set_add_to(std::function<bool(const NewDownload&, std::string&)> add_to) {
        m_add_to = std::move(add_to);
    }

signals:
    void finished(bool ok, const QString& error);

private:
    void join(std::thread::id id);
    void run(size_t count, std::function<bool(size_t, std::string&)> add_one);

    Add m_add;
    std::function<bool(const NewDownload&, std::string&)> m_add_to;
    std::mutex m_lock;
    std::list<std::thread> m_workers;
};

class NewDownloadDialog : public QDialog {
    Q_OBJECT
public:
    // `start` receives the trimmed link when the dialog is accepted.
    NewDownloadDialog(std::function<void(const std::string&)> start, QWidget* owner);

    // Where files go: the download folder, and the settings that keep a folder for each kind
    // of file (none: the folder starts at the download folder and nothing is remembered).
    void set_save_folders(const std::string& download_dir, std::optional<app::SettingsPaths> settings);
    // Takes the downloads on Download in place of `start`; false keeps the dialog open (the
    // user canceled a question about them), and then nothing is remembered.
    void set_submit(std::function<bool(const std::vector<NewDownload>&)> submit) {
        m_submit = std::move(submit);
    }

    // Puts `clipboard_link(text)` into the field when there is one; selects it all.
    void prefill(const QString& clipboard_text);
    QLineEdit* field() const { return m_field; }
    // The checksum row: optional, checked on Download (`checksum_problem`), one link only.
    QLineEdit* checksum_field() const { return m_checksum; }
    std::string checksum() const; // trimmed; empty when none was given
    QLineEdit* name_field() const { return m_name; }
    QLineEdit* folder_field() const { return m_folder; }
    QPushButton* browse_button() const { return m_browse; }
    // The kind of file the name (typed, else the first link's) says.
    app::FileCategory category() const;
    // The folder picked in the Browse… dialog, as if the user had typed it.
    void choose_folder(const QString& folder);

    // Download: starts every link and closes, unless the field holds only blanks or a link
    // that cannot be one (then `error_text` names it and the dialog stays).
    void accept_link();
    const QString& error_text() const { return m_error; }
    bool download_enabled() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void show_error(const QString& error);
    void browse();
    // The kind's folder into the field, unless the user chose one.
    void follow_category();

    std::function<void(const std::string&)> m_start;
    std::function<bool(const std::vector<NewDownload>&)> m_submit;
    QLineEdit* m_name = nullptr;
    QLineEdit* m_folder = nullptr;
    QPushButton* m_browse = nullptr;
    std::string m_download_dir;
    std::optional<app::SettingsPaths> m_settings;
    bool m_folder_chosen = false; // typed or browsed: it no longer follows the kind
    bool m_filling_folder = false;
    QLineEdit* m_field = nullptr;
    QLabel* m_problem = nullptr; // under the fields
    QLineEdit* m_checksum = nullptr;
    QPushButton* m_download = nullptr;
    QString m_error;
};

} // namespace twk::ui

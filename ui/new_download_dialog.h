// The New Download dialog: one field for links (several pasted at once become one download
// each), prefilled from the clipboard when it holds links, and Download / Cancel. Download is
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
#include <string>
#include <thread>
#include <vector>

#include "ui/dialog_parts.h"

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

// Adds links on worker threads. `finished` arrives on the thread the starter lives on; a
// worker never touches a widget. Destroying the starter waits for the workers that still run.
class DownloadStarter : public QObject {
    Q_OBJECT
public:
    using Add = std::function<bool(const std::string& url, int64_t connections, std::string& error)>;
    explicit DownloadStarter(Add add, QObject* parent = nullptr);
    ~DownloadStarter() override;

    void start(const std::string& url, int64_t connections) {
        start(std::vector<std::string>{url}, connections);
    }
    // Adds the links one after the other on one worker, so they keep their order in the list;
    // `finished` comes once for each.
    void start(const std::vector<std::string>& urls, int64_t connections);

signals:
    void finished(bool ok, const QString& error);

private:
    void join(std::thread::id id);

    Add m_add;
    std::mutex m_lock;
    std::list<std::thread> m_workers;
};

class NewDownloadDialog : public QDialog {
    Q_OBJECT
public:
    // `start` receives the trimmed link when the dialog is accepted.
    NewDownloadDialog(std::function<void(const std::string&)> start, QWidget* owner);

    // Puts `clipboard_link(text)` into the field when there is one; selects it all.
    void prefill(const QString& clipboard_text);
    QLineEdit* field() const { return m_field; }

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

    std::function<void(const std::string&)> m_start;
    QLineEdit* m_field = nullptr;
    QLabel* m_problem = nullptr; // under the field
    QPushButton* m_download = nullptr;
    QString m_error;
};

} // namespace twk::ui

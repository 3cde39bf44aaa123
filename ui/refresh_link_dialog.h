// The Refresh Link dialog: a download whose link stopped working (a signed link that expired)
// takes a new link for the same file and continues where it stopped (core/link_refresh.h). One
// field for the new link and Continue / Cancel; the engine asks the new link on a worker thread
// while the dialog says so, and a refusal ("the new link's file is N bytes, the download's is
// M") is shown inside the dialog, which stays open with what was typed.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <string>
#include <thread>

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace twk::ui {

// "Refresh Link…", the row menu's entry that opens the dialog, in the language in force.
QString refresh_link_menu_text();

class RefreshLinkDialog : public QDialog {
    Q_OBJECT
public:
    // Runs on a worker thread: continues the download with `url`, or false with the reason.
    using Refresh = std::function<bool(const std::string& url, std::string& error)>;

    // `name` is the download's file name, shown in the dialog's text.
    RefreshLinkDialog(const QString& name, Refresh refresh, QWidget* owner);
    // Waits for a check still running (it ends within the new link's time-outs).
    ~RefreshLinkDialog() override;

    QLineEdit* field() const { return m_field; }
    QString error_text() const;
    bool checking() const { return m_worker.joinable() && !m_done; }

    // Continue: checks the typed link (one that cannot be a link is named at once), then asks
    // the engine; the dialog closes accepted when the download took the link.
    void submit();

private:
    void finish(bool ok, const QString& error);
    void show_error(const QString& error);

    Refresh m_refresh;
    QLineEdit* m_field = nullptr;
    QLabel* m_error = nullptr;
    QPushButton* m_continue = nullptr;
    std::thread m_worker;
    bool m_done = true; // on the UI thread: the worker's answer arrived
};

} // namespace twk::ui

// The Settings dialog: its sections (ui/settings_sections.h) one below the other, with Cancel
// and Save in a footer that stays put while the content above it scrolls on a small screen.
//
// Saving writes the settings store (in its fixed order), syncs the autostart entry and hands the
// new record to `SettingsContext::saved`, which applies it to the running engine and the
// window. Cancel, Escape and the close box discard everything, a folder picked with "Choose…"
// included. Enter saves, except while the connections list has the focus.
#pragma once

#include <QDialog>
#include <QImage>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "app/browser_status.h"
#include "app/settings.h"
#include "app/settings_store.h"
#include "ui/dialog_parts.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QScrollBar;
class QLabel;
class QPushButton;
class QScrollArea;

namespace twk::ui {

// Why `text` is no proxy we can use, empty when it is one (or empty: no proxy).
QString proxy_problem(const std::string& text);
// Why downloads cannot go into `folder` (it cannot be created, or nothing can be written in
// it), empty when they can. The folder tree is created.
QString folder_problem(const std::string& folder);

// The browser-extension page "Get extension…" opens, the same for every browser.
inline constexpr const char* kExtensionPageUrl = "https://tarnwick.example/extension";

struct SettingsContext {
    app::Settings settings;      // what the dialog shows
    app::SettingsPaths paths;    // where Save writes
    std::string exe_path;        // for the autostart entry
    std::string default_folder;  // shown when the folder setting is empty
    app::ContactAge contact_age; // empty: no engine
    // PATH for the installed-browser test; unset reads the environment at each refresh.
    std::optional<std::string> browser_path;
    // Receives the saved record.
    std::function<void(const app::Settings&)> saved;
    // Receives the record after the engine's limits were changed from outside (through its
    // control API) and kept: the engine has them already.
    std::function<void(const app::Settings&)> adopted;
    // The folder picker (owner, title, start folder) → the chosen folder, empty when cancelled.
    std::function<QString(QWidget*, const QString&, const QString&)> choose_folder;
    // Opens a page in the user's browser.
    std::function<void(const QString&)> open_page;
};

class SettingsContent;
class ProxySection;
class DownloadsSection;
class DesktopSection;

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    SettingsDialog(SettingsContext context, QWidget* owner);
    ~SettingsDialog() override;

    // Saves as the Save button does and closes; a custom proxy that is not one, a number out
    // of its range, or a download folder that cannot be made or written, is named in the
    // footer instead (the focus goes to its field) and nothing is saved.
    void save();
    QString problem_text() const;
    // One screenshot of the dialog, children included, at the first repaint at or after
    // `deadline_ms` (monotonic).
    void request_screenshot(const QString& path, int64_t deadline_ms);
    bool screenshot_taken() const { return m_shot_taken; }

    // For tests.
    ProxySection& proxy_section() const;
    DownloadsSection& downloads_section() const;
    DesktopSection& desktop_section() const;
    QCheckBox* follow_system_box() const;
    QCheckBox* custom_proxy_box() const;
    QCheckBox* launch_box() const;
    QCheckBox* update_box() const;
    QCheckBox* notices_box() const;
    QComboBox* at_once_list() const;
    QLineEdit* proxy_field() const;
    QComboBox* connections_list() const;
    QScrollBar* scroll_bar() const;
    const std::array<app::BrowserRow, 3>& browser_rows() const;
    QString shown_folder() const;
    void choose_folder();
    void get_extension(int row); // does nothing for a browser that is not installed
    void refresh_browsers();
    int content_height() const;
    int visible_height() const;
    int scroll_offset() const;
    void scroll_to(int offset);
    QRectF save_button_rect() const;
    QRectF cancel_button_rect() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void fit_to_screen();
    void take_screenshot_when_due();

    SettingsContext m_context;
    SettingsContent* m_content = nullptr;
    QLabel* m_problem = nullptr; // in the footer, left of the buttons
    QScrollArea* m_area = nullptr;
    QWidget* m_footer = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_cancel = nullptr;
    QTimer m_browser_timer;
    QTimer m_shot_timer;
    QString m_shot_path;
    int64_t m_shot_deadline = 0;
    bool m_shot_taken = false;
};

} // namespace twk::ui

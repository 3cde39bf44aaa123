// The Settings dialog's sections, one per topic, stacked in its scrolling content: the proxy,
// downloads (connections, the per-server budget, downloads at once, the speed limit), the
// desktop (login, updates, notices, tray, clipboard, the queue's end, live recordings), the
// browser extensions and the download folder. Each shows its part of the settings record and
// writes it into the form Save hands to app/settings.h; the ones with number fields name the
// first bad value instead.
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

#include <array>

#include "app/browser_status.h"
#include "app/settings.h"
#include "ui/settings_texts.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLineEdit;
class QPushButton;

namespace twk::ui {

// A label in the dialog's control font and text colour, for a row of a form.
QLabel* field_label(const QString& text);
// A tick box in the dialog's style, ticked when `on`.
QCheckBox* check_box(const QString& text, bool on);
// A one-line field for a whole number, as wide as the dialog's lists.
QLineEdit* number_field(int32_t value);
// A label-and-field form with the dialog's spacing; fields keep their own width.
QFormLayout* section_form();

// Reads `text` as a whole number from `min` to `max` into `value`: ASCII digits with blanks
// around them, whatever the locale. Empty when it is one, else `message` with the range.
QString number_problem(const QString& text, int32_t min, int32_t max, SettingsText message, int32_t& value);

// Why a field's text is refused: the message and the field, for the focus.
struct FieldProblem {
    QString message; // empty: none
    QWidget* field = nullptr;
};

class ProxySection : public QWidget {
public:
    explicit ProxySection(const app::Settings& settings);
    void read(app::SettingsForm& form) const;
    void update_field();

    QCheckBox* follow = nullptr;
    QCheckBox* custom = nullptr;
    QLineEdit* proxy = nullptr;
};

class DownloadsSection : public QWidget {
public:
    explicit DownloadsSection(const app::Settings& settings);
    FieldProblem read(app::SettingsForm& form) const;

    QComboBox* connections = nullptr;
    QLineEdit* per_server = nullptr;
    QComboBox* at_once = nullptr;
    QCheckBox* limit_on = nullptr;
    QLineEdit* limit = nullptr;
};

class DesktopSection : public QWidget {
public:
    DesktopSection(const app::Settings& settings, bool launch_at_login);
    FieldProblem read(app::SettingsForm& form) const;

    QCheckBox* launch = nullptr;
    QCheckBox* update_check = nullptr;
    QCheckBox* notices = nullptr;
    QCheckBox* tray = nullptr;
    QCheckBox* clipboard = nullptr;
    QComboBox* queue_end = nullptr; // in QueueEndAction's order
    QLineEdit* outage = nullptr;    // seconds
};

class ExtensionSection : public QWidget {
public:
    ExtensionSection();
    void set_rows(const std::array<app::BrowserRow, 3>& rows);
    const std::array<app::BrowserRow, 3>& rows() const { return m_rows; }

    std::array<QPushButton*, 3> get{};

private:
    std::array<QLabel*, 3> m_names{}, m_states{};
    std::array<app::BrowserRow, 3> m_rows{};
};

// A label that shows its text cut in the middle when it is too long, the whole in its tooltip.
class PathLabel : public QLabel {
public:
    PathLabel();
    void set_path(const QString& path);
    const QString& path() const { return m_path; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString m_path;
};

class FolderSection : public QWidget {
public:
    explicit FolderSection(const QString& folder);
    void set_folder(const QString& folder) { m_folder->set_path(folder); }
    const QString& folder() const { return m_folder->path(); }

    QPushButton* choose = nullptr;

private:
    PathLabel* m_folder = nullptr;
};

} // namespace twk::ui

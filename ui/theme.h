// Light or dark, as the desktop prefers: the freedesktop appearance setting read through the
// settings portal (org.freedesktop.portal.Settings, "org.freedesktop.appearance"
// "color-scheme": 1 dark, 2 light, 0 no preference) and followed through its SettingChanged
// signal; without a portal or a preference, the lightness of the Qt palette's window colour.
//
// The app's colours come in two sets with the same names as palette.h; `theme_colors()` is the
// set in force, which `apply_theme` switches together with the application's QPalette (so the
// widgets and dialogs Qt draws follow too). Painting code reads `theme_colors()` where it used
// the palette.h constants.
#pragma once

#include <QColor>
#include <QObject>
#include <QPalette>

#include <cstdint>
#include <functional>
#include <optional>

class QDBusMessage;
class QDBusVariant;

namespace twk::ui {

struct ThemeColors {
    bool dark = false;
    QColor background, accent, accent_hover, text, error, status_background, banner_background, track,
        divider, selection;
    // The text colour at `percent` opacity: the palette's greys (black on light, white on dark).
    QColor grey(double percent) const;
};

const ThemeColors& light_colors(); // palette.h's colours
const ThemeColors& dark_colors();
const ThemeColors& theme_colors(); // the set in force; light until `apply_theme(true)`

// The QPalette for the widgets Qt draws in that theme.
QPalette theme_palette(bool dark);
// Puts the set in force and gives QApplication its palette. GUI thread only.
void apply_theme(bool dark);

// The rule: a portal value 1 is dark, 2 light; anything else (0, none) follows the palette's
// window lightness (below 128: dark).
bool prefers_dark(std::optional<uint32_t> portal_value, int window_lightness);

class ThemeWatcher : public QObject {
    Q_OBJECT
public:
    using Changed = std::function<void(bool dark)>;
    // `changed` runs with the first answer and then whenever the preference moves. Made before
    // the app's own palette is set, so that the desktop's palette is the one read.
    explicit ThemeWatcher(Changed changed, QObject* parent = nullptr);

    // Asks the portal (ReadOne, else the older Read) and subscribes to its changes; without a
    // portal decides from the palette at once.
    void start();
    bool dark() const { return m_dark; }

private Q_SLOTS:
    void setting_changed(const QString& name_space, const QString& key, const QDBusVariant& value);

private:
    void decide(std::optional<uint32_t> portal_value);
    void read(const QString& method);

    Changed m_changed;
    // The palette's lightness before the app set its own: what "no preference" follows.
    int m_system_lightness;
    bool m_dark = false;
    bool m_decided = false;
};

} // namespace twk::ui

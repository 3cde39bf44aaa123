#include "ui/theme.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include "ui/palette.h"

namespace twk::ui {

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString kNamespace = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");

const ThemeColors* g_current = nullptr;

// A portal value: a uint32, maybe wrapped in one or two variants (Read wraps it twice).
std::optional<uint32_t> scheme_value(QVariant value) {
    for (int depth = 0; depth < 3 && value.userType() == qMetaTypeId<QDBusVariant>(); ++depth)
        value = value.value<QDBusVariant>().variant();
    if (value.userType() != QMetaType::UInt) return std::nullopt;
    return value.toUInt();
}

} // namespace

QColor ThemeColors::grey(double percent) const {
    QColor c = dark ? QColor(255, 255, 255) : QColor(0, 0, 0);
    c.setAlpha(static_cast<int>(percent * 255 / 100 + 0.5));
    return c;
}

const ThemeColors& light_colors() {
    static const ThemeColors colors{false,  kBackground, kAccent,           kAccentHover,
                                    kText,  kError,      kStatusBackground, kBannerBackground,
                                    kTrack, kDivider,    kSelection};
    return colors;
}

const ThemeColors& dark_colors() {
    static const ThemeColors colors{true,
                                    QColor(0x1C, 0x1C, 0x1E),
                                    QColor(0x5B, 0x9B, 0xF0),
                                    QColor(0x7E, 0xB0, 0xF4),
                                    QColor(0xE8, 0xE8, 0xE6),
                                    QColor(0xF2, 0x76, 0x6B),
                                    QColor(0x22, 0x22, 0x24),
                                    QColor(0x23, 0x39, 0x5A),
                                    QColor(0x23, 0x39, 0x5A),
                                    QColor(255, 255, 255, 0x17),
                                    QColor(0x5B, 0x9B, 0xF0, 0x40)};
    return colors;
}

const ThemeColors& theme_colors() { return g_current ? *g_current : light_colors(); }

QPalette theme_palette(bool dark) {
    const ThemeColors& c = dark ? dark_colors() : light_colors();
    QPalette p;
    const QColor base = dark ? QColor(0x26, 0x26, 0x28) : QColor(0xFF, 0xFF, 0xFF);
    const QColor button = dark ? QColor(0x2E, 0x2E, 0x31) : QColor(0xF0, 0xF0, 0xEE);
    p.setColor(QPalette::Window, c.background);
    p.setColor(QPalette::WindowText, c.text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, c.status_background);
    p.setColor(QPalette::Text, c.text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, c.text);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, c.text);
    p.setColor(QPalette::PlaceholderText, c.grey(45));
    p.setColor(QPalette::Highlight, c.accent);
    p.setColor(QPalette::HighlightedText, QColor(0xFF, 0xFF, 0xFF));
    p.setColor(QPalette::Link, c.accent);
    p.setColor(QPalette::BrightText, c.error);
    p.setColor(QPalette::Mid, c.grey(30));
    p.setColor(QPalette::Dark, c.grey(45));
    p.setColor(QPalette::Light, dark ? QColor(0x3A, 0x3A, 0x3D) : QColor(0xFF, 0xFF, 0xFF));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, c.grey(38));
    return p;
}

void apply_theme(bool dark) {
    g_current = dark ? &dark_colors() : &light_colors();
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        QApplication::setPalette(theme_palette(dark));
}

bool prefers_dark(std::optional<uint32_t> portal_value, int window_lightness) {
    if (portal_value == 1u) return true;
    if (portal_value == 2u) return false;
    return window_lightness < 128;
}

ThemeWatcher::ThemeWatcher(Changed changed, QObject* parent)
    : QObject(parent), m_changed(std::move(changed)),
      m_system_lightness(QGuiApplication::palette().color(QPalette::Window).lightness()) {}

void ThemeWatcher::start() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        decide(std::nullopt);
        return;
    }
    // The slot's argument type must be registered before the signal is connected: as the
    // process's first D-Bus user (the app makes this watcher first), Qt would refuse it.
    qRegisterMetaType<QDBusVariant>();
    bus.connect(kPortal, kPortalPath, kSettings, QStringLiteral("SettingChanged"), this,
                SLOT(setting_changed(QString, QString, QDBusVariant)));
    read(QStringLiteral("ReadOne"));
}

void ThemeWatcher::read(const QString& method) {
    QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, kSettings, method);
    call << kNamespace << kKey;
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, method] {
        watcher->deleteLater();
        QDBusPendingReply<QDBusVariant> reply = *watcher;
        if (!reply.isError()) {
            decide(scheme_value(QVariant::fromValue(reply.value())));
            return;
        }
        // Portals before version 2 of the interface have Read alone.
        if (method == QLatin1String("ReadOne") && reply.error().type() == QDBusError::UnknownMethod) {
            read(QStringLiteral("Read"));
            return;
        }
        decide(std::nullopt);
    });
}

void ThemeWatcher::setting_changed(const QString& name_space, const QString& key, const QDBusVariant& value) {
    if (name_space != kNamespace || key != kKey) return;
    decide(scheme_value(value.variant()));
}

void ThemeWatcher::decide(std::optional<uint32_t> portal_value) {
    const bool dark = prefers_dark(portal_value, m_system_lightness);
    if (m_decided && dark == m_dark) return;
    m_decided = true;
    m_dark = dark;
    if (m_changed) m_changed(dark);
}

} // namespace twk::ui

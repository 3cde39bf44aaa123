#include "ui/system_proxy.h"

#include "net/proxy_environment.h"
#include "net/text.h"
#include "net/url.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>

namespace twk::ui {

namespace {

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kResolverInterface = "org.freedesktop.portal.ProxyResolver";

// One entry of the portal's list: "direct://", "http://host:port", "socks://host:port",
// "socks5://…", "socks4://…", "https://…". False for a kind we cannot use.
bool usable_entry(const std::string& entry, ProxySpec& out) {
    out = ProxySpec{};
    const std::string lower = to_lower_ascii(trim_spaces(entry));
    if (lower == "direct://") return true;
    // GLib's resolvers name a SOCKS proxy of unknown version "socks://"; version 5 is the one
    // we speak, and the proxy then resolves the name as it does for the desktop's programs.
    if (!parse_proxy_url(entry, out) || !out.configured() || out.kind == kProxyHttps) {
        out = ProxySpec{};
        return false;
    }
    return true;
}

} // namespace

std::optional<ProxySpec> portal_proxy(const std::string& url) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return std::nullopt;
    QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kResolverInterface,
                                                       QStringLiteral("Lookup"));
    call << QString::fromStdString(url);
    const QDBusMessage reply = bus.call(call, QDBus::Block, kPortalTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
    const QStringList proxies = reply.arguments().front().toStringList();
    for (const QString& proxy : proxies) {
        ProxySpec spec;
        if (usable_entry(proxy.toStdString(), spec)) return spec;
    }
    return ProxySpec{};
}

ProxySpec system_proxy_for(const std::string& url) {
    if (std::optional<ProxySpec> found = portal_proxy(url)) return *found;
    return environment_proxy(url).proxy;
}

} // namespace twk::ui

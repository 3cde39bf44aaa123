// What the Settings dialog refuses to save: a custom proxy that is no proxy, a number out of
// its range, and a download folder that cannot be made or written.
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include "net/proxy_spec.h"
#include "net/text.h"
#include "net/url.h"
#include "ui/settings_dialog.h"
#include "ui/settings_sections.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

QString t(const char* key) { return QString::fromUtf8(tr(key)); }

} // namespace

QString proxy_problem(const std::string& text) {
    ProxySpec spec;
    if (parse_proxy_url(text, spec)) return {};
    QString shown = QString::fromStdString(text).trimmed().left(60);
    const size_t sep = text.find("://");
    const std::string scheme =
        sep == std::string::npos ? std::string("http") : to_lower_ascii(trim_spaces(text.substr(0, sep)));
    const bool known = scheme == "http" || scheme == "https" || scheme == "socks5" || scheme == "socks5h";
    return t("settings.not_a_proxy") + shown + QStringLiteral(" — ") +
           t(known ? "settings.proxy_form" : "settings.proxy_scheme");
}

QString folder_problem(const std::string& folder) {
    const QString path = QString::fromStdString(folder);
    if (path.isEmpty()) return {};
    if (!QDir().mkpath(path) || !QFileInfo(path).isDir()) return t("settings.folder_missing") + path;
    QTemporaryFile probe(QDir(path).filePath(QStringLiteral(".tarnwick-XXXXXX")));
    if (!probe.open()) return t("settings.folder_read_only") + path;
    return {};
}

QString number_problem(const QString& text, int32_t min, int32_t max, SettingsText message, int32_t& value) {
    // Digits only: no sign, no group separators, no locale's digits; ten digits hold any int32.
    const QString digits = text.trimmed();
    bool whole = !digits.isEmpty() && digits.size() <= 10;
    int64_t number = 0;
    for (QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            whole = false;
            break;
        }
        number = number * 10 + (c.unicode() - '0');
    }
    if (whole && number >= min && number <= max) {
        value = static_cast<int32_t>(number);
        return {};
    }
    return QString::fromUtf8(settings_text(message)).arg(min).arg(max);
}

} // namespace twk::ui

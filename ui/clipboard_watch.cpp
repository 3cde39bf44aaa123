#include "ui/clipboard_watch.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>

#include "app/launch_link.h"
#include "ui/notifier.h"
#include "ui/text_table.h"

namespace twk::ui {

std::string offered_link(const QString& clipboard_text) {
    const QString text = clipboard_text.trimmed();
    // Only plain download links: a twk: link or anything else copied is no offer.
    if (text.isEmpty() || text.startsWith(QLatin1String("twk:"), Qt::CaseInsensitive)) return {};
    const app::LaunchLink link = app::parse_launch_link(text.toStdString());
    return link.ok ? link.url : std::string();
}

QString link_for_display(const std::string& link) {
    const size_t authority = link.find("://");
    if (authority == std::string::npos) return QString::fromStdString(link);
    const size_t from = authority + 3;
    const size_t end = link.find_first_of("/?#", from);
    const size_t at = link.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < from) return QString::fromStdString(link);
    return QString::fromStdString(link.substr(0, from) + link.substr(at + 1));
}

ClipboardWatch::ClipboardWatch(Notifier& notifier, Add add, QObject* parent)
    : QObject(parent), m_notifier(notifier), m_add(std::move(add)) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    connect(clipboard, &QClipboard::dataChanged, this, [this, clipboard] {
        if (m_enabled) clipboard_changed(clipboard->text(), clipboard->ownsClipboard());
    });
}

void ClipboardWatch::clipboard_changed(const QString& text, bool ours) {
    if (!m_enabled || ours) return;
    const std::string link = offered_link(text);
    if (link.empty() || m_offered.count(link)) return;
    if (m_offered.size() >= kMostOfferedLinks) m_offered.clear();
    m_offered.insert(link);
    const bool zh = language_is_chinese();
    m_notifier.ask(zh ? QStringLiteral("下载？") : QStringLiteral("Download?"), link_for_display(link),
                   zh ? QStringLiteral("下载") : QStringLiteral("Download"), [self = QPointer(this), link] {
                       if (self && self->m_add) self->m_add(link);
                   });
}

} // namespace twk::ui

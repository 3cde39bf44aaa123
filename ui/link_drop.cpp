#include "ui/link_drop.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QRegularExpression>
#include <QUrl>
#include <QWidget>

#include <algorithm>

#include "ui/new_download_dialog.h"

namespace twk::ui {

std::vector<std::string> dropped_links(const QMimeData& data) {
    std::vector<std::string> links;
    auto add = [&links](const QString& text) {
        QString link = clipboard_link(text); // a download link, or empty
        if (link.isEmpty()) return;
        std::string value = link.toStdString();
        if (std::find(links.begin(), links.end(), value) == links.end()) links.push_back(value);
    };
    if (data.hasUrls()) {
        for (const QUrl& url : data.urls())
            add(url.toString(QUrl::FullyEncoded));
    } else if (data.hasText()) {
        const QStringList words =
            data.text()
                .left(kMaxFieldChars)
                .split(QRegularExpression(QStringLiteral("[ \t\r\n]+")), Qt::SkipEmptyParts);
        for (const QString& word : words)
            add(word);
    }
    return links;
}

LinkDropFilter::LinkDropFilter(QWidget& target, Start start) : QObject(&target), m_start(std::move(start)) {
    target.setAcceptDrops(true);
    target.installEventFilter(this);
}

bool LinkDropFilter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (drag->mimeData() && !dropped_links(*drag->mimeData()).empty())
            drag->acceptProposedAction();
        else
            drag->ignore();
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        std::vector<std::string> links =
            drop->mimeData() ? dropped_links(*drop->mimeData()) : std::vector<std::string>{};
        if (links.empty()) {
            drop->ignore();
            return true;
        }
        drop->acceptProposedAction();
        for (const std::string& link : links)
            if (m_start) m_start(link);
        return true;
    }
    default: return QObject::eventFilter(watched, event);
    }
}

} // namespace twk::ui

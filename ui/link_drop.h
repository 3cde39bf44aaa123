// Links dropped on the window: a drag that carries http, https, ftp or ftps links (as
// text/uri-list, or as plain text with the links among blanks and line breaks) is accepted, and
// dropping it starts one download per link. Local files and other text are refused.
#pragma once

#include <QObject>

#include <functional>
#include <string>
#include <vector>

class QMimeData;
class QWidget;

namespace twk::ui {

// The links a drag carries, in their order, without repeats; empty when none.
std::vector<std::string> dropped_links(const QMimeData& data);

class LinkDropFilter : public QObject {
public:
    using Start = std::function<void(const std::string& link)>;
    // Makes `target` take drops; `start` runs once for each dropped link.
    LinkDropFilter(QWidget& target, Start start);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Start m_start;
};

} // namespace twk::ui

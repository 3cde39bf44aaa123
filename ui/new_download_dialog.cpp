#include "ui/new_download_dialog.h"

#include <QDialogButtonBox>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringList>
#include <QVBoxLayout>

#include "net/url.h"
#include "ui/palette.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

constexpr int kClientWidth = 520;
constexpr int kClientHeight = 184;
constexpr double kMargin = 22;
constexpr double kFieldHeight = 30;

QString t(const char* key) { return QString::fromUtf8(tr(key)); }

bool clipboard_blank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}
bool typed_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

} // namespace

QString clipboard_link(const QString& clipboard) {
    QString text = clipboard.left(kClipboardReadChars);
    qsizetype nul = text.indexOf(QChar(u'\0'));
    if (nul >= 0) text.truncate(nul);
    qsizetype begin = 0, end = text.size();
    while (begin < end && clipboard_blank(text[begin]))
        ++begin;
    while (end > begin && clipboard_blank(text[end - 1]))
        --end;
    text = text.mid(begin, end - begin);
    if (text.isEmpty() || text.size() > kMaxLinkChars) return {};
    for (QChar c : text) {
        if (c.unicode() <= 32) return {};
    }
    qsizetype sep = text.indexOf(QStringLiteral("://"));
    if (sep <= 0 || sep + 3 >= text.size()) return {};
    QString scheme = text.left(sep).toLower();
    if (scheme != u"http" && scheme != u"https" && scheme != u"ftp" && scheme != u"ftps") return {};
    return text;
}

std::string typed_link(const QString& field) {
    std::string text = field.left(kMaxLinkChars).toStdString();
    size_t begin = 0, end = text.size();
    while (begin < end && typed_blank(text[begin]))
        ++begin;
    while (end > begin && typed_blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

QString clipboard_links(const QString& clipboard) {
    QStringList links;
    const QStringList lines =
        clipboard.left(kClipboardReadChars).split(QRegularExpression(QStringLiteral("[\r\n]")));
    for (const QString& line : lines) {
        if (line.trimmed().isEmpty()) continue;
        QString link = clipboard_link(line);
        if (link.isEmpty()) return {};
        links << link;
    }
    return links.join(QLatin1Char(' '));
}

std::vector<std::string> typed_links(const QString& field) {
    std::vector<std::string> links;
    std::string text = field.left(kMaxFieldChars).toStdString();
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && typed_blank(text[at]))
            ++at;
        size_t end = at;
        while (end < text.size() && !typed_blank(text[end]))
            ++end;
        if (end > at) links.push_back(text.substr(at, end - at));
        at = end;
    }
    return links;
}

QString link_problem(const std::string& link) {
    UrlParts parts;
    if (link.size() <= static_cast<size_t>(kMaxLinkChars) && parse_url(link, parts)) return {};
    QString shown = QString::fromStdString(link.substr(0, 80));
    if (link.size() > 80) shown += QStringLiteral("…");
    return t("new.invalid_link") + shown;
}

DownloadStarter::DownloadStarter(Add add, QObject* parent) : QObject(parent), m_add(std::move(add)) {}

DownloadStarter::~DownloadStarter() {
    std::list<std::thread> workers;
    {
        std::lock_guard lock(m_lock);
        workers.swap(m_workers);
    }
    for (std::thread& worker : workers)
        worker.join();
}

void DownloadStarter::start(const std::vector<std::string>& urls, int64_t connections) {
    if (urls.empty()) return;
    std::lock_guard lock(m_lock);
    m_workers.emplace_back([this, urls, connections] {
        for (size_t i = 0; i < urls.size(); ++i) {
            std::string error;
            bool ok = false;
            if (m_add) {
                ok = m_add(urls[i], connections, error);
            } else {
                error = "engine not running";
            }
            const bool last = i + 1 == urls.size();
            std::thread::id self = std::this_thread::get_id();
            QString text = QString::fromStdString(error);
            // Each result goes to the UI thread as a queued call; the last one also reaps this
            // thread.
            QMetaObject::invokeMethod(
                this,
                [this, self, ok, text, last] {
                    if (last) join(self);
                    emit finished(ok, text);
                },
                Qt::QueuedConnection);
        }
    });
}

void DownloadStarter::join(std::thread::id id) {
    std::thread worker;
    {
        std::lock_guard lock(m_lock);
        for (auto it = m_workers.begin(); it != m_workers.end(); ++it) {
            if (it->get_id() == id) {
                worker = std::move(*it);
                m_workers.erase(it);
                break;
            }
        }
    }
    if (worker.joinable()) worker.join();
}

NewDownloadDialog::NewDownloadDialog(std::function<void(const std::string&)> start, QWidget* owner)
    : QDialog(owner), m_start(std::move(start)) {
    setObjectName(QStringLiteral("TWKNewDialog"));
    setWindowTitle(t("new.title"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(kClientWidth, kClientHeight);
    setModal(true);
    setStyleSheet(dialog_style_sheet());

    m_field = new QLineEdit;
    m_field->setFont(control_font());
    m_field->setPlaceholderText(t("new.placeholder"));
    m_field->setMaxLength(static_cast<int>(kMaxFieldChars));
    m_field->setFixedHeight(static_cast<int>(kFieldHeight));
    m_problem = new QLabel;
    m_problem->setFont(hint_font());
    m_problem->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    QPalette red = m_problem->palette();
    red.setColor(QPalette::WindowText, kError);
    m_problem->setPalette(red);
    auto* buttons = button_box();
    m_download = push_button(t("new.download"), true);
    m_download->setEnabled(false);
    buttons->addButton(m_download, QDialogButtonBox::AcceptRole);
    buttons->addButton(push_button(t("dialog.cancel"), false), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &NewDownloadDialog::accept_link);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_field, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_download->setEnabled(!typed_links(text).empty());
        show_error({});
    });

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(static_cast<int>(kMargin), 18, static_cast<int>(kMargin), 18);
    column->setSpacing(0);
    column->addWidget(title_label(t("new.title"), 15));
    column->addSpacing(10);
    column->addWidget(heading_label(t("new.link")));
    column->addSpacing(6);
    column->addWidget(m_field);
    column->addSpacing(6);
    column->addWidget(m_problem);
    column->addStretch(1);
    column->addWidget(buttons);
    m_field->setFocus();
}

void NewDownloadDialog::show_error(const QString& error) {
    m_error = error;
    QFontMetricsF metrics(m_problem->font(), this);
    m_problem->setText(metrics.elidedText(error, Qt::ElideMiddle, kClientWidth - 2 * kMargin));
    m_problem->setToolTip(error);
}

bool NewDownloadDialog::download_enabled() const { return m_download->isEnabled(); }

void NewDownloadDialog::prefill(const QString& clipboard_text) {
    QString links = clipboard_links(clipboard_text);
    if (!links.isEmpty()) m_field->setText(links);
    m_field->setFocus();
    m_field->selectAll();
}

void NewDownloadDialog::accept_link() {
    const std::vector<std::string> links = typed_links(m_field->text());
    if (links.empty()) return;
    for (const std::string& link : links) {
        QString problem = link_problem(link);
        if (!problem.isEmpty()) {
            show_error(problem);
            return;
        }
    }
    if (m_start) {
        for (const std::string& link : links)
            m_start(link);
    }
    accept();
}

void NewDownloadDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    place_over_owner(this, parentWidget());
}

void NewDownloadDialog::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: accept_link(); return;
    case Qt::Key_Escape: reject(); return;
    default: QDialog::keyPressEvent(event);
    }
}

} // namespace twk::ui

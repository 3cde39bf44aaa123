#include "ui/refresh_link_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/new_download_dialog.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

// This dialog's own texts, as (Chinese, English) pairs like the app's table.
constexpr TextPair kTitle{"刷新链接", "Refresh Link"};
constexpr TextPair kMenu{"刷新链接…", "Refresh Link…"};
constexpr TextPair kPrompt{"为 %1 粘贴新链接。同一文件的链接会从中断处继续，已下载的部分不会重新获取。",
                           "Paste a new link for %1. A link to the same file continues where the download "
                           "stopped, without fetching again what it has."};
constexpr TextPair kContinue{"继续", "Continue"};
constexpr TextPair kChecking{"正在检查新链接…", "Checking the new link…"};
constexpr TextPair kCancel{"取消", "Cancel"};

QString t(const TextPair& pair) {
    return QString::fromUtf8(language_is_chinese() ? pair.chinese : pair.english);
}

} // namespace

QString refresh_link_menu_text() { return t(kMenu); }

RefreshLinkDialog::RefreshLinkDialog(const QString& name, Refresh refresh, QWidget* owner)
    : QDialog(owner), m_refresh(std::move(refresh)) {
    setObjectName(QStringLiteral("TWKRefreshLinkDialog"));
    setWindowTitle(t(kTitle));
    setModal(true);
    setMinimumWidth(480);

    auto* prompt = new QLabel(t(kPrompt).arg(name), this);
    prompt->setWordWrap(true);
    m_field = new QLineEdit(this);
    m_field->setMaxLength(static_cast<int>(kMaxLinkChars));
    m_field->setPlaceholderText(QStringLiteral("https://"));
    m_error = new QLabel(this);
    m_error->setObjectName(QStringLiteral("error"));
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #c42b1c;"));
    m_error->hide();
    auto* buttons = new QDialogButtonBox(this);
    m_continue = buttons->addButton(t(kContinue), QDialogButtonBox::AcceptRole);
    buttons->addButton(t(kCancel), QDialogButtonBox::RejectRole);
    m_continue->setDefault(true);
    m_continue->setEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addWidget(m_field);
    layout->addWidget(m_error);
    layout->addWidget(buttons);

    connect(m_field, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_continue->setEnabled(!checking() && !typed_link(text).empty());
        m_error->hide();
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &RefreshLinkDialog::submit);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    m_field->setFocus();
}

RefreshLinkDialog::~RefreshLinkDialog() {
    if (m_worker.joinable()) m_worker.join();
}

QString RefreshLinkDialog::error_text() const { return m_error->isHidden() ? QString() : m_error->text(); }

void RefreshLinkDialog::show_error(const QString& error) {
    m_error->setText(error);
    m_error->show();
}

void RefreshLinkDialog::submit() {
    if (checking()) return;
    const std::string link = typed_link(m_field->text());
    if (link.empty()) return;
    if (QString problem = link_problem(link); !problem.isEmpty()) {
        show_error(problem);
        return;
    }
    if (m_worker.joinable()) m_worker.join();
    m_done = false;
    m_field->setEnabled(false);
    m_continue->setEnabled(false);
    show_error(t(kChecking));
    m_error->setStyleSheet(QString());
    m_worker = std::thread([this, link] {
        std::string error;
        const bool ok = m_refresh ? m_refresh(link, error) : (error = "engine not running", false);
        // Queued to the UI thread; a dialog destroyed meanwhile has joined this thread first,
        // and Qt drops what is still queued for it.
        QMetaObject::invokeMethod(
            this, [this, ok, text = QString::fromStdString(error)] { finish(ok, text); },
            Qt::QueuedConnection);
    });
}

void RefreshLinkDialog::finish(bool ok, const QString& error) {
    m_done = true;
    if (m_worker.joinable()) m_worker.join();
    m_field->setEnabled(true);
    m_continue->setEnabled(true);
    m_error->setStyleSheet(QStringLiteral("color: #c42b1c;"));
    if (ok) {
        m_error->hide();
        accept();
        return;
    }
    show_error(error);
    m_field->setFocus();
}

} // namespace twk::ui

#include "ui/duplicate_prompt.h"

#include <QAbstractButton>
#include <QPushButton>

#include "ui/text_table.h"
#include "ui/window_texts.h"

namespace twk::ui {
namespace {

QString wt(WindowText text) { return QString::fromUtf8(window_text(text)); }

QString offer_text(app::DuplicateOffer offer) {
    switch (offer) {
    case app::DuplicateOffer::OpenExisting: return wt(WindowText::OpenExisting);
    case app::DuplicateOffer::DownloadAgain: return wt(WindowText::DownloadAgain);
    case app::DuplicateOffer::Resume: break;
    }
    return wt(WindowText::ResumeExisting);
}

} // namespace

DuplicatePrompt::DuplicatePrompt(const app::DuplicateFinding& finding, const QString& name, QWidget* parent)
    : QMessageBox(parent) {
    setObjectName(QStringLiteral("TWKDuplicatePrompt"));
    setIcon(QMessageBox::Warning);
    setWindowTitle(wt(WindowText::DuplicateTitle));
    if (finding.kind == app::DuplicateKind::SameUrl)
        setText(wt(WindowText::DuplicateUrl).arg(name));
    else
        setText(wt(WindowText::DuplicateFile).arg(QString::fromStdString(finding.path)));
    for (app::DuplicateOffer offer : finding.offers) {
        QPushButton* button = addButton(offer_text(offer), QMessageBox::AcceptRole);
        m_offers.emplace_back(button, offer);
        if (m_offers.size() == 1) setDefaultButton(button);
    }
    QPushButton* cancel = addButton(QString::fromUtf8(tr_text(45)), QMessageBox::RejectRole);
    setEscapeButton(cancel);
}

std::optional<app::DuplicateOffer> DuplicatePrompt::chosen() const {
    for (const auto& [button, offer] : m_offers)
        if (clickedButton() == button) return offer;
    return std::nullopt;
}

QAbstractButton* DuplicatePrompt::button_for(app::DuplicateOffer offer) const {
    for (const auto& [button, o] : m_offers)
        if (o == offer) return button;
    return nullptr;
}

namespace {

// `download` saved at `path` exactly: its folder and name.
NewDownload saved_at(NewDownload download, const std::string& path) {
    const size_t slash = path.rfind('/');
    download.folder = slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
    download.name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    return download;
}

} // namespace

DuplicateStep duplicate_step(const app::DuplicateFinding& finding, app::DuplicateOffer offer,
                             const NewDownload& download, const std::string& planned) {
    using Kind = DuplicateStep::Kind;
    DuplicateStep step;
    const bool same_url = finding.kind == app::DuplicateKind::SameUrl;
    switch (offer) {
    case app::DuplicateOffer::OpenExisting:
        if (same_url && (finding.state == kQueued || finding.state == kRunning)) {
            step.kind = Kind::ShowRow;
            step.task = finding.task;
        } else {
            step.kind = Kind::OpenFile;
            step.path = finding.path;
        }
        return step;
    case app::DuplicateOffer::Resume:
        if (same_url) {
            step.kind = finding.state == kPaused ? Kind::Resume : Kind::Retry;
            step.task = finding.task;
        } else {
            // The file's own name in its own folder finds its resume state.
            step.download = saved_at(download, finding.path);
        }
        return step;
    case app::DuplicateOffer::DownloadAgain: break;
    }
    const std::string target = finding.again_path.empty() ? app::free_path(planned) : finding.again_path;
    step.download = target == planned ? download : saved_at(download, target);
    return step;
}

std::optional<app::DuplicateOffer> ask_about_duplicate(const app::DuplicateFinding& finding,
                                                       const QString& name, QWidget* parent) {
    DuplicatePrompt prompt(finding, name, parent);
    prompt.exec();
    return prompt.chosen();
}

} // namespace twk::ui

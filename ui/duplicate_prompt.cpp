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

std::optional<app::DuplicateOffer> ask_about_duplicate(const app::DuplicateFinding& finding,
                                                       const QString& name, QWidget* parent) {
    DuplicatePrompt prompt(finding, name, parent);
    prompt.exec();
    return prompt.chosen();
}

} // namespace twk::ui

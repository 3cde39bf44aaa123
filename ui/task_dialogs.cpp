#include "ui/task_dialogs.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

#include <utility>
#include <vector>

#include "core/status_document.h"
#include "ui/row_text.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

QString t(const char* key) { return QString::fromUtf8(tr(key)); }
QString q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString failure_text(FailureCategory failure) {
    switch (failure) {
    case FailureCategory::kNone: return {};
    case FailureCategory::kStale:
    case FailureCategory::kConnect: return t("failure.connect");
    case FailureCategory::kTls: return t("failure.tls");
    case FailureCategory::kProxy: return t("failure.proxy");
    case FailureCategory::kHttpStatus:
    case FailureCategory::kProtocol: return t("failure.server");
    case FailureCategory::kIo: return t("failure.local");
    case FailureCategory::kOther: return t("failure.other");
    }
    return {};
}

// The details as (label, value) pairs, in order.
std::vector<std::pair<QString, QString>> details(const TaskView& task, const std::string& folder) {
    QString size = task.total ? q(format_size(static_cast<double>(task.total))) : t("details.size_unknown");
    if (task.state() != ViewState::Done)
        size = q(format_size(static_cast<double>(task.done))) + QStringLiteral(" / ") + size;
    std::vector<std::pair<QString, QString>> lines{
        {t("details.status"), q(display_status(task.status))},
        {t("details.link"), q(task.url)},
        {t("details.folder"), q(folder)},
        {t("details.size"), size},
        {t("details.connections"), QString::number(task.connections)}};
    if (task.failure != FailureCategory::kNone)
        lines.emplace_back(t("details.failure"), failure_text(task.failure));
    return lines;
}

} // namespace

QString row_tooltip(const TaskView& task) {
    QStringList lines{q(display_status(task.status)), q(task.name)};
    if (!task.url.empty()) lines << q(task.url);
    return lines.join(QLatin1Char('\n'));
}

QString details_text(const TaskView& task, const std::string& folder) {
    QStringList lines;
    for (const auto& [label, value] : details(task, folder))
        lines << label + QStringLiteral(": ") + value;
    return lines.join(QLatin1Char('\n'));
}

QDialog* open_details(QWidget* owner, const TaskView& task, const std::string& folder) {
    auto* dialog = new QDialog(owner);
    dialog->setObjectName(QStringLiteral("TWKDetails"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(q(task.name));
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    for (const auto& [label, value] : details(task, folder)) {
        auto* field = new QLabel(value);
        field->setWordWrap(true);
        field->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        field->setMinimumWidth(320);
        form->addRow(label + QLatin1Char(':'), field);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    auto* layout = new QVBoxLayout(dialog);
    layout->addLayout(form);
    layout->addWidget(buttons);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->open();
    return dialog;
}

bool ask_before_deleting(QWidget* owner, const TaskView&) {
    QMessageBox box(QMessageBox::Question, t("delete.running_title"), t("delete.running_body"),
                    QMessageBox::NoButton, owner);
    QPushButton* remove = box.addButton(t("action.delete"), QMessageBox::DestructiveRole);
    box.addButton(t("dialog.cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(remove);
    box.exec();
    return box.clickedButton() == remove;
}

} // namespace twk::ui

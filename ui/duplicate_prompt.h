// The warning New shows when the link is already in the list or its file is already there
// (app/duplicate_check.h): a message box with a button per offer, the first one the default,
// and Cancel.
#pragma once

#include <QMessageBox>
#include <QString>

#include <optional>
#include <vector>

#include "app/duplicate_check.h"

namespace twk::ui {

class DuplicatePrompt : public QMessageBox {
    Q_OBJECT
public:
    // `name`: the list's name for the task, or the file's name.
    DuplicatePrompt(const app::DuplicateFinding& finding, const QString& name, QWidget* parent);
    // The offer whose button closed it; nothing for Cancel.
    std::optional<app::DuplicateOffer> chosen() const;
    QAbstractButton* button_for(app::DuplicateOffer offer) const;

private:
    std::vector<std::pair<QAbstractButton*, app::DuplicateOffer>> m_offers;
};

// Runs the prompt modally.
std::optional<app::DuplicateOffer> ask_about_duplicate(const app::DuplicateFinding& finding,
                                                       const QString& name, QWidget* parent);

} // namespace twk::ui

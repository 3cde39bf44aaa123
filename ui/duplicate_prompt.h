// The warning New shows when the link is already in the list or its file is already there
// (app/duplicate_check.h): a message box with a button per offer, the first one the default,
// and Cancel.
#pragma once

#include <QMessageBox>
#include <QString>

#include <optional>
#include <vector>

#include "app/duplicate_check.h"
#include "ui/engine_link.h"

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

// What an answer to the prompt does.
struct DuplicateStep {
    enum class Kind {
        Add,      // adds `download`
        Resume,   // resumes the paused task `task`
        Retry,    // runs task `task` again, from its resume state where it fits
        OpenFile, // opens the file at `path`
        ShowRow,  // selects task `task`'s row
    };
    Kind kind = Kind::Add;
    NewDownload download;
    int32_t task = 0;
    std::string path;
};

// The step for `offer` about `download`, which would be saved at `planned` (its folder and
// name, app::planned_path). "Download again" never lands on a file or resume state that is
// there: it then saves under the first free "stem (N).ext" name.
DuplicateStep duplicate_step(const app::DuplicateFinding& finding, app::DuplicateOffer offer,
                             const NewDownload& download, const std::string& planned);

// Runs the prompt modally.
std::optional<app::DuplicateOffer> ask_about_duplicate(const app::DuplicateFinding& finding,
                                                       const QString& name, QWidget* parent);

} // namespace twk::ui

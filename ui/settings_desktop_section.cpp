// The desktop, browser-extension and download-folder sections of the Settings dialog.
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetricsF>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/dialog_parts.h"
#include "ui/palette.h"
#include "ui/settings_sections.h"
#include "ui/settings_texts.h"
#include "ui/text_table.h"
#include "ui/theme.h"

namespace twk::ui {
namespace {

constexpr int kStatusOffset = 66;
constexpr int kListHeight = 28;

QString t(const char* key) { return QString::fromUtf8(tr(key)); }
QString st(SettingsText text) { return QString::fromUtf8(settings_text(text)); }

QVBoxLayout* section_column(QWidget* section) {
    auto* column = new QVBoxLayout(section);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    return column;
}

void set_text_colour(QWidget* widget, const QColor& colour) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, colour);
    widget->setPalette(pal);
}

// How a browser's status reads: its colour and weight.
void show_status(QLabel* label, app::BrowserStatus status) {
    QColor colour = theme_colors().grey(50);
    int weight = 400;
    if (status == app::BrowserStatus::NotInstalled) colour = theme_colors().grey(40);
    if (status == app::BrowserStatus::Connected) {
        colour = kAccent;
        weight = 500;
    }
    label->setFont(ui_font(12, weight));
    set_text_colour(label, colour);
    label->setText(QString::fromUtf8(tr_text(app::browser_status_text(status))));
}

} // namespace

DesktopSection::DesktopSection(const app::Settings& s, bool launch_at_login) {
    auto* column = section_column(this);
    column->addWidget(heading_label(st(SettingsText::DesktopHeading)));
    column->addSpacing(8);
    launch = check_box(t("settings.autostart"), launch_at_login);
    update_check = check_box(t("settings.updates"), s.auto_update_check);
    notices = check_box(st(SettingsText::Notices), s.notifications);
    tray = check_box(st(SettingsText::CloseToTray), s.close_to_tray);
    clipboard = check_box(st(SettingsText::ClipboardWatch), s.clipboard_watch);
    for (QCheckBox* box : {launch, update_check, notices, tray, clipboard}) {
        column->addWidget(box);
        column->addSpacing(6);
    }
    column->addSpacing(4);

    auto* form = section_form();
    queue_end = new QComboBox;
    style_combo_box(queue_end);
    for (SettingsText text :
         {SettingsText::QueueEndNothing, SettingsText::QueueEndSuspend, SettingsText::QueueEndPowerOff})
        queue_end->addItem(st(text));
    queue_end->setCurrentIndex(s.queue_end_action);
    queue_end->setFixedHeight(kListHeight);
    form->addRow(field_label(st(SettingsText::QueueEnd)), queue_end);

    outage = number_field(s.live_outage_limit);
    auto* outage_row = new QHBoxLayout;
    outage_row->setSpacing(8);
    outage_row->addWidget(outage);
    outage_row->addWidget(field_label(st(SettingsText::LiveOutageUnit)));
    outage_row->addStretch(1);
    form->addRow(field_label(st(SettingsText::LiveOutage)), outage_row);
    column->addLayout(form);
}

FieldProblem DesktopSection::read(app::SettingsForm& form) const {
    form.launch_at_login = launch->isChecked();
    form.auto_update_check = update_check->isChecked();
    form.notifications = notices->isChecked();
    form.close_to_tray = tray->isChecked();
    form.clipboard_watch = clipboard->isChecked();
    form.queue_end_action = queue_end->currentIndex();
    int32_t seconds = 0;
    QString problem = number_problem(outage->text(), 1, static_cast<int32_t>(kMaxLiveOutageLimit),
                                     SettingsText::BadLiveOutage, seconds);
    if (!problem.isEmpty()) return {problem, outage};
    form.live_outage_limit = seconds;
    return {};
}

ExtensionSection::ExtensionSection() {
    auto* column = section_column(this);
    column->addWidget(heading_label(t("extension.title")));
    column->addSpacing(6);
    auto* browsers = new QGridLayout;
    browsers->setHorizontalSpacing(10);
    browsers->setVerticalSpacing(6);
    browsers->setColumnMinimumWidth(0, kStatusOffset - 10);
    browsers->setColumnStretch(1, 1);
    for (size_t i = 0; i < get.size(); ++i) {
        const int row = static_cast<int>(i);
        m_names[i] = new QLabel(QString::fromUtf8(app::kBrowsers[i].name));
        m_names[i]->setFont(ui_font(12, 500));
        m_states[i] = new QLabel;
        m_states[i]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        get[i] = push_button(t("extension.get"), false);
        get[i]->setEnabled(false);
        browsers->addWidget(m_names[i], row, 0);
        browsers->addWidget(m_states[i], row, 1);
        browsers->addWidget(get[i], row, 2);
    }
    column->addLayout(browsers);
    column->addSpacing(6);
    column->addWidget(hint_label(t("extension.note")));
}

void ExtensionSection::set_rows(const std::array<app::BrowserRow, 3>& rows) {
    m_rows = rows;
    for (size_t i = 0; i < rows.size(); ++i) {
        get[i]->setEnabled(rows[i].installed);
        set_text_colour(m_names[i], rows[i].installed ? theme_colors().text : theme_colors().grey(40));
        show_status(m_states[i], app::browser_status(rows[i]));
    }
}

PathLabel::PathLabel() { setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred); }

void PathLabel::set_path(const QString& path) {
    m_path = path;
    setToolTip(path);
    update();
}

void PathLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setFont(font());
    p.setPen(theme_colors().text);
    QFontMetricsF m(font(), this);
    p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, m.elidedText(m_path, Qt::ElideMiddle, width()));
}

FolderSection::FolderSection(const QString& folder) {
    auto* column = section_column(this);
    column->addWidget(heading_label(t("settings.folder")));
    column->addSpacing(6);
    auto* row = new QHBoxLayout;
    row->setSpacing(12);
    m_folder = new PathLabel;
    m_folder->setFont(control_font());
    m_folder->set_path(folder);
    choose = push_button(t("settings.choose"), false);
    row->addWidget(m_folder, 1);
    row->addWidget(choose);
    column->addLayout(row);
}

} // namespace twk::ui

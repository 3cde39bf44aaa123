// The proxy and downloads sections of the Settings dialog, and the pieces every section uses.
#include "ui/settings_sections.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include "ui/dialog_parts.h"
#include "ui/palette.h"
#include "ui/settings_texts.h"
#include "ui/text_table.h"
#include "ui/theme.h"

namespace twk::ui {
namespace {

constexpr int kListWidth = 88;
constexpr int kListHeight = 28;
constexpr int kListPopupHeight = 200;

QString t(const char* key) { return QString::fromUtf8(tr(key)); }
QString st(SettingsText text) { return QString::fromUtf8(settings_text(text)); }

QComboBox* number_list(int first, int last, int current) {
    auto* box = new QComboBox;
    style_combo_box(box);
    for (int n = first; n <= last; ++n)
        box->addItem(QString::number(n));
    box->setCurrentIndex(current - first);
    box->setMaxVisibleItems(last - first + 1);
    box->setFixedSize(kListWidth, kListHeight);
    box->view()->setMaximumHeight(kListPopupHeight);
    return box;
}

// A field followed by its unit, on one line.
QHBoxLayout* with_unit(QWidget* field, const QString& unit) {
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addWidget(field);
    row->addWidget(field_label(unit));
    row->addStretch(1);
    return row;
}

} // namespace

QCheckBox* check_box(const QString& text, bool on) {
    auto* box = new QCheckBox(text);
    style_check_box(box);
    box->setChecked(on);
    return box;
}

QLabel* field_label(const QString& text) {
    auto* label = new QLabel(text);
    label->setFont(control_font());
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, theme_colors().text);
    label->setPalette(pal);
    return label;
}

QLineEdit* number_field(int32_t value) {
    auto* field = new QLineEdit(QString::number(value));
    field->setFont(control_font());
    field->setFixedWidth(kListWidth);
    field->setMaxLength(12);
    field->setInputMethodHints(Qt::ImhDigitsOnly);
    return field;
}

QFormLayout* section_form() {
    auto* form = new QFormLayout;
    form->setContentsMargins(0, 0, 0, 0);
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(8);
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    return form;
}

ProxySection::ProxySection(const app::Settings& s) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(heading_label(t("settings.proxy")));
    column->addSpacing(8);
    follow = check_box(t("settings.system_proxy"), s.proxy_mode == app::kProxySystem);
    column->addWidget(follow);
    column->addSpacing(6);
    custom = check_box(t("settings.custom_proxy"), s.proxy_mode == app::kProxyCustom);
    column->addWidget(custom);
    column->addSpacing(7);
    proxy = new QLineEdit;
    proxy->setFont(control_font());
    proxy->setMaxLength(static_cast<int>(app::kMaxProxyText));
    proxy->setPlaceholderText(t("settings.proxy_placeholder"));
    proxy->setText(QString::fromStdString(s.proxy));
    column->addWidget(proxy);
    column->addSpacing(7);
    column->addWidget(hint_label(t("settings.proxy_note")));
    update_field();
}

void ProxySection::update_field() { proxy->setEnabled(custom->isChecked()); }

void ProxySection::read(app::SettingsForm& form) const {
    form.proxy_text = proxy->text().left(static_cast<qsizetype>(app::kMaxProxyText)).toStdString();
    form.custom_proxy = custom->isChecked();
    form.follow_system_proxy = follow->isChecked();
}

DownloadsSection::DownloadsSection(const app::Settings& s) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(heading_label(st(SettingsText::DownloadsHeading)));
    column->addSpacing(8);
    auto* form = section_form();

    connections = new QComboBox;
    style_combo_box(connections);
    for (int32_t n : app::kConnectionChoices)
        connections->addItem(QString::number(n));
    connections->setCurrentIndex(app::connection_choice_index(s.connections));
    connections->setMaxVisibleItems(static_cast<int>(app::kConnectionChoices.size()));
    connections->setFixedSize(kListWidth, kListHeight);
    connections->view()->setMaximumHeight(kListPopupHeight);
    form->addRow(field_label(t("settings.connections")), connections);
    form->addRow(hint_label(t("settings.connections_note")));

    per_server = number_field(s.max_per_host);
    form->addRow(field_label(st(SettingsText::PerServer)), per_server);
    form->addRow(hint_label(st(SettingsText::PerServerNote)));

    at_once = number_list(app::kMinDownloadsAtOnce, app::kMaxDownloadsAtOnce, s.downloads_at_once);
    form->addRow(field_label(st(SettingsText::DownloadsAtOnce)), at_once);

    limit_on = check_box(st(SettingsText::SpeedLimitBox), s.speed_limit_on);
    limit = number_field(s.speed_limit_kib);
    form->addRow(limit_on, with_unit(limit, st(SettingsText::SpeedLimitUnit)));
    form->addRow(hint_label(st(SettingsText::SpeedLimitNote)));
    column->addLayout(form);
}

FieldProblem DownloadsSection::read(app::SettingsForm& form) const {
    form.connection_index = connections->currentIndex();
    form.downloads_at_once = app::kMinDownloadsAtOnce + at_once->currentIndex();
    form.speed_limit_on = limit_on->isChecked();
    int32_t value = 0;
    QString problem = number_problem(per_server->text(), app::kMinPerHost, app::kMaxPerHost,
                                     SettingsText::BadPerServer, value);
    if (!problem.isEmpty()) return {problem, per_server};
    form.max_per_host = value;
    problem = number_problem(limit->text(), app::kMinSpeedLimitKiB, app::kMaxSpeedLimitKiB,
                             SettingsText::BadSpeedLimit, value);
    if (!problem.isEmpty()) return {problem, limit};
    form.speed_limit_kib = value;
    return {};
}

} // namespace twk::ui

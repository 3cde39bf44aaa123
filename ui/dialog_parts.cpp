#include "ui/dialog_parts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QWidget>

#include <algorithm>

#include "ui/palette.h"
#include "ui/theme.h"

namespace twk::ui {
namespace {

// Dialogs are built when they open, so they take the colours of the theme in force then.
QColor field_fill() { return theme_colors().dark ? QColor(0x26, 0x26, 0x28) : QColor(Qt::white); }
QColor disabled_fill() { return theme_colors().dark ? QColor(0x2A, 0x2A, 0x2C) : QColor(0xED, 0xED, 0xEB); }

} // namespace

QColor heading_color() { return theme_colors().grey(55); }
QColor hint_color() { return theme_colors().grey(50); }

QFont heading_font() { return ui_font(12, 500); }
QFont hint_font() { return ui_font(11, 400); }
QFont control_font() { return ui_font(12, 400); }

void style_check_box(QCheckBox* box) {
    box->setFont(control_font());
    QPalette pal = box->palette();
    pal.setColor(QPalette::Window, theme_colors().background);
    pal.setColor(QPalette::WindowText, theme_colors().text);
    box->setPalette(pal);
}

void style_combo_box(QComboBox* box) {
    box->setFont(control_font());
    QPalette pal = box->palette();
    pal.setColor(QPalette::Button, field_fill());
    pal.setColor(QPalette::ButtonText, theme_colors().text);
    pal.setColor(QPalette::Window, theme_colors().background);
    box->setPalette(pal);
}

QString dialog_style_sheet() {
    auto rgba = [](const QColor& c) {
        return QStringLiteral("rgba(%1, %2, %3, %4)")
            .arg(c.red())
            .arg(c.green())
            .arg(c.blue())
            .arg(c.alpha());
    };
    const ThemeColors& c = theme_colors();
    return QStringLiteral(
               "QDialog { background: %1; }"
               "QScrollArea, QScrollArea > QWidget > QWidget#TWKDialogContent { background: %1; }"
               "QLineEdit { background: %10; border: 1px solid %2; border-radius: 7px;"
               " padding: 0px 4px; min-height: 26px; color: %3; }"
               "QLineEdit:disabled { background: %4; border-color: %5; color: %7; }"
               "QPushButton { background: %10; border: 1px solid %2; border-radius: 7px;"
               " min-height: 28px; min-width: 54px; padding: 0px 15px; color: %6; }"
               "QPushButton:hover { border-color: %7; }"
               "QPushButton:disabled { background: %4; border-color: %5; color: %7; }"
               "QPushButton[primary=\"true\"] { background: %8; border: 1px solid %8; color: white; }"
               "QPushButton[primary=\"true\"]:hover { background: %9; border-color: %9; }"
               "QPushButton[primary=\"true\"]:disabled { background: %4; border-color: %5; color: %7; }")
        .arg(c.background.name(), rgba(c.grey(12)), c.text.name(), disabled_fill().name(), rgba(c.grey(8)),
             rgba(c.grey(80)), rgba(c.grey(40)), c.accent.name(), c.accent_hover.name())
        .arg(field_fill().name());
}

QLabel* title_label(const QString& text, double pixels) {
    auto* label = new QLabel(text);
    label->setFont(ui_font(pixels, 600));
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, theme_colors().text);
    label->setPalette(pal);
    return label;
}

QLabel* heading_label(const QString& text) {
    auto* label = new QLabel(text);
    label->setFont(heading_font());
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, heading_color());
    label->setPalette(pal);
    return label;
}

QLabel* hint_label(const QString& text) {
    auto* label = new QLabel(text);
    label->setFont(hint_font());
    label->setWordWrap(true);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, hint_color());
    label->setPalette(pal);
    return label;
}

QPushButton* push_button(const QString& text, bool primary) {
    auto* button = new QPushButton(text);
    button->setFont(ui_font(12, primary ? 600 : 400));
    button->setProperty("primary", primary);
    button->setMinimumWidth(84);
    button->setFixedHeight(static_cast<int>(kPushButtonHeight));
    button->setAutoDefault(false);
    return button;
}

QDialogButtonBox* button_box() {
    auto* box = new QDialogButtonBox;
    // The accepting button rightmost, Cancel left of it, on every desktop.
    box->setStyleSheet(QStringLiteral("QDialogButtonBox { button-layout: 3; }"));
    return box;
}

QRect place_dialog(const QRect& owner, const QSize& outer, const QRect& work_area) {
    QRect r(QPoint(0, 0), outer);
    r.moveCenter(owner.center());
    if (work_area.isEmpty()) return r;
    if (r.right() > work_area.right()) r.moveRight(work_area.right());
    if (r.bottom() > work_area.bottom()) r.moveBottom(work_area.bottom());
    if (r.left() < work_area.left()) r.moveLeft(work_area.left());
    if (r.top() < work_area.top()) r.moveTop(work_area.top());
    return r;
}

void place_over_owner(QWidget* dialog, QWidget* owner) {
    QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    QRect work = screen ? screen->availableGeometry() : QRect();
    QRect owner_frame = owner ? owner->frameGeometry() : work;
    // The frame is known once the window manager has decorated the dialog; until then its
    // client size stands for it.
    QSize frame_extra = dialog->frameGeometry().size() - dialog->geometry().size();
    QRect outer = place_dialog(owner_frame, dialog->size() + frame_extra, work);
    dialog->move(outer.topLeft());
}

} // namespace twk::ui

// What the New Download and Settings dialogs share: their style sheet, push buttons, section
// headings and hint texts, the look of their child controls, and where a dialog is placed.
// Lengths are 96-dpi pixels.
#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QPushButton;
class QWidget;

namespace twk::ui {

inline constexpr double kPushButtonHeight = 30;
inline constexpr double kPushButtonGap = 10;

QFont heading_font();   // section headings: 12 px, weight 500
QFont hint_font();      // hints: 11 px
QFont control_font();   // the child controls' font: 12 px regular
QColor heading_color(); // grey 55% of the theme's text
QColor hint_color();    // grey 50%

// The child controls in the dialogs' colours.
void style_check_box(QCheckBox* box);
void style_combo_box(QComboBox* box);

// The dialogs' look as a style sheet: the background, rounded fields, and push buttons (the
// primary one, with the property "primary" set, in the accent colour).
QString dialog_style_sheet();
// Widgets in the dialogs' fonts and colours.
QLabel* title_label(const QString& text, double pixels);
QLabel* heading_label(const QString& text);
QLabel* hint_label(const QString& text); // wraps
QPushButton* push_button(const QString& text, bool primary);
// A button box that puts the accepting button rightmost.
QDialogButtonBox* button_box();

// The dialog's outer rectangle of `outer` size centred on `owner` and then moved inside
// `work_area`: right and bottom edges pulled in first, then left and top.
QRect place_dialog(const QRect& owner, const QSize& outer, const QRect& work_area);
// Places `dialog` so over its owner's window and screen.
void place_over_owner(QWidget* dialog, QWidget* owner);

} // namespace twk::ui

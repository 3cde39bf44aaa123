// The drawing elements the New Download and Settings dialogs share: push buttons, field frames,
// section headings and hint texts, the look of their real child controls, and where a dialog is
// placed. Lengths are 96-dpi pixels.
#pragma once

#include <QColor>
#include <QPainter>
#include <QRect>
#include <QRectF>
#include <QString>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QWidget;

namespace twk::ui {

enum class ButtonKind { Primary, Secondary };

struct PushButton {
    QString label;
    ButtonKind kind = ButtonKind::Secondary;
    bool enabled = true;
    QRectF rect;
};

inline constexpr double kPushButtonHeight = 30;
inline constexpr double kPushButtonGap = 10;

// max(84, label width + 30).
double push_button_width(const PushButton& button);
// Lays `buttons` out from the right: the first one's right edge at `right`, each next one 10
// pixels to the left of the one before.
void place_buttons_from_right(PushButton* const* buttons, int count, double right, double top);
void paint_push_button(QPainter& p, const PushButton& button, bool hovered);

// A rounded field frame; white with a light border while enabled, greyed while disabled.
void paint_field_frame(QPainter& p, const QRectF& frame, bool enabled);
// Where the borderless edit sits inside `frame`: inset 9 left and right, 18 high, centred.
QRect field_edit_rect(const QRectF& frame);

QFont heading_font();                                          // section headings: 12 px, weight 500
QFont hint_font();                                             // hints: 11 px
QFont control_font();                                          // the child controls' font: 12 px regular
inline QColor heading_color() { return QColor(0, 0, 0, 140); } // grey 55%
inline QColor hint_color() { return QColor(0, 0, 0, 128); }    // grey 50%

// Text drawn with its top at `top`.
void paint_text_at(QPainter& p, const QString& text, const QFont& font, const QColor& color, double x,
                   double top);
// A hint wrapped to `width`; its height.
double hint_height(const QString& text, double width);
void paint_hint(QPainter& p, const QString& text, const QRectF& box);

// The child controls in the dialogs' colours.
void style_line_edit(QLineEdit* edit);
void style_check_box(QCheckBox* box);
void style_combo_box(QComboBox* box);

// The dialog's outer rectangle of `outer` size centred on `owner` and then moved inside
// `work_area`: right and bottom edges pulled in first, then left and top.
QRect place_dialog(const QRect& owner, const QSize& outer, const QRect& work_area);
// Places `dialog` so over its owner's window and screen.
void place_over_owner(QWidget* dialog, QWidget* owner);

} // namespace twk::ui

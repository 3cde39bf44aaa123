#include "ui/dialog_parts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPalette>
#include <QScreen>
#include <QWidget>

#include <algorithm>

#include "ui/palette.h"

namespace twk::ui {
namespace {

constexpr double kCornerRadius = 7;
constexpr double kFieldInset = 9;
constexpr double kEditHeight = 18;
const QColor kDisabledFill{0xED, 0xED, 0xEB};
const QColor kDisabledEditText{0x8C, 0x8C, 0x8C};

QFont button_font(const PushButton& b) {
    return ui_font(12, b.kind == ButtonKind::Primary && b.enabled ? 600 : 400);
}

} // namespace

QFont heading_font() { return ui_font(12, 500); }
QFont hint_font() { return ui_font(11, 400); }
QFont control_font() { return ui_font(12, 400); }

double push_button_width(const PushButton& button) {
    QFontMetricsF m(button_font(button));
    return std::max(84.0, m.horizontalAdvance(button.label) + 30);
}

void place_buttons_from_right(PushButton* const* buttons, int count, double right, double top) {
    for (int i = 0; i < count; ++i) {
        double w = push_button_width(*buttons[i]);
        buttons[i]->rect = QRectF(right - w, top, w, kPushButtonHeight);
        right -= w + kPushButtonGap;
    }
}

void paint_push_button(QPainter& p, const PushButton& b, bool hovered) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QColor fill, border = Qt::transparent, label;
    if (!b.enabled) {
        fill = kDisabledFill;
        border = grey(8);
        label = grey(40);
    } else if (b.kind == ButtonKind::Primary) {
        fill = hovered ? kAccentHover : kAccent;
        label = Qt::white;
    } else {
        fill = Qt::white;
        border = hovered ? grey(40) : grey(12);
        label = grey(80);
    }
    QRectF r = b.rect;
    if (border.alpha() > 0) {
        p.setPen(QPen(border, 1));
        r.adjust(0.5, 0.5, -0.5, -0.5);
    } else {
        p.setPen(Qt::NoPen);
    }
    p.setBrush(fill);
    p.drawRoundedRect(r, kCornerRadius, kCornerRadius);
    QFont font = button_font(b);
    p.setFont(font);
    p.setPen(label);
    p.drawText(b.rect, Qt::AlignCenter, b.label);
    p.restore();
}

void paint_field_frame(QPainter& p, const QRectF& frame, bool enabled) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(enabled ? grey(12) : grey(8), 1));
    p.setBrush(enabled ? QColor(Qt::white) : kDisabledFill);
    p.drawRoundedRect(frame.adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
    p.restore();
}

QRect field_edit_rect(const QRectF& frame) {
    return QRectF(frame.left() + kFieldInset, frame.center().y() - kEditHeight / 2,
                  frame.width() - 2 * kFieldInset, kEditHeight)
        .toRect();
}

void paint_text_at(QPainter& p, const QString& text, const QFont& font, const QColor& color, double x,
                   double top) {
    QFontMetricsF m(font, p.device());
    p.setFont(font);
    p.setPen(color);
    p.drawText(QPointF(x, top + m.ascent()), text);
}

double hint_height(const QString& text, double width) {
    QFontMetricsF m(hint_font());
    return m.boundingRect(QRectF(0, 0, width, 10000), Qt::TextWordWrap, text).height();
}

void paint_hint(QPainter& p, const QString& text, const QRectF& box) {
    p.save();
    p.setFont(hint_font());
    p.setPen(hint_color());
    p.drawText(box, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text);
    p.restore();
}

void style_line_edit(QLineEdit* edit) {
    edit->setFrame(false);
    edit->setFont(control_font());
    edit->setTextMargins(0, 0, 0, 0);
    edit->setContentsMargins(0, 0, 0, 0);
    QPalette pal = edit->palette();
    pal.setColor(QPalette::Active, QPalette::Base, Qt::white);
    pal.setColor(QPalette::Inactive, QPalette::Base, Qt::white);
    pal.setColor(QPalette::Active, QPalette::Text, kText);
    pal.setColor(QPalette::Inactive, QPalette::Text, kText);
    pal.setColor(QPalette::Disabled, QPalette::Base, kDisabledFill);
    pal.setColor(QPalette::Disabled, QPalette::Text, kDisabledEditText);
    pal.setColor(QPalette::PlaceholderText, grey(40));
    edit->setPalette(pal);
    edit->setAutoFillBackground(true);
}

void style_check_box(QCheckBox* box) {
    box->setFont(control_font());
    QPalette pal = box->palette();
    pal.setColor(QPalette::Window, kBackground);
    pal.setColor(QPalette::WindowText, kText);
    box->setPalette(pal);
}

void style_combo_box(QComboBox* box) {
    box->setFont(control_font());
    QPalette pal = box->palette();
    pal.setColor(QPalette::Button, Qt::white);
    pal.setColor(QPalette::ButtonText, kText);
    pal.setColor(QPalette::Window, kBackground);
    box->setPalette(pal);
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

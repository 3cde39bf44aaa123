#include "ui/row_painter.h"

#include <QFontMetricsF>
#include <QPainterPath>

#include <algorithm>
#include <map>
#include <tuple>

#include "ui/palette.h"
#include "ui/row_text.h"
#include "ui/text_table.h"
#include "ui/theme.h"

namespace twk::ui {
namespace {

// Row geometry, 96-dpi pixels.
constexpr double kSideMargin = 16;
constexpr double kCompactLine = 20; // centre of a compact row's text line
constexpr double kTallLine = 22;    // centre of a tall row's first line
constexpr double kBarTop = 38;
constexpr double kBarHeight = 12;
constexpr double kBottomLineTop = 57;
constexpr double kGap = 10;
constexpr double kInnerRadius = 3;
constexpr double kMaxRightShare = 0.55; // of the row's width, for a compact row's right-hand text
constexpr double kRecordingDot = 3.5;   // radius

QString q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool is_running(ViewState s) { return s == ViewState::Probing || s == ViewState::Downloading; }

// A rectangle with its own radius on the left and on the right.
QPainterPath rounded(const QRectF& r, double left, double right) {
    left = std::min({left, r.width() / 2, r.height() / 2});
    right = std::min({right, r.width() / 2, r.height() / 2});
    QPainterPath path;
    path.moveTo(r.left() + left, r.top());
    path.lineTo(r.right() - right, r.top());
    if (right > 0) path.arcTo(QRectF(r.right() - 2 * right, r.top(), 2 * right, 2 * right), 90, -90);
    path.lineTo(r.right(), r.bottom() - right);
    if (right > 0)
        path.arcTo(QRectF(r.right() - 2 * right, r.bottom() - 2 * right, 2 * right, 2 * right), 0, -90);
    path.lineTo(r.left() + left, r.bottom());
    if (left > 0) path.arcTo(QRectF(r.left(), r.bottom() - 2 * left, 2 * left, 2 * left), 270, -90);
    path.lineTo(r.left(), r.top() + left);
    if (left > 0) path.arcTo(QRectF(r.left(), r.top(), 2 * left, 2 * left), 180, -90);
    path.closeSubpath();
    return path;
}

// Draws `text` with its line box vertically centred on `centre_y`; returns the left edge used.
double draw_text(QPainter& p, const QString& text, const QFont& font, const QColor& color, double x,
                 double centre_y, bool right_aligned) {
    QFontMetricsF metrics(font, p.device());
    double width = metrics.horizontalAdvance(text);
    double left = right_aligned ? x - width : x;
    p.setFont(font);
    p.setPen(color);
    double baseline = centre_y - metrics.height() / 2 + metrics.ascent();
    p.drawText(QPointF(left, baseline), text);
    return left;
}

// Returns the badge's right edge.
double draw_badge(QPainter& p, const TaskView& task, double line_y) {
    QFont font = ui_font(8.5, 700, true);
    QFontMetricsF metrics(font, p.device());
    QString text = q(badge_text(task.name));
    QRectF pill(kSideMargin, line_y - (metrics.height() + 6) / 2, metrics.horizontalAdvance(text) + 12,
                metrics.height() + 6);
    bool running = is_running(task.state());
    p.setPen(Qt::NoPen);
    p.setBrush(running ? with_alpha(theme_colors().accent, 0x17) : theme_colors().grey(4));
    p.drawRoundedRect(pill, 4, 4);
    p.setFont(font);
    p.setPen(running ? theme_colors().accent : theme_colors().grey(40));
    p.drawText(QPointF(pill.left() + 6, pill.top() + 3 + metrics.ascent()), text);
    return pill.right();
}

void draw_name(QPainter& p, const TaskView& task, const QFont& font, const QColor& color, double left,
               double right, double line_y) {
    if (right <= left) return;
    QFontMetricsF metrics(font, p.device());
    QString name = metrics.elidedText(q(task.name), Qt::ElideRight, right - left);
    draw_text(p, name, font, color, left, line_y, false);
}

void paint_compact(QPainter& p, const TaskView& task, double top, double width, double badge_right) {
    double line_y = top + kCompactLine;
    ViewState state = task.state();
    bool done = state == ViewState::Done;
    QFont font = done ? ui_font(10.5, 400, true) : ui_font(11, 400, true);
    QColor color = state == ViewState::Error ? theme_colors().error : theme_colors().grey(38);
    // A long error text gives up its end before it pushes the name out of the row.
    QString right = QFontMetricsF(font, p.device())
                        .elidedText(q(compact_right_text(task)), Qt::ElideRight, width * kMaxRightShare);
    double text_left = draw_text(p, right, font, color, width - kSideMargin, line_y, true);
    if (done) {
        text_left -= 8 + 13;
        paint_icon(p, kIconDone, QRectF(text_left, line_y - 6.5, 13, 13), theme_colors().accent);
    }
    QColor name_color = state == ViewState::Paused ? theme_colors().grey(60) : theme_colors().grey(55);
    draw_name(p, task, ui_font(13, 400), name_color, badge_right + kGap, text_left - kGap, line_y);
}

void paint_bar(QPainter& p, const TaskView& task, const QRectF& bar) {
    p.save();
    QPainterPath track;
    track.addRoundedRect(bar, bar.height() / 2, bar.height() / 2);
    p.setPen(Qt::NoPen);
    p.fillPath(track, theme_colors().track);
    p.setClipPath(track, Qt::IntersectClip);
    if (task.total == 0) {
        p.restore();
        return;
    }
    const double total = static_cast<double>(task.total);
    const double ppb = bar.width() / total;
    if (task.segments.empty()) {
        double width = static_cast<double>(std::min(task.done, task.total)) * ppb;
        if (width > 0.5) {
            double right_radius = task.done < task.total ? kInnerRadius : bar.height() / 2;
            p.fillPath(
                rounded(QRectF(bar.left(), bar.top(), width, bar.height()), bar.height() / 2, right_radius),
                theme_colors().accent);
        }
        p.restore();
        return;
    }
    std::vector<SegmentView> segs = task.segments;
    std::sort(segs.begin(), segs.end(),
              [](const SegmentView& a, const SegmentView& b) { return a.start < b.start; });
    const size_t n = segs.size();
    auto x_of = [&](double bytes) { return std::min(bytes, total) * ppb + bar.left(); };
    for (size_t i = 1; i < n; ++i)
        p.fillRect(QRectF(x_of(static_cast<double>(segs[i].start)), bar.top(), 1, bar.height()),
                   with_alpha(theme_colors().accent, 77));
    for (size_t i = 0; i < n; ++i) {
        const SegmentView& s = segs[i];
        double shown = s.shown > 0 ? s.shown : static_cast<double>(s.pos);
        if (shown <= static_cast<double>(s.start)) continue;
        double left = x_of(static_cast<double>(s.start)) + (i > 0 ? 1 : 0);
        double limit = x_of(static_cast<double>(s.end)) - (i + 1 < n ? 1 : 0);
        if (limit <= left) continue;
        double right = std::min(limit, x_of(std::min(shown, static_cast<double>(s.end))));
        right = std::min(limit, std::max(right, left + 1));
        bool complete = s.pos >= s.end;
        double left_radius = s.start == 0 ? 0 : kInnerRadius;
        double right_radius = complete && s.end >= task.total ? 0 : kInnerRadius;
        p.fillPath(rounded(QRectF(left, bar.top(), right - left, bar.height()), left_radius, right_radius),
                   theme_colors().accent);
    }
    p.restore();
}

void paint_tall(QPainter& p, const TaskView& task, double top, double width, double badge_right) {
    double line_y = top + kTallLine;
    QFont right_font = ui_font(11.5, 700, true);
    double text_left = width - kSideMargin;
    if (task.state() == ViewState::Downloading) {
        text_left = draw_text(p, q(speed_text(task.displayed_speed())), right_font, theme_colors().accent,
                              text_left, line_y, true);
    } else {
        text_left = draw_text(p, QString::fromUtf8(tr_text(3)), right_font, theme_colors().grey(40),
                              text_left, line_y, true);
    }
    draw_name(p, task, ui_font(13, 500), theme_colors().text, badge_right + kGap, text_left - kGap, line_y);
    paint_bar(p, task, progress_bar_box(top, width));

    QFont small = ui_font(10.5, 400, true);
    double bottom_y = top + kBottomLineTop + QFontMetricsF(small, p.device()).height() / 2;
    draw_text(p, q(bottom_left_text(task)), small, theme_colors().grey(40), kSideMargin, bottom_y, false);
    std::string right = bottom_right_text(task);
    if (right.empty()) return;
    const double right_left =
        draw_text(p, q(right), small, theme_colors().grey(40), width - kSideMargin, bottom_y, true);
    // A recording under way gets the red dot recorders show.
    if (task.recording()) {
        p.setPen(Qt::NoPen);
        p.setBrush(theme_colors().error);
        p.drawEllipse(QPointF(right_left - kRecordingDot - 4, bottom_y), kRecordingDot, kRecordingDot);
    }
}

} // namespace

QFont ui_font(double pixels, int weight, bool monospaced) {
    // Kept for the life of the process and never destroyed, so that no font outlives the
    // application object in a destructor at exit.
    static auto* cache = new std::map<std::tuple<bool, double, int>, QFont>;
    auto key = std::make_tuple(monospaced, pixels, weight);
    auto found = cache->find(key);
    if (found != cache->end()) return found->second;
    QFont font(monospaced ? QStringLiteral("monospace") : QStringLiteral("sans-serif"));
    font.setStyleHint(monospaced ? QFont::Monospace : QFont::SansSerif);
    // Point sizes at 96 dpi: the off-screen image and the screen's logical dpi both count 96
    // per inch, so the text comes out `pixels` high at any scale.
    font.setPointSizeF(pixels * 72.0 / 96.0);
    if (monospaced)
        font.setWeight(weight >= 600 ? QFont::Bold : QFont::Normal);
    else
        font.setWeight(static_cast<QFont::Weight>(weight));
    font.setHintingPreference(QFont::PreferNoHinting);
    cache->emplace(key, font);
    return font;
}

QRectF progress_bar_box(double top, double width) {
    return QRectF(kSideMargin, top + kBarTop, width - 2 * kSideMargin, kBarHeight);
}

void paint_row(QPainter& painter, const TaskView& task, double top, double width, bool selected) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    double height = row_height(task.state());
    if (selected) painter.fillRect(QRectF(0, top, width, height), theme_colors().selection);
    bool tall = height == kTallRowHeight;
    double badge_right = draw_badge(painter, task, top + (tall ? kTallLine : kCompactLine));
    if (tall)
        paint_tall(painter, task, top, width, badge_right);
    else
        paint_compact(painter, task, top, width, badge_right);
    painter.fillRect(QRectF(0, top + height - 1, width, 1), theme_colors().grey(6));
    painter.restore();
}

void paint_icon(QPainter& p, int id, const QRectF& box, const QColor& color) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(box.topLeft());
    double unit = box.width() / 24.0;
    p.scale(unit, unit);
    QPen pen(color, id == kIconDone ? 2.4 : 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    switch (id) {
    case kIconNew:
        p.drawLine(QPointF(12, 5), QPointF(12, 19));
        p.drawLine(QPointF(5, 12), QPointF(19, 12));
        break;
    case kIconPause:
        p.drawLine(QPointF(9, 6), QPointF(9, 18));
        p.drawLine(QPointF(15, 6), QPointF(15, 18));
        break;
    case kIconResume: {
        const QPointF triangle[] = {{8, 5}, {19, 12}, {8, 19}};
        p.setBrush(color);
        p.drawPolygon(triangle, 3);
        break;
    }
    case kIconDelete: {
        p.drawLine(QPointF(5, 8), QPointF(19, 8));
        p.drawLine(QPointF(10, 5), QPointF(14, 5));
        const QPointF body[] = {{8, 8}, {8.7, 19}, {15.3, 19}, {16, 8}};
        p.drawPolyline(body, 4);
        break;
    }
    case kIconSettings:
        p.drawLine(QPointF(4, 8), QPointF(20, 8));
        p.drawLine(QPointF(4, 16), QPointF(20, 16));
        p.setBrush(theme_colors().background);
        p.drawEllipse(QPointF(10, 8), 2.6, 2.6);
        p.drawEllipse(QPointF(15, 16), 2.6, 2.6);
        break;
    case kIconDone: {
        const QPointF check[] = {{5, 13}, {10, 18}, {20, 7}};
        p.drawPolyline(check, 3);
        break;
    }
    case kIconFolder:
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawRoundedRect(QRectF(3, 6, 8, 4), 1.5, 1.5);
        p.drawRoundedRect(QRectF(3, 8, 18, 11), 2, 2);
        break;
    case kIconDropDown: {
        const QPointF chevron[] = {{8, 10}, {12, 14}, {16, 10}};
        p.drawPolyline(chevron, 3);
        break;
    }
    default: break;
    }
    p.restore();
}

} // namespace twk::ui

#include "ui/window_chrome.h"

#include <QAction>
#include <QEnterEvent>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "ui/palette.h"
#include "ui/row_painter.h"
#include "ui/row_text.h"
#include "ui/text_table.h"
#include "ui/theme.h"

namespace twk::ui {
namespace {

constexpr int kToolbarHeight = 46;
constexpr int kBannerHeight = 36;
constexpr int kStatusBarHeight = 32;
constexpr int kButtonHeight = 28;

QString t(const char* key) { return QString::fromUtf8(tr(key)); }

double baseline(const QFontMetricsF& m, double centre_y) { return centre_y - m.height() / 2 + m.ascent(); }

} // namespace

TopBarButton::TopBarButton(QAction* action, bool icon_only, QWidget* parent)
    : QToolButton(parent), m_icon_only(icon_only) {
    setDefaultAction(action);
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // The width follows the text ("Pause", "Resume", "Retry").
    connect(action, &QAction::changed, this, [this] { updateGeometry(); });
}

QSize TopBarButton::sizeHint() const {
    if (m_icon_only) return QSize(kButtonHeight, kButtonHeight);
    QFontMetricsF metrics(ui_font(12, 400), this);
    double width = 11 + 14 + 6 + metrics.horizontalAdvance(defaultAction()->text()) + 11;
    return QSize(static_cast<int>(width), kButtonHeight);
}

void TopBarButton::enterEvent(QEnterEvent* event) {
    QToolButton::enterEvent(event);
    update();
}

void TopBarButton::leaveEvent(QEvent* event) {
    QToolButton::leaveEvent(event);
    update();
}

void TopBarButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QRectF r = rect();
    const bool enabled = isEnabled();
    if (enabled && (isDown() || underMouse())) {
        p.setPen(Qt::NoPen);
        p.setBrush(isDown() ? theme_colors().grey(12) : theme_colors().grey(5));
        p.drawRoundedRect(r, 5, 5);
    }
    const int icon = defaultAction()->data().toInt();
    if (m_icon_only) {
        paint_icon(p, icon, QRectF(r.center().x() - 8, r.center().y() - 8, 16, 16), theme_colors().grey(70));
        return;
    }
    const QColor off = theme_colors().grey(30);
    const QColor icon_colour = !enabled           ? off
                               : icon == kIconNew ? theme_colors().accent
                                                  : theme_colors().grey(80);
    paint_icon(p, icon, QRectF(r.left() + 11, r.center().y() - 7, 14, 14), icon_colour);
    QFont font = ui_font(12, 400);
    QFontMetricsF m(font, this);
    p.setFont(font);
    p.setPen(enabled ? theme_colors().grey(80) : off);
    p.drawText(QPointF(r.left() + 31, baseline(m, r.center().y())), defaultAction()->text());
}

TopBar::TopBar(QWidget* parent) : QToolBar(parent) {
    setObjectName(QStringLiteral("TWKToolbar"));
    setMovable(false);
    setFloatable(false);
    setFixedHeight(kToolbarHeight);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setStyleSheet(QStringLiteral("QToolBar { border: 0px; padding: 0px; margin: 0px; spacing: 0px; }"));
    m_row = new QWidget(this);
    m_row->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_row->setFixedHeight(kToolbarHeight);
    auto* layout = new QHBoxLayout(m_row);
    layout->setContentsMargins(10, 9, 14, 9);
    layout->setSpacing(4);
    addWidget(m_row);
}

void TopBar::set_buttons(const QList<TopBarButton*>& leading, TopBarButton* trailing) {
    auto* layout = static_cast<QHBoxLayout*>(m_row->layout());
    for (TopBarButton* button : leading)
        layout->addWidget(button);
    layout->addStretch(1);
    layout->addWidget(trailing);
}

void TopBar::lay_out_now() {
    if (layout()) layout()->activate();
    m_row->layout()->activate();
}

void TopBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), theme_colors().background);
    p.fillRect(QRectF(0, height() - 1, width(), 1), theme_colors().divider);
}

Banner::Banner(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("TWKBanner"));
    setFixedHeight(kBannerHeight);
    setMouseTracking(true);
    hide();
}

void Banner::set_content(BannerMode mode, const QString& version) {
    m_mode = mode;
    m_version = version;
    setVisible(mode != BannerMode::None);
    update();
}

void Banner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QRectF band = rect();
    p.fillRect(band, theme_colors().banner_background);
    p.fillRect(QRectF(0, height() - 1, width(), 1), theme_colors().divider);
    double cy = band.center().y();
    QRectF icon(16, cy - 6.5, 13, 13);
    p.setPen(Qt::NoPen);
    p.setBrush(theme_colors().accent);
    if (m_mode == BannerMode::Update) {
        p.drawEllipse(icon);
        p.setPen(QPen(Qt::white, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(icon.center().x(), icon.top() + 3), QPointF(icon.center().x(), icon.bottom() - 3));
        p.drawPolyline(QPolygonF({QPointF(icon.center().x() - 3, icon.center().y() + 0.5),
                                  QPointF(icon.center().x(), icon.bottom() - 3),
                                  QPointF(icon.center().x() + 3, icon.center().y() + 0.5)}));
    } else {
        p.drawPolygon(QPolygonF({QPointF(icon.center().x(), icon.top()), QPointF(icon.right(), icon.bottom()),
                                 QPointF(icon.left(), icon.bottom())}));
        p.setPen(QPen(Qt::white, 1.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(icon.center().x(), icon.top() + 4.5),
                   QPointF(icon.center().x(), icon.bottom() - 4.5));
        p.drawPoint(QPointF(icon.center().x(), icon.bottom() - 2));
    }
    QString message = m_mode == BannerMode::Update ? t("banner.update") + m_version + t("banner.update_tail")
                      : m_mode == BannerMode::ResourcePrompt ? t("banner.resources")
                                                             : t("banner.crash");
    QFont font = ui_font(12, 500), link_font = ui_font(12, 600);
    QFontMetricsF m(font, this), lm(link_font, this);
    p.setFont(font);
    p.setPen(theme_colors().text);
    double x = 37;
    p.drawText(QPointF(x, baseline(m, cy)), message);
    x += m.horizontalAdvance(message) + 2;
    QString link = m_mode == BannerMode::Update ? t("banner.download") : t("banner.share");
    p.setFont(link_font);
    p.setPen(theme_colors().accent);
    double line = baseline(lm, cy);
    p.drawText(QPointF(x, line), link);
    p.fillRect(QRectF(x, line + 2, lm.horizontalAdvance(link), 1), theme_colors().accent);
    m_link = QRectF(x, cy - lm.height() / 2, lm.horizontalAdvance(link), lm.height());
    QRectF close(width() - 12 - 18, cy - 9, 18, 18);
    m_close = close;
    double inset = close.width() * 0.3;
    p.setPen(QPen(theme_colors().grey(50), 1.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(close.topLeft() + QPointF(inset, inset), close.bottomRight() - QPointF(inset, inset));
    p.drawLine(QPointF(close.right() - inset, close.top() + inset),
               QPointF(close.left() + inset, close.bottom() - inset));
}

void Banner::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    if (m_close.contains(event->position()))
        emit close_clicked();
    else if (m_link.contains(event->position()))
        emit link_clicked();
}

void Banner::mouseMoveEvent(QMouseEvent* event) {
    bool on_control = m_link.contains(event->position()) || m_close.contains(event->position());
    setCursor(on_control ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

TotalBar::TotalBar(QWidget* parent) : QStatusBar(parent) {
    setObjectName(QStringLiteral("TWKStatusBar"));
    setSizeGripEnabled(false);
    setFixedHeight(kStatusBarHeight);
    setAttribute(Qt::WA_OpaquePaintEvent); // paintEvent fills the whole bar
}

// The smoothed speed moves at every refresh while bytes arrive; the bar (and the limit button on
// it) is repainted only when the text it shows changes.
void TotalBar::set_state(bool engine_running, double speed) {
    QString text = speed > 0 ? t("status.total") + QString::fromStdString(speed_text(speed)) : QString();
    if (engine_running == m_engine_running && text == m_speed) return;
    m_engine_running = engine_running;
    m_speed = std::move(text);
    update();
}

void TotalBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.fillRect(rect(), theme_colors().status_background);
    p.fillRect(QRectF(0, 0, width(), 1), theme_colors().divider);
    double cy = 1 + (kStatusBarHeight - 1) / 2.0;
    if (!m_engine_running) {
        QFont font = ui_font(11, 400);
        QFontMetricsF m(font, this);
        p.setFont(font);
        p.setPen(theme_colors().grey(45));
        p.drawText(QPointF(16, baseline(m, cy)), t("state.offline"));
    }
    if (!m_speed.isEmpty()) {
        QFont font = ui_font(11, 700, true);
        QFontMetricsF m(font, this);
        p.setFont(font);
        p.setPen(theme_colors().accent);
        p.drawText(QPointF(width() - 16 - m.horizontalAdvance(m_speed), baseline(m, cy)), m_speed);
    }
}

} // namespace twk::ui

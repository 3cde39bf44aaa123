// The main window's furniture around the list: the toolbar and its buttons, the one-line banner
// and the status bar with the total speed. Each paints itself in the app's palette; what they
// show comes from the window.
#pragma once

#include <QStatusBar>
#include <QString>
#include <QToolBar>
#include <QToolButton>

namespace twk::ui {

enum class BannerMode { None = 0, Update = 1, ResourcePrompt = 2, CrashPrompt = 3 };

// A toolbar button for one action: the action's icon (a row-painter icon id in the action's
// data) and, unless it is icon-only, its text beside it. 28 px high.
class TopBarButton : public QToolButton {
    Q_OBJECT
public:
    TopBarButton(QAction* action, bool icon_only, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool m_icon_only;
};

// The toolbar: 46 px, the window's background with a divider below. Buttons sit 10 px from the
// left edge, 4 px apart; the last one (Settings) 14 px from the right edge.
class TopBar : public QToolBar {
    Q_OBJECT
public:
    explicit TopBar(QWidget* parent = nullptr);
    // `leading` go left in order, `trailing` at the right edge.
    void set_buttons(const QList<TopBarButton*>& leading, TopBarButton* trailing);
    // Lays the buttons out now (their widths follow their texts).
    void lay_out_now();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* m_row = nullptr;
};

// The banner under the toolbar: an update offer or a diagnostic prompt, a link and a close
// cross.
class Banner : public QWidget {
    Q_OBJECT
public:
    explicit Banner(QWidget* parent = nullptr);
    void set_content(BannerMode mode, const QString& version);

signals:
    void link_clicked();
    void close_clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    BannerMode m_mode = BannerMode::None;
    QString m_version;
    QRectF m_link, m_close; // where the last paint put them
};

// The status bar, 32 px: "Engine offline" at the left while the engine is off, the total speed
// at the right while bytes arrive.
class TotalBar : public QStatusBar {
    Q_OBJECT
public:
    explicit TotalBar(QWidget* parent = nullptr);
    void set_state(bool engine_running, double speed);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_engine_running = true;
    QString m_speed; // the total speed as drawn; empty while no bytes arrive
};

} // namespace twk::ui

#include "ui/settings_dialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryFile>
#include <QUrl>
#include <QWheelEvent>

#include <cmath>
#include <cstdlib>

#include "net/proxy_spec.h"
#include "net/text.h"
#include "net/url.h"
#include "ui/palette.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

constexpr int kClientWidth = 480;
constexpr double kMargin = 22;
constexpr double kContentWidth = kClientWidth - 2 * kMargin;
constexpr double kCheckBoxHeight = 20;
constexpr double kProxyFrameHeight = 28;
constexpr double kListWidth = 88;
constexpr double kListHeight = 28;
constexpr int kListPopupHeight = 200;
constexpr double kBrowserRowHeight = 30;
constexpr double kBrowserRowGap = 6;
constexpr double kStatusOffset = 66;
constexpr int kFooterHeight = 18 + 30 + 18;
constexpr int kScrollStep = 40;
constexpr int kMinShrunkHeight = 240;
constexpr int kScreenSlack = 8;
constexpr int kScrollBarWidth = 12;
constexpr int kBrowserRefreshMs = 1000;
constexpr int kShotRepaintMs = 250;

QString t(int number) { return QString::fromUtf8(tr_text(number)); }
QString q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
double text_height(const QFont& font) { return QFontMetricsF(font).height(); }

struct StatusFace {
    QColor color;
    int weight;
};
StatusFace status_face(app::BrowserStatus status) {
    switch (status) {
    case app::BrowserStatus::NotInstalled: return {grey(40), 400};
    case app::BrowserStatus::Connected: return {kAccent, 500};
    case app::BrowserStatus::NeverConnected:
    case app::BrowserStatus::Quiet: break;
    }
    return {grey(50), 400};
}

QString pick_folder(QWidget* owner, const QString& title, const QString& start) {
    return QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
}

} // namespace

// The scrolling part of the dialog: everything above the footer, with its real child controls.
class SettingsContent : public QWidget {
public:
    SettingsContent(const SettingsContext& context, QWidget* parent);

    void set_rows(const std::array<app::BrowserRow, 3>& rows);
    const std::array<app::BrowserRow, 3>& rows() const { return m_rows; }
    void set_folder(const QString& folder) {
        m_folder = folder;
        update();
    }
    const QString& folder() const { return m_folder; }
    void update_proxy_field();

    std::function<void(int)> on_get_extension;
    std::function<void()> on_choose;

    QCheckBox* follow = nullptr;
    QCheckBox* custom = nullptr;
    QLineEdit* proxy = nullptr;
    QComboBox* list = nullptr;
    QCheckBox* launch = nullptr;
    QCheckBox* update_check = nullptr;
    QCheckBox* notices = nullptr;
    QComboBox* at_once = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    int button_at(const QPointF& point) const; // 0..2 the browsers, 3 Choose…

    double m_title_top = 16;
    double m_proxy_heading_top = 0;
    QRectF m_proxy_frame;
    QRectF m_hint51, m_hint53, m_hint72;
    double m_threads_label_top = 0;
    double m_browser_heading_top = 0;
    std::array<double, 3> m_row_tops{};
    double m_folder_heading_top = 0;
    double m_folder_line_top = 0;
    std::array<PushButton, 3> m_get{};
    PushButton m_choose;
    std::array<app::BrowserRow, 3> m_rows{};
    QString m_folder;
    int m_hover = -1;
};

SettingsContent::SettingsContent(const SettingsContext& context, QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    const app::Settings& s = context.settings;
    double heading_h = text_height(heading_font());
    double y = m_title_top + text_height(ui_font(16, 600)) + 18;

    m_proxy_heading_top = y;
    y += heading_h + 8;
    follow = new QCheckBox(t(48), this);
    follow->setGeometry(QRectF(kMargin, y, kContentWidth, kCheckBoxHeight).toRect());
    follow->setChecked(s.proxy_mode == app::kProxySystem);
    y += kCheckBoxHeight + 6;
    custom = new QCheckBox(t(49), this);
    custom->setGeometry(QRectF(kMargin, y, kContentWidth, kCheckBoxHeight).toRect());
    custom->setChecked(s.proxy_mode == app::kProxyCustom);
    y += kCheckBoxHeight + 7;
    m_proxy_frame = QRectF(kMargin, y, kContentWidth, kProxyFrameHeight);
    proxy = new QLineEdit(this);
    style_line_edit(proxy);
    proxy->setMaxLength(static_cast<int>(app::kMaxProxyText));
    proxy->setPlaceholderText(t(50));
    proxy->setText(q(s.proxy));
    proxy->setGeometry(field_edit_rect(m_proxy_frame));
    y += kProxyFrameHeight + 7;
    m_hint51 = QRectF(kMargin, y, kContentWidth, hint_height(t(51), kContentWidth));
    y = m_hint51.bottom() + 16;

    m_threads_label_top = y + (kListHeight - heading_h) / 2;
    double label_w = QFontMetricsF(heading_font()).horizontalAdvance(t(52));
    list = new QComboBox(this);
    style_combo_box(list);
    for (int32_t n : app::kConnectionChoices)
        list->addItem(QString::number(n));
    list->setCurrentIndex(app::connection_choice_index(s.connections));
    list->setMaxVisibleItems(static_cast<int>(app::kConnectionChoices.size()));
    list->setGeometry(QRectF(kMargin + label_w + 12, y, kListWidth, kListHeight).toRect());
    list->view()->setMaximumHeight(kListPopupHeight);
    y += kListHeight + 7;
    m_hint53 = QRectF(kMargin, y, kContentWidth, hint_height(t(53), kContentWidth));
    y = m_hint53.bottom() + 14;

    launch = new QCheckBox(t(54), this);
    launch->setGeometry(QRectF(kMargin, y, kContentWidth, kCheckBoxHeight).toRect());
    launch->setChecked(app::SettingsStore(context.paths).autostart_enabled());
    y += kCheckBoxHeight + 6;
    update_check = new QCheckBox(t(55), this);
    update_check->setGeometry(QRectF(kMargin, y, kContentWidth, kCheckBoxHeight).toRect());
    update_check->setChecked(s.auto_update_check);
    y += kCheckBoxHeight + 6;
    notices = new QCheckBox(language_is_chinese() ? QStringLiteral("下载完成或失败时通知")
                                                  : QStringLiteral("Notify when downloads finish or fail"),
                            this);
    notices->setGeometry(QRectF(kMargin, y, kContentWidth, kCheckBoxHeight).toRect());
    notices->setChecked(s.notifications);
    y += kCheckBoxHeight + 8;
    auto* at_once_label = new QLabel(
        language_is_chinese() ? QStringLiteral("同时下载数") : QStringLiteral("Downloads at once"), this);
    const double at_once_w =
        QFontMetricsF(at_once_label->font()).horizontalAdvance(at_once_label->text()) + 4;
    at_once_label->setGeometry(QRectF(kMargin, y, at_once_w, kListHeight).toRect());
    at_once = new QComboBox(this);
    style_combo_box(at_once);
    for (int32_t n = app::kMinDownloadsAtOnce; n <= app::kMaxDownloadsAtOnce; ++n)
        at_once->addItem(QString::number(n));
    at_once->setCurrentIndex(s.downloads_at_once - app::kMinDownloadsAtOnce);
    at_once->setMaxVisibleItems(app::kMaxDownloadsAtOnce);
    at_once->setGeometry(QRectF(kMargin + at_once_w + 12, y, kListWidth, kListHeight).toRect());
    y += kListHeight + 18;

    m_browser_heading_top = y;
    y += heading_h + 6;
    for (size_t i = 0; i < m_row_tops.size(); ++i) {
        m_row_tops[i] = y;
        m_get[i] = {t(71), ButtonKind::Secondary, false, {}};
        PushButton* one[] = {&m_get[i]};
        place_buttons_from_right(one, 1, kClientWidth - kMargin, y);
        y += kBrowserRowHeight + (i + 1 < m_row_tops.size() ? kBrowserRowGap : 0);
    }
    y += 6;
    m_hint72 = QRectF(kMargin, y, kContentWidth, hint_height(t(72), kContentWidth));
    y = m_hint72.bottom() + 18;

    m_folder_heading_top = y;
    y += heading_h + 6;
    m_folder_line_top = y;
    m_choose = {t(57), ButtonKind::Secondary, true, {}};
    PushButton* one[] = {&m_choose};
    place_buttons_from_right(one, 1, kClientWidth - kMargin, y);
    y += kPushButtonHeight + 18;

    for (QCheckBox* box : {follow, custom, launch, update_check, notices})
        style_check_box(box);
    m_folder = q(s.download_dir.empty() ? context.default_folder : s.download_dir);
    resize(kClientWidth, static_cast<int>(std::ceil(y)));
    update_proxy_field();
}

void SettingsContent::update_proxy_field() {
    proxy->setEnabled(custom->isChecked());
    update(m_proxy_frame.toAlignedRect().adjusted(-1, -1, 1, 1));
}

void SettingsContent::set_rows(const std::array<app::BrowserRow, 3>& rows) {
    m_rows = rows;
    for (size_t i = 0; i < rows.size(); ++i)
        m_get[i].enabled = rows[i].installed;
    update();
}

int SettingsContent::button_at(const QPointF& point) const {
    for (size_t i = 0; i < m_get.size(); ++i) {
        if (m_get[i].rect.contains(point)) return static_cast<int>(i);
    }
    return m_choose.rect.contains(point) ? 3 : -1;
}

void SettingsContent::mouseMoveEvent(QMouseEvent* event) {
    int hover = button_at(event->position());
    if (hover != m_hover) {
        m_hover = hover;
        update();
    }
}

void SettingsContent::leaveEvent(QEvent*) {
    if (m_hover != -1) {
        m_hover = -1;
        update();
    }
}

void SettingsContent::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    int button = button_at(event->position());
    if (button >= 0 && button < 3 && on_get_extension) on_get_extension(button);
    if (button == 3 && on_choose) on_choose();
}

void SettingsContent::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.fillRect(rect(), kBackground);
    paint_text_at(p, t(46), ui_font(16, 600), kText, kMargin, m_title_top);
    paint_text_at(p, t(47), heading_font(), heading_color(), kMargin, m_proxy_heading_top);
    paint_field_frame(p, m_proxy_frame, custom->isChecked());
    paint_hint(p, t(51), m_hint51);
    paint_text_at(p, t(52), heading_font(), heading_color(), kMargin, m_threads_label_top);
    paint_hint(p, t(53), m_hint53);

    paint_text_at(p, t(66), heading_font(), heading_color(), kMargin, m_browser_heading_top);
    QFont name_font = ui_font(12, 500);
    for (size_t i = 0; i < m_rows.size(); ++i) {
        double top = m_row_tops[i];
        double centre = top + kBrowserRowHeight / 2;
        QFontMetricsF nm(name_font, p.device());
        paint_text_at(p, QString::fromUtf8(app::kBrowsers[i].name), name_font,
                      m_rows[i].installed ? kText : grey(40), kMargin, centre - nm.height() / 2);
        app::BrowserStatus status = app::browser_status(m_rows[i]);
        StatusFace face = status_face(status);
        QFont status_font = ui_font(12, face.weight);
        QFontMetricsF sm(status_font, p.device());
        double status_x = kMargin + kStatusOffset;
        QString text = sm.elidedText(t(app::browser_status_text(status)), Qt::ElideRight,
                                     m_get[i].rect.left() - 10 - status_x);
        paint_text_at(p, text, status_font, face.color, status_x, centre - sm.height() / 2);
        paint_push_button(p, m_get[i], m_get[i].enabled && m_hover == static_cast<int>(i));
    }
    paint_hint(p, t(72), m_hint72);

    paint_text_at(p, t(56), heading_font(), heading_color(), kMargin, m_folder_heading_top);
    QFont path_font = ui_font(12, 400);
    QFontMetricsF pm(path_font, p.device());
    QString path = pm.elidedText(m_folder, Qt::ElideMiddle, m_choose.rect.left() - 12 - kMargin);
    paint_text_at(p, path, path_font, kText, kMargin,
                  m_folder_line_top + kPushButtonHeight / 2 - pm.height() / 2);
    paint_push_button(p, m_choose, m_hover == 3);
}

SettingsDialog::SettingsDialog(SettingsContext context, QWidget* owner)
    : QDialog(owner), m_context(std::move(context)) {
    setObjectName(QStringLiteral("TWKSettingsDialog"));
    setWindowTitle(t(46));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (!m_context.choose_folder) m_context.choose_folder = pick_folder;
    if (!m_context.open_page)
        m_context.open_page = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };

    m_viewport = new QWidget(this);
    m_content = new SettingsContent(m_context, m_viewport);
    m_content->on_get_extension = [this](int row) { get_extension(row); };
    m_content->on_choose = [this] { choose_folder(); };
    connect(m_content->follow, &QCheckBox::toggled, this, [this](bool on) {
        if (on) m_content->custom->setChecked(false);
        m_content->update_proxy_field();
    });
    connect(m_content->custom, &QCheckBox::toggled, this, [this](bool on) {
        if (on) m_content->follow->setChecked(false);
        m_content->update_proxy_field();
        if (on) m_content->proxy->setFocus();
    });
    m_scroll = new QScrollBar(Qt::Vertical, this);
    m_scroll->setSingleStep(kScrollStep);
    connect(m_scroll, &QScrollBar::valueChanged, this, [this](int value) { m_content->move(0, -value); });
    // Tabbing onto a control that is scrolled away brings it into view.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (!now || !m_content->isAncestorOf(now)) return;
        QRect r(now->mapTo(m_content, QPoint(0, 0)), now->size());
        int top = m_scroll->value(), visible = visible_height();
        if (r.top() < top) scroll_to(r.top() - 8);
        if (r.bottom() > top + visible) scroll_to(r.bottom() + 8 - visible);
    });

    m_save = {t(59), ButtonKind::Primary, true, {}};
    m_cancel = {t(45), ButtonKind::Secondary, true, {}};
    m_problem = new QLabel(this);
    m_problem->setWordWrap(true);
    m_problem->setFont(hint_font());
    m_problem->setStyleSheet(QStringLiteral("color: %1;").arg(kError.name()));
    m_problem->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    fit_to_screen();
    refresh_browsers();
    connect(&m_browser_timer, &QTimer::timeout, this, [this] { refresh_browsers(); });
    m_browser_timer.start(kBrowserRefreshMs);
    connect(&m_shot_timer, &QTimer::timeout, this, [this] { take_screenshot_when_due(); });

    if (m_content->custom->isChecked())
        m_content->proxy->setFocus();
    else
        m_content->follow->setFocus();
}

SettingsDialog::~SettingsDialog() = default;

// The natural height, or on a screen too small for it the height that fits (never below 240);
// the content scrolls above the footer when it is taller than the space left.
void SettingsDialog::fit_to_screen() {
    int content = m_content->height();
    int height = content + kFooterHeight;
    QWidget* owner = parentWidget();
    QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        int frame = owner ? owner->frameGeometry().height() - owner->geometry().height() : 0;
        int fits = screen->availableGeometry().height() - frame - kScreenSlack;
        if (height > fits && fits >= kMinShrunkHeight) height = fits;
    }
    setFixedSize(kClientWidth, height);
    int visible = height - kFooterHeight;
    m_viewport->setGeometry(0, 0, kClientWidth, visible);
    bool scrolls = content > visible;
    m_scroll->setVisible(scrolls);
    m_scroll->setGeometry(kClientWidth - kScrollBarWidth, 0, kScrollBarWidth, visible);
    m_scroll->setRange(0, scrolls ? content - visible : 0);
    m_scroll->setPageStep(visible);
    PushButton* order[] = {&m_save, &m_cancel};
    place_buttons_from_right(order, 2, kClientWidth - kMargin, height - 18 - kPushButtonHeight);
    m_problem->setGeometry(static_cast<int>(kMargin), visible + 4,
                           static_cast<int>(m_cancel.rect.left() - kMargin - kPushButtonGap),
                           kFooterHeight - 8);
}

int SettingsDialog::content_height() const { return m_content->height(); }
int SettingsDialog::visible_height() const { return m_viewport->height(); }
int SettingsDialog::scroll_offset() const { return m_scroll->value(); }
void SettingsDialog::scroll_to(int offset) { m_scroll->setValue(offset); } // the bar clamps it

QCheckBox* SettingsDialog::follow_system_box() const { return m_content->follow; }
QCheckBox* SettingsDialog::custom_proxy_box() const { return m_content->custom; }
QCheckBox* SettingsDialog::launch_box() const { return m_content->launch; }
QCheckBox* SettingsDialog::update_box() const { return m_content->update_check; }
QCheckBox* SettingsDialog::notices_box() const { return m_content->notices; }
QComboBox* SettingsDialog::at_once_list() const { return m_content->at_once; }
QLineEdit* SettingsDialog::proxy_field() const { return m_content->proxy; }
QComboBox* SettingsDialog::connections_list() const { return m_content->list; }
const std::array<app::BrowserRow, 3>& SettingsDialog::browser_rows() const { return m_content->rows(); }
QString SettingsDialog::shown_folder() const { return m_content->folder(); }

void SettingsDialog::refresh_browsers() {
    std::string path;
    if (m_context.browser_path) {
        path = *m_context.browser_path;
    } else if (const char* env = std::getenv("PATH")) {
        path = env;
    }
    m_content->set_rows(app::read_browser_rows(path, m_context.contact_age));
}

void SettingsDialog::choose_folder() {
    QString chosen = m_context.choose_folder(this, t(58), m_content->folder());
    if (!chosen.isEmpty()) m_content->set_folder(chosen);
}

void SettingsDialog::get_extension(int row) {
    if (row < 0 || row >= static_cast<int>(app::kBrowsers.size())) return;
    if (!m_content->rows()[static_cast<size_t>(row)].installed) return;
    m_context.open_page(QString::fromUtf8(kExtensionPageUrl));
}

QString proxy_problem(const std::string& text) {
    ProxySpec spec;
    if (parse_proxy_url(text, spec)) return {};
    QString shown = QString::fromStdString(text).trimmed().left(60);
    const size_t sep = text.find("://");
    const std::string scheme =
        sep == std::string::npos ? std::string("http") : to_lower_ascii(trim_spaces(text.substr(0, sep)));
    const bool known = scheme == "http" || scheme == "https" || scheme == "socks5" || scheme == "socks5h";
    return t(kTextNotAProxy) + shown + QStringLiteral(" — ") +
           t(known ? kTextProxyFormReason : kTextProxySchemeReason);
}

QString folder_problem(const std::string& folder) {
    const QString path = QString::fromStdString(folder);
    if (path.isEmpty()) return {};
    if (!QDir().mkpath(path) || !QFileInfo(path).isDir()) return t(kTextFolderMissing) + path;
    QTemporaryFile probe(QDir(path).filePath(QStringLiteral(".tarnwick-XXXXXX")));
    if (!probe.open()) return t(kTextFolderReadOnly) + path;
    return {};
}

QString SettingsDialog::problem_text() const { return m_problem->text(); }

void SettingsDialog::save() {
    app::SettingsForm form;
    form.download_dir = m_content->folder().toStdString();
    form.proxy_text = m_content->proxy->text().left(static_cast<qsizetype>(app::kMaxProxyText)).toStdString();
    form.custom_proxy = m_content->custom->isChecked();
    form.follow_system_proxy = m_content->follow->isChecked();
    form.connection_index = m_content->list->currentIndex();
    form.auto_update_check = m_content->update_check->isChecked();
    form.notifications = m_content->notices->isChecked();
    form.downloads_at_once = app::kMinDownloadsAtOnce + m_content->at_once->currentIndex();
    form.launch_at_login = m_content->launch->isChecked();
    QString problem = form.custom_proxy ? proxy_problem(form.proxy_text) : QString();
    if (problem.isEmpty())
        problem = folder_problem(form.download_dir.empty() ? m_context.default_folder : form.download_dir);
    m_problem->setText(problem);
    m_problem->setToolTip(problem);
    if (!problem.isEmpty()) {
        if (form.custom_proxy && !proxy_problem(form.proxy_text).isEmpty()) m_content->proxy->setFocus();
        return;
    }
    app::SettingsStore store(m_context.paths);
    app::Settings saved = app::save_settings(store, form, m_context.exe_path);
    if (m_context.saved) m_context.saved(saved);
    accept();
}

void SettingsDialog::request_screenshot(const QString& path, int64_t deadline_ms) {
    m_shot_path = path;
    m_shot_deadline = deadline_ms;
    m_shot_timer.start(kShotRepaintMs);
    QTimer::singleShot(0, this, [this] { take_screenshot_when_due(); });
}

void SettingsDialog::take_screenshot_when_due() {
    if (m_shot_path.isEmpty()) return;
    update();
    if (!isVisible() || monotonic_ms() < m_shot_deadline) return;
    QString path = m_shot_path;
    m_shot_path.clear(); // exactly one, even when saving fails
    m_shot_timer.stop();
    m_shot_taken = true;
    grab().toImage().save(path, "PNG");
}

void SettingsDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    place_over_owner(this, parentWidget());
}

void SettingsDialog::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter picks an entry in the connections list; it never saves from there.
        for (QWidget* w = focusWidget(); w && w != this; w = w->parentWidget()) {
            if (qobject_cast<QComboBox*>(w)) return;
        }
        save();
        return;
    case Qt::Key_Escape: reject(); return;
    default: QDialog::keyPressEvent(event);
    }
}

void SettingsDialog::wheelEvent(QWheelEvent* event) {
    if (!m_scroll->isVisible()) return;
    scroll_to(m_scroll->value() - event->angleDelta().y() * kScrollStep / 120);
}

int SettingsDialog::button_at(const QPointF& point) const {
    if (m_save.rect.contains(point)) return 0;
    if (m_cancel.rect.contains(point)) return 1;
    return -1;
}

void SettingsDialog::mouseMoveEvent(QMouseEvent* event) {
    int hover = button_at(event->position());
    if (hover != m_hover) {
        m_hover = hover;
        update();
    }
}

void SettingsDialog::leaveEvent(QEvent*) {
    if (m_hover != -1) {
        m_hover = -1;
        update();
    }
}

void SettingsDialog::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    int button = button_at(event->position());
    if (button == 0) save();
    if (button == 1) reject();
}

void SettingsDialog::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), kBackground);
    if (m_scroll->isVisible()) p.fillRect(QRectF(0, visible_height(), width(), 1), kDivider);
    paint_push_button(p, m_save, m_hover == 0);
    paint_push_button(p, m_cancel, m_hover == 1);
}

} // namespace twk::ui

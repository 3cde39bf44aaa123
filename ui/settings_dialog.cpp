#include "ui/settings_dialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cstdlib>

#include "net/text.h"
#include "ui/palette.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

constexpr int kClientWidth = 480;
constexpr int kMargin = 22;
constexpr int kListWidth = 88;
constexpr int kListHeight = 28;
constexpr int kListPopupHeight = 200;
constexpr int kStatusOffset = 66;
constexpr int kFooterHeight = 18 + 30 + 18;
constexpr int kScrollStep = 40;
constexpr int kMinShrunkHeight = 240;
constexpr int kScreenSlack = 8;
constexpr int kBrowserRefreshMs = 1000;
constexpr int kShotRepaintMs = 250;

QString t(const char* key) { return QString::fromUtf8(tr(key)); }
QString q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void set_text_colour(QWidget* widget, const QColor& colour) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, colour);
    widget->setPalette(pal);
}

// How a browser's status reads: its colour and weight.
void show_status(QLabel* label, app::BrowserStatus status) {
    QColor colour = grey(50);
    int weight = 400;
    if (status == app::BrowserStatus::NotInstalled) colour = grey(40);
    if (status == app::BrowserStatus::Connected) {
        colour = kAccent;
        weight = 500;
    }
    label->setFont(ui_font(12, weight));
    set_text_colour(label, colour);
    label->setText(QString::fromUtf8(tr_text(app::browser_status_text(status))));
}

QString pick_folder(QWidget* owner, const QString& title, const QString& start) {
    return QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
}

// A label that shows its text cut in the middle when it is too long, the whole in its tooltip.
class PathLabel : public QLabel {
public:
    PathLabel() { setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred); }
    void set_path(const QString& path) {
        m_path = path;
        setToolTip(path);
        update();
    }
    const QString& path() const { return m_path; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setFont(font());
        p.setPen(kText);
        QFontMetricsF m(font(), this);
        p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, m.elidedText(m_path, Qt::ElideMiddle, width()));
    }

private:
    QString m_path;
};

} // namespace

// The scrolling part of the dialog: everything above the footer.
class SettingsContent : public QWidget {
public:
    SettingsContent(const SettingsContext& context, QWidget* parent);

    void set_rows(const std::array<app::BrowserRow, 3>& rows);
    const std::array<app::BrowserRow, 3>& rows() const { return m_rows; }
    void set_folder(const QString& folder) { m_folder->set_path(folder); }
    const QString& folder() const { return m_folder->path(); }
    void update_proxy_field() { proxy->setEnabled(custom->isChecked()); }

    QCheckBox* follow = nullptr;
    QCheckBox* custom = nullptr;
    QLineEdit* proxy = nullptr;
    QComboBox* list = nullptr;
    QCheckBox* launch = nullptr;
    QCheckBox* update_check = nullptr;
    QCheckBox* notices = nullptr;
    QComboBox* at_once = nullptr;
    std::array<QPushButton*, 3> get{};
    QPushButton* choose = nullptr;

private:
    std::array<QLabel*, 3> m_names{}, m_states{};
    std::array<app::BrowserRow, 3> m_rows{};
    PathLabel* m_folder = nullptr;
};

SettingsContent::SettingsContent(const SettingsContext& context, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("TWKDialogContent"));
    const app::Settings& s = context.settings;
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kMargin, 16, kMargin, 18);
    column->setSpacing(0);
    auto gap = [column](int pixels) { column->addSpacing(pixels); };
    auto check_box = [this](const QString& text, bool on) {
        auto* box = new QCheckBox(text, this);
        style_check_box(box);
        box->setChecked(on);
        return box;
    };
    auto choices = [this](int first, int last, int current) {
        auto* box = new QComboBox(this);
        style_combo_box(box);
        for (int n = first; n <= last; ++n)
            box->addItem(QString::number(n));
        box->setCurrentIndex(current);
        box->setFixedSize(kListWidth, kListHeight);
        return box;
    };
    // A label, then a list beside it.
    auto labelled = [column](QLabel* label, QComboBox* box) {
        auto* row = new QHBoxLayout;
        row->setSpacing(12);
        row->addWidget(label);
        row->addWidget(box);
        row->addStretch(1);
        column->addLayout(row);
    };

    column->addWidget(title_label(t("settings.title"), 16));
    gap(18);
    column->addWidget(heading_label(t("settings.proxy")));
    gap(8);
    follow = check_box(t("settings.system_proxy"), s.proxy_mode == app::kProxySystem);
    column->addWidget(follow);
    gap(6);
    custom = check_box(t("settings.custom_proxy"), s.proxy_mode == app::kProxyCustom);
    column->addWidget(custom);
    gap(7);
    proxy = new QLineEdit(this);
    proxy->setFont(control_font());
    proxy->setMaxLength(static_cast<int>(app::kMaxProxyText));
    proxy->setPlaceholderText(t("settings.proxy_placeholder"));
    proxy->setText(q(s.proxy));
    column->addWidget(proxy);
    gap(7);
    column->addWidget(hint_label(t("settings.proxy_note")));
    gap(16);

    list = new QComboBox(this);
    style_combo_box(list);
    for (int32_t n : app::kConnectionChoices)
        list->addItem(QString::number(n));
    list->setCurrentIndex(app::connection_choice_index(s.connections));
    list->setMaxVisibleItems(static_cast<int>(app::kConnectionChoices.size()));
    list->setFixedSize(kListWidth, kListHeight);
    list->view()->setMaximumHeight(kListPopupHeight);
    labelled(heading_label(t("settings.connections")), list);
    gap(7);
    column->addWidget(hint_label(t("settings.connections_note")));
    gap(14);

    launch = check_box(t("settings.autostart"), app::SettingsStore(context.paths).autostart_enabled());
    column->addWidget(launch);
    gap(6);
    update_check = check_box(t("settings.updates"), s.auto_update_check);
    column->addWidget(update_check);
    gap(6);
    notices = check_box(language_is_chinese() ? QStringLiteral("下载完成或失败时通知")
                                              : QStringLiteral("Notify when downloads finish or fail"),
                        s.notifications);
    column->addWidget(notices);
    gap(8);
    auto* at_once_label = new QLabel(
        language_is_chinese() ? QStringLiteral("同时下载数") : QStringLiteral("Downloads at once"), this);
    at_once_label->setFont(control_font());
    set_text_colour(at_once_label, kText);
    at_once = choices(app::kMinDownloadsAtOnce, app::kMaxDownloadsAtOnce,
                      s.downloads_at_once - app::kMinDownloadsAtOnce);
    at_once->setMaxVisibleItems(app::kMaxDownloadsAtOnce);
    labelled(at_once_label, at_once);
    gap(18);

    column->addWidget(heading_label(t("extension.title")));
    gap(6);
    auto* browsers = new QGridLayout;
    browsers->setHorizontalSpacing(10);
    browsers->setVerticalSpacing(6);
    browsers->setColumnMinimumWidth(0, kStatusOffset - 10);
    browsers->setColumnStretch(1, 1);
    for (size_t i = 0; i < get.size(); ++i) {
        const int row = static_cast<int>(i);
        m_names[i] = new QLabel(QString::fromUtf8(app::kBrowsers[i].name), this);
        m_names[i]->setFont(ui_font(12, 500));
        m_states[i] = new QLabel(this);
        m_states[i]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        get[i] = push_button(t("extension.get"), false);
        get[i]->setEnabled(false);
        browsers->addWidget(m_names[i], row, 0);
        browsers->addWidget(m_states[i], row, 1);
        browsers->addWidget(get[i], row, 2);
    }
    column->addLayout(browsers);
    gap(6);
    column->addWidget(hint_label(t("extension.note")));
    gap(18);

    column->addWidget(heading_label(t("settings.folder")));
    gap(6);
    auto* folder_row = new QHBoxLayout;
    folder_row->setSpacing(12);
    m_folder = new PathLabel;
    m_folder->setFont(control_font());
    m_folder->set_path(q(s.download_dir.empty() ? context.default_folder : s.download_dir));
    choose = push_button(t("settings.choose"), false);
    folder_row->addWidget(m_folder, 1);
    folder_row->addWidget(choose);
    column->addLayout(folder_row);
    update_proxy_field();
}

void SettingsContent::set_rows(const std::array<app::BrowserRow, 3>& rows) {
    m_rows = rows;
    for (size_t i = 0; i < rows.size(); ++i) {
        get[i]->setEnabled(rows[i].installed);
        set_text_colour(m_names[i], rows[i].installed ? kText : grey(40));
        show_status(m_states[i], app::browser_status(rows[i]));
    }
}

SettingsDialog::SettingsDialog(SettingsContext context, QWidget* owner)
    : QDialog(owner), m_context(std::move(context)) {
    setObjectName(QStringLiteral("TWKSettingsDialog"));
    setWindowTitle(t("settings.title"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    setStyleSheet(dialog_style_sheet());
    if (!m_context.choose_folder) m_context.choose_folder = pick_folder;
    if (!m_context.open_page)
        m_context.open_page = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };

    m_content = new SettingsContent(m_context, nullptr);
    for (size_t i = 0; i < m_content->get.size(); ++i)
        connect(m_content->get[i], &QPushButton::clicked, this,
                [this, i] { get_extension(static_cast<int>(i)); });
    connect(m_content->choose, &QPushButton::clicked, this, [this] { choose_folder(); });
    connect(m_content->follow, &QCheckBox::toggled, this, [this](bool on) {
        if (on) m_content->custom->setChecked(false);
        m_content->update_proxy_field();
    });
    connect(m_content->custom, &QCheckBox::toggled, this, [this](bool on) {
        if (on) m_content->follow->setChecked(false);
        m_content->update_proxy_field();
        if (on) m_content->proxy->setFocus();
    });
    m_area = new QScrollArea(this);
    m_area->setFrameShape(QFrame::NoFrame);
    m_area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_area->setWidgetResizable(true);
    m_area->setWidget(m_content);
    m_area->verticalScrollBar()->setSingleStep(kScrollStep);
    // Tabbing onto a control that is scrolled away brings it into view.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && m_content->isAncestorOf(now)) m_area->ensureWidgetVisible(now, 0, 8);
    });

    m_footer = new QWidget(this);
    m_footer->setFixedHeight(kFooterHeight);
    auto* footer = new QHBoxLayout(m_footer);
    footer->setContentsMargins(kMargin, 4, kMargin, 4);
    footer->setSpacing(static_cast<int>(kPushButtonGap));
    m_problem = new QLabel;
    m_problem->setWordWrap(true);
    m_problem->setFont(hint_font());
    set_text_colour(m_problem, kError);
    m_problem->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_problem->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* buttons = button_box();
    m_save = push_button(t("dialog.save"), true);
    m_cancel = push_button(t("dialog.cancel"), false);
    buttons->addButton(m_save, QDialogButtonBox::AcceptRole);
    buttons->addButton(m_cancel, QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::save);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    footer->addWidget(m_problem, 1);
    footer->addWidget(buttons, 0, Qt::AlignVCenter);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_area, 1);
    layout->addWidget(m_footer);
    refresh_browsers();
    fit_to_screen();
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
    int content = m_content->layout()->heightForWidth(kClientWidth);
    if (content <= 0) content = m_content->sizeHint().height();
    int height = content + kFooterHeight;
    QWidget* owner = parentWidget();
    QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        int frame = owner ? owner->frameGeometry().height() - owner->geometry().height() : 0;
        int fits = screen->availableGeometry().height() - frame - kScreenSlack;
        if (height > fits && fits >= kMinShrunkHeight) height = fits;
    }
    setFixedSize(kClientWidth, height);
    m_area->setVerticalScrollBarPolicy(content > height - kFooterHeight ? Qt::ScrollBarAlwaysOn
                                                                        : Qt::ScrollBarAlwaysOff);
    layout()->activate();
}

QScrollBar* SettingsDialog::scroll_bar() const { return m_area->verticalScrollBar(); }
QRectF SettingsDialog::save_button_rect() const {
    return QRectF(m_save->mapTo(this, QPoint(0, 0)), m_save->size());
}
QRectF SettingsDialog::cancel_button_rect() const {
    return QRectF(m_cancel->mapTo(this, QPoint(0, 0)), m_cancel->size());
}
int SettingsDialog::content_height() const { return m_content->height(); }
int SettingsDialog::visible_height() const { return m_area->viewport()->height(); }
int SettingsDialog::scroll_offset() const { return scroll_bar()->value(); }
void SettingsDialog::scroll_to(int offset) { scroll_bar()->setValue(offset); } // the bar clamps it

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
    QString chosen = m_context.choose_folder(this, t("settings.choose_title"), m_content->folder());
    if (!chosen.isEmpty()) m_content->set_folder(chosen);
}

void SettingsDialog::get_extension(int row) {
    if (row < 0 || row >= static_cast<int>(app::kBrowsers.size())) return;
    if (!m_content->rows()[static_cast<size_t>(row)].installed) return;
    m_context.open_page(QString::fromUtf8(kExtensionPageUrl));
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
    // Over the footer too, the wheel scrolls the content.
    if (scroll_bar()->maximum() > 0)
        scroll_to(scroll_bar()->value() - event->angleDelta().y() * kScrollStep / 120);
}

} // namespace twk::ui

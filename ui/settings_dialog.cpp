#include "ui/settings_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cstdlib>
#include <initializer_list>

#include "ui/palette.h"
#include "ui/settings_sections.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

constexpr int kClientWidth = 480;
constexpr int kMargin = 22;
constexpr int kFooterHeight = 18 + 30 + 18;
constexpr int kScrollStep = 40;
constexpr int kMinShrunkHeight = 240;
constexpr int kScreenSlack = 8;
constexpr int kBrowserRefreshMs = 1000;
constexpr int kShotRepaintMs = 250;
constexpr int kSectionGap = 18;

QString t(const char* key) { return QString::fromUtf8(tr(key)); }
QString q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString pick_folder(QWidget* owner, const QString& title, const QString& start) {
    return QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
}

} // namespace

// The scrolling part of the dialog: the title and the sections, everything above the footer.
class SettingsContent : public QWidget {
public:
    SettingsContent(const SettingsContext& context, QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("TWKDialogContent"));
        const app::Settings& s = context.settings;
        proxy = new ProxySection(s);
        downloads = new DownloadsSection(s);
        desktop = new DesktopSection(s, app::SettingsStore(context.paths).autostart_enabled());
        extension = new ExtensionSection;
        folder = new FolderSection(q(s.download_dir.empty() ? context.default_folder : s.download_dir));
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(kMargin, 16, kMargin, 18);
        column->setSpacing(kSectionGap);
        column->addWidget(title_label(t("settings.title"), 16));
        for (QWidget* section : std::initializer_list<QWidget*>{proxy, downloads, desktop, extension, folder})
            column->addWidget(section);
    }

    ProxySection* proxy = nullptr;
    DownloadsSection* downloads = nullptr;
    DesktopSection* desktop = nullptr;
    ExtensionSection* extension = nullptr;
    FolderSection* folder = nullptr;
};

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
    ExtensionSection* extension = m_content->extension;
    for (size_t i = 0; i < extension->get.size(); ++i)
        connect(extension->get[i], &QPushButton::clicked, this,
                [this, i] { get_extension(static_cast<int>(i)); });
    connect(m_content->folder->choose, &QPushButton::clicked, this, [this] { choose_folder(); });
    ProxySection* proxy = m_content->proxy;
    connect(proxy->follow, &QCheckBox::toggled, this, [proxy](bool on) {
        if (on) proxy->custom->setChecked(false);
        proxy->update_field();
    });
    connect(proxy->custom, &QCheckBox::toggled, this, [proxy](bool on) {
        if (on) proxy->follow->setChecked(false);
        proxy->update_field();
        if (on) proxy->proxy->setFocus();
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
    m_footer->setObjectName(QStringLiteral("TWKFooter"));
    m_footer->setAttribute(Qt::WA_StyledBackground);
    m_footer->setFixedHeight(kFooterHeight);
    auto* footer = new QHBoxLayout(m_footer);
    footer->setContentsMargins(kMargin, 4, kMargin, 4);
    footer->setSpacing(static_cast<int>(kPushButtonGap));
    m_problem = new QLabel;
    m_problem->setWordWrap(true);
    m_problem->setFont(hint_font());
    QPalette problem_palette = m_problem->palette();
    problem_palette.setColor(QPalette::WindowText, kError);
    m_problem->setPalette(problem_palette);
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

    if (proxy->custom->isChecked())
        proxy->proxy->setFocus();
    else
        proxy->follow->setFocus();
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
    const bool scrolls = content > height - kFooterHeight;
    m_area->setVerticalScrollBarPolicy(scrolls ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    // A line between the scrolled content and the footer.
    m_footer->setStyleSheet(
        scrolls ? QStringLiteral("QWidget#TWKFooter { border-top: 1px solid rgba(0, 0, 0, 18); }")
                : QString());
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

ProxySection& SettingsDialog::proxy_section() const { return *m_content->proxy; }
DownloadsSection& SettingsDialog::downloads_section() const { return *m_content->downloads; }
DesktopSection& SettingsDialog::desktop_section() const { return *m_content->desktop; }
QCheckBox* SettingsDialog::follow_system_box() const { return m_content->proxy->follow; }
QCheckBox* SettingsDialog::custom_proxy_box() const { return m_content->proxy->custom; }
QCheckBox* SettingsDialog::launch_box() const { return m_content->desktop->launch; }
QCheckBox* SettingsDialog::update_box() const { return m_content->desktop->update_check; }
QCheckBox* SettingsDialog::notices_box() const { return m_content->desktop->notices; }
QComboBox* SettingsDialog::at_once_list() const { return m_content->downloads->at_once; }
QLineEdit* SettingsDialog::proxy_field() const { return m_content->proxy->proxy; }
QComboBox* SettingsDialog::connections_list() const { return m_content->downloads->connections; }
const std::array<app::BrowserRow, 3>& SettingsDialog::browser_rows() const {
    return m_content->extension->rows();
}
QString SettingsDialog::shown_folder() const { return m_content->folder->folder(); }

void SettingsDialog::refresh_browsers() {
    std::string path;
    if (m_context.browser_path) {
        path = *m_context.browser_path;
    } else if (const char* env = std::getenv("PATH")) {
        path = env;
    }
    m_content->extension->set_rows(app::read_browser_rows(path, m_context.contact_age));
}

void SettingsDialog::choose_folder() {
    QString chosen = m_context.choose_folder(this, t("settings.choose_title"), shown_folder());
    if (!chosen.isEmpty()) m_content->folder->set_folder(chosen);
}

void SettingsDialog::get_extension(int row) {
    if (row < 0 || row >= static_cast<int>(app::kBrowsers.size())) return;
    if (!browser_rows()[static_cast<size_t>(row)].installed) return;
    m_context.open_page(QString::fromUtf8(kExtensionPageUrl));
}

QString SettingsDialog::problem_text() const { return m_problem->text(); }

void SettingsDialog::save() {
    app::SettingsForm form;
    form.download_dir = shown_folder().toStdString();
    m_content->proxy->read(form);
    // The first refusal wins: the proxy, the numbers in their order, then the folder.
    FieldProblem problem;
    if (form.custom_proxy) problem = {proxy_problem(form.proxy_text), proxy_field()};
    if (problem.message.isEmpty()) problem = m_content->downloads->read(form);
    if (problem.message.isEmpty()) problem = m_content->desktop->read(form);
    if (problem.message.isEmpty())
        problem = {folder_problem(form.download_dir.empty() ? m_context.default_folder : form.download_dir),
                   nullptr};
    m_problem->setText(problem.message);
    m_problem->setToolTip(problem.message);
    if (!problem.message.isEmpty()) {
        if (problem.field) problem.field->setFocus();
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

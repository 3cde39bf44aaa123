#include "ui/app.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QSocketNotifier>

#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/engine.h"
#include "net/text.h"
#include "ui/clipboard_watch.h"
#include "ui/link_drop.h"
#include "ui/notifier.h"
#include "ui/queue_end.h"
#include "ui/shell_controller.h"
#include "ui/single_instance.h"
#include "ui/sleep_inhibitor.h"
#include "ui/task_list.h"
#include "ui/text_table.h"
#include "ui/theme.h"

// Resources of a static library are registered by hand.
static void init_resources() { Q_INIT_RESOURCE(tarnwick); }

namespace twk::ui {
namespace {

// The lengths of the buffers the environment switches are read into, kept so that a value
// too long for them reads the same on every platform.
constexpr size_t kShotPathChars = 259;
constexpr size_t kShotDelayChars = 31;

std::string env_text(const char* name, size_t limit) {
    const char* value = std::getenv(name);
    if (!value) return {};
    return std::string(value, strnlen(value, limit));
}

} // namespace

int64_t leading_number(const char* text) {
    int64_t n = 0;
    for (const char* c = text; *c >= '0' && *c <= '9'; ++c) {
        if (n > (INT64_MAX - 9) / 10) break;
        n = n * 10 + (*c - '0');
    }
    return n;
}

ShotRequest shot_request_from_env() {
    ShotRequest shot;
    shot.path = QString::fromStdString(env_text("TWK_SHOT", kShotPathChars));
    std::string delay = env_text("TWK_SHOT_MS", kShotDelayChars);
    if (!delay.empty()) shot.delay_ms = leading_number(delay.c_str());
    return shot;
}

void apply_stored_language(const app::SettingsStore& store) {
    const std::string language = store.read_string("Language", "");
    if (language == "zh") set_language_mode(LanguageMode::Chinese);
    if (language == "en") set_language_mode(LanguageMode::English);
}

void restore_window_geometry(QWidget& window, const app::SettingsStore& store) {
    const std::string kept = store.read_string("WindowGeometry", "");
    if (!kept.empty()) window.restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(kept)));
}

void keep_window_geometry(const QWidget& window, app::SettingsStore& store) {
    store.write_string("WindowGeometry", window.saveGeometry().toBase64().toStdString());
}

std::string executable_path() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return {};
    return std::string(buffer, static_cast<size_t>(n));
}

App::App() {
    // Qt adopts the user's locale for the C library; numbers in documents and on screen are
    // written the same everywhere.
    std::setlocale(LC_NUMERIC, "C");
    set_system_language_chinese(QLocale::system().language() == QLocale::Chinese);
    init_resources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/tarnwick.svg")));
    apply_stored_language(app::SettingsStore(app::settings_paths_from_env()));

    // Light or dark as the desktop prefers, before the window is made; followed while it runs.
    auto* theme = new ThemeWatcher([this](bool dark) {
        apply_theme(dark);
        if (m_window) {
            m_window->update();
            // Rows repaint only when they change: all of them take the new colours now.
            m_window->list_view().viewport()->update();
        }
    });
    theme->start();
    m_window = std::make_unique<MainWindow>(m_engine.ops());
    theme->setParent(m_window.get());
    m_theme = theme;
    m_tray = new TrayIcon(*m_window);
    // Links dropped on the window start as downloads.
    new LinkDropFilter(*m_window,
                       [window = m_window.get()](const std::string& link) { window->start_download(link); });
    m_tray->add();
    m_tray->set_task_source(m_engine.polled_snapshot());
    ShotRequest shot = shot_request_from_env();
    if (!shot.path.isEmpty()) m_window->request_screenshot(shot.path, monotonic_ms() + shot.delay_ms);

    m_engine.start();
    // The computer stays awake while downloads transfer.
    m_sleep = new SleepInhibitor(m_engine.polled_snapshot(), m_window.get());
    m_sleep->start();
    Notifier::Hooks hooks;
    hooks.snapshot = m_engine.polled_snapshot();
    hooks.retry = m_engine.ops().retry;
    hooks.window_active = [this] { return m_window->isActiveWindow() && !m_window->isMinimized(); };
    hooks.folder = [this] {
        return m_settings.download_dir.empty() ? default_download_dir() : m_settings.download_dir;
    };
    m_notifier = new Notifier(std::move(hooks), m_window.get());
    m_notifier->start();
    // A copied link is offered; the offer taken, it starts like one typed into New.
    m_clipboard = new ClipboardWatch(
        *m_notifier, [window = m_window.get()](const std::string& link) { window->start_download(link); },
        m_window.get());
    m_queue_end = new QueueEndWatcher({m_engine.polled_snapshot(), {}}, m_window.get());
    m_queue_end->start();

    app::SettingsStore store(app::settings_paths_from_env());
    std::string exe = executable_path();
    m_settings = app::load_settings(store, default_download_dir());
    app::seed_login_item(store, exe);
    store.register_url_scheme(exe);

    m_engine.apply(m_settings);
    m_notifier->set_enabled(m_settings.notifications);
    m_tray->set_close_to_tray(m_settings.close_to_tray);
    m_clipboard->set_enabled(m_settings.clipboard_watch);
    m_queue_end->set_action(m_settings.queue_end_action);
    m_window->set_download_folder(m_settings.download_dir);
    m_window->set_connections(m_settings.connections);
    m_window->set_settings_context(settings_context(exe));

    m_shell = std::make_unique<ShellController>(*m_window, app::settings_paths_from_env(), m_settings,
                                                ShellEnvironment::from_env(exe));
    m_shell->start(monotonic_ms());

    restore_window_geometry(*m_window, store);
    m_window->show();
    if (env_text("TWK_AUTOSTART_SETTINGS", 7).rfind('1', 0) == 0) m_window->press_button(kButtonSettings);
}

SettingsContext App::settings_context(const std::string& exe) {
    SettingsContext context;
    context.settings = m_settings;
    context.paths = app::settings_paths_from_env();
    context.exe_path = exe;
    context.default_folder = default_download_dir();
    context.contact_age = [this](std::string_view tag) { return m_engine.browser_contact_age(tag); };
    context.saved = [this](const app::Settings& saved) {
        // Turning the daily update check on or off reschedules it from now.
        const bool update_check_changed = saved.auto_update_check != m_settings.auto_update_check;
        m_settings = saved;
        m_engine.apply(saved);
        if (m_shell) m_shell->set_proxy(saved.proxy_mode, saved.proxy);
        if (m_notifier) m_notifier->set_enabled(saved.notifications);
        if (m_tray) m_tray->set_close_to_tray(saved.close_to_tray);
        if (m_clipboard) m_clipboard->set_enabled(saved.clipboard_watch);
        if (m_queue_end) m_queue_end->set_action(saved.queue_end_action);
        if (update_check_changed && m_shell)
            m_shell->set_auto_update(saved.auto_update_check, monotonic_ms());
    };
    // Limits changed through the control API are kept as they are: the engine has them.
    context.adopted = [this](const app::Settings& adopted) { m_settings = adopted; };
    return context;
}

App::~App() {
    app::SettingsStore store(app::settings_paths_from_env());
    keep_window_geometry(*m_window, store);
    m_shell.reset();
    m_window.reset();
    m_engine.stop();
}

namespace {

int g_quit_pipe[2] = {-1, -1};

void request_quit(int) {
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(g_quit_pipe[1], &byte, 1);
}

// SIGTERM (a session ending, `kill`) and SIGINT close the window the normal way, so the engine
// pauses its tasks and their sidecars are saved; an open dialog is cancelled first, since its
// own event loop would otherwise hold the app. The handler only writes a byte; the event loop
// reads it.
void quit_on_signals(QObject* owner) {
    if (::pipe2(g_quit_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(g_quit_pipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [] {
        char byte;
        while (::read(g_quit_pipe[0], &byte, 1) == 1) {
        }
        MainWindow::quit_now();
    });
    struct sigaction action {};
    action.sa_handler = request_quit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace

int run_app(const std::vector<std::string>& links) {
    // Before start-up, so that a signal arriving while the window is being made (the run marker
    // already written) still ends the run cleanly once the loop runs.
    quit_on_signals(QCoreApplication::instance());
    App app;
    // A signal that came while a dialog opened at start-up was showing has ended that dialog's
    // loop already; the main loop would not hear of it.
    if (MainWindow::quit_requested()) return 0;
    MainWindow& window = app.window();
    // Later starts hand their links over to this one and bring its window forward.
    auto* instance = new SingleInstance(
        [&window](const std::vector<std::string>& given) {
            for (const std::string& link : given)
                window.start_download(link);
            window.showNormal();
            window.raise();
            window.activateWindow();
        },
        &window);
    if (!instance->listen(instance_socket_path()))
        std::fputs(
            "tarnwick: another start listens for links already; links given to later starts go there\n",
            stderr);
    for (const std::string& link : links)
        window.start_download(link);
    return QApplication::exec();
}

} // namespace twk::ui

#include "ui/shell_controller.h"

#include <QDesktopServices>
#include <QMetaObject>
#include <QUrl>

#include <cstdlib>
#include <ctime>

#include "net/file_io.h"
#include "net/text.h"

namespace twk::ui {
namespace {

int64_t wall_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

std::string file_stem(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

} // namespace

ShellEnvironment ShellEnvironment::from_env(const std::string& exe_path) {
    ShellEnvironment env;
    env.endpoint = app::vendor_endpoint();
    env.state_folder = twk::state_folder();
    env.report_folders = app::crash_report_folders_from_env();
    env.exe_name = file_stem(exe_path.empty() ? std::string("tarnwick") : exe_path);
    const char* now = std::getenv("TWK_SELFUPDATE_NOW");
    env.update_now = now && now[0] == '1';
    env.open_url = [](const std::string& url) {
        QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
    };
    return env;
}

ShellController::ShellController(MainWindow& window, app::SettingsPaths paths, const app::Settings& settings,
                                 ShellEnvironment env)
    : m_window(window), m_paths(std::move(paths)), m_settings(settings), m_env(std::move(env)),
      m_markers(m_env.state_folder) {
    MainWindow::ShellHooks hooks;
    hooks.download = [this] { start_self_update(); };
    hooks.share = [this] { share(); };
    hooks.tick = [this] { tick(monotonic_ms()); };
    m_window.set_shell_hooks(std::move(hooks));
}

ShellController::~ShellController() {
    m_window.set_shell_hooks({});
    m_jobs.stop_and_join();
    m_markers.delete_marker();
}

app::RunMarker ShellController::current_marker(int64_t now_ms) const {
    app::RunMarker marker;
    marker.v = app::program_version();
    marker.os = app::os_text();
    marker.up = (now_ms - m_sampler.start_ms()) / 1000;
    marker.rss = m_sampler.last_memory();
    marker.cpu = m_sampler.last_cpu();
    return marker;
}

void ShellController::start(int64_t now_ms) {
    m_sampler.start(now_ms, app::cpu_time_100ns(), app::memory_mib());
    if (std::optional<app::DiagRecord> crash =
            app::crash_check(m_markers, m_env.report_folders, m_env.exe_name, current_marker(now_ms)))
        raise_prompt(*crash, true);

    app::SettingsStore store(m_paths);
    bool auto_update = store.read_dword("AutoUpdateCheck", 1) != 0;
    int64_t last = static_cast<uint32_t>(store.read_dword("LastUpdateCheck", 0));
    if (app::update_check_due_at_start(auto_update, last, wall_seconds())) start_update_check();
    if (auto_update) m_next_check_ms = now_ms + app::kUpdateCheckPeriodMs;
}

void ShellController::tick(int64_t now_ms) {
    if (m_settings.auto_update_check && m_next_check_ms != 0 && now_ms >= m_next_check_ms) {
        m_next_check_ms = now_ms + app::kUpdateCheckPeriodMs;
        start_update_check();
    }
    if (!m_sampler.due(now_ms)) return;
    app::ResourceSample sample;
    sample.now_ms = now_ms;
    sample.cpu_time = app::cpu_time_100ns();
    sample.memory_mib = app::memory_mib();
    for (const TaskView& task : m_window.model().tasks()) {
        ViewState state = task.state();
        if (state == ViewState::Queued || state == ViewState::Probing || state == ViewState::Downloading)
            ++sample.active;
        if (state == ViewState::Done) ++sample.done;
    }
    take_sample(sample);
}

void ShellController::take_sample(const app::ResourceSample& sample) {
    app::ResourceSampler::Outcome outcome = m_sampler.sample(sample);
    if (outcome.write_marker) m_markers.write_marker(current_marker(sample.now_ms));
    if (outcome.trigger.empty()) return;
    app::DiagRecord record;
    record.v = app::program_version();
    record.os = app::os_text();
    record.up = (sample.now_ms - m_sampler.start_ms()) / 1000;
    record.rss = m_sampler.last_memory();
    record.cpu = m_sampler.last_cpu();
    record.act = sample.active;
    record.done = sample.done;
    record.trig = outcome.trigger;
    raise_prompt(record, false);
}

void ShellController::raise_prompt(const app::DiagRecord& record, bool crash) {
    if (!m_prompt.raise(record)) return;
    // Posted, as the window may still be being set up when the crash check runs.
    QMetaObject::invokeMethod(
        this, [this, crash] { m_window.show_diagnostic_banner(crash); }, Qt::QueuedConnection);
}

void ShellController::share() {
    std::optional<std::string> body = m_prompt.take_for_sending();
    if (!body) return;
    std::string endpoint = m_env.endpoint;
    ProxySpec proxy = app::updater_proxy(m_settings);
    m_jobs.run([this, endpoint, proxy, body = std::move(*body)](const std::atomic<bool>&) {
        app::post_diagnostic(endpoint, body, proxy, &m_jobs.connections());
    });
}

void ShellController::start_update_check() {
    std::string endpoint = m_env.endpoint;
    app::SettingsPaths paths = m_paths;
    bool immediately = m_env.update_now;
    m_jobs.run([this, endpoint, paths, immediately](const std::atomic<bool>& stop) {
        app::SettingsStore store(paths);
        std::optional<app::UpdateOffer> offer =
            app::run_update_check(store, endpoint, wall_seconds(), &m_jobs.connections());
        if (!offer || stop.load()) return;
        if (immediately) app::report_found(*offer);
        QMetaObject::invokeMethod(
            this, [this, offer = *offer, immediately] { offer_update(offer, immediately); },
            Qt::QueuedConnection);
    });
}

void ShellController::offer_update(const app::UpdateOffer& offer, bool immediately) {
    // The window shows the newest offer (at once, or after a prompt closes); a click on its
    // "Download" takes this one.
    m_offer = offer;
    if (immediately) {
        start_self_update();
        return;
    }
    m_window.show_update_banner(offer.version + "\n" + offer.url + "\n" + offer.sha256);
}

void ShellController::start_self_update() {
    if (m_update_in_progress.load()) return;
    if (!app::offer_is_downloadable(m_offer)) {
        if (m_env.open_url) m_env.open_url(m_env.endpoint + "/download");
        return;
    }
    m_update_in_progress.store(true);
    app::UpdateOffer offer = m_offer;
    ProxySpec proxy = app::updater_proxy(m_settings);
    m_jobs.run([this, offer, proxy](const std::atomic<bool>& stop) {
        std::string error;
        bool ok = app::fetch_and_launch_installer(offer, proxy, &stop, error, &m_jobs.connections());
        if (ok)
            app::report_launched();
        else
            app::report_failed();
        if (stop.load()) return;
        QMetaObject::invokeMethod(
            this,
            [this, ok] {
                if (ok)
                    m_window.close();
                else
                    update_failed();
            },
            Qt::QueuedConnection);
    });
}

void ShellController::update_failed() {
    if (m_env.open_url) m_env.open_url(m_env.endpoint + "/download");
    m_update_in_progress.store(false);
}

void ShellController::set_auto_update(bool on, int64_t now_ms) {
    m_settings.auto_update_check = on;
    m_next_check_ms = on ? now_ms + app::kUpdateCheckPeriodMs : 0;
}

} // namespace twk::ui

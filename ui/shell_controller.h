// The Qt side of self-update and diagnostics: owns the worker threads, the offered update, the
// resource sampler and the one prompt per run, and talks to the window only on the UI thread
// (workers post queued calls here). The window calls in through its hooks: a click on the
// banner's link, and every refresh tick.
#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "app/background_jobs.h"
#include "app/diagnostics.h"
#include "app/self_update.h"
#include "app/settings.h"
#include "ui/main_window.h"

namespace twk::ui {

// Where the controller looks and what it may do; the defaults come from the environment.
struct ShellEnvironment {
    std::string endpoint;                    // vendor_endpoint()
    std::string state_folder;                // state_folder() (net/file_io.h)
    std::vector<std::string> report_folders; // crash_report_folders_from_env()
    std::string exe_name;                    // the running program's file name, no extension
    bool update_now = false;                 // TWK_SELFUPDATE_NOW begins with "1"
    // Opens a page in the browser; tests record it instead.
    std::function<void(const std::string& url)> open_url;

    static ShellEnvironment from_env(const std::string& exe_path);
};

class ShellController : public QObject {
    Q_OBJECT
public:
    ShellController(MainWindow& window, app::SettingsPaths paths, const app::Settings& settings,
                    ShellEnvironment env);
    // Stops and joins the workers, then deletes the run marker: the run ended cleanly.
    ~ShellController() override;

    // Start-up: the sampler's first values, the crash check, and the update check when due.
    void start(int64_t now_ms);
    // The window's refresh tick: the daily update check and the resource sample when due.
    void tick(int64_t now_ms);

    void start_update_check();
    // The banner's "Download": the installer when the offer allows it, else the download page.
    void start_self_update();
    // The banner's "Share": the pending record, once per run.
    void share();
    // The Settings dialog turned the daily check on (next one in 24 hours) or off.
    void set_auto_update(bool on, int64_t now_ms);

    // One resource sample with the given values, as the tick takes it every minute.
    void take_sample(const app::ResourceSample& sample);

    const app::UpdateOffer& offer() const { return m_offer; }
    bool update_in_progress() const { return m_update_in_progress.load(); }
    const app::DiagnosticPrompt& prompt() const { return m_prompt; }
    int64_t next_check_ms() const { return m_next_check_ms; }
    size_t workers_running() const { return m_jobs.running(); }
    const app::MarkerFiles& markers() const { return m_markers; }

private:
    app::RunMarker current_marker(int64_t now_ms) const;
    void offer_update(const app::UpdateOffer& offer, bool immediately);
    void raise_prompt(const app::DiagRecord& record, bool crash);
    void update_failed();

    MainWindow& m_window;
    app::SettingsPaths m_paths;
    app::Settings m_settings;
    ShellEnvironment m_env;
    app::MarkerFiles m_markers;
    app::ResourceSampler m_sampler;
    app::DiagnosticPrompt m_prompt;
    app::UpdateOffer m_offer;
    std::atomic<bool> m_update_in_progress{false};
    int64_t m_next_check_ms = 0;
    app::BackgroundJobs m_jobs; // last: joined before the rest goes
};

} // namespace twk::ui

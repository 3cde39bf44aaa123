#include "cli/serve_command.h"

#include <cstdio>
#include <unistd.h>

#include "cli/stop_signals.h"
#include "control/control_server.h"
#include "control/control_service.h"
#include "core/engine.h"
#include "core/task_journal.h"
#include "net/text.h"

namespace twk {

namespace {

// Pauses every task of the engine and waits until none is queued or running, waking on every
// change of a task's state. False when a second signal came first.
bool pause_all(Engine& engine, const StopSignals& signals) {
    for (const TaskSnapshot& task : engine.snapshot().tasks)
        engine.pause(task.id);
    const auto signalled = [&] { return signals.count() > 1; };
    const int64_t deadline = monotonic_ms() + kSettleDeadlineMs;
    for (int64_t left = kSettleDeadlineMs; left > 0; left = deadline - monotonic_ms()) {
        const Revision seen = engine.revision();
        if (engine.all_settled()) return true;
        engine.wait_for_change(seen, ChangeScope::kStatus, left, signalled);
        if (signalled()) return false;
    }
    return true;
}

// Serves until a signal, then pauses every task. The signals are taken only while this runs,
// so that none reaches a destroyed engine.
int serve_with_engine(Engine& engine, const std::string& folder) {
    // Before the journal's writer and the control server start their threads.
    StopSignals signals(engine);
    // The task list of the last run comes back, paused; it is kept until this run stops.
    const std::string journal = default_journal_path();
    if (!journal.empty()) engine.set_journal(journal);
    std::string error;
    ControlServerHandle server(
        start_control_server(&engine, kControlAddress, control_port_setting(), &error));
    if (!server) {
        std::fprintf(stderr, "twk: no control server: %s\n", error.c_str());
        return 1;
    }
    std::printf("twk: control API on http://%s:%d/ , downloads to %s (Ctrl-C stops)\n",
                control_server_address(*server).c_str(), control_server_port(*server), folder.c_str());
    std::fflush(stdout);

    signals.wait_beyond(0);
    std::printf("twk: stopping: pausing every download\n");
    std::fflush(stdout);
    server.reset(); // no new downloads while the others settle
    if (!pause_all(engine, signals)) {
        std::fflush(nullptr);
        ::_exit(130);
    }
    return 0;
}

} // namespace

int run_serve(const ServeOptions& options, const TaskDrivers& drivers) {
    const std::string folder = options.directory.empty() ? default_download_dir() : options.directory;
    EngineOptions engine_options;
    engine_options.download_dir = folder;
    engine_options.max_concurrent = options.max_concurrent;
    engine_options.drivers = drivers;
    std::unique_ptr<Engine> engine = Engine::create(std::move(engine_options));
    engine->set_global_limit(options.speed_limit);
    const int status = serve_with_engine(*engine, folder);
    engine.reset();
    if (status == 0) std::printf("twk: stopped\n");
    return status;
}

} // namespace twk

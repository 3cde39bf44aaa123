#include "core/driver_run.h"

#include "core/sidecar.h"

namespace twk {

std::string DriverRun::validator() const {
    std::lock_guard lock(m_validator_lock);
    return m_validator;
}

void DriverRun::set_validator(std::string validator) {
    std::lock_guard lock(m_validator_lock);
    m_validator = std::move(validator);
}

void DriverRun::request_restart() {
    restart = true;
    task.control.interrupt();
}

void DriverRun::set_pending_adopt(std::string path, ResumeState state) {
    std::lock_guard lock(m_pending_lock);
    m_pending_path = std::move(path);
    m_pending_resume = std::move(state);
}

std::pair<std::string, ResumeState> DriverRun::take_pending_adopt() {
    std::lock_guard lock(m_pending_lock);
    return {std::exchange(m_pending_path, {}), std::exchange(m_pending_resume, {})};
}

bool pass_ending(const DriverRun& run) {
    const RunContext& task = run.task;
    return task.control.stop || task.control.pause || task.progress.failed || run.restart;
}

bool save_run_sidecar(const DriverRun& run) { return save_sidecar(run.task, run.validator()); }

} // namespace twk

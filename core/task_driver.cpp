#include "core/task_driver.h"

namespace twk {

void run_task(const std::shared_ptr<Task>& task) { task->set_status("error: no download driver"); }

} // namespace twk

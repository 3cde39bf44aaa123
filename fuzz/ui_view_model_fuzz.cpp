// The desktop app's view model on arbitrary task lists: the bytes become snapshots (ids that
// repeat, any state and text, sizes that do not add up), fed twice (so that records are updated
// in place and speeds computed), then the animation and every row text. Checks the model's own
// promises: visible rows are never canceled or hidden, and the selection is a listed task.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ui/row_text.h"
#include "ui/task_view_model.h"

namespace {

constexpr const char* kStatuses[] = {"queued", "probing",  "downloading",     "muxing", "done",
                                     "paused", "canceled", "error: HTTP 404", "error",  ""};
constexpr size_t kRecordSize = 12;

std::vector<twk::TaskSnapshot> tasks_from(const uint8_t* data, size_t size) {
    std::vector<twk::TaskSnapshot> tasks;
    for (size_t at = 0; at + kRecordSize <= size; at += kRecordSize) {
        const uint8_t* r = data + at;
        twk::TaskSnapshot task;
        task.id = static_cast<int32_t>(r[0] % 16) - 1;
        task.state = static_cast<twk::TaskState>(r[1] % 6);
        task.status = kStatuses[r[2] % std::size(kStatuses)];
        task.name = std::string(reinterpret_cast<const char*>(r + 3), 3);
        uint32_t total = 0, done = 0;
        std::memcpy(&total, r + 6, 2);
        std::memcpy(&done, r + 8, 2);
        task.total = total;
        task.done = done;
        task.connections = r[10];
        for (uint8_t i = 0; i < r[11] % 4; ++i)
            task.segments.push_back({i, done / 4u * i, done, total, (r[11] & 0x80) != 0});
        tasks.push_back(task);
    }
    return tasks;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<twk::TaskSnapshot> tasks = tasks_from(data, size);
    twk::ui::TaskViewModel model;
    model.update(tasks, 0);
    model.select(model.tasks().empty() ? 0 : model.tasks().back().id);
    model.hide_selected();
    model.update(tasks, 0.5);
    model.prune_hidden();
    model.animate();
    for (const twk::ui::TaskView* task : model.visible()) {
        if (task->state() == twk::ui::ViewState::Canceled || model.hidden().count(task->id)) std::abort();
        (void)twk::ui::badge_text(task->name);
        (void)twk::ui::compact_right_text(*task);
        (void)twk::ui::bottom_left_text(*task);
        (void)twk::ui::bottom_right_text(*task);
    }
    if (model.selected() && !model.find(*model.selected())) std::abort();
    (void)model.content_height();
    (void)model.row_at(100);
    return 0;
}

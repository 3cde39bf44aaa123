// The desktop app's view model on arbitrary list documents: two updates (so that records are
// updated in place and speeds computed), the animation, and every row text. Checks the model's
// own promises: visible rows are never canceled or hidden, and the selection is a listed task.
#include <cstdlib>
#include <string_view>

#include "ui/row_text.h"
#include "ui/task_view_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    twk::ui::TaskViewModel model;
    model.update(text, 0);
    model.select(model.tasks().empty() ? 0 : model.tasks().back().id);
    model.hide_selected();
    model.update(text, 0.5);
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

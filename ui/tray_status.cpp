#include "ui/tray_status.h"

#include <algorithm>
#include <string_view>

#include "ui/row_text.h"
#include "ui/text_table.h"
#include "ui/window_texts.h"

namespace twk::ui {
namespace {

// Below this a transfer counts as stalled: no time left is promised.
constexpr double kLeastSpeed = 1;

std::string with_number(WindowText text, const std::string& value) {
    std::string out = window_text(text);
    size_t at = out.find("%1");
    if (at != std::string::npos) out.replace(at, 2, value);
    return out;
}

// Cut at a character boundary.
std::string fit(std::string text, size_t most) {
    if (text.size() <= most) return text;
    size_t end = most;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

} // namespace

TrayStatus tray_status(const std::vector<TaskSnapshot>& tasks) {
    TrayStatus status;
    double total = 0;
    double done = 0;
    bool sized = true;
    for (const TaskSnapshot& task : tasks) {
        if (task.state == kQueued) ++status.queued;
        if (task.state != kRunning) continue;
        ++status.running;
        status.speed += task.speed;
        if (task.total == 0 || task.live) {
            sized = false;
            continue;
        }
        total += static_cast<double>(task.total);
        done += static_cast<double>(std::min(task.done, task.total));
    }
    if (total > 0) status.progress = done / total;
    if (status.running > 0 && sized && status.speed >= kLeastSpeed)
        status.seconds_left = (total - done) / status.speed;
    return status;
}

std::string tray_tooltip(const TrayStatus& status) {
    std::string tip = tr_text(8);
    if (status.running > 0) {
        tip += "\n" + with_number(WindowText::TrayDownloading, std::to_string(status.running));
        tip += " · " + speed_text(status.speed);
        if (status.seconds_left >= 0)
            tip += " · " + with_number(WindowText::TrayLeft, duration_text(status.seconds_left));
        if (status.queued > 0)
            tip += " · " + with_number(WindowText::TrayQueued, std::to_string(status.queued));
    } else if (status.queued > 0) {
        tip += "\n" + with_number(WindowText::TrayQueued, std::to_string(status.queued));
    }
    return fit(std::move(tip), kMaxTrayTipChars);
}

} // namespace twk::ui

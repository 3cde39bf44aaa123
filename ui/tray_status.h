// What the tray shows of the downloads: the tooltip's running count, total speed and time left,
// and the overall progress its icon draws. Worked out from the engine's snapshots, without Qt.
#pragma once

#include <string>
#include <vector>

#include "core/task_snapshot.h"

namespace twk::ui {

struct TrayStatus {
    int running = 0;          // probing or downloading
    int queued = 0;           // waiting for a slot
    double speed = 0;         // bytes per second, all together
    double seconds_left = -1; // for what runs; below 0 when unknown
    double progress = -1;     // 0 ... 1 over what runs; below 0 when nothing of known size runs

    // Running or waiting to run: closing the window would stop them.
    bool busy() const { return running + queued > 0; }
    bool operator==(const TrayStatus&) const = default;
};

// Time left is the bytes still missing of the running tasks over their speed together; unknown
// while one of them has no size yet, or nothing flows.
TrayStatus tray_status(const std::vector<TaskSnapshot>& tasks);

// The tooltip in the language in force: the product name, then, while something runs or waits,
// a line such as "2 downloading · 3.4 MB/s · 1m 20s left" or "3 queued". At most
// kMaxTrayTipChars characters (UTF-8 bytes counted, never cut inside a character).
inline constexpr size_t kMaxTrayTipChars = 127;
std::string tray_tooltip(const TrayStatus& status);

} // namespace twk::ui

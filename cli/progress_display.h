// The texts `twk get` prints about its tasks: the live progress line of a terminal, the line a
// state change gives when output is not a terminal, and the closing line of each task. Sizes,
// speeds and times come from the engine's display formatters. Control bytes in names, statuses
// and URLs are shown as "?" so that nothing from a server can drive the terminal.
//
// A live line looks like (fitted to the width given, the name shortened first, then the bar):
//   f.iso  [########............]  42%   420 MB/1000 MB   12.3 MB/s      47s   8/16
// and while the task is not downloading the status takes the place of speed, time and
// connections:
//   f.iso  [....................]   0%       0 B/0 B  probing
// A live recording shows its size and the media time it holds:
//   talk.ts  [....................]  live   12.3 MB     1m 30s  recording, 1 gap of 12 s
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "cli/task_progress.h"

namespace twk {

// Columns a UTF-8 text takes: one per code point (wide characters count as one).
size_t display_width(std::string_view text);

// The text cut to at most `width` columns, ending in "…" when it was cut.
std::string fit_width(std::string_view text, size_t width);

// The live line of one task, at most `width` columns. `speed` in bytes per second.
std::string progress_line(const TaskSnapshot& task, double speed, size_t width);

// The live lines of all tasks within `height` lines (`speeds` in the order of `tasks`). When they
// do not all fit, tasks that have not ended come first, in order, and the last line counts the
// tasks left out: "+12 more (10 done, 1 failed)".
std::vector<std::string> progress_screen(const std::vector<TaskSnapshot>& tasks,
                                         const std::vector<double>& speeds, size_t width, size_t height);

// "[1] f.iso: downloading" and, once the size is known, ", 1000 MB".
std::string change_line(const TaskSnapshot& task);

// The closing line: "done  <folder>/<name>  <size>" (a stream that left failing segments out adds
// "  (left out, failing: segments 3, 7)"); "paused  <path>  <done> of <total>";
// otherwise the status and the URL.
std::string summary_line(const TaskSnapshot& task, const std::string& folder);

} // namespace twk

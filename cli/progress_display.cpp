#include "cli/progress_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/status_document.h"

namespace twk {

namespace {

constexpr size_t kBarWidth = 20;
constexpr size_t kMinNameWidth = 12;
constexpr size_t kMaxNameWidth = 40;
constexpr size_t kPercentWidth = 4; // "100%"
constexpr size_t kSizeWidth = 15;   // "1023 MB/1023 MB"
constexpr size_t kSpeedWidth = 11;  // "1023.9 KB/s"
constexpr size_t kTimeWidth = 8;    // "11mo 29d"
constexpr size_t kConnWidth = 5;    // "32/32"
constexpr size_t kStateWidth = kSpeedWidth + 2 + kTimeWidth + 2 + kConnWidth;
constexpr const char* kEllipsis = "\xE2\x80\xA6";

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) c = '?';
    }
    return out;
}

std::string pad_left(std::string_view text, size_t width) {
    size_t w = display_width(text);
    return std::string(w < width ? width - w : 0, ' ') + std::string(text);
}

std::string pad_right(std::string_view text, size_t width) {
    size_t w = display_width(text);
    return std::string(text) + std::string(w < width ? width - w : 0, ' ');
}

std::string bar(const TaskSnapshot& task, size_t width) {
    size_t filled = 0;
    if (task.total > 0) {
        double share = std::min(1.0, static_cast<double>(task.done) / static_cast<double>(task.total));
        filled = static_cast<size_t>(share * static_cast<double>(width));
    }
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
}

std::string percent(const TaskSnapshot& task) {
    if (task.live) return pad_left("live", kPercentWidth);
    if (task.total == 0) return pad_left("?%", kPercentWidth);
    uint64_t whole = task.done >= task.total ? 100 : task.done * 100 / task.total;
    // Bytes in flight never round a task up to 100% before it is done.
    if (whole == 100 && task.state != kDone) whole = 99;
    return pad_left(std::to_string(whole) + "%", kPercentWidth);
}

std::string sizes(const TaskSnapshot& task) {
    std::string done = format_size(static_cast<double>(task.done));
    if (task.total == 0) return pad_left(done, kSizeWidth);
    // "~" marks a total guessed from the parts fetched so far.
    return pad_left(done + "/" + (task.total_estimated ? "~" : "") +
                        format_size(static_cast<double>(task.total)),
                    kSizeWidth);
}

// Speed, time left and connections while downloading; otherwise the status.
std::string state_columns(const TaskSnapshot& task, double speed) {
    // A live recording shows how much of the stream it holds first, then its status with the
    // gaps, which a narrow line may cut: "1m 30s  recording, 1 gap of 12 s".
    if (task.live && task.state == kRunning && task.phase == TaskPhase::kRecording)
        return pad_left(format_duration(task.recorded), kSpeedWidth) + "  " + printable(task.status);
    if (!task.downloading()) return printable(task.status);
    auto [number, unit] = format_speed(speed);
    double left = std::numeric_limits<double>::infinity();
    if (task.total > 0 && speed > 0 && task.done <= task.total)
        left = static_cast<double>(task.total - task.done) / speed;
    std::string conns = std::to_string(task.active_connections()) + "/" + std::to_string(task.connections);
    return pad_left(number + " " + unit, kSpeedWidth) + "  " + pad_left(format_duration(left), kTimeWidth) +
           "  " + pad_left(conns, kConnWidth);
}

} // namespace

size_t display_width(std::string_view text) {
    size_t width = 0;
    for (char c : text)
        width += is_continuation(c) ? 0 : 1;
    return width;
}

std::string fit_width(std::string_view text, size_t width) {
    if (display_width(text) <= width) return std::string(text);
    if (width == 0) return {};
    // Keep width - 1 code points, then the ellipsis.
    size_t kept = 0, end = 0;
    while (end < text.size()) {
        if (!is_continuation(text[end])) {
            if (kept == width - 1) break;
            ++kept;
        }
        ++end;
    }
    return std::string(text.substr(0, end)) + kEllipsis;
}

std::string progress_line(const TaskSnapshot& task, double speed, size_t width) {
    // Column widths do not depend on the status, so that the lines of several tasks line up; a
    // status longer than its columns is cut at the end of the line.
    constexpr size_t kAfterBar = 2 + kPercentWidth + 2 + kSizeWidth + 2 + kStateWidth;
    size_t room = width > kMinNameWidth + 4 + kAfterBar ? width - kMinNameWidth - 4 - kAfterBar : 0;
    size_t bar_width = std::min(room, kBarWidth);
    size_t name_width = std::min(kMinNameWidth + room - bar_width, kMaxNameWidth);
    std::string line = pad_right(fit_width(printable(task.name), name_width), name_width);
    if (bar_width > 0) line += "  " + bar(task, bar_width);
    line += "  " + percent(task) + "  " + sizes(task) + "  " + state_columns(task, speed);
    return fit_width(line, width);
}

std::vector<std::string> progress_screen(const std::vector<TaskSnapshot>& tasks,
                                         const std::vector<double>& speeds, size_t width, size_t height) {
    std::vector<std::string> lines;
    if (height == 0) return lines;
    const bool fits = tasks.size() <= height;
    const size_t room = fits ? tasks.size() : height - 1;
    std::vector<bool> shown(tasks.size(), fits);
    size_t chosen = fits ? room : 0;
    for (bool ended : {false, true}) {
        for (size_t i = 0; i < tasks.size() && chosen < room; ++i) {
            if (!shown[i] && is_final_state(tasks[i].state) == ended) {
                shown[i] = true;
                ++chosen;
            }
        }
    }
    size_t done = 0, failed = 0;
    for (size_t i = 0; i < tasks.size(); ++i) {
        if (shown[i]) {
            lines.push_back(progress_line(tasks[i], i < speeds.size() ? speeds[i] : 0, width));
        } else {
            done += tasks[i].state == kDone ? 1 : 0;
            failed += tasks[i].state == kError ? 1 : 0;
        }
    }
    if (!fits) {
        lines.push_back(fit_width("+" + std::to_string(tasks.size() - room) + " more (" +
                                      std::to_string(done) + " done, " + std::to_string(failed) + " failed)",
                                  width));
    }
    return lines;
}

std::string change_line(const TaskSnapshot& task) {
    std::string line =
        "[" + std::to_string(task.id) + "] " + printable(task.name) + ": " + printable(task.status);
    if (task.total > 0) line += ", " + format_size(static_cast<double>(task.total));
    return line;
}

std::string summary_line(const TaskSnapshot& task, const std::string& folder) {
    std::string path = printable(folder + "/" + task.name);
    if (task.state == kDone) {
        std::string line = "done  " + path + "  " + format_size(static_cast<double>(task.done));
        // Never silently: a stream that left failing segments out says which.
        if (!task.left_out.empty()) {
            line += task.left_out.size() == 1 ? "  (left out, failing: segment "
                                              : "  (left out, failing: segments ";
            for (size_t i = 0; i < task.left_out.size(); ++i)
                line += (i ? ", " : "") + std::to_string(task.left_out[i]);
            line += ")";
        }
        return line;
    }
    if (task.state == kPaused) {
        std::string line = "paused  " + path + "  " + format_size(static_cast<double>(task.done));
        if (task.total > 0)
            line += std::string(" of ") + (task.total_estimated ? "~" : "") +
                    format_size(static_cast<double>(task.total));
        return line;
    }
    return printable(task.status) + "  " + printable(task.url);
}

} // namespace twk

// The texts of a task row, decided without any drawing: the extension badge, the right-hand
// text of a compact row, the tall row's speed and bottom line, and the Chinese durations.
// Sizes, speeds and English durations use the engine's display formatters.
#pragma once

#include <string>
#include <string_view>

#include "ui/task_view_model.h"

namespace twk::ui {

// The part after the last "." upper-cased when it is 1 to 5 letters or digits, else "FILE".
std::string badge_text(std::string_view name);

// "%d 秒" up to "%d 年 %d 个月" (30-day months, 360-day years); "—" when not finite, negative
// or 3 110 400 000 seconds and more.
std::string chinese_duration(double seconds);

// The remaining time in the language in force ("—" when unknown).
std::string duration_text(double seconds);

// The compact row's right-hand text; done rows show the size (the caller adds the check mark),
// a paused recording the media time it holds ("Paused · 12m 34s recorded").
std::string compact_right_text(const TaskView& task);

// "1.5 KB/s": number, blank, unit.
std::string speed_text(double bytes_per_second);

// "12.0 MB / 40.0 MB · 6/8 threads": amount, total when known, active segments of the
// configured connections.
std::string bottom_left_text(const TaskView& task);
// "3m 5s left · 30%" (English) or "剩余 3 分 5 秒 · 30%": only for a downloading task of known
// size; for a live recording under way its status and the media time it holds, "recording ·
// 12m 5s" or "recording, 1 gap of 12 s · 12m 5s" ("录制中 · 12 分 5 秒"); else empty.
std::string bottom_right_text(const TaskView& task);

// A status or error text the engine wrote, in the language in force: the engine's texts stay
// English (documents and journals keep them exact), so Chinese is put on at display. Parts
// not in the table are shown as they are; a recording's gaps are said whole ("录制中，1 处缺口，
// 共 12 秒").
std::string display_status(std::string_view status);

// Downloaded bytes as a truncated percentage of the total (0 for no total).
int percent_done(const TaskView& task);

} // namespace twk::ui

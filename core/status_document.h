// The task status documents: JSON texts assembled by hand in a fixed member order, read by the
// control API, the WebSocket channel and the desktop shell. The order and number formats are
// part of the interface:
//
//   list document  {<status fragment of the current task, or "status":"idle">,"tasks":[<entry>,...]}
//   fragment       "status":..,"filename":..,"url":..,"total":N,"done":N,"connections":N,
//                  "supportsRange":B,"elapsed":S.ss,"segments":[..]
//   entry          {"id":N,"name":..,"filename":..,"url":..,"status":..,"total":N,"done":N,
//                   "connections":N,"supportsRange":B,"segments":[..]}
//   segment        {"id":N,"start":N,"pos":N,"end":N,"active":B}
//
// While a total is only a guess from what was fetched so far (a stream's parts), "total" is
// followed by "totalEstimated":true; the member is absent otherwise. A live recording (total 0)
// has "live":true,"recorded":S.s (media seconds recorded) after "supportsRange"; a stream that
// left failing segments out lists their numbers next, "leftOut":[3,7].
// "done" is capped at a non-zero total; a segment's end is capped at a non-zero total and is
// 18446744073709551615 while the size is unknown. Also here: the display formatters the task
// list view applies to these values.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "core/task.h"
#include "core/task_list.h"

namespace twk {

// The document for "no engine", and for a list that never started a task but with "tasks".
inline constexpr const char* kIdleDocument = "{\"status\":\"idle\",\"tasks\":[]}";

std::string segments_json(const Task& task);
// `now_ns` (steady clock) gives "elapsed"; the current time when left out.
std::string task_status_fragment(const Task& task, int64_t now_ns);
std::string task_entry_json(int32_t id, int32_t state, const Task& task);
std::string task_list_document(const TaskList& list, int64_t now_ns);
std::string task_list_document(const TaskList& list);

// 1536 gives "1.50 KB"; "—" for a negative value or one that is not a number.
std::string format_size(double bytes);
// 1536 gives {"1.5", "KB/s"}; a negative value counts as 0.
std::pair<std::string, std::string> format_speed(double bytes_per_second);
// 59.6 gives "1m 0s", 3600 "1h 0m"; "—" when not finite, negative or 100 years and more.
std::string format_duration(double seconds);

} // namespace twk

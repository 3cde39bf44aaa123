#include "ui/row_text.h"

#include <algorithm>
#include <cmath>

#include "core/status_document.h"
#include "ui/text_table.h"

namespace twk::ui {
namespace {

constexpr const char* kNoValue = "—";
constexpr double kMaxChineseDuration = 3110400000.0;
constexpr int64_t kMinute = 60, kHour = 3600, kDay = 86400, kMonth = 2592000, kYear = 31104000;

std::string number(int64_t n) { return std::to_string(n); }

std::string pair_text(int64_t big, int64_t small, const char* big_unit, const char* small_unit) {
    return number(big) + " " + big_unit + " " + number(small) + " " + small_unit;
}

} // namespace

std::string badge_text(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return "FILE";
    std::string_view ext = name.substr(dot + 1);
    if (ext.empty() || ext.size() > 5) return "FILE";
    std::string out;
    for (char c : ext) {
        bool digit = c >= '0' && c <= '9', lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z';
        if (!digit && !lower && !upper) return "FILE";
        out += lower ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

std::string chinese_duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds >= kMaxChineseDuration) return kNoValue;
    int64_t s = std::llround(seconds);
    if (s < kMinute) return number(s) + " 秒";
    if (s < kHour) return pair_text(s / kMinute, s % kMinute, "分", "秒");
    if (s < kDay) return pair_text(s / kHour, (s % kHour) / kMinute, "小时", "分");
    if (s < kMonth) return pair_text(s / kDay, (s % kDay) / kHour, "天", "小时");
    if (s < kYear) return pair_text(s / kMonth, (s % kMonth) / kDay, "个月", "天");
    return pair_text(s / kYear, (s % kYear) / kMonth, "年", "个月");
}

std::string duration_text(double seconds) {
    return language_is_chinese() ? chinese_duration(seconds) : format_duration(seconds);
}

int percent_done(const TaskView& task) {
    if (task.total == 0) return 0;
    double share = static_cast<double>(std::min(task.done, task.total)) / static_cast<double>(task.total);
    return static_cast<int>(share * 100);
}

namespace {

// "12m 34s recorded" or "已录制 12 分 34 秒": the media time a live recording holds.
std::string recorded_text(double seconds) {
    if (language_is_chinese()) return "已录制 " + chinese_duration(seconds);
    return format_duration(seconds) + " recorded";
}

// The whole number at the head of `text`, taken off it; false when there is none.
bool take_number(std::string_view& text, std::string& out) {
    size_t n = 0;
    while (n < text.size() && n < 12 && text[n] >= '0' && text[n] <= '9')
        ++n;
    if (n == 0) return false;
    out = std::string(text.substr(0, n));
    text.remove_prefix(n);
    return true;
}

bool take(std::string_view& text, std::string_view head) {
    if (!text.starts_with(head)) return false;
    text.remove_prefix(head.size());
    return true;
}

// A recording's status with its gaps, "recording, 1 gap of 12 s" (media/live_recorder.h), in
// Chinese: "录制中，1 处缺口，共 12 秒". Empty for any other text.
std::string chinese_recording_status(std::string_view status) {
    std::string gaps, seconds;
    if (!take(status, "recording, ") || !take_number(status, gaps) ||
        !(take(status, " gap of ") || take(status, " gaps of ")) || !take_number(status, seconds) ||
        status != " s")
        return {};
    return "录制中，" + gaps + " 处缺口，共 " + seconds + " 秒";
}

} // namespace

std::string compact_right_text(const TaskView& task) {
    switch (task.state()) {
    case ViewState::Done: return format_size(static_cast<double>(task.total ? task.total : task.done));
    case ViewState::Queued: return tr_text(4);
    case ViewState::Paused:
        // A paused recording has no total either: what it holds so far.
        if (task.live && task.recorded > 0)
            return std::string(tr_text(22)) + " · " + recorded_text(task.recorded);
        if (task.total == 0) return tr_text(22);
        return std::string(tr_text(22)) + " · " + number(percent_done(task)) + "%";
    case ViewState::Canceled: return tr_text(23);
    case ViewState::Error: return display_status(task.status);
    default: return {};
    }
}

namespace {

// Leading phrases of the engine's texts and their Chinese; the first that matches is used and
// the rest of the text (a host, a path, a number) follows it.
struct Phrase {
    std::string_view english;
    const char* chinese;
};
constexpr Phrase kPhrases[] = {
    {"error: ", "出错："},
    {"file missing", "文件已不存在"},
    {"http ", "服务器返回 HTTP "},
    {"connect failed: ", "连接失败："},
    {"retries exhausted", "重试次数已用完"},
    {"stalled (no progress)", "停滞（没有进展）"},
    {"incomplete", "未下载完整"},
    {"output file was removed during the download", "下载期间文件被删除"},
    {"remote file changed since last run", "服务器上的文件自上次下载后已改变"},
    {"cannot open output file: ", "无法打开输出文件："},
    {"interrupted and not resumable: ", "中断且无法续传："},
    {"not enough space to join: need ", "空间不足，无法合并：需要 "},
    {"mux failed: ", "合并失败："},
    {"manifest fetch failed: ", "获取清单失败："},
    {"internal failure", "内部错误"},
    {"invalid URL", "链接无效"},
    {"invalid url", "链接无效"},
    {"empty url", "链接为空"},
    {"engine not running", "引擎未运行"},
    {"retrying: ", "重试中："},
    {"recording", "录制中"},
};

} // namespace

std::string display_status(std::string_view status) {
    if (!language_is_chinese()) return std::string(status);
    if (std::string recording = chinese_recording_status(status); !recording.empty()) return recording;
    std::string out;
    // "error: " comes first and a reason may follow it.
    for (bool matched = true; matched && !status.empty();) {
        matched = false;
        for (const Phrase& phrase : kPhrases) {
            if (status.starts_with(phrase.english)) {
                out += phrase.chinese;
                status.remove_prefix(phrase.english.size());
                matched = true;
                break;
            }
        }
    }
    out += status;
    return out;
}

std::string speed_text(double bytes_per_second) {
    auto [value, unit] = format_speed(bytes_per_second);
    return value + " " + unit;
}

std::string bottom_left_text(const TaskView& task) {
    uint64_t amount = task.total ? std::min(task.done, task.total) : task.done;
    std::string text = format_size(static_cast<double>(amount));
    if (task.total) text += " / " + format_size(static_cast<double>(task.total));
    if (task.connections > 0) {
        int64_t active = std::count_if(task.segments.begin(), task.segments.end(),
                                       [](const SegmentView& s) { return s.active; });
        text += " · " + number(active) + "/" + number(task.connections) + " " + tr_text(24);
    }
    return text;
}

std::string bottom_right_text(const TaskView& task) {
    // A recording has no total to count down to: its status (with the gaps it has) and the media
    // time it holds instead.
    if (task.recording()) {
        const std::string status = task.status.starts_with("recording") ? task.status : "recording";
        return display_status(status) + " · " + duration_text(task.recorded);
    }
    if (task.total == 0 || task.state() != ViewState::Downloading) return {};
    double speed = task.displayed_speed();
    double remaining = INFINITY;
    if (speed > 1) {
        uint64_t left = task.total - std::min(task.done, task.total);
        remaining = static_cast<double>(left) / speed;
    }
    std::string percent = number(percent_done(task)) + "%";
    if (language_is_chinese()) return "剩余 " + chinese_duration(remaining) + " · " + percent;
    return format_duration(remaining) + " left · " + percent;
}

} // namespace twk::ui

#include "ui/settings_texts.h"

#include <array>

#include "ui/text_table.h"

namespace twk::ui {
namespace {

constexpr std::array<TextPair, static_cast<size_t>(SettingsText::Count)> kTexts = {{
    {"下载", "Downloads"},
    {"每个服务器的连接数", "Connections per server"},
    {"所有下载合计对同一服务器最多打开的连接数。",
     "At most this many connections to one server, all downloads together."},
    {"同时下载数", "Downloads at once"},
    {"所有下载合计限速", "Limit all downloads together to"},
    {"KB/s", "KB/s"},
    {"状态栏的限速按钮可随时开关它。", "The limit button in the status bar turns it on and off."},
    {"桌面", "Desktop"},
    {"下载完成或失败时通知", "Notify when downloads finish or fail"},
    {"关闭窗口时若仍有下载，留在托盘中", "Keep running in the tray when the window closes during downloads"},
    {"复制链接时询问是否下载（不会自动添加）",
     "Offer links I copy for download (asks, never adds on its own)"},
    {"全部下载结束后", "When all downloads end"},
    {"不执行操作", "Do nothing"},
    {"睡眠", "Suspend"},
    {"关机", "Power off"},
    {"直播录制断流时最多等待", "Live recordings wait out an outage of"},
    {"秒", "seconds"},
    {"每个服务器的连接数须为 %1 到 %2 之间的整数",
     "Connections per server must be a whole number from %1 to %2"},
    {"限速须为 %1 到 %2 之间的整数（KB/s）", "The speed limit must be a whole number of KB/s from %1 to %2"},
    {"直播断流等待时间须为 %1 到 %2 之间的整数（秒）",
     "The live outage wait must be a whole number of seconds from %1 to %2"},
}};

} // namespace

const char* settings_text_in(SettingsText text, bool chinese) {
    const TextPair& pair = kTexts[static_cast<size_t>(text)];
    return chinese ? pair.chinese : pair.english;
}

const char* settings_text(SettingsText text) { return settings_text_in(text, language_is_chinese()); }

} // namespace twk::ui

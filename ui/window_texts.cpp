#include "ui/window_texts.h"

#include <array>

#include "ui/text_table.h"

namespace twk::ui {
namespace {

constexpr std::array<TextPair, static_cast<size_t>(WindowText::Count)> kTexts = {{
    {"%1 个下载中", "%1 downloading"},
    {"%1 个排队中", "%1 queued"},
    {"剩余 %1", "%1 left"},
    {"Tarnwick 仍在运行", "Tarnwick is still running"},
    {"下载在后台继续。要结束它们，请在托盘图标的菜单中选择“退出”。",
     "Downloads go on in the background. To end them, choose Quit in the tray icon’s menu."},
    {"全部", "All"},
    {"进行中", "Running"},
    {"已完成", "Finished"},
    {"失败", "Failed"},
    {"按名称或链接筛选", "Filter by name or link"},
    {"排序", "Sort"},
    {"队列顺序", "Queue order"},
    {"名称", "Name"},
    {"大小", "Size"},
    {"状态", "State"},
    {"添加时间", "Added"},
    {"降序", "Descending"},
    {"已经下载过", "Already here"},
    {"这个链接已在列表中：%1", "This link is already in the list: %1"},
    {"文件已存在：%1", "The file already exists: %1"},
    {"打开已有", "Open existing"},
    {"重新下载", "Download again"},
    {"继续下载", "Resume"},
    {"文件名", "File name"},
    {"可选，留空则使用服务器给的名称", "Optional: the server’s name when empty"},
    {"保存到", "Save to"},
    {"立即开始", "Start now"},
    {"上移", "Move up"},
    {"下移", "Move down"},
    {"限速 %1", "Limit %1"},
    {"不限速", "No limit"},
    {"全局限速", "Speed limit for all downloads"},
    {"KB/s（0 = 不限速）", "KB/s (0 = none)"},
    {"关闭窗口时若仍有下载，留在托盘中", "Keep running in the tray when the window closes during downloads"},
    {"没有符合筛选条件的下载", "No downloads match"},
    {"换一个筛选标签，或清空筛选框", "Pick another chip or clear the filter box"},
}};

} // namespace

const char* window_text(WindowText text) {
    const TextPair& pair = kTexts[static_cast<size_t>(text)];
    return language_is_chinese() ? pair.chinese : pair.english;
}

} // namespace twk::ui

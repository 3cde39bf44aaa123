#include "ui/text_table.h"

#include <array>

namespace twk::ui {
namespace {

// Entries 5, 11, 28-32, 34-39, 43 and 44 are kept for screens to come; 21 is our tagline.
constexpr std::array<TextPair, kTextCount> kTexts = {{
    {"引擎离线", "Engine offline"},                                       // 0
    {"暂无任务", "No tasks yet"},                                         // 1
    {"点击「新建」添加下载链接", "Click “New” to add a download."},       // 2
    {"探测中…", "Probing…"},                                              // 3
    {"排队中", "Queued"},                                                 // 4
    {"完成", "Done"},                                                     // 5
    {"开始下载", "Download"},                                             // 6
    {"启动下载失败", "Couldn’t start download"},                          // 7
    {"Tarnwick", "Tarnwick"},                                             // 8
    {"技术预览版", "Technical Preview"},                                  // 9
    {"中文 / English", "中文 / English"},                                 // 10
    {"搜索", "Search"},                                                   // 11
    {"新建", "New"},                                                      // 12
    {"暂停", "Pause"},                                                    // 13
    {"继续", "Resume"},                                                   // 14
    {"删除", "Delete"},                                                   // 15
    {"设置", "Settings"},                                                 // 16
    {"显示主窗口", "Show Window"},                                        // 17
    {"退出", "Quit"},                                                     // 18
    {"关于 Tarnwick", "About Tarnwick"},                                  // 19
    {"技术预览版", "Technical Preview"},                                  // 20
    {"一个小巧、快速的下载管理器。", "A small, fast download manager."},  // 21
    {"已暂停", "Paused"},                                                 // 22
    {"已取消", "Canceled"},                                               // 23
    {"线程", "threads"},                                                  // 24
    {"打开", "Open"},                                                     // 25
    {"打开文件夹", "Show in Folder"},                                     // 26
    {"复制下载链接", "Copy Link"},                                        // 27
    {"个下载中", "downloading"},                                          // 28
    {"个已暂停", "paused"},                                               // 29
    {"个已完成", "completed"},                                            // 30
    {"个排队中", "queued"},                                               // 31
    {"个出错", "failed"},                                                 // 32
    {"共 ", "Total "},                                                    // 33
    {"下载中", "downloading"},                                            // 34
    {"探测中", "probing"},                                                // 35
    {"排队", "queued"},                                                   // 36
    {"已暂停", "paused"},                                                 // 37
    {"完成", "done"},                                                     // 38
    {"出错", "error"},                                                    // 39
    {"新建下载", "New Download"},                                         // 40
    {"下载链接", "Download link"},                                        // 41
    {"粘贴下载链接…", "Paste a download link…"},                          // 42
    {"保存到", "Save to"},                                                // 43
    {"浏览…", "Browse…"},                                                 // 44
    {"取消", "Cancel"},                                                   // 45
    {"设置", "Settings"},                                                 // 46
    {"代理", "Proxy"},                                                    // 47
    {"跟随系统代理", "Follow the system proxy"},                          // 48
    {"使用自定义代理", "Use a custom proxy"},                             // 49
    {"scheme://[user:pass@]host:port", "scheme://[user:pass@]host:port"}, // 50
    {"两项都不勾选 = 直连。自定义代理支持 http / https / socks5 / socks5h。",
     "With neither ticked, downloads connect directly. A custom proxy supports http / https / socks5 / "
     "socks5h."},                         // 51
    {"下载线程数量", "Download threads"}, // 52
    {"全局生效，之后新建的下载都用这个值。过大会被部分服务器限流。",
     "Applied globally — every new download uses this value. Too many may be throttled by some "
     "servers."},                                        // 53
    {"开机时自动启动", "Launch at login"},               // 54
    {"自动检查更新", "Check for updates automatically"}, // 55
    {"下载目录", "Download folder"},                     // 56
    {"选择…", "Choose…"},                                // 57
    {"选择下载目录", "Choose the download folder"},      // 58
    {"保存", "Save"},                                    // 59
    {"有新版本 v", "Update available: v"},               // 60
    {" 可用 · ", " · "},                                 // 61
    {"下载", "Download"},                                // 62
    {"资源占用似乎异常，分享一次匿名诊断数据帮助改进？ · ",
     "Resource usage looks abnormal — share one anonymous diagnostic to help us improve? · "}, // 63
    {"上次运行意外退出了，分享一次匿名诊断数据帮助我们修复？ · ",
     "Tarnwick quit unexpectedly last time — share one anonymous diagnostic so we can fix it? · "}, // 64
    {"分享", "Share"},                                                                              // 65
    {"浏览器扩展", "Browser extension"},                                                            // 66
    {"尚未连接", "Not connected yet"},                                                              // 67
    {"已连接", "Connected"},                                                                        // 68
    {"最近没有通信 · 浏览器可能已关闭", "No contact recently — the browser may be closed"},         // 69
    {"未安装该浏览器", "Browser not installed"},                                                    // 70
    {"获取扩展…", "Get extension…"},                                                                // 71
    {"状态来自扩展每 30 秒一次的通信；浏览器关闭时会显示为未连接。",
     "Status comes from the extension checking in every 30 seconds; with the browser closed it reads as "
     "not connected."},                                                                                 // 72
    {"重试", "Retry"},                                                                                  // 73
    {"删除正在进行的下载？", "Delete a running download?"},                                             // 74
    {"已下载的部分将被丢弃。", "What it has fetched so far will be discarded."},                        // 75
    {"同时删除文件（移到回收站）", "Delete file too (into the trash)"},                                 // 76
    {"详情…", "Details…"},                                                                              // 77
    {"状态", "Status"},                                                                                 // 78
    {"链接", "Link"},                                                                                   // 79
    {"文件夹", "Folder"},                                                                               // 80
    {"大小", "Size"},                                                                                   // 81
    {"线程", "Connections"},                                                                            // 82
    {"失败类别", "Failure"},                                                                            // 83
    {"撤销删除", "Undo Delete"},                                                                        // 84
    {"链接无效：", "Not a link: "},                                                                     // 85
    {"不是有效的代理：", "Not a proxy: "},                                                              // 86
    {"下载目录不存在：", "The download folder does not exist: "},                                       // 87
    {"下载目录不可写：", "The download folder is read-only: "},                                         // 88
    {"未知", "unknown"},                                                                                // 89
    {"连接服务器", "connecting to the server"},                                                         // 90
    {"服务器拒绝", "the server refused"},                                                               // 91
    {"代理", "the proxy"},                                                                              // 92
    {"TLS / 证书", "TLS or certificate"},                                                               // 93
    {"本地文件或网络读写", "reading, writing or transfer"},                                             // 94
    {"其他", "other"},                                                                                  // 95
    {"协议须为 http、https、socks5 或 socks5h", "the scheme must be http, https, socks5 or socks5h"},   // 96
    {"应写作 协议://主机:端口（端口不能省略）", "write it as scheme://host:port (the port is needed)"}, // 97
    {"全部暂停", "Pause All"},                                                                          // 98
    {"全部继续", "Resume All"},                                                                         // 99
    {"开始时间", "Started"},                                                                            // 100
    {"停止录制", "Stop Recording"},                                                                     // 101
}};

// The name of each entry, by number: callers look texts up by these.
constexpr std::array<const char*, kTextCount> kKeys = {{
    "state.offline",
    "list.empty",
    "list.hint",
    "row.probing",
    "row.queued",
    "row.done",
    "new.download",
    "new.failed",
    "app.name",
    "app.edition",
    "menu.language",
    "search",
    "action.new",
    "action.pause",
    "action.resume",
    "action.delete",
    "action.settings",
    "tray.show",
    "tray.quit",
    "about.title",
    "about.edition",
    "about.tagline",
    "row.paused",
    "row.canceled",
    "row.threads",
    "row.open",
    "row.show_in_folder",
    "row.copy_link",
    "count.downloading",
    "count.paused",
    "count.completed",
    "count.queued",
    "count.failed",
    "status.total",
    "badge.downloading",
    "badge.probing",
    "badge.queued",
    "badge.paused",
    "badge.done",
    "badge.error",
    "new.title",
    "new.link",
    "new.placeholder",
    "new.save_to",
    "new.browse",
    "dialog.cancel",
    "settings.title",
    "settings.proxy",
    "settings.system_proxy",
    "settings.custom_proxy",
    "settings.proxy_placeholder",
    "settings.proxy_note",
    "settings.connections",
    "settings.connections_note",
    "settings.autostart",
    "settings.updates",
    "settings.folder",
    "settings.choose",
    "settings.choose_title",
    "dialog.save",
    "banner.update",
    "banner.update_tail",
    "banner.download",
    "banner.resources",
    "banner.crash",
    "banner.share",
    "extension.title",
    "extension.not_connected",
    "extension.connected",
    "extension.quiet",
    "extension.not_installed",
    "extension.get",
    "extension.note",
    "action.retry",
    "delete.running_title",
    "delete.running_body",
    "row.delete_file_too",
    "row.details",
    "details.status",
    "details.link",
    "details.folder",
    "details.size",
    "details.connections",
    "details.failure",
    "action.undo_delete",
    "new.invalid_link",
    "settings.not_a_proxy",
    "settings.folder_missing",
    "settings.folder_read_only",
    "details.size_unknown",
    "failure.connect",
    "failure.server",
    "failure.proxy",
    "failure.tls",
    "failure.local",
    "failure.other",
    "settings.proxy_scheme",
    "settings.proxy_form",
    "action.pause_all",
    "action.resume_all",
    "details.started",
    "action.stop_recording",
}};

LanguageMode g_mode = LanguageMode::System;
bool g_system_chinese = false;

} // namespace

const TextPair& text_pair(int number) {
    if (number < 0 || number >= kTextCount) number = 8;
    return kTexts[static_cast<size_t>(number)];
}

void set_language_mode(LanguageMode mode) { g_mode = mode; }
LanguageMode language_mode() { return g_mode; }
void set_system_language_chinese(bool chinese) { g_system_chinese = chinese; }

bool language_is_chinese() {
    if (g_mode == LanguageMode::System) return g_system_chinese;
    return g_mode == LanguageMode::Chinese;
}

void switch_language() { g_mode = language_is_chinese() ? LanguageMode::English : LanguageMode::Chinese; }

int text_number(std::string_view key) {
    for (size_t i = 0; i < kKeys.size(); ++i) {
        if (key == kKeys[i]) return static_cast<int>(i);
    }
    return -1;
}

const char* text_key(int number) {
    return number < 0 || number >= kTextCount ? "" : kKeys[static_cast<size_t>(number)];
}

const char* tr(std::string_view key) {
    int number = text_number(key);
    return number < 0 ? "?" : tr_text(number);
}

const char* tr_text(int number) {
    const TextPair& pair = text_pair(number);
    return language_is_chinese() ? pair.chinese : pair.english;
}

} // namespace twk::ui

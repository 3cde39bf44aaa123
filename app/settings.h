// The settings record the desktop app reads, how it is loaded from the store, and the save
// procedure the Settings dialog runs. Value names are fixed: DownloadDir, Proxy, ProxyMode,
// FollowSystemProxy, Connections, AutoUpdateCheck, MaxPerHost, Notifications, DownloadsAtOnce, CloseToTray,
// SpeedLimitOn, SpeedLimitKiB, ClipboardWatch, QueueEndAction, LiveOutageLimit, LoginItemSeeded,
// InstallID, LastUpdateCheck; New's folder per kind of file is in app/file_category.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "app/settings_store.h"
#include "core/connection_counts.h"
#include "core/start_request.h" // kDefaultLiveOutageLimit

namespace twk::app {

enum ProxyMode : int { kProxyDirect = 0, kProxySystem = 1, kProxyCustom = 2 };

// What happens once the last download ends (after a 60 s countdown the user may cancel).
enum QueueEndAction : int { kQueueEndNothing = 0, kQueueEndSuspend = 1, kQueueEndPowerOff = 2 };

// The global speed limit in KiB/s: a stored value outside the range reads as the nearest end.
inline constexpr int32_t kMinSpeedLimitKiB = 1;
inline constexpr int32_t kMaxSpeedLimitKiB = 10 * 1024 * 1024; // 10 GiB/s
inline constexpr int32_t kDefaultSpeedLimitKiB = 1024;

// Connections to one server from all downloads together.
inline constexpr int32_t kMinPerHost = 1;
inline constexpr int32_t kMaxPerHost = 64;
inline constexpr int32_t kDefaultPerHost = 32;

struct Settings {
    std::string download_dir; // empty: not set
    std::string proxy;        // scheme://[user:pass@]host:port
    int proxy_mode = kProxyDirect;
    int32_t connections = static_cast<int32_t>(kDefaultConnections);
    bool auto_update_check = true;
    // "MaxPerHost": connections to one server from all downloads together
    // (kMinPerHost ... kMaxPerHost; 0 or less reads as the default, more as kMaxPerHost).
    int32_t max_per_host = kDefaultPerHost;
    bool notifications = true;     // desktop notices as downloads finish or fail
    int32_t downloads_at_once = 3; // kMinDownloadsAtOnce ... kMaxDownloadsAtOnce
    bool close_to_tray = true;     // closing the window while downloads run keeps them going
    // One speed limit for all downloads together: kept when turned off, so that the status
    // bar's toggle brings back the same value.
    bool speed_limit_on = false;
    int32_t speed_limit_kib = kDefaultSpeedLimitKiB; // KiB/s, kMinSpeedLimitKiB ... kMaxSpeedLimitKiB

    // A link copied anywhere is offered with a notice ("Download?"); never added on its own.
    bool clipboard_watch = false;
    int queue_end_action = kQueueEndNothing; // a stored value out of range reads as nothing

    // What the engine's global limit is set to: bytes per second, 0 when off.
    int64_t global_limit() const { return speed_limit_on ? int64_t{speed_limit_kib} * 1024 : 0; }
    // "LiveOutageLimit": seconds a live recording waits out a stream that brings nothing new
    // (1 to kMaxLiveOutageLimit; anything else reads as the default).
    int32_t live_outage_limit = kDefaultLiveOutageLimit;
};

// How many downloads run at once: a stored value outside the range reads as the nearest end.
inline constexpr int32_t kMinDownloadsAtOnce = 1;
inline constexpr int32_t kMaxDownloadsAtOnce = 10;

// The connection counts the Settings dialog offers, in its order; a bad index means the one of
// the default count (index 3).
inline constexpr std::array<int32_t, 6> kConnectionChoices = {1, 2, 4, 8, 16, 32};
inline constexpr int kDefaultConnectionIndex = 3;
static_assert(kConnectionChoices[kDefaultConnectionIndex] == static_cast<int32_t>(kDefaultConnections));
// The proxy field holds at most this many characters.
inline constexpr size_t kMaxProxyText = 1024;

// First match wins: "custom", "system", "direct"; otherwise custom when a proxy is stored,
// system when FollowSystemProxy is non-zero, else direct.
int decode_proxy_mode(const std::string& mode_text, const std::string& proxy, int32_t follow_system);
const char* proxy_mode_text(int mode); // "custom", "system", else "direct"

// Blanks, tabs, carriage returns and line feeds cut from both ends.
std::string trim_proxy_text(std::string_view text);

// The list index that shows `connections`; kDefaultConnectionIndex when it is not one of the
// choices.
int connection_choice_index(int32_t connections);

// Fills the record in the fixed order; `engine_default_dir` is the folder when none is stored.
Settings load_settings(const SettingsStore& store, const std::string& engine_default_dir);

// The first-run rule: when LoginItemSeeded reads 0, write 1 and turn autostart on. Turning it
// off later is therefore never undone by a start.
void seed_login_item(SettingsStore& store, const std::string& exe_path);

// What the Settings dialog holds when Save is pressed.
struct SettingsForm {
    std::string download_dir;
    std::string proxy_text;
    bool custom_proxy = false;
    bool follow_system_proxy = false;
    int connection_index = kDefaultConnectionIndex;
    bool auto_update_check = true;
    bool notifications = true;
    int32_t downloads_at_once = 3;
    bool close_to_tray = true;
    bool launch_at_login = false;
    // kMinPerHost ... kMaxPerHost; any other value keeps what is stored.
    int32_t max_per_host = 0;
    // Left unset, the stored values stay as they are.
    std::optional<bool> speed_limit_on;
    std::optional<int32_t> speed_limit_kib;
    std::optional<bool> clipboard_watch;
    std::optional<int> queue_end_action;
    // Seconds, 1 to kMaxLiveOutageLimit; any other value keeps what is stored.
    int32_t live_outage_limit = 0;
};

// Steps 1 to 5 of saving: trims the proxy, syncs autostart with the box, writes the values in
// their order and returns the new record. The caller applies it to the engine and reschedules
// the update check when the flag changed.
Settings save_settings(SettingsStore& store, const SettingsForm& form, const std::string& exe_path);

// The status bar's one-click toggle: writes SpeedLimitOn alone and returns the record with it.
Settings save_speed_limit_on(SettingsStore& store, Settings settings, bool on);

// Limits set on the running engine from outside the app (its control API) taken as the app's
// own: `speed_limit` in bytes per second (0: off, else the nearest KiB/s within range, while
// off the kept value stays) and `at_once` (within range).
Settings with_engine_limits(Settings settings, int64_t speed_limit, int64_t at_once);
// The same, with SpeedLimitOn, SpeedLimitKiB and DownloadsAtOnce written.
Settings save_engine_limits(SettingsStore& store, Settings settings, int64_t speed_limit, int64_t at_once);

} // namespace twk::app

#include "app/settings.h"

#include <algorithm>

namespace twk::app {

int decode_proxy_mode(const std::string& mode_text, const std::string& proxy, int32_t follow_system) {
    if (mode_text == "custom") return kProxyCustom;
    if (mode_text == "system") return kProxySystem;
    if (mode_text == "direct") return kProxyDirect;
    if (!proxy.empty()) return kProxyCustom;
    return follow_system != 0 ? kProxySystem : kProxyDirect;
}

const char* proxy_mode_text(int mode) {
    if (mode == kProxyCustom) return "custom";
    if (mode == kProxySystem) return "system";
    return "direct";
}

std::string trim_proxy_text(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t begin = 0, end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

int connection_choice_index(int32_t connections) {
    for (size_t i = 0; i < kConnectionChoices.size(); ++i) {
        if (kConnectionChoices[i] == connections) return static_cast<int>(i);
    }
    return kDefaultConnectionIndex;
}

namespace {

int queue_end_action_from(int32_t value) {
    return value == kQueueEndSuspend || value == kQueueEndPowerOff ? value : kQueueEndNothing;
}

int32_t stored_max_per_host(const SettingsStore& store) {
    const int32_t stored = store.read_dword("MaxPerHost", kDefaultPerHost);
    return stored <= 0 ? kDefaultPerHost : std::min(stored, kMaxPerHost);
}

int32_t stored_live_outage_limit(const SettingsStore& store) {
    const int64_t seconds = allowed_live_outage_limit(store.read_dword("LiveOutageLimit", 0));
    return static_cast<int32_t>(seconds != 0 ? seconds : kDefaultLiveOutageLimit);
}

} // namespace

Settings load_settings(const SettingsStore& store, const std::string& engine_default_dir) {
    Settings s;
    s.download_dir = store.read_string("DownloadDir", engine_default_dir);
    s.proxy = store.read_string("Proxy", "");
    s.proxy_mode = decode_proxy_mode(store.read_string("ProxyMode", ""), s.proxy,
                                     store.read_dword("FollowSystemProxy", 0));
    const auto fallback = static_cast<int32_t>(kDefaultConnections);
    s.connections = store.read_dword("Connections", fallback);
    if (s.connections <= 0) s.connections = fallback;
    s.auto_update_check = store.read_dword("AutoUpdateCheck", 1) != 0;
    s.max_per_host = stored_max_per_host(store);
    s.notifications = store.read_dword("Notifications", 1) != 0;
    s.downloads_at_once =
        std::clamp(store.read_dword("DownloadsAtOnce", 3), kMinDownloadsAtOnce, kMaxDownloadsAtOnce);
    s.close_to_tray = store.read_dword("CloseToTray", 1) != 0;
    s.speed_limit_on = store.read_dword("SpeedLimitOn", 0) != 0;
    s.speed_limit_kib = std::clamp(store.read_dword("SpeedLimitKiB", kDefaultSpeedLimitKiB),
                                   kMinSpeedLimitKiB, kMaxSpeedLimitKiB);
    s.clipboard_watch = store.read_dword("ClipboardWatch", 0) != 0;
    s.queue_end_action = queue_end_action_from(store.read_dword("QueueEndAction", kQueueEndNothing));
    s.live_outage_limit = stored_live_outage_limit(store);
    return s;
}

void seed_login_item(SettingsStore& store, const std::string& exe_path) {
    if (store.read_dword("LoginItemSeeded", 0) != 0) return;
    store.write_dword("LoginItemSeeded", 1);
    store.set_autostart(true, exe_path);
}

Settings save_settings(SettingsStore& store, const SettingsForm& form, const std::string& exe_path) {
    std::string_view raw = form.proxy_text;
    // The field's own limit, counted in bytes here: a cut inside a character only loses the
    // tail of a text that was too long to be a proxy address anyway.
    if (raw.size() > kMaxProxyText) raw = raw.substr(0, kMaxProxyText);
    std::string proxy = trim_proxy_text(raw);

    if (form.launch_at_login != store.autostart_enabled())
        store.set_autostart(form.launch_at_login, exe_path);

    Settings s;
    s.download_dir = form.download_dir;
    s.proxy = proxy;
    s.proxy_mode = form.custom_proxy ? kProxyCustom : form.follow_system_proxy ? kProxySystem : kProxyDirect;
    int index = form.connection_index;
    if (index < 0 || index >= static_cast<int>(kConnectionChoices.size())) index = kDefaultConnectionIndex;
    s.connections = kConnectionChoices[static_cast<size_t>(index)];
    s.auto_update_check = form.auto_update_check;
    s.notifications = form.notifications;
    s.downloads_at_once = std::clamp(form.downloads_at_once, kMinDownloadsAtOnce, kMaxDownloadsAtOnce);
    s.close_to_tray = form.close_to_tray;
    s.speed_limit_on = form.speed_limit_on.value_or(store.read_dword("SpeedLimitOn", 0) != 0);
    s.speed_limit_kib =
        std::clamp(form.speed_limit_kib.value_or(store.read_dword("SpeedLimitKiB", kDefaultSpeedLimitKiB)),
                   kMinSpeedLimitKiB, kMaxSpeedLimitKiB);
    s.clipboard_watch = form.clipboard_watch.value_or(store.read_dword("ClipboardWatch", 0) != 0);
    s.queue_end_action = queue_end_action_from(
        form.queue_end_action.value_or(store.read_dword("QueueEndAction", kQueueEndNothing)));

    store.write_string("DownloadDir", s.download_dir);
    store.write_string("Proxy", s.proxy);
    store.write_string("ProxyMode", proxy_mode_text(s.proxy_mode));
    store.write_dword("FollowSystemProxy", s.proxy_mode == kProxySystem ? 1 : 0);
    store.write_dword("Connections", s.connections);
    store.write_dword("AutoUpdateCheck", s.auto_update_check ? 1 : 0);
    store.write_dword("Notifications", s.notifications ? 1 : 0);
    store.write_dword("DownloadsAtOnce", s.downloads_at_once);
    store.write_dword("CloseToTray", s.close_to_tray ? 1 : 0);
    store.write_dword("SpeedLimitOn", s.speed_limit_on ? 1 : 0);
    store.write_dword("SpeedLimitKiB", s.speed_limit_kib);
    store.write_dword("ClipboardWatch", s.clipboard_watch ? 1 : 0);
    store.write_dword("QueueEndAction", s.queue_end_action);
    // Connections per server: every save carries it, so that the engine keeps the stored value.
    if (form.max_per_host >= kMinPerHost && form.max_per_host <= kMaxPerHost)
        store.write_dword("MaxPerHost", form.max_per_host);
    s.max_per_host = stored_max_per_host(store);
    if (allowed_live_outage_limit(form.live_outage_limit) != 0)
        store.write_dword("LiveOutageLimit", form.live_outage_limit);
    s.live_outage_limit = stored_live_outage_limit(store);
    return s;
}

Settings save_speed_limit_on(SettingsStore& store, Settings settings, bool on) {
    settings.speed_limit_on = on;
    store.write_dword("SpeedLimitOn", on ? 1 : 0);
    return settings;
}

Settings with_engine_limits(Settings settings, int64_t speed_limit, int64_t at_once) {
    settings.speed_limit_on = speed_limit > 0;
    if (settings.speed_limit_on) {
        const int64_t kib = (speed_limit + 512) / 1024;
        settings.speed_limit_kib =
            static_cast<int32_t>(std::clamp<int64_t>(kib, kMinSpeedLimitKiB, kMaxSpeedLimitKiB));
    }
    settings.downloads_at_once =
        static_cast<int32_t>(std::clamp<int64_t>(at_once, kMinDownloadsAtOnce, kMaxDownloadsAtOnce));
    return settings;
}

Settings save_engine_limits(SettingsStore& store, Settings settings, int64_t speed_limit, int64_t at_once) {
    settings = with_engine_limits(std::move(settings), speed_limit, at_once);
    store.write_dword("SpeedLimitOn", settings.speed_limit_on ? 1 : 0);
    store.write_dword("SpeedLimitKiB", settings.speed_limit_kib);
    store.write_dword("DownloadsAtOnce", settings.downloads_at_once);
    return settings;
}

} // namespace twk::app

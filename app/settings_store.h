// The desktop app's persistent settings and its footprint in the user's desktop session.
//
// Settings are named values in one JSON object, $XDG_CONFIG_HOME/tarnwick/settings.json
// (default ~/.config/...). A string member is a text value, an integer member in the signed
// 32-bit range is a number value; a member of any other type, a missing file or a file that
// does not parse reads as absent, so every reader falls back to its default. Each accessor opens
// the file afresh; writes are atomic (temporary file, fsync, rename, fsync of the folder) and
// keep members the program does not know.
//
// Launch at login is the XDG autostart entry $XDG_CONFIG_HOME/autostart/tarnwick.desktop: on
// exactly when that file exists. The `twk` URL scheme is the desktop entry
// $XDG_DATA_HOME/applications/tarnwick-url.desktop plus its line in
// $XDG_CONFIG_HOME/mimeapps.list, written at every start.
//
// Nothing here reports a failure to the user: reads fall back to defaults and writes return
// false, changing nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace twk::app {

struct SettingsPaths {
    std::string config_home; // XDG_CONFIG_HOME
    std::string data_home;   // XDG_DATA_HOME
};

// XDG_CONFIG_HOME (else $HOME/.config) and XDG_DATA_HOME (else $HOME/.local/share); relative
// values are ignored, as the XDG base directory rules say.
SettingsPaths settings_paths_from_env();

// Text values longer than this many characters (UTF-16 units, as the values were first kept)
// read as the default.
inline constexpr size_t kMaxSettingChars = 1023;
// The longest executable path the autostart entry and the URL scheme are written for.
inline constexpr size_t kMaxExecutablePath = 259;

class SettingsStore {
public:
    explicit SettingsStore(SettingsPaths paths) : m_paths(std::move(paths)) {}

    int32_t read_dword(std::string_view name, int32_t fallback) const;
    std::string read_string(std::string_view name, const std::string& fallback) const;
    bool write_dword(std::string_view name, int32_t value);
    bool write_string(std::string_view name, std::string_view value);

    bool autostart_enabled() const;
    // Off deletes the entry; on writes it with `exe_path` quoted (nothing for an unusable path).
    bool set_autostart(bool on, const std::string& exe_path);

    // The scheme handler's desktop entry and the mimeapps.list default; false when the path is
    // unusable or a file could not be written.
    bool register_url_scheme(const std::string& exe_path);

    std::string settings_file() const;
    std::string autostart_file() const;
    std::string url_scheme_file() const;
    std::string mimeapps_file() const;

private:
    SettingsPaths m_paths;
};

// The "Exec" value for `exe_path` quoted as the desktop entry rules ask, followed by `args`
// (empty for none). Empty when the path cannot be written there (empty, too long, relative, or
// holding a control byte).
std::string desktop_exec_line(const std::string& exe_path, std::string_view args);

// Replaces `path` with `bytes` atomically (net/file_io.h) in a folder of the desktop's (autostart,
// applications, mimeapps.list), whose mode is left as it is.
bool write_file_atomically(const std::string& path, std::string_view bytes);

} // namespace twk::app

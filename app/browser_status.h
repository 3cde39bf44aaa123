// Which browsers can talk to the program: for Chrome, Edge and Firefox, whether the browser is
// installed and how long ago its extension last reached the loopback control server. The
// Settings dialog shows one row per browser and re-reads them every second while it is open.
//
// On Linux "installed" means one of the browser's usual commands is an executable file on PATH:
// google-chrome, google-chrome-stable, chromium or chromium-browser for Chrome; microsoft-edge
// or microsoft-edge-stable for Edge; firefox or firefox-esr for Firefox.
//
// Nothing here uses Qt: the dialog turns a row's status into its text and colour.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace twk::app {

struct BrowserInfo {
    const char* name;                    // shown as it is, in both languages
    const char* tag;                     // what its extension reports itself as
    std::array<const char*, 4> commands; // null-terminated when shorter
};

// Chrome, Edge, Firefox, in the order the dialog shows them.
extern const std::array<BrowserInfo, 3> kBrowsers;

// An extension heard from within this many milliseconds counts as connected; it checks in
// every 30 seconds.
inline constexpr int64_t kConnectedWithinMs = 120000;

enum class BrowserStatus { NotInstalled, NeverConnected, Connected, Quiet };

struct BrowserRow {
    bool installed = false;
    int64_t contact_age_ms = -1; // -1: never, or no engine
};

// Milliseconds since the extension of a tag last made contact; -1 for never.
using ContactAge = std::function<int64_t(std::string_view tag)>;

// Whether `command` names an executable regular file in one of the folders of `path_list`
// (colon-separated, as PATH is; empty entries and relative folders are skipped).
bool command_on_path(std::string_view command, std::string_view path_list);

// Reads all three rows: installed from `path_list`, the contact age from `contact_age` (every
// age is -1 when it is empty, as it is with the engine stopped).
std::array<BrowserRow, 3> read_browser_rows(std::string_view path_list, const ContactAge& contact_age);

BrowserStatus browser_status(const BrowserRow& row);
// The text-table number of the status: 70, 67, 68 or 69.
int browser_status_text(BrowserStatus status);

} // namespace twk::app

#include "app/browser_status.h"

#include <sys/stat.h>
#include <unistd.h>

namespace twk::app {

const std::array<BrowserInfo, 3> kBrowsers = {{
    {"Chrome", "chrome", {"google-chrome", "google-chrome-stable", "chromium", "chromium-browser"}},
    {"Edge", "edge", {"microsoft-edge", "microsoft-edge-stable", nullptr, nullptr}},
    {"Firefox", "firefox", {"firefox", "firefox-esr", nullptr, nullptr}},
}};

bool command_on_path(std::string_view command, std::string_view path_list) {
    if (command.empty() || command.find('/') != std::string_view::npos) return false;
    size_t start = 0;
    while (start <= path_list.size()) {
        size_t end = path_list.find(':', start);
        if (end == std::string_view::npos) end = path_list.size();
        std::string_view folder = path_list.substr(start, end - start);
        start = end + 1;
        if (folder.empty() || folder.front() != '/') continue;
        std::string file = std::string(folder) + "/" + std::string(command);
        struct stat info {};
        if (::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(file.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

std::array<BrowserRow, 3> read_browser_rows(std::string_view path_list, const ContactAge& contact_age) {
    std::array<BrowserRow, 3> rows{};
    for (size_t i = 0; i < kBrowsers.size(); ++i) {
        for (const char* command : kBrowsers[i].commands) {
            if (command && command_on_path(command, path_list)) {
                rows[i].installed = true;
                break;
            }
        }
        rows[i].contact_age_ms = contact_age ? contact_age(kBrowsers[i].tag) : -1;
    }
    return rows;
}

BrowserStatus browser_status(const BrowserRow& row) {
    if (!row.installed) return BrowserStatus::NotInstalled;
    if (row.contact_age_ms < 0) return BrowserStatus::NeverConnected;
    if (row.contact_age_ms <= kConnectedWithinMs) return BrowserStatus::Connected;
    return BrowserStatus::Quiet;
}

int browser_status_text(BrowserStatus status) {
    switch (status) {
    case BrowserStatus::NotInstalled: return 70;
    case BrowserStatus::NeverConnected: return 67;
    case BrowserStatus::Connected: return 68;
    case BrowserStatus::Quiet: return 69;
    }
    return 67;
}

} // namespace twk::app

#include "app/settings.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <sys/stat.h>
#include <utility>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace twk::app {
namespace {

using test::file_exists;
using test::read_file;
using test::write_file;

constexpr const char* kExe = "/opt/tarnwick/bin/tarnwick";

class SettingsTest : public ::testing::Test {
protected:
    SettingsPaths paths() const { return {dir.file("config"), dir.file("data")}; }
    void store_json(const std::string& text) {
        std::filesystem::create_directories(dir.file("config/tarnwick"));
        write_file(store.settings_file(), text);
    }
    test::TempDir dir;
    SettingsStore store{paths()};
};

TEST_F(SettingsTest, AbsentFileGivesTheDefaults) {
    Settings s = load_settings(store, "/home/u/Downloads");
    EXPECT_EQ(s.download_dir, "/home/u/Downloads");
    EXPECT_EQ(s.proxy, "");
    EXPECT_EQ(s.proxy_mode, kProxyDirect);
    EXPECT_EQ(s.connections, 8);
    EXPECT_TRUE(s.auto_update_check);
    EXPECT_TRUE(s.notifications);
    EXPECT_EQ(s.downloads_at_once, 3);
    EXPECT_TRUE(s.close_to_tray);
    EXPECT_FALSE(s.speed_limit_on);
    EXPECT_EQ(s.speed_limit_kib, 1024);
    EXPECT_EQ(s.global_limit(), 0);
    EXPECT_FALSE(s.clipboard_watch);
    EXPECT_EQ(s.queue_end_action, kQueueEndNothing);
    EXPECT_FALSE(file_exists(store.settings_file())); // loading writes nothing
}

TEST_F(SettingsTest, MembersOfAnotherTypeReadAsAbsent) {
    store_json(R"({"DownloadDir": 7, "Proxy": ["x"], "Connections": "12", "AutoUpdateCheck": false,
                   "FollowSystemProxy": 1.5, "ProxyMode": null})");
    Settings s = load_settings(store, "/dl");
    EXPECT_EQ(s.download_dir, "/dl");
    EXPECT_EQ(s.proxy, "");
    EXPECT_EQ(s.connections, 8);
    EXPECT_TRUE(s.auto_update_check);
    EXPECT_EQ(s.proxy_mode, kProxyDirect);
    // Integers outside the signed 32-bit range are not number values either.
    store_json(R"({"Connections": 4294967296, "AutoUpdateCheck": 0})");
    EXPECT_EQ(store.read_dword("Connections", 8), 8);
    EXPECT_FALSE(load_settings(store, "/dl").auto_update_check);
    // A file that does not parse, or whose root is not an object, reads as empty.
    for (const char* text : {"{\"Connections\": 4", "[1,2]", "", "{\"Connections\": 4} x"}) {
        store_json(text);
        EXPECT_EQ(store.read_dword("Connections", 8), 8) << text;
    }
}

TEST_F(SettingsTest, ProxyModeDecoding) {
    struct Case {
        const char* json;
        int mode;
    } cases[] = {
        {R"({"ProxyMode": "custom"})", kProxyCustom},
        {R"({"ProxyMode": "system", "Proxy": "socks5://h:1080"})", kProxySystem},
        {R"({"ProxyMode": "direct", "Proxy": "socks5://h:1080", "FollowSystemProxy": 1})", kProxyDirect},
        {R"({"Proxy": "socks5h://h:1080"})", kProxyCustom},
        {R"({"ProxyMode": "Custom", "FollowSystemProxy": 1})", kProxySystem},
        {R"({"ProxyMode": 2, "Proxy": ""})", kProxyDirect},
        {R"({"Proxy": "", "FollowSystemProxy": 1})", kProxySystem},
        {R"({"FollowSystemProxy": 0})", kProxyDirect},
    };
    for (const auto& c : cases) {
        store_json(c.json);
        EXPECT_EQ(load_settings(store, "").proxy_mode, c.mode) << c.json;
    }
    // The system mode keeps the stored proxy text (shown, not applied).
    store_json(R"({"ProxyMode": "system", "Proxy": "socks5://h:1080"})");
    EXPECT_EQ(load_settings(store, "").proxy, "socks5://h:1080");
}

TEST_F(SettingsTest, ConnectionsAndTheDialogChoice) {
    struct Case {
        int stored;
        int32_t read;
        int index;
    } cases[] = {{0, 8, 3}, {-3, 8, 3}, {12, 12, 3}, {16, 16, 4}, {1, 1, 0}};
    for (const auto& c : cases) {
        store_json("{\"Connections\": " + std::to_string(c.stored) + "}");
        Settings s = load_settings(store, "");
        EXPECT_EQ(s.connections, c.read) << c.stored;
        EXPECT_EQ(connection_choice_index(s.connections), c.index) << c.stored;
    }
}

TEST_F(SettingsTest, LongTextValuesReadAsTheDefault) {
    std::string longest(1023, 'a');
    ASSERT_TRUE(store.write_string("DownloadDir", longest));
    EXPECT_EQ(store.read_string("DownloadDir", "d"), longest);
    ASSERT_TRUE(store.write_string("DownloadDir", longest + "a"));
    EXPECT_EQ(store.read_string("DownloadDir", "d"), "d");
    // Characters, not bytes: 1023 Chinese characters fit.
    std::string chinese;
    for (int i = 0; i < 1023; ++i)
        chinese += "下";
    ASSERT_TRUE(store.write_string("DownloadDir", chinese));
    EXPECT_EQ(store.read_string("DownloadDir", "d"), chinese);
}

TEST_F(SettingsTest, WritesKeepUnknownMembersAndLeaveNoTemporaryFiles) {
    store_json(R"({"Theme": {"dark": true}, "Connections": 4, "Connections": 9, "Note": "x"})");
    ASSERT_TRUE(store.write_dword("Connections", 16));
    ASSERT_TRUE(store.write_string("Proxy", "http://p:3128"));
    EXPECT_EQ(store.read_dword("Connections", 8), 16);
    EXPECT_EQ(store.read_string("Proxy", ""), "http://p:3128");
    std::string text = read_file(store.settings_file());
    EXPECT_NE(text.find("\"Theme\": {\n    \"dark\": true\n  }"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Note\": \"x\""), std::string::npos) << text;
    EXPECT_EQ(text.find("9"), std::string::npos) << "the duplicate is dropped: " << text;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("config/tarnwick"))) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1) << "a readable file leaves no copy";
}

mode_t mode_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The file holds the proxy's password: only the user may read it, whatever an older file or
// folder allowed.
TEST_F(SettingsTest, TheFileAndItsFolderAreTheUsersAlone) {
    store_json("{}");
    ::chmod(store.settings_file().c_str(), 0644);
    ::chmod(dir.file("config/tarnwick").c_str(), 0755);
    ASSERT_TRUE(store.write_string("Proxy", "http://u:pw@p:3128"));
    EXPECT_EQ(mode_of(store.settings_file()), 0600u);
    EXPECT_EQ(mode_of(dir.file("config/tarnwick")), 0700u);
}

TEST_F(SettingsTest, AnUnreadableFileIsKeptAsideBeforeTheFirstWrite) {
    store_json("{\"Proxy\": \"http://p:3128\",, \"Connections\": 16}");
    ASSERT_TRUE(store.write_dword("LoginItemSeeded", 1));
    EXPECT_EQ(store.read_dword("LoginItemSeeded", 0), 1);
    EXPECT_EQ(read_file(store.settings_file() + ".bad"),
              "{\"Proxy\": \"http://p:3128\",, \"Connections\": 16}");
}

TEST_F(SettingsTest, SaveTrimsTheProxyAndWritesEveryValue) {
    SettingsForm form;
    form.download_dir = "/data/dl";
    form.proxy_text = "  socks5://u:p@h:1080 \r\n";
    form.custom_proxy = true;
    form.follow_system_proxy = true;
    form.connection_index = 9; // out of range: 8
    form.auto_update_check = false;
    form.notifications = false;
    form.downloads_at_once = 7;
    form.close_to_tray = false;
    Settings s = save_settings(store, form, kExe);
    EXPECT_EQ(s.proxy, "socks5://u:p@h:1080");
    EXPECT_EQ(s.proxy_mode, kProxyCustom);
    EXPECT_EQ(s.connections, 8);
    Settings loaded = load_settings(store, "/other");
    EXPECT_EQ(loaded.download_dir, "/data/dl");
    EXPECT_EQ(loaded.proxy, "socks5://u:p@h:1080");
    EXPECT_EQ(loaded.proxy_mode, kProxyCustom);
    EXPECT_EQ(loaded.connections, 8);
    EXPECT_FALSE(loaded.auto_update_check);
    EXPECT_FALSE(loaded.notifications);
    EXPECT_EQ(loaded.downloads_at_once, 7);
    EXPECT_FALSE(loaded.close_to_tray);
    // Out of range, stored or given: the nearest end.
    for (auto [stored, read] :
         std::initializer_list<std::pair<int32_t, int32_t>>{{0, 1}, {-5, 1}, {11, 10}, {10, 10}}) {
        store.write_dword("DownloadsAtOnce", stored);
        EXPECT_EQ(load_settings(store, "/dl").downloads_at_once, read) << stored;
    }
    form.downloads_at_once = 99;
    EXPECT_EQ(save_settings(store, form, kExe).downloads_at_once, 10);
    // The live outage limit: a form without one keeps what is stored; outside 1 s to a day, the
    // default.
    EXPECT_EQ(loaded.live_outage_limit, 300);
    form.live_outage_limit = 900;
    EXPECT_EQ(save_settings(store, form, kExe).live_outage_limit, 900);
    form.live_outage_limit = 0;
    EXPECT_EQ(save_settings(store, form, kExe).live_outage_limit, 900);
    EXPECT_EQ(load_settings(store, "/dl").live_outage_limit, 900);
    for (int32_t stored : {0, -1, 86401}) {
        store.write_dword("LiveOutageLimit", stored);
        EXPECT_EQ(load_settings(store, "/dl").live_outage_limit, 300) << stored;
    }
    EXPECT_EQ(store.read_string("ProxyMode", ""), "custom");
    EXPECT_EQ(store.read_dword("FollowSystemProxy", 7), 0);

    form.custom_proxy = false;
    form.proxy_text = " \t\r\n";
    form.connection_index = 5;
    s = save_settings(store, form, kExe);
    EXPECT_EQ(s.proxy, "");
    EXPECT_EQ(store.read_string("ProxyMode", ""), "system");
    EXPECT_EQ(store.read_dword("FollowSystemProxy", 0), 1);
    EXPECT_EQ(store.read_dword("Connections", 0), 32);
}

// The limit survives being switched off, a form that does not show it (or the clipboard watch,
// or the queue's end action) leaves it alone, and the status bar's toggle writes the switch alone.
TEST_F(SettingsTest, TheGlobalSpeedLimitKeepsItsValueAcrossToggles) {
    SettingsForm form;
    form.speed_limit_on = true;
    form.speed_limit_kib = 512;
    form.clipboard_watch = true;
    form.queue_end_action = kQueueEndPowerOff;
    Settings s = save_settings(store, form, kExe);
    EXPECT_EQ(s.global_limit(), 512 * 1024);

    s = save_speed_limit_on(store, s, false);
    EXPECT_EQ(s.global_limit(), 0);
    Settings loaded = load_settings(store, "/dl");
    EXPECT_FALSE(loaded.speed_limit_on);
    EXPECT_EQ(loaded.speed_limit_kib, 512);

    form = SettingsForm{}; // a dialog without the limit's fields
    save_speed_limit_on(store, loaded, true);
    s = save_settings(store, form, kExe);
    EXPECT_TRUE(s.speed_limit_on);
    EXPECT_EQ(s.speed_limit_kib, 512);
    EXPECT_TRUE(s.clipboard_watch);
    EXPECT_EQ(s.queue_end_action, kQueueEndPowerOff);
    for (auto [stored, read] : std::initializer_list<std::pair<int32_t, int32_t>>{{1, 1}, {3, 0}, {-1, 0}}) {
        store.write_dword("QueueEndAction", stored);
        EXPECT_EQ(load_settings(store, "/dl").queue_end_action, read) << stored;
    }

    for (auto [stored, read] :
         std::initializer_list<std::pair<int32_t, int32_t>>{{0, 1}, {-4, 1}, {2048, 2048}}) {
        store.write_dword("SpeedLimitKiB", stored);
        EXPECT_EQ(load_settings(store, "/dl").speed_limit_kib, read) << stored;
    }
}

TEST_F(SettingsTest, LoginItemIsSeededOnceAndTurningItOffSticks) {
    EXPECT_FALSE(store.autostart_enabled());
    seed_login_item(store, kExe);
    EXPECT_EQ(store.read_dword("LoginItemSeeded", 0), 1);
    ASSERT_TRUE(store.autostart_enabled());
    std::string entry = read_file(store.autostart_file());
    EXPECT_NE(entry.find("\nExec=\"/opt/tarnwick/bin/tarnwick\"\n"), std::string::npos) << entry;

    SettingsForm form;
    form.launch_at_login = false;
    save_settings(store, form, kExe);
    EXPECT_FALSE(store.autostart_enabled());
    seed_login_item(store, kExe); // a later start
    EXPECT_FALSE(store.autostart_enabled());

    form.launch_at_login = true;
    save_settings(store, form, kExe);
    EXPECT_TRUE(store.autostart_enabled());
}

TEST_F(SettingsTest, UrlSchemeRegistrationWritesTheEntryAndTheDefault) {
    std::filesystem::create_directories(dir.file("config"));
    write_file(store.mimeapps_file(), "[Added Associations]\ntext/html=firefox.desktop;\n\n"
                                      "[Default Applications]\nx-scheme-handler/twk=old.desktop\n"
                                      "text/html=firefox.desktop\n");
    ASSERT_TRUE(store.register_url_scheme(kExe));
    std::string entry = read_file(store.url_scheme_file());
    EXPECT_NE(entry.find("\nExec=\"/opt/tarnwick/bin/tarnwick\" %u\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nMimeType=x-scheme-handler/twk;\n"), std::string::npos) << entry;
    EXPECT_EQ(read_file(store.mimeapps_file()),
              "[Added Associations]\ntext/html=firefox.desktop;\n\n"
              "[Default Applications]\nx-scheme-handler/twk=tarnwick-url.desktop\n"
              "text/html=firefox.desktop\n");
    // Written again at every start: the result does not change.
    ASSERT_TRUE(store.register_url_scheme(kExe));
    EXPECT_NE(read_file(store.mimeapps_file()).find("twk=tarnwick-url.desktop\ntext/html"),
              std::string::npos);

    std::filesystem::remove(store.mimeapps_file());
    ASSERT_TRUE(store.register_url_scheme(kExe));
    EXPECT_EQ(read_file(store.mimeapps_file()),
              "[Default Applications]\nx-scheme-handler/twk=tarnwick-url.desktop\n");
}

TEST(DesktopExecLine, QuotesAndRefusesUnusablePaths) {
    struct Case {
        std::string path;
        std::string exec;
    } cases[] = {
        {"/usr/bin/tarnwick", "\"/usr/bin/tarnwick\" %u"},
        {"/home/a b/t", "\"/home/a b/t\" %u"},
        {"/x/100%/t", "\"/x/100%%/t\" %u"},
        {"/x/\"q\"/$t", "\"/x/\\\\\"q\\\\\"/\\\\$t\" %u"},
        {"/x\\y", "\"/x\\\\\\\\y\" %u"},
        {"relative/t", ""},
        {"", ""},
        {"/x/new\nline", ""},
        {"/" + std::string(258, 'a'), "\"/" + std::string(258, 'a') + "\" %u"},
        {"/" + std::string(259, 'a'), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(desktop_exec_line(c.path, "%u"), c.exec) << c.path;
}

} // namespace
} // namespace twk::app

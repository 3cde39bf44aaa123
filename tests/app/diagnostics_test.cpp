// Diagnostics: the run and crash markers, the diagnostic record, the sampler's triggers and the
// one prompt per run.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/diagnostics.h"
#include "tests/app/vendor_endpoint.h"
#include "json/json.h"

namespace twk::app {
namespace {

// The test CA, trusted through TWK_CA_FILE.
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new test::RealPeerEnvironment);

using test::body_of;
using test::Endpoint;
using test::http_response;
using test::installer_stub;
using test::manifest_body;
using test::mode_of;
using test::ScopedTmpdir;
using test::ScriptPeer;
using test::ScriptServer;
using test::sign_list;
using test::updater_folders;

constexpr int64_t kDeadlineMs = test::kEndpointDeadlineMs;

// ---------------------------------------------------------------------------------------------
// Markers, crash reports, the record

TEST(Marker, LineRoundTripsAndNumbersReadLeniently) {
    app::RunMarker m{"0.1.416", "linux6.1", 61, 120, 7};
    EXPECT_EQ(app::format_marker(m), "v=0.1.416;os=linux6.1;up=61;rss=120;cpu=7");
    app::RunMarker back = app::parse_marker(app::format_marker(m));
    EXPECT_EQ(back.v, "0.1.416");
    EXPECT_EQ(back.os, "linux6.1");
    EXPECT_EQ(back.up, 61);
    EXPECT_EQ(back.rss, 120);
    EXPECT_EQ(back.cpu, 7);
    app::RunMarker odd = app::parse_marker("up=12abc;rss=x;junk;v=a=b;cpu=-3;zz=1");
    EXPECT_EQ(odd.up, 12);
    EXPECT_EQ(odd.rss, 0);
    EXPECT_EQ(odd.v, "a=b");
    EXPECT_EQ(odd.cpu, -3);
    EXPECT_EQ(app::format_marker({std::string(300, 'v'), "os", 0, 0, 0}).size(), app::kMaxMarkerChars);
    EXPECT_EQ(app::os_text().rfind("linux", 0), 0u);
    EXPECT_GT(app::memory_mib() + 1, 0);
    EXPECT_GT(app::cpu_time_100ns(), 0);
}

TEST(DiagnosticRecord, ValidJsonWhateverTheMarkerHolds) {
    // The marker file is the user's to write: quotes, backslashes and control bytes must not
    // break the record or add members to it.
    app::RunMarker hostile = app::parse_marker("v=1\",\"trig\":\"x\\;os=a\"b\\\x01;up=3;rss=4;cpu=5");
    app::DiagRecord record{hostile.v, hostile.os, hostile.up, hostile.rss, hostile.cpu, 0, 0, "crash"};
    std::string body = app::format_diag_record(record);
    JsonValue parsed;
    ASSERT_TRUE(parse_json(body, parsed)) << body;
    ASSERT_EQ(parsed.kind, JsonKind::Object);
    EXPECT_EQ(parsed.object.size(), 8u) << body;
    EXPECT_EQ(parsed.object["v"].string, "1\",\"trig\":\"x\\");
    EXPECT_EQ(parsed.object["os"].string, "a\"b\\\x01");
    EXPECT_EQ(parsed.object["trig"].string, "crash");
    EXPECT_EQ(parsed.object["up"].number, 3);
    EXPECT_EQ(app::format_diag_record({"0.1.416", "linux6.1", 60, 801, 2, 1, 3, "rss"}),
              R"({"v":"0.1.416","os":"linux6.1","up":60,"rss":801,"cpu":2,"act":1,"done":3,"trig":"rss"})");
}

class CrashCheckTest : public ::testing::Test {
protected:
    void report(const std::string& name, int seconds_ago) {
        std::string path = m_reports.file(name);
        test::write_file(path, "core");
        auto when = std::filesystem::file_time_type::clock::now() - std::chrono::seconds(seconds_ago);
        std::filesystem::last_write_time(path, when);
    }
    std::optional<app::DiagRecord> check(const std::string& exe = "tarnwick") {
        return app::crash_check(m_files, {m_reports.path(), m_dir.file("missing")}, exe, m_fresh);
    }

    test::TempDir m_dir, m_reports;
    app::MarkerFiles m_files{m_dir.file("state/tarnwick")};
    app::RunMarker m_fresh{"0.1.416", "linux6.1", 0, 10, 0};
};

TEST_F(CrashCheckTest, ANewerReportIsOfferedOnceAfterAMarkerWasLeft) {
    // A clean exit: no marker, nothing to report, a fresh marker written.
    EXPECT_FALSE(check());
    EXPECT_EQ(test::read_file(m_files.marker_path()), app::format_marker(m_fresh));
    // Killed, with no report: the marker is found and replaced, no prompt.
    m_files.write_marker({"0.1.415", "", 42, 300, 9});
    EXPECT_FALSE(check());
    // Killed, and the system recorded a crash (systemd-coredump names the command).
    m_files.write_marker({"0.1.415", "", 42, 300, 9});
    report("core.tarnwick.1000.0123abcd.4242.1700000000000000.zst", 5);
    std::optional<app::DiagRecord> crash = check();
    ASSERT_TRUE(crash);
    EXPECT_EQ(crash->v, "0.1.415");
    EXPECT_EQ(crash->os, "linux6.1") << "the current OS text when the marker had none";
    EXPECT_EQ(crash->up, 42);
    EXPECT_EQ(crash->rss, 300);
    EXPECT_EQ(crash->cpu, 9);
    EXPECT_EQ(crash->trig, "crash");
    EXPECT_TRUE(test::file_exists(m_files.marker_path()));
    // Killed again without a new report: the crash marker already holds that report's time.
    m_files.write_marker({"0.1.416", "linux6.1", 1, 1, 1});
    EXPECT_FALSE(check());
    // A newer report (apport's naming) is offered again.
    m_files.write_marker({"0.1.416", "linux6.1", 1, 1, 1});
    report("_usr_bin_tarnwick.1000.crash", 0);
    EXPECT_TRUE(check());
    // Both markers are the user's alone.
    EXPECT_EQ(mode_of(m_files.marker_path()), 0600u);
    EXPECT_EQ(mode_of(m_files.crash_marker_path()), 0600u);
    EXPECT_EQ(mode_of(m_dir.file("state/tarnwick")), 0700u);
}

TEST_F(CrashCheckTest, LongNamesMatchOnTheirFirstTwelveCharacters) {
    report("core.tarnwick-nigh.1000.x", 10); // systemd cuts the command to 15 bytes
    EXPECT_NE(app::newest_crash_report({m_reports.path()}, "tarnwick-nightly-build"), 0u);
    EXPECT_NE(app::newest_crash_report({m_reports.path()}, "TARNWICK-NIGH"), 0u);
    EXPECT_NE(app::newest_crash_report({m_reports.path()}, "tarnwick-nigXYZ"), 0u);
    EXPECT_EQ(app::newest_crash_report({m_reports.path()}, "tarnwick-niX"), 0u);
    EXPECT_EQ(app::newest_crash_report({m_reports.path()}, ""), 0u);
    // No marker of a described run: no report is looked for.
    m_files.write_marker({"", "linux6.1", 1, 1, 1});
    EXPECT_FALSE(check("tarnwick-nightly"));
    EXPECT_FALSE(test::file_exists(m_files.crash_marker_path()));
}

// ---------------------------------------------------------------------------------------------
// The sampler and the prompt

TEST(Sampler, MemoryTriggersAtOnceCpuAfterThreeIdleMinutes) {
    const int64_t minute = 60'000, cpu_minute = 60 * 10'000'000; // one processor busy for a minute
    app::ResourceSampler s;
    s.start(0, 0, 10);
    EXPECT_FALSE(s.due(minute - 1));
    EXPECT_TRUE(s.due(minute));
    int64_t t = 0, cpu = 0;
    auto next = [&](int percent, int64_t memory, int64_t active) {
        t += minute;
        cpu += cpu_minute * percent / 100;
        return s.sample({t, cpu, memory, active, 0});
    };
    EXPECT_EQ(next(0, 801, 1).trigger, "rss");
    EXPECT_EQ(next(0, 800, 0).trigger, "");
    // 30 % with nothing to download three times in a row; a busy minute restarts the count.
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(s.last_cpu(), 30);
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(next(30, 10, 2).trigger, "");
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(next(25, 10, 0).trigger, "");
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(next(30, 10, 0).trigger, "");
    EXPECT_EQ(next(30, 10, 0).trigger, "cpu");
    EXPECT_EQ(next(30, 10, 0).trigger, "cpu");
}

TEST(Sampler, MarkerEveryFifthSampleAndNoCpuFromShortOrBackwardIntervals) {
    app::ResourceSampler s;
    s.start(0, 1'000'000'000, 10);
    int written = 0;
    for (int i = 1; i <= 10; ++i)
        written += s.sample({i * 60'000, 1'000'000'000, 10, 0, 0}).write_marker ? i : 0;
    EXPECT_EQ(written, 5 + 10);
    s.sample({10 * 60'000 + 1500, 2'000'000'000, 10, 0, 0});
    EXPECT_EQ(s.last_cpu(), 0) << "1.5 s counts as 1 s or less";
    s.sample({12 * 60'000, 5, 10, 0, 0});
    EXPECT_EQ(s.last_cpu(), 0) << "CPU time went backwards";
}

TEST(Prompt, RaisedOnceSentOnce) {
    app::DiagnosticPrompt p;
    EXPECT_FALSE(p.take_for_sending());
    EXPECT_TRUE(p.raise({"0.1.416", "linux6.1", 1, 2, 3, 0, 0, "crash"}));
    EXPECT_FALSE(p.raise({"0.1.416", "linux6.1", 1, 900, 3, 0, 0, "rss"}));
    std::optional<std::string> body = p.take_for_sending();
    ASSERT_TRUE(body);
    EXPECT_NE(body->find("\"trig\":\"crash\""), std::string::npos);
    EXPECT_FALSE(p.take_for_sending());
}

} // namespace
} // namespace twk::app

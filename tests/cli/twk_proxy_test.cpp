// `twk get` and the proxy variables of the environment, as curl and wget read them: a real twk
// process, nginx behind tinyproxy, and the proxy's own log as the witness of what went through it.
#include "net/text.h"
#include "tests/support/loopback.h"
#include "tests/support/real_peers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/twk_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace twk {
namespace {

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new test::RealPeerEnvironment);

constexpr int64_t kExitDeadlineMs = 60000;

// Sets the proxy variables for the twk processes this test starts; clears them at the end.
class ProxyVariables {
public:
    ~ProxyVariables() {
        for (const char* name : {"http_proxy", "no_proxy", "all_proxy"})
            ::unsetenv(name);
    }
    void set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }
};

class TwkProxy : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(test::RealPeers::get().nginx().http, 0) << test::RealPeers::get().failure();
        m_proxy = test::RealPeers::get().tinyproxy(false);
        ASSERT_NE(m_proxy, 0) << test::RealPeers::get().failure();
        m_url = "http://127.0.0.1:" + std::to_string(test::RealPeers::get().nginx().http) + "/data.bin";
    }
    // Runs `twk get -q -d DIR ARGS... URL`; its exit status, its output in `output`.
    int get(const std::vector<std::string>& args, std::string& output) {
        const std::string log = m_dir.file("twk-" + std::to_string(++m_runs) + ".log");
        std::vector<std::string> argv = {"get", "-q", "-d", m_dir.file("dl-" + std::to_string(m_runs))};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(m_url);
        test::TwkProcess twk(argv, log);
        const int status = twk.wait_exit(kExitDeadlineMs);
        output = test::read_file(log);
        return status;
    }
    // How many requests for the file tinyproxy has passed on so far.
    int proxied() const {
        const std::string log = test::read_file(
            std::filesystem::path(test::RealPeers::get().ca_file()).parent_path() / "tinyproxy.log");
        int count = 0;
        for (size_t at = 0; (at = log.find("GET " + m_url, at)) != std::string::npos; ++at)
            ++count;
        return count;
    }

    test::TempDir m_dir;
    ProxyVariables m_variables;
    int m_proxy = 0;
    int m_runs = 0;
    std::string m_url;
};

TEST_F(TwkProxy, FollowsTheEnvironmentUnlessToldOrListedInNoProxy) {
    std::string output;
    m_variables.set("http_proxy", "http://127.0.0.1:" + std::to_string(m_proxy));
    ASSERT_EQ(get({}, output), 0) << output;
    EXPECT_EQ(proxied(), 1);
    EXPECT_EQ(test::read_file(m_dir.file("dl-1/data.bin")), test::test_pattern(test::kDataSize));

    ASSERT_EQ(get({"--no-proxy"}, output), 0) << output;
    ASSERT_EQ(get({"--proxy", ""}, output), 0) << output;
    m_variables.set("no_proxy", "localhost, 127.0.0.0/8");
    ASSERT_EQ(get({}, output), 0) << output;
    EXPECT_EQ(proxied(), 1); // none of the three went through the proxy

    // --proxy wins over the environment, and no_proxy does not apply to it.
    ASSERT_EQ(get({"--proxy", "127.0.0.1:" + std::to_string(m_proxy)}, output), 0) << output;
    EXPECT_EQ(proxied(), 2);
}

TEST_F(TwkProxy, AnAbsentOrUnusableProxyFailsAtOnceAndIsNamed) {
    std::string output;
    const int closed = test::closed_port();
    m_variables.set("all_proxy", "socks5h://127.0.0.1:" + std::to_string(closed));
    EXPECT_EQ(get({}, output), 1) << output;
    EXPECT_NE(output.find("error: proxy 127.0.0.1:" + std::to_string(closed) + " refused the connection"),
              std::string::npos)
        << output;

    // A variable we cannot use is never taken for "go direct".
    m_variables.set("http_proxy", "socks4://127.0.0.1:1080");
    EXPECT_EQ(get({}, output), 1) << output;
    EXPECT_NE(output.find("error: http_proxy is not a proxy twk can use"), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("dl-2/data.bin")));
}

} // namespace
} // namespace twk

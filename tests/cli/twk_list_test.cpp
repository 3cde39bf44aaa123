// `twk get -i -`: a URL list on standard input, fetched by a real twk process from nginx.
#include "tests/support/real_peers.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/wait.h>

namespace twk {
namespace {

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new test::RealPeerEnvironment);

TEST(TwkList, ReadsTheListFromStandardInput) {
    const int port = test::RealPeers::get().nginx().http;
    ASSERT_NE(port, 0) << test::RealPeers::get().failure();
    test::TempDir dir;
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    test::write_file(dir.file("list"), "# two copies under names of their own\n" + base +
                                           "/data.bin\n  out=a.bin\n" + base +
                                           "/data.bin\n\tout=b.bin\n\tdir=" + dir.file("other") + "\n");
    const std::string command = std::string("'") + TWK_BINARY + "' get -q --no-proxy -d '" + dir.file("dl") +
                                "' -i - < '" + dir.file("list") + "' > '" + dir.file("log") + "' 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << test::read_file(dir.file("log"));
    const std::string data = test::test_pattern(test::kDataSize);
    EXPECT_TRUE(test::read_file(dir.file("dl/a.bin")) == data);
    EXPECT_TRUE(test::read_file(dir.file("other/b.bin")) == data);
}

} // namespace
} // namespace twk

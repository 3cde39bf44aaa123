// `twk native-host`: the framing browsers use (a 32-bit length in the machine's order, then
// JSON), the key it hands out, and how it ends.
#include "control/native_host.h"

#include "control/extension_key.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace twk {
namespace {

struct HostRun {
    int status = -1;
    std::vector<std::string> replies;
    std::string rest; // bytes after the last whole reply
};

// Runs the host on `input` (written whole into a pipe, then closed) and splits what it wrote.
HostRun run_host(const std::string& input) {
    int in[2];
    int out[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    // Room for the largest input and output, written before the host reads.
    ::fcntl(in[1], F_SETPIPE_SZ, 1 << 20);
    ::fcntl(out[1], F_SETPIPE_SZ, 1 << 20);
    EXPECT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(in[1]);
    HostRun run;
    run.status = run_native_host(in[0], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    char chunk[4096];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;)
        run.rest.append(chunk, static_cast<size_t>(n));
    ::close(out[0]);
    std::string message;
    while (take_native_message(run.rest, message) == NativeRead::kMessage)
        run.replies.push_back(message);
    return run;
}

class NativeHostTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_RUNTIME_DIR", m_dir.file("run").c_str(), 1); }
    test::TempDir m_dir;
};

TEST_F(NativeHostTest, HandsOutTheProgramsKeyUntilItsInputEnds) {
    std::string key;
    std::string error;
    ASSERT_TRUE(load_extension_key(key, error)) << error;
    const HostRun run =
        run_host(frame_native_message("{\"type\":\"key\"}") + frame_native_message("[1]") +
                 frame_native_message("{\"type\":\"other\"}") + frame_native_message("{\"type\":\"key\"}"));
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.replies.size(), 4u);
    EXPECT_EQ(run.replies[0], "{\"key\":\"" + key + "\"}");
    EXPECT_EQ(run.replies[1], "{\"error\":\"bad json\"}");
    EXPECT_EQ(run.replies[2], "{\"error\":\"unknown request\"}");
    EXPECT_EQ(run.replies[3], run.replies[0]);
    EXPECT_TRUE(run.rest.empty());
}

TEST_F(NativeHostTest, MakesTheKeyWhenTheProgramNeverRan) {
    const HostRun run = run_host(frame_native_message("{\"type\":\"key\"}"));
    ASSERT_EQ(run.replies.size(), 1u);
    std::string key;
    std::string error;
    ASSERT_TRUE(load_extension_key(key, error)) << error;
    EXPECT_EQ(run.replies[0], "{\"key\":\"" + key + "\"}");
}

TEST_F(NativeHostTest, ACutOrOversizedMessageEndsIt) {
    const std::string whole = frame_native_message("{\"type\":\"other\"}");
    struct Case {
        std::string what;
        std::string input;
        int status;
        size_t replies;
    } cases[] = {
        {"nothing", "", 0, 0},
        {"a cut length", whole + "\x05\x00", 1, 1},
        {"a cut message", whole + whole.substr(0, whole.size() - 1), 1, 1},
        {"a length over the limit", frame_native_message(std::string(kMaxNativeMessage + 1, ' ')), 1, 0},
        {"a message at the limit",
         frame_native_message("{\"type\":\"other\"}" + std::string(kMaxNativeMessage - 16, ' ')), 0, 1},
    };
    for (const Case& c : cases) {
        const HostRun run = run_host(c.input);
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.replies.size(), c.replies) << c.what;
    }
}

} // namespace
} // namespace twk

// The extension key on disk: where it lives, who may read it, that it outlives a restart, and
// the proof made with it.
#include "control/extension_key.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace twk {
namespace {

mode_t mode_of(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class ExtensionKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", m_dir.file("run").c_str(), 1);
        ::setenv("XDG_STATE_HOME", m_dir.file("state").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("XDG_STATE_HOME"); }
    std::string load() {
        std::string key;
        std::string error;
        EXPECT_TRUE(load_extension_key(key, error)) << error;
        return key;
    }
    test::TempDir m_dir;
};

TEST_F(ExtensionKeyTest, IsMadeOncePrivateAndKept) {
    const std::string key = load();
    EXPECT_TRUE(valid_extension_key(key)) << key;
    EXPECT_EQ(extension_key_folder(), m_dir.file("run/tarnwick"));
    EXPECT_EQ(mode_of(m_dir.file("run/tarnwick")), 0700u);
    EXPECT_EQ(mode_of(m_dir.file("run/tarnwick/extension.key")), 0600u);
    EXPECT_EQ(test::read_file(m_dir.file("run/tarnwick/extension.key")), key + "\n");
    EXPECT_EQ(load(), key) << "a restart keeps the key";
    // A folder someone opened up is closed again, and the key stays.
    ::chmod(m_dir.file("run/tarnwick").c_str(), 0755);
    EXPECT_EQ(load(), key);
    EXPECT_EQ(mode_of(m_dir.file("run/tarnwick")), 0700u);
}

TEST_F(ExtensionKeyTest, AKeyOthersCouldReadOrThatIsNoKeyIsReplaced) {
    const std::string path = m_dir.file("run/tarnwick/extension.key");
    const std::string key = load();
    ::chmod(path.c_str(), 0644);
    const std::string second = load();
    EXPECT_NE(second, key);
    EXPECT_EQ(mode_of(path), 0600u);
    for (const char* junk :
         {"", "short\n", "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\n"}) {
        test::write_file(path, junk);
        ::chmod(path.c_str(), 0600);
        const std::string fresh = load();
        EXPECT_TRUE(valid_extension_key(fresh)) << junk;
        EXPECT_NE(fresh, second);
    }
    // A link planted in its place is not followed: the key file is made anew beside nothing.
    std::filesystem::remove(path);
    test::write_file(m_dir.file("elsewhere"), std::string(64, 'a') + "\n");
    ::chmod(m_dir.file("elsewhere").c_str(), 0600);
    std::filesystem::create_symlink(m_dir.file("elsewhere"), path);
    EXPECT_NE(load(), std::string(64, 'a'));
    EXPECT_EQ(test::read_file(m_dir.file("elsewhere")), std::string(64, 'a') + "\n");
}

TEST_F(ExtensionKeyTest, WithoutARuntimeFolderTheStateFolderHoldsIt) {
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(extension_key_folder(), m_dir.file("state/tarnwick"));
    load();
    EXPECT_EQ(mode_of(m_dir.file("state/tarnwick/extension.key")), 0600u);
    ::setenv("XDG_RUNTIME_DIR", "relative/run", 1);
    EXPECT_EQ(extension_key_folder(), m_dir.file("state/tarnwick"));
}

TEST(ExtensionProof, IsHmacSha256OfLabelAndNonce) {
    // RFC 4231, test case 2: key "Jefe", data "what do ya want for nothing?".
    EXPECT_EQ(key_proof("Jefe", "what do ya want ", "for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(key_proof("", kServerProofLabel, "00"), "");
    EXPECT_NE(key_proof(std::string(64, 'a'), kServerProofLabel, std::string(32, '0')),
              key_proof(std::string(64, 'a'), kClientProofLabel, std::string(32, '0')));
}

TEST(ExtensionProof, NoncesAreFreshHex) {
    EXPECT_TRUE(valid_nonce(std::string(32, 'f')));
    EXPECT_TRUE(valid_nonce(std::string(64, '0')));
    for (const std::string& bad : {std::string(31, 'a'), std::string(65, 'a'), std::string(32, 'A'),
                                   std::string(31, 'a') + ".", std::string()})
        EXPECT_FALSE(valid_nonce(bad)) << bad;
}

} // namespace
} // namespace twk

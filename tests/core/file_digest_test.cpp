// The hash of a file as it is written: a thread of its own follows the contiguous prefix while
// pieces land in any order, so that when the last byte is in, nothing is left to read.
#include "core/file_digest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "tests/core/driver_fixture.h"

namespace twk {
namespace {

std::string sha256_hex(const std::string& bytes) {
    auto hasher = Hasher::create("sha-256");
    hasher->update(bytes.data(), bytes.size());
    return hasher->finish();
}

// A file written in pieces, and where the bytes on disk reach from a position on.
class PieceFile {
public:
    explicit PieceFile(const std::string& path)
        : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600)) {}
    ~PieceFile() { ::close(fd); }
    void write(const std::string& bytes, uint64_t at) {
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(bytes.size()));
        std::lock_guard lock(m_lock);
        m_written[at] = at + bytes.size();
    }
    uint64_t on_disk_until(uint64_t from) const {
        std::lock_guard lock(m_lock);
        for (bool moved = true; moved;) {
            moved = false;
            for (const auto& [start, end] : m_written) {
                if (start <= from && from < end) {
                    from = end;
                    moved = true;
                }
            }
        }
        return from;
    }
    const int fd;

private:
    mutable std::mutex m_lock;
    std::map<uint64_t, uint64_t> m_written;
};

TEST(FileDigest, FollowsThePrefixWhilePiecesLandInAnyOrder) {
    test::TempDir dir;
    const std::string body = test::random_bytes(4 * 1024 * 1024 + 99, 11);
    const uint64_t piece = 700'000;
    const uint64_t pieces = (body.size() + piece - 1) / piece;
    // The order in which the pieces land.
    const std::vector<uint64_t> order = {2, 0, 1, 5, 4, 3};
    ASSERT_EQ(order.size(), pieces);
    PieceFile file(dir.file("f.bin"));
    FileDigest digest;
    digest.expect(Checksum{"sha-256", sha256_hex(body)});
    const auto until = [&file](uint64_t from) { return file.on_disk_until(from); };
    for (uint64_t index : order) {
        const uint64_t at = index * piece;
        file.write(body.substr(at, piece), at);
        digest.wrote(file.fd, at, piece, until);
        const uint64_t prefix = file.on_disk_until(0);
        EXPECT_TRUE(test::wait_until([&] { return digest.hashed() == prefix; }, 10'000))
            << "after piece " << index << ": " << digest.hashed() << " of " << prefix;
    }
    EXPECT_EQ(digest.hashed(), body.size()); // nothing left for the end
    EXPECT_EQ(digest.finish(file.fd, body.size()), sha256_hex(body));
}

TEST(FileDigest, StoppedAndRestartedRunsHashWhatIsOnDiskAtTheEnd) {
    test::TempDir dir;
    const std::string body = test::random_bytes(3 * 1024 * 1024, 12);
    const std::string other = test::random_bytes(body.size(), 13);
    PieceFile file(dir.file("f.bin"));
    FileDigest digest;
    digest.expect(Checksum{"sha-256", sha256_hex(body)});
    const auto until = [&file](uint64_t from) { return file.on_disk_until(from); };
    // Bytes that a restart then replaces: none of them may stay in the hash.
    file.write(other.substr(0, 2'000'000), 0);
    digest.wrote(file.fd, 0, 2'000'000, until);
    ASSERT_TRUE(test::wait_until([&] { return digest.hashed() == 2'000'000; }, 10'000));
    digest.restart();
    EXPECT_EQ(digest.hashed(), 0u);
    file.write(body.substr(0, 1'000'000), 0);
    digest.wrote(file.fd, 0, 1'000'000, until);
    // A pause: the thread is joined; the next bytes start it again.
    digest.stop();
    file.write(body.substr(1'000'000), 1'000'000);
    digest.wrote(file.fd, 1'000'000, body.size() - 1'000'000, until);
    EXPECT_EQ(digest.finish(file.fd, body.size()), sha256_hex(body));
    // The file is shorter than what was hashed: it is hashed again from its start.
    FileDigest longer;
    longer.expect(Checksum{"sha-256", sha256_hex(body)});
    longer.wrote(file.fd, 0, 3 * 1024 * 1024, [](uint64_t) { return uint64_t{3 * 1024 * 1024}; });
    ASSERT_TRUE(test::wait_until([&] { return longer.hashed() == body.size(); }, 10'000));
    EXPECT_EQ(longer.finish(file.fd, 1000), sha256_hex(body.substr(0, 1000)));
}

} // namespace
} // namespace twk

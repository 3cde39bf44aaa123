// Checksums of whole files: the "ALG=HEX" form users give (`twk get --checksum sha-256=…`, the
// "checksum" member of a start request), the digests a server sends for the whole
// representation (RFC 9530: Repr-Digest, and Content-Digest on a complete 200 response), and
// the running hash a download feeds as its bytes arrive.
//
// Algorithms: "sha-256", "sha-512", "sha-1" and "md5" (the names RFC 9530 registers and the ones
// download pages print). A digest header may list several; the strongest we know is taken.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace twk {

struct Checksum {
    std::string algorithm; // "sha-256", "sha-512", "sha-1" or "md5"; empty: none
    std::string hex;       // lower-case, of the algorithm's exact length
    bool empty() const { return algorithm.empty(); }
    // "sha-256=…", as users write it.
    std::string text() const { return algorithm + "=" + hex; }
};

// "sha-256=HEX" (also "sha256", "SHA-256", and ":" in place of "="); the hex digits in either
// case, of the algorithm's length. False for anything else.
bool parse_checksum(std::string_view text, Checksum& out);

// The strongest sha-256 or sha-512 entry of a Repr-Digest or Content-Digest field value
// ("sha-256=:BASE64:, sha-512=:BASE64:"); nothing when it holds none we can use.
std::optional<Checksum> parse_digest_field(std::string_view value);

// A running hash of one algorithm.
class Hasher {
public:
    // Nothing for an algorithm we do not know.
    static std::unique_ptr<Hasher> create(std::string_view algorithm);
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    void update(const char* data, size_t size);
    // The digest in lower-case hex; the hasher starts over afterwards.
    std::string finish();

private:
    Hasher() = default;
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace twk

// The per-user key our browser extension proves itself with, and the program proves itself back
// with. Another account on the machine can connect to the control port and send any Origin it
// likes; it cannot read this key.
//
// The key is 64 lower-case hex digits (256 random bits) on one line in "extension.key", mode
// 0600, in a folder of mode 0700: "$XDG_RUNTIME_DIR/tarnwick" when XDG_RUNTIME_DIR is an absolute
// path, else the state folder (net/file_io.h). The first start makes it; later starts keep it, so
// the extension need not fetch it again. The extension gets it from `twk native-host`, which the
// browser runs as the user.
//
// The exchange, with NONCE 32 to 64 lower-case hex digits the extension draws afresh:
//   1. The extension asks GET "/proof?nonce=NONCE"; the program answers with
//      key_proof(key, kServerProofLabel, NONCE). An impostor on the port cannot compute it, so
//      the extension sends it nothing more.
//   2. The extension then sends its request with "X-Tarnwick-Proof: NONCE.PROOF" (or the query
//      parameter "proof" in that form, for the WebSocket, whose requests a page cannot give
//      headers), PROOF being key_proof(key, kClientProofLabel, NONCE). The program takes a nonce
//      once, and only one it answered within kProofLifetimeMs, so a proof that leaked is worth
//      nothing.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace twk {

inline constexpr size_t kExtensionKeyLength = 64;
inline constexpr const char* kExtensionKeyFile = "extension.key";
inline constexpr std::string_view kServerProofLabel = "tarnwick-server:";
inline constexpr std::string_view kClientProofLabel = "tarnwick-client:";
inline constexpr size_t kMinNonceLength = 32;
inline constexpr size_t kMaxNonceLength = 64;
inline constexpr int64_t kProofLifetimeMs = 30000;
// Answered nonces a server keeps at most; the oldest is dropped first.
inline constexpr size_t kMaxAnsweredNonces = 256;

// Where the key lives (see above); empty when no variable gives a folder.
std::string extension_key_folder();

// The key from its file; made first when the file is missing, holds no key, or is not a private
// file of this user (such a key may have leaked). Two processes starting at once end up with the
// same key. False with the reason in `error` when the key cannot be had.
bool load_extension_key(std::string& key, std::string& error);

// 64 lower-case hex digits.
bool valid_extension_key(std::string_view key);

// 32 to 64 lower-case hex digits.
bool valid_nonce(std::string_view nonce);

// HMAC-SHA256 (RFC 2104) keyed with the key's characters over `label` followed by `nonce`, as
// 64 lower-case hex digits; empty when the key is empty.
std::string key_proof(std::string_view key, std::string_view label, std::string_view nonce);

// `bytes` random bytes from the system's source as lower-case hex; false when it fails.
bool random_hex(size_t bytes, std::string& hex);

// The nonces a server answered on "/proof", each good for one request within kProofLifetimeMs.
// Thread-safe.
class AnsweredNonces {
public:
    void remember(const std::string& nonce, int64_t now_ms);
    // True when `nonce` was answered within the lifetime; it is used up either way.
    bool take(const std::string& nonce, int64_t now_ms);

private:
    std::mutex m_lock;
    std::map<std::string, int64_t, std::less<>> m_answered; // nonce -> when
};

} // namespace twk

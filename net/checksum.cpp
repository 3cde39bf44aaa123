#include "net/checksum.h"

#include <mbedtls/base64.h>
#include <mbedtls/md.h>

#include <array>
#include <optional>

#include "net/sha256_ni.h"
#include "net/text.h"
#include "net/url.h"

namespace twk {

namespace {

struct Algorithm {
    std::string_view name;
    mbedtls_md_type_t type;
    size_t bytes;
};

constexpr std::array<Algorithm, 4> kAlgorithms = {{
    {"sha-512", MBEDTLS_MD_SHA512, 64},
    {"sha-256", MBEDTLS_MD_SHA256, 32},
    {"sha-1", MBEDTLS_MD_SHA1, 20},
    {"md5", MBEDTLS_MD_MD5, 16},
}};

const Algorithm* find_algorithm(std::string_view name) {
    for (const Algorithm& algorithm : kAlgorithms)
        if (algorithm.name == name) return &algorithm;
    return nullptr;
}

// "SHA256", "sha-256", "Sha_256" all name "sha-256".
std::string canonical_name(std::string_view text) {
    std::string lower = to_lower_ascii(trim_spaces(text));
    if (lower == "md5") return lower;
    for (std::string_view prefix : {"sha-", "sha_", "sha"}) {
        if (lower.starts_with(prefix)) return "sha-" + lower.substr(prefix.size());
    }
    return lower;
}

std::string to_hex(const unsigned char* data, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

} // namespace

bool parse_checksum(std::string_view text, Checksum& out) {
    out = Checksum{};
    const size_t separator = text.find_first_of("=:");
    if (separator == std::string_view::npos) return false;
    const Algorithm* algorithm = find_algorithm(canonical_name(text.substr(0, separator)));
    const std::string hex = to_lower_ascii(trim_spaces(text.substr(separator + 1)));
    if (!algorithm || hex.size() != algorithm->bytes * 2 ||
        hex.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    out.algorithm = std::string(algorithm->name);
    out.hex = hex;
    return true;
}

std::optional<Checksum> parse_digest_field(std::string_view value) {
    std::optional<Checksum> best;
    size_t at = 0;
    while (at < value.size()) {
        const size_t comma = std::min(value.find(',', at), value.size());
        const std::string_view member = value.substr(at, comma - at);
        at = comma + 1;
        const size_t equals = member.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string name = to_lower_ascii(trim_spaces(member.substr(0, equals)));
        const std::string bytes = trim_spaces(member.substr(equals + 1));
        const Algorithm* algorithm = find_algorithm(name);
        // Only the algorithms RFC 9530 counts as secure; a byte sequence is ":BASE64:".
        if (!algorithm || (name != "sha-256" && name != "sha-512") || bytes.size() < 2 ||
            bytes.front() != ':' || bytes.back() != ':')
            continue;
        unsigned char digest[64];
        size_t length = 0;
        const auto* encoded = reinterpret_cast<const unsigned char*>(bytes.data() + 1);
        if (mbedtls_base64_decode(digest, sizeof digest, &length, encoded, bytes.size() - 2) != 0 ||
            length != algorithm->bytes)
            continue;
        if (best && best->algorithm == "sha-512") continue;
        best = Checksum{name, to_hex(digest, length)};
    }
    return best;
}

struct Hasher::State {
    // SHA-256 on the CPU's SHA extensions where it has them; mbedTLS otherwise.
    std::optional<Sha256Ni> sha256;
    mbedtls_md_context_t context;
};

std::unique_ptr<Hasher> Hasher::create(std::string_view name) {
    const Algorithm* algorithm = find_algorithm(name);
    if (!algorithm) return nullptr;
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(algorithm->type);
    if (!info) return nullptr;
    std::unique_ptr<Hasher> hasher(new Hasher);
    hasher->m_state = std::make_unique<State>();
    mbedtls_md_init(&hasher->m_state->context);
    static const bool fast_sha256 = sha256_ni_available();
    if (algorithm->type == MBEDTLS_MD_SHA256 && fast_sha256) {
        hasher->m_state->sha256.emplace();
        return hasher;
    }
    if (mbedtls_md_setup(&hasher->m_state->context, info, 0) != 0 ||
        mbedtls_md_starts(&hasher->m_state->context) != 0)
        return nullptr;
    return hasher;
}

Hasher::~Hasher() {
    if (m_state) mbedtls_md_free(&m_state->context);
}

void Hasher::update(const char* data, size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (m_state->sha256) {
        m_state->sha256->update(bytes, size);
        return;
    }
    mbedtls_md_update(&m_state->context, bytes, size);
}

std::string Hasher::finish() {
    unsigned char digest[MBEDTLS_MD_MAX_SIZE];
    if (m_state->sha256) {
        m_state->sha256->finish(digest);
        return to_hex(digest, Sha256Ni::kDigestSize);
    }
    mbedtls_md_finish(&m_state->context, digest);
    const size_t size = mbedtls_md_get_size(mbedtls_md_info_from_ctx(&m_state->context));
    mbedtls_md_starts(&m_state->context);
    return to_hex(digest, size);
}

} // namespace twk

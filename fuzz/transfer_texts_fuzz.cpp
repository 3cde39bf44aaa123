// The short texts a download takes from users, servers and the environment: checksums
// ("sha-256=HEX"), Repr-Digest and Content-Digest fields, Retry-After values, and proxy
// variables with no_proxy. Whatever they hold, a checksum that comes out has a known algorithm
// and lower-case hex of its length, a pause is within 0..10 minutes, and a proxy that comes out
// is configured.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/host_gate.h"
#include "net/checksum.h"
#include "net/proxy_environment.h"

namespace {

void check_checksum(const twk::Checksum& c) {
    const size_t want = c.algorithm == "sha-512"   ? 128
                        : c.algorithm == "sha-256" ? 64
                        : c.algorithm == "sha-1"   ? 40
                        : c.algorithm == "md5"     ? 32
                                                   : 0;
    if (want == 0 || c.hex.size() != want || c.hex.find_first_not_of("0123456789abcdef") != std::string::npos)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    twk::Checksum checksum;
    if (twk::parse_checksum(text, checksum)) check_checksum(checksum);
    if (auto digest = twk::parse_digest_field(text)) check_checksum(*digest);
    const int64_t pause = twk::server_pause_ms(text, 1'700'000'000);
    if (pause < -1 || pause > twk::kMaxServerPauseMs) __builtin_trap();
    // The first line is no_proxy, the rest a proxy value, for a URL on a fixed host.
    const size_t line = text.find('\n');
    const std::string no_proxy(text.substr(0, line));
    const std::string value(line == std::string_view::npos ? std::string_view() : text.substr(line + 1));
    twk::no_proxy_matches(no_proxy, "files.example.com");
    const auto lookup = [&](const char* name) {
        const std::string_view n(name);
        return n == "no_proxy" ? no_proxy : n == "https_proxy" ? value : std::string();
    };
    const twk::EnvironmentProxy found = twk::environment_proxy("https://files.example.com/a", lookup);
    if (found.proxy.kind != twk::kProxyNone && !found.proxy.configured()) __builtin_trap();
    return 0;
}

#include "app/self_update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// This header of mbedTLS 3.6 declares its functions without C linkage for C++.
extern "C" {
#include <mbedtls/psa_util.h>
}
#include <psa/crypto.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/update_key.h"
#include "net/file_io.h"
#include "net/http_exchange.h"
#include "net/text.h"
#include "net/url.h"
#include "json/json.h"

#ifndef TWK_VERSION
#define TWK_VERSION "0"
#endif

extern char** environ;

namespace twk::app {
namespace {

constexpr const char* kDefaultEndpoint = "https://tarnwick.example";
constexpr const char* kPlatformKey = "linux";
// A stored id shorter than this is treated as missing.
constexpr size_t kMinInstallIdChars = 16;
// The installer is read and written in pieces of this size.
constexpr int kInstallerPiece = 65536;
// No installer is this large; a body that grows past it is a broken or hostile endpoint filling
// the temporary folder.
constexpr int64_t kMaxInstallerBytes = int64_t{2} << 30;
constexpr size_t kDigestChars = 64;

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string hex(const uint8_t* bytes, size_t size, const char* digits) {
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes written in hexadecimal; false on an odd length or a non-hex digit.
bool from_hex(std::string_view text, std::string& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_value(text[i]);
        const int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
    }
    return true;
}

bool is_https(const std::string& url) {
    UrlParts parts;
    return parse_url(url, parts) && parts.scheme == "https";
}

// Nested object member as text: `outer.linux`; empty when anything is missing or not a string.
std::string platform_member(const OrderedJsonValue& root, std::string_view outer) {
    const OrderedJsonValue* object = root.member(outer);
    if (!object || object->kind != JsonKind::Object) return {};
    return object->string_member(kPlatformKey, "");
}

// Reads the body into the open file; false with `error` set on any failure.
bool copy_body(HttpResponse& response, int fd, const std::atomic<bool>* stop, std::string& error) {
    BodyReader reader(response);
    std::string piece(kInstallerPiece, '\0');
    int64_t written = 0;
    for (;;) {
        if (stop && stop->load()) {
            error = "stopped";
            return false;
        }
        int n = reader.read(piece.data(), kInstallerPiece);
        if (n < 0) {
            error = "installer body read failed";
            return false;
        }
        if (n == 0) break;
        if (!write_all(fd, std::string_view(piece.data(), static_cast<size_t>(n)))) {
            error = std::string("installer write failed: ") + std::strerror(errno);
            return false;
        }
        written += n;
        if (written > kMaxInstallerBytes) {
            error = "installer too large";
            return false;
        }
    }
    if (response.content_length >= 0 && written != response.content_length) {
        error = "installer length mismatch";
        return false;
    }
    return true;
}

} // namespace

const char* program_version() { return TWK_VERSION; }

std::string vendor_endpoint() {
    const char* value = std::getenv("TWK_ENDPOINT");
    std::string endpoint = value && *value ? value : kDefaultEndpoint;
    while (!endpoint.empty() && endpoint.back() == '/')
        endpoint.pop_back();
    return endpoint;
}

std::string download_page_url() { return vendor_endpoint() + "/download"; }

int compare_versions(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i <= a.size() || j <= b.size()) {
        // One component of each; past the end of a list it reads as 0.
        auto component = [](std::string_view text, size_t& pos) {
            uint64_t value = 0;
            size_t end = text.find('.', pos);
            if (end == std::string_view::npos) end = text.size();
            for (size_t k = pos; k < end && text[k] >= '0' && text[k] <= '9'; ++k)
                value = value > (UINT64_MAX - 9) / 10 ? UINT64_MAX
                                                      : value * 10 + static_cast<uint64_t>(text[k] - '0');
            pos = end + 1;
            return value;
        };
        uint64_t x = i <= a.size() ? component(a, i) : 0;
        uint64_t y = j <= b.size() ? component(b, j) : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

std::string new_install_id() {
    uint8_t bytes[16];
    if (psa_crypto_init() != PSA_SUCCESS || psa_generate_random(bytes, sizeof bytes) != PSA_SUCCESS)
        return {};
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4: random
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    std::string digits = hex(bytes, sizeof bytes, "0123456789ABCDEF");
    return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" +
           digits.substr(16, 4) + "-" + digits.substr(20);
}

std::string ensure_install_id(SettingsStore& store) {
    std::string id = store.read_string("InstallID", "");
    if (id.size() >= kMinInstallIdChars) return id;
    id = new_install_id();
    if (!id.empty()) store.write_string("InstallID", id);
    return id;
}

bool read_manifest(std::string_view body, UpdateOffer& out) {
    OrderedJsonValue root;
    if (!parse_ordered_document(body, root)) return false;
    out.version = root.string_member("version", "");
    out.url = platform_member(root, "downloads");
    out.sha256 = platform_member(root, "sha256");
    return true;
}

std::string update_check_url(const std::string& endpoint, const std::string& version, const std::string& id) {
    return endpoint + "/latest.json?p=" + kPlatformKey + "&v=" + version + "&i=" + id;
}

std::string signature_url(const std::string& list_url) {
    const size_t query = list_url.find('?');
    if (query == std::string::npos) return list_url + ".sig";
    return list_url.substr(0, query) + ".sig" + list_url.substr(query);
}

bool update_list_signed(std::string_view body, std::string_view signature, std::string_view public_key_hex) {
    std::string key;
    if (!from_hex(public_key_hex, key) || key.size() != 65) return false;
    uint8_t raw[64];
    size_t raw_length = 0;
    if (mbedtls_ecdsa_der_to_raw(256, reinterpret_cast<const uint8_t*>(signature.data()), signature.size(),
                                 raw, sizeof raw, &raw_length) != 0 ||
        raw_length != sizeof raw)
        return false;
    if (psa_crypto_init() != PSA_SUCCESS) return false;
    psa_key_attributes_t attributes = PSA_KEY_ATTRIBUTES_INIT;
    psa_set_key_type(&attributes, PSA_KEY_TYPE_ECC_PUBLIC_KEY(PSA_ECC_FAMILY_SECP_R1));
    psa_set_key_bits(&attributes, 256);
    psa_set_key_usage_flags(&attributes, PSA_KEY_USAGE_VERIFY_MESSAGE);
    psa_set_key_algorithm(&attributes, PSA_ALG_ECDSA(PSA_ALG_SHA_256));
    mbedtls_svc_key_id_t id = MBEDTLS_SVC_KEY_ID_INIT;
    if (psa_import_key(&attributes, reinterpret_cast<const uint8_t*>(key.data()), key.size(), &id) !=
        PSA_SUCCESS)
        return false;
    const bool valid =
        psa_verify_message(id, PSA_ALG_ECDSA(PSA_ALG_SHA_256), reinterpret_cast<const uint8_t*>(body.data()),
                           body.size(), raw, sizeof raw) == PSA_SUCCESS;
    psa_destroy_key(id);
    return valid;
}

bool update_check_due_at_start(bool auto_update, int64_t last_check, int64_t now_seconds) {
    return auto_update && (last_check == 0 || now_seconds < last_check || now_seconds - last_check > 3599);
}

std::optional<UpdateOffer> run_update_check(SettingsStore& store, const std::string& endpoint,
                                            int64_t now_seconds, SocketCanceller* connections) {
    std::string id = ensure_install_id(store);
    const std::string list_url = update_check_url(endpoint, program_version(), id);
    if (!is_https(list_url)) {
        report_refused("not asked over https");
        return std::nullopt;
    }
    std::optional<std::string> body = fetch_small(list_url, kUpdateCheckTimeoutMs, connections, true);
    if (!body) return std::nullopt;
    std::optional<std::string> signature =
        fetch_small(signature_url(list_url), kUpdateCheckTimeoutMs, connections, true);
    if (!signature || !update_list_signed(*body, *signature, update_public_key_hex())) {
        report_refused("no valid signature");
        return std::nullopt;
    }
    UpdateOffer offer;
    if (!read_manifest(*body, offer) || offer.version.empty()) return std::nullopt;
    store.write_dword("LastUpdateCheck", static_cast<int32_t>(static_cast<uint32_t>(now_seconds)));
    if (compare_versions(program_version(), offer.version) >= 0) return std::nullopt;
    if (!offer.url.empty() && !is_https(offer.url)) {
        report_refused("installer URL is not https");
        return std::nullopt;
    }
    return offer;
}

void report_found(const UpdateOffer& offer) {
    std::fprintf(stderr, "SELFUPDATE: found %s url=%s sha=%s\n", offer.version.c_str(), offer.url.c_str(),
                 offer.sha256.c_str());
    std::fflush(stderr);
}

void report_launched() {
    std::fputs("SELFUPDATE: verified and installer launched\n", stderr);
    std::fflush(stderr);
}

void report_failed() {
    std::fputs("SELFUPDATE: FAILED (download/checksum/launch)\n", stderr);
    std::fflush(stderr);
}

void report_refused(std::string_view why) {
    std::fprintf(stderr, "SELFUPDATE: update list refused: %.*s\n", static_cast<int>(why.size()), why.data());
    std::fflush(stderr);
}

bool offer_is_downloadable(const UpdateOffer& offer) {
    return is_https(offer.url) && offer.sha256.size() == kDigestChars;
}

std::string temp_folder() {
    const char* value = std::getenv("TMPDIR");
    std::string folder = value && value[0] == '/' ? value : "/tmp";
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

std::string installer_path(const std::string& folder, const std::string& version) {
    if (version.empty() || version == "." || version == ".." || version.size() > 64) return {};
    for (char c : version) {
        bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                     c == '-' || c == '_' || c == '+';
        if (!plain) return {};
    }
    return folder + "/Tarnwick-" + version + "-setup.run";
}

ProxySpec updater_proxy(const Settings& settings) {
    ProxySpec proxy;
    if (settings.proxy_mode == kProxyCustom) {
        if (!parse_proxy_url(settings.proxy, proxy)) proxy = ProxySpec{};
    } else if (settings.proxy_mode == kProxySystem) {
        for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy"}) {
            const char* value = std::getenv(name);
            if (!value || !*value) continue;
            if (!parse_proxy_url(value, proxy)) proxy = ProxySpec{};
            break;
        }
    }
    return proxy;
}

bool create_installer_file(const std::string& parent, const std::string& version, InstallerFile& out,
                           std::string& error) {
    if (installer_path(parent, version).empty()) {
        error = "the offered version cannot name a file";
        return false;
    }
    std::string folder = parent + "/tarnwick-update-XXXXXX";
    if (!::mkdtemp(folder.data())) {
        error = "cannot create a folder in " + parent + ": " + std::strerror(errno);
        return false;
    }
    out.folder = folder;
    out.path = installer_path(folder, version);
    out.fd.reset(::open(out.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (!out.fd.valid()) {
        error = "cannot create " + out.path + ": " + std::strerror(errno);
        ::rmdir(out.folder.c_str());
        return false;
    }
    return true;
}

void remove_installer_file(InstallerFile& file) {
    file.fd.reset();
    if (!file.path.empty()) ::unlink(file.path.c_str());
    if (!file.folder.empty()) ::rmdir(file.folder.c_str());
}

bool download_installer(const std::string& url, int fd, const ProxySpec& proxy, const std::atomic<bool>* stop,
                        std::string& error, SocketCanceller* connections) {
    UrlParts first;
    if (!parse_url(url, first)) {
        error = "installer URL does not parse";
        return false;
    }
    HttpRequest request;
    request.url = url;
    request.headers.emplace_back("User-Agent", "Tarnwick/updater");
    request.proxy = proxy;
    request.canceller = connections;
    // A chain that starts on https stays on https: a hop over plain http could be read or
    // answered by anyone on the way (http_exchange refuses it before asking).
    request.refuse_downgrade = first.scheme == "https";
    HttpResponse response;
    if (!http_exchange(request, response, error)) return false;
    if (response.status != 200) {
        error = "installer status " + std::to_string(response.status);
        return false;
    }
    return copy_body(response, fd, stop, error);
}

std::string sha256_hex(std::string_view bytes) {
    uint8_t digest[32];
    size_t length = 0;
    if (psa_crypto_init() != PSA_SUCCESS ||
        psa_hash_compute(PSA_ALG_SHA_256, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                         digest, sizeof digest, &length) != PSA_SUCCESS ||
        length != sizeof digest)
        return {};
    return hex(digest, sizeof digest, "0123456789abcdef");
}

std::string sha256_fd_hex(int fd) {
    if (fd < 0 || psa_crypto_init() != PSA_SUCCESS) return {};
    psa_hash_operation_t operation = PSA_HASH_OPERATION_INIT;
    bool ok = psa_hash_setup(&operation, PSA_ALG_SHA_256) == PSA_SUCCESS;
    std::string piece(1 << 20, '\0');
    for (off_t at = 0; ok;) {
        const ssize_t n = ::pread(fd, piece.data(), piece.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        at += n;
        ok = psa_hash_update(&operation, reinterpret_cast<const uint8_t*>(piece.data()),
                             static_cast<size_t>(n)) == PSA_SUCCESS;
    }
    uint8_t digest[32];
    size_t length = 0;
    if (ok) ok = psa_hash_finish(&operation, digest, sizeof digest, &length) == PSA_SUCCESS && length == 32;
    psa_hash_abort(&operation);
    return ok ? hex(digest, sizeof digest, "0123456789abcdef") : std::string();
}

bool digests_match(std::string_view actual, std::string_view expected) {
    if (actual.size() != kDigestChars || expected.size() != kDigestChars) return false;
    for (size_t i = 0; i < kDigestChars; ++i) {
        if (!is_hex(actual[i]) || !is_hex(expected[i])) return false;
    }
    return to_lower_ascii(actual) == to_lower_ascii(expected);
}

bool launch_installer(UniqueFd& fd, std::string& error) {
    if (::fchmod(fd.get(), 0700) != 0) {
        error = "cannot make the installer executable: " + std::string(std::strerror(errno));
        return false;
    }
    // A read-only descriptor of the very file written and hashed; the writable one is closed, as
    // a file open for writing cannot be executed.
    const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    UniqueFd program(::open(self.c_str(), O_RDONLY | O_CLOEXEC));
    if (!program.valid()) {
        error = "cannot reopen the installer: " + std::string(std::strerror(errno));
        return false;
    }
    fd.reset();
    // The grandchild reports a failed exec through this pipe; a successful exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    char name[] = "Tarnwick-setup.run";
    char silent[] = "--silent";
    char* argv[] = {name, silent, nullptr};
    const int program_fd = program.get();
    pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        error = "fork failed";
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on: the parent has other threads.
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        // A script's interpreter reads it through /dev/fd/N, so the descriptor stays open in it.
        ::fcntl(program_fd, F_SETFD, 0);
        ::fexecve(program_fd, argv, environ);
        int code = errno;
        [[maybe_unused]] ssize_t ignored = ::write(report[1], &code, sizeof code);
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int code = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &code, sizeof code);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "fork failed";
        return false;
    }
    if (n > 0) {
        error = "cannot start the installer: " + std::string(std::strerror(code));
        return false;
    }
    return true;
}

bool fetch_and_launch_installer(const UpdateOffer& offer, const ProxySpec& proxy,
                                const std::atomic<bool>* stop, std::string& error,
                                SocketCanceller* connections) {
    if (!is_https(offer.url)) {
        error = "installer URL is not https";
        return false;
    }
    InstallerFile file;
    if (!create_installer_file(temp_folder(), offer.version, file, error)) return false;
    bool ok = download_installer(offer.url, file.fd.get(), proxy, stop, error, connections);
    if (ok && !digests_match(sha256_fd_hex(file.fd.get()), offer.sha256)) {
        error = "installer checksum mismatch";
        ok = false;
    }
    ok = ok && launch_installer(file.fd, error);
    if (!ok) remove_installer_file(file);
    return ok;
}

} // namespace twk::app

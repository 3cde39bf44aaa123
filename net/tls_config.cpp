#include "net/tls_config.h"

#include "net/aes_gcm.h"
#include "net/ca_bundle.h"
#include "net/debug_log.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/debug.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_ciphersuites.h>
#include <psa/crypto.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace twk {

namespace {

// Room for mbedTLS's error and verification texts in the "[tls]" lines.
constexpr size_t kErrorTextSize = 128;
constexpr size_t kVerifyTextSize = 256;

// ECDSA first, then RSA PKCS#1 v1.5 before RSA-PSS. mbedTLS in its 1.2+1.3 mode offers the
// rsa_pss_rsae schemes but rejects them when a TLS-1.2-only server with an RSA certificate picks
// one for its key exchange (handshake error -0x6600). With PKCS#1 first such servers pick it,
// while TLS 1.3 (where PKCS#1 is not allowed for handshake signatures) still uses PSS.
const uint16_t kSignatureAlgorithms[] = {
    MBEDTLS_TLS1_3_SIG_ECDSA_SECP256R1_SHA256, MBEDTLS_TLS1_3_SIG_ECDSA_SECP384R1_SHA384,
    MBEDTLS_TLS1_3_SIG_ECDSA_SECP521R1_SHA512, MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA256,
    MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA384,       MBEDTLS_TLS1_3_SIG_RSA_PKCS1_SHA512,
    MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA256,    MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA384,
    MBEDTLS_TLS1_3_SIG_RSA_PSS_RSAE_SHA512,    MBEDTLS_TLS1_3_SIG_NONE,
};

// Suites moved to the front of the library's own list, in this order; the rest follow as the
// library orders them. What decides is the receiving cost per byte. In TLS 1.3 on a processor
// with AES and carry-less multiply instructions our own record reader opens AES-GCM at several
// times the library's speed, so AES-128-GCM comes first there (fewer rounds than AES-256, ample
// margin for a download). Records the library opens itself (TLS 1.2, or other processors) are
// cheaper with ChaCha20-Poly1305: the library's AES-GCM runs on those instructions too, but one
// 16-byte block per call, GHASH reduction included (about 2.7 against 2.3 s of CPU per GiB on
// loopback). Servers that choose for themselves (most TLS 1.2 set-ups) then still land on the
// cheaper AES when they pick AES.
const int kPreferredSuites13OwnRecords[] = {
    MBEDTLS_TLS1_3_AES_128_GCM_SHA256,
    MBEDTLS_TLS1_3_AES_256_GCM_SHA384,
    MBEDTLS_TLS1_3_CHACHA20_POLY1305_SHA256,
};
const int kPreferredSuites13[] = {
    MBEDTLS_TLS1_3_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS1_3_AES_128_GCM_SHA256,
    MBEDTLS_TLS1_3_AES_256_GCM_SHA384,
};
const int kPreferredSuites12[] = {
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
};

// Every call of the DRBG goes through here: connections handshake on many threads at once.
int locked_random(void* context, unsigned char* output, size_t length) {
    auto* tls = static_cast<TlsContext*>(context);
    std::lock_guard lock(tls->drbg_mutex);
    return mbedtls_ctr_drbg_random(&tls->drbg, output, length);
}

// The library's suites (only those it was built with), the preferred ones first.
std::vector<int> suite_order(bool own_records) {
    std::vector<int> order;
    const int* known = mbedtls_ssl_list_ciphersuites();
    auto built = [known](int id) {
        for (const int* k = known; *k != 0; ++k)
            if (*k == id) return true;
        return false;
    };
    const int* first = own_records ? kPreferredSuites13OwnRecords : kPreferredSuites13;
    for (size_t i = 0; i < std::size(kPreferredSuites13); ++i)
        if (built(first[i])) order.push_back(first[i]);
    for (int id : kPreferredSuites12)
        if (built(id)) order.push_back(id);
    for (const int* k = known; *k != 0; ++k)
        if (std::find(order.begin(), order.end(), *k) == order.end()) order.push_back(*k);
    order.push_back(0);
    return order;
}

void debug_line(void*, int level, const char* file, int line, const char* message) {
    std::string text(message ? message : "");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    debug_log_if("TWK_DEBUG_TLS", "[mbedtls:%d] %s:%d %s", level, file, line, text.c_str());
}

// The PEM text of the bundle with a terminating zero, or empty on a decoding or size error.
std::vector<unsigned char> inflate_bundle() {
    std::vector<unsigned char> pem(kCaBundleExpandedSize + 1, 0);
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return {};
    z.next_in = const_cast<unsigned char*>(kCaBundleDeflated);
    z.avail_in = static_cast<uInt>(kCaBundleDeflatedSize);
    z.next_out = pem.data();
    z.avail_out = static_cast<uInt>(pem.size());
    int rc = inflate(&z, Z_FINISH);
    size_t produced = z.total_out;
    inflateEnd(&z);
    if (rc != Z_STREAM_END || produced != kCaBundleExpandedSize) return {};
    pem[kCaBundleExpandedSize] = 0;
    return pem;
}

bool load_chain(TlsContext& tls) {
    std::vector<unsigned char> pem = inflate_bundle();
    if (pem.empty()) {
        debug_log("[tls] CA bundle inflate failed");
        return false;
    }
    int rc = mbedtls_x509_crt_parse(&tls.chain, pem.data(), pem.size());
    if (rc < 0) {
        debug_log("[tls] CA bundle parse failed: -0x%04x %s", -rc, tls_error_text(rc).c_str());
        return false;
    }
    if (const char* extra = std::getenv("TWK_CA_FILE"); extra && *extra) {
        rc = mbedtls_x509_crt_parse_file(&tls.chain, extra);
        if (rc < 0)
            debug_log("[tls] TWK_CA_FILE %s not added: -0x%04x %s", extra, -rc, tls_error_text(rc).c_str());
    }
    return true;
}

// Steps 1-8 of the process-wide set-up; the context stays unready when one fails.
void initialise(TlsContext& tls) {
    if (psa_crypto_init() != PSA_SUCCESS) {
        debug_log("[tls] psa_crypto_init failed — TLS 1.3 would break");
        return;
    }
    mbedtls_entropy_init(&tls.entropy);
    mbedtls_ctr_drbg_init(&tls.drbg);
    mbedtls_ssl_config_init(&tls.config);
    mbedtls_x509_crt_init(&tls.chain);
    static const char kPersonalisation[] = "twk-tls";
    if (mbedtls_ctr_drbg_seed(&tls.drbg, mbedtls_entropy_func, &tls.entropy,
                              reinterpret_cast<const unsigned char*>(kPersonalisation),
                              sizeof kPersonalisation - 1) != 0)
        return;
    if (mbedtls_ssl_config_defaults(&tls.config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0)
        return;
    if (!load_chain(tls)) return;
    if (std::getenv("TWK_TLS_MAX12"))
        mbedtls_ssl_conf_max_tls_version(&tls.config, MBEDTLS_SSL_VERSION_TLS1_2);
    mbedtls_ssl_conf_sig_algs(&tls.config, kSignatureAlgorithms);
    tls.own_records = !std::getenv("TWK_TLS_LIBRARY_RECORDS") && AesGcmOpener::supported();
    tls.suites = suite_order(tls.own_records);
    mbedtls_ssl_conf_ciphersuites(&tls.config, tls.suites.data());
    mbedtls_ssl_conf_ca_chain(&tls.config, &tls.chain, nullptr);
    mbedtls_ssl_conf_authmode(&tls.config, MBEDTLS_SSL_VERIFY_OPTIONAL);
    mbedtls_ssl_conf_rng(&tls.config, locked_random, &tls);
    if (const char* level = std::getenv("TWK_DEBUG_TLS")) {
        mbedtls_debug_set_threshold(std::atoi(level));
        mbedtls_ssl_conf_dbg(&tls.config, debug_line, nullptr);
    }
    tls.ready = true;
}

} // namespace

std::string tls_error_text(int code) {
    char text[kErrorTextSize] = {};
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

TlsContext* shared_tls_context() {
    static std::once_flag once;
    static TlsContext* context = nullptr;
    std::call_once(once, [] {
        context = new TlsContext;
        initialise(*context);
    });
    return context->ready ? context : nullptr;
}

std::string tls_verify_reason(uint32_t flags) {
    struct Known {
        uint32_t flag;
        const char* words;
    };
    static const Known kKnown[] = {
        {MBEDTLS_X509_BADCERT_NOT_TRUSTED, "unknown issuer"},
        {MBEDTLS_X509_BADCERT_EXPIRED, "certificate expired"},
        {MBEDTLS_X509_BADCERT_FUTURE, "certificate not yet valid"},
        {MBEDTLS_X509_BADCERT_CN_MISMATCH, "host name mismatch"},
        {MBEDTLS_X509_BADCERT_REVOKED, "certificate revoked"},
    };
    std::string out;
    for (const Known& known : kKnown) {
        if (!(flags & known.flag)) continue;
        if (!out.empty()) out += ", ";
        out += known.words;
    }
    if (!out.empty()) return out;
    char info[kVerifyTextSize] = {};
    mbedtls_x509_crt_verify_info(info, sizeof info, "", flags);
    std::string text(info);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text.empty() ? "certificate not accepted" : text;
}

} // namespace twk

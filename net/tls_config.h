// The process-wide TLS configuration every connection shares: an entropy source and a CTR-DRBG
// ("twk-tls") whose every call is serialised by one mutex, the signature algorithms and cipher
// suites offered (in our order), optional verification judged after the handshake, the built-in
// CA chain (plus TWK_CA_FILE) and the developer switches of tls_stream.h. It is set up once, on
// first use, and never torn down: detached threads may still hold sessions at exit.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace twk {

struct TlsContext {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    mbedtls_ssl_config config;
    mbedtls_x509_crt chain;
    std::mutex drbg_mutex;
    std::vector<int> suites;  // the offered cipher suites, zero-terminated
    bool own_records = false; // TLS 1.3 AES-GCM sessions are read by Tls13RecordReader
    bool ready = false;
};

// The shared configuration, set up on the first call; null when its set-up failed.
TlsContext* shared_tls_context();

// The library's text for an error code.
std::string tls_error_text(int code);

// Certificate verification flags in a few words, the commonest first ("unknown issuer",
// "certificate expired", ...); the library's text otherwise.
std::string tls_verify_reason(uint32_t flags);

} // namespace twk

// The CA bundle built into the program: the Mozilla root store in PEM form, stored as raw
// DEFLATE data (RFC 1951, no zlib or gzip wrapper). The data is generated at build time by
// net/gen_ca_bundle.py from the PEM file named by the CMake cache variable TWK_CA_BUNDLE_SOURCE
// (Debian's /etc/ssl/certs/ca-certificates.crt by default).
#pragma once

#include <cstddef>

namespace twk {

extern const unsigned char kCaBundleDeflated[];
extern const size_t kCaBundleDeflatedSize;
// The PEM text's length; the expanded bundle must have exactly this many bytes.
extern const size_t kCaBundleExpandedSize;

} // namespace twk

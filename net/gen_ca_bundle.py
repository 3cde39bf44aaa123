#!/usr/bin/env python3
"""Builds the C++ source of the built-in CA bundle.

usage: gen_ca_bundle.py PEM_FILE OUTPUT_CPP

The PEM text (the Mozilla root store as Debian's ca-certificates package ships it) is compressed
as raw DEFLATE data (no zlib or gzip wrapper) and written out as a byte array together with its
expanded size, which the TLS layer checks when it inflates the bundle at start-up.
"""
import os
import sys
import zlib


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    pem_path, out_path = sys.argv[1], sys.argv[2]
    with open(pem_path, "rb") as f:
        pem = f.read()
    if b"-----BEGIN CERTIFICATE-----" not in pem:
        print(f"gen_ca_bundle: no certificate in {pem_path}", file=sys.stderr)
        return 1
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    packed = packer.compress(pem) + packer.flush()
    certificates = pem.count(b"-----BEGIN CERTIFICATE-----")

    lines = []
    for i in range(0, len(packed), 20):
        lines.append("    " + ",".join(f"0x{b:02x}" for b in packed[i : i + 20]) + ",")
    body = "\n".join(lines)
    text = f"""// Generated at build time by net/gen_ca_bundle.py from {pem_path}: do not edit.
// {certificates} certificates, {len(pem)} bytes of PEM text, {len(packed)} bytes of raw DEFLATE data.
#include "net/ca_bundle.h"

namespace twk {{

const unsigned char kCaBundleDeflated[] = {{
{body}
}};
const size_t kCaBundleDeflatedSize = {len(packed)};
const size_t kCaBundleExpandedSize = {len(pem)};

}} // namespace twk
"""
    with open(out_path + ".tmp", "w") as f:
        f.write(text)
    os.replace(out_path + ".tmp", out_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())

// Small file helpers every layer shares: the loops and flushes that plain POSIX calls leave to
// the caller.
#pragma once

#include <string>
#include <string_view>

namespace twk {

// Writes all of `bytes` to `fd`, again after a short write or an interrupted one. False when a
// write fails (errno tells why).
bool write_all(int fd, std::string_view bytes);

// The folder part of a path: "." for a bare name, "/" for a name in the root.
std::string folder_of(std::string_view path);

// Flushes the folder's own entry, so that a file renamed into it survives a crash. False when
// the folder cannot be opened or flushed.
bool sync_folder(const std::string& folder);

} // namespace twk

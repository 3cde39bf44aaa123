// The process-wide diagnostic printer. Lines go to standard error, one at a time under a
// mutex, and only when a developer switch asks for them:
//   TWK_DEBUG        general lines: "[dl]", "[net]", "[tls]", "[mbedtls:N]"
//   TWK_DEBUG_SEG    "[seg]" lines          TWK_DEBUG_CONN   "[conn]" and "[reclaim]" lines
//   TWK_DEBUG_ADAPT  "[adapt]" lines        TWK_DEBUG_TLS    mbedTLS's own debug output
//   TWK_DEBUG_HASH   "[hash]" lines (how far a download's hash lagged behind its last byte)
// A switch is on when the variable is set and does not begin with "0". Each is read once.
#pragma once

namespace twk {

// The switch named `name`, read once per process and name.
bool env_switch(const char* name);

// Writes the formatted line and a line feed to standard error when TWK_DEBUG is on.
void debug_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same line, written when the switch `name` is on (for the area-specific switches).
void debug_log_if(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace twk

#include "net/debug_log.h"

#include "net/url.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace twk {

namespace {

std::mutex& print_mutex() {
    static std::mutex m;
    return m;
}

void vprint_line(const char* format, va_list args) {
    char stack[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(stack, sizeof stack, format, copy);
    va_end(copy);
    if (n < 0) return;
    std::string line;
    if (static_cast<size_t>(n) < sizeof stack) {
        line.assign(stack, static_cast<size_t>(n));
    } else {
        line.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(line.data(), line.size(), format, args);
        line.resize(static_cast<size_t>(n));
    }
    // A URL's password never reaches the screen or a log, whatever line quotes it.
    line = redact_urls_in(line) + '\n';
    std::lock_guard lock(print_mutex());
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace

bool env_switch(const char* name) {
    static std::mutex cache_mutex;
    static std::map<std::string, bool> cache;
    std::lock_guard lock(cache_mutex);
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    const char* value = std::getenv(name);
    bool on = value && value[0] != '0';
    cache.emplace(name, on);
    return on;
}

void debug_log(const char* format, ...) {
    static const bool on = env_switch("TWK_DEBUG");
    if (!on) return;
    va_list args;
    va_start(args, format);
    vprint_line(format, args);
    va_end(args);
}

void debug_log_if(const char* name, const char* format, ...) {
    if (!env_switch(name)) return;
    va_list args;
    va_start(args, format);
    vprint_line(format, args);
    va_end(args);
}

} // namespace twk

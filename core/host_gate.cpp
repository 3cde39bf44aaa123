#include "core/host_gate.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <ctime>

#include "net/text.h"
#include "net/url.h"

namespace twk {

std::string server_pause_status(int64_t ms) {
    return std::string(kServerPausePrefix) + std::to_string((ms + 999) / 1000) + " s (server asked)";
}

namespace {

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int month_number(std::string_view name) {
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string lower = to_lower_ascii(name);
    for (int i = 0; i < 12; ++i)
        if (lower == kMonths[i]) return i;
    return -1;
}

// The three date forms of HTTP (RFC 9110 section 5.6.7), as seconds since 1970; -1 for none.
int64_t http_date_seconds(std::string_view text) {
    std::tm when{};
    char month[4] = {};
    char zone[4] = {};
    char weekday[16] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0;
    const std::string copy(text);
    bool read = false;
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    if (std::sscanf(copy.c_str(), "%15[A-Za-z], %2d %3s %4d %2d:%2d:%2d %3s", weekday, &day, month, &year,
                    &hour, &minute, &second, zone) == 8) {
        read = true;
    } else if (std::sscanf(copy.c_str(), "%15[A-Za-z], %2d-%3[A-Za-z]-%2d %2d:%2d:%2d %3s", weekday, &day,
                           month, &year, &hour, &minute, &second, zone) == 8) {
        // "Sunday, 06-Nov-94 08:49:37 GMT": two-digit years from 70 are 19xx.
        year += year < 70 ? 2000 : 1900;
        read = true;
    } else if (std::sscanf(copy.c_str(), "%15[A-Za-z] %3s %2d %2d:%2d:%2d %4d", weekday, month, &day, &hour,
                           &minute, &second, &year) == 7) {
        // "Sun Nov  6 08:49:37 1994"
        std::strcpy(zone, "GMT");
        read = true;
    }
    const int month_index = month_number(month);
    if (!read || month_index < 0 || std::strcmp(zone, "GMT") != 0 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60 || year < 1970)
        return -1;
    when.tm_year = year - 1900;
    when.tm_mon = month_index;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    return static_cast<int64_t>(::timegm(&when));
}

} // namespace

std::string gate_host(std::string_view url) {
    UrlParts parts;
    if (!parse_url(url, parts)) return {};
    return to_lower_ascii(parts.host) + ":" + std::to_string(parts.port);
}

int64_t server_pause_ms(std::string_view value, int64_t now_unix) {
    const std::string text = trim_spaces(value);
    if (all_digits(text)) {
        // Anything beyond the cap is the cap; so is a number too long to read.
        int64_t seconds = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
        if (ec != std::errc{} || end != text.data() + text.size() || seconds > kMaxServerPauseMs / 1000)
            return kMaxServerPauseMs;
        return seconds * 1000;
    }
    const int64_t at = http_date_seconds(text);
    if (at < 0) return -1;
    return at <= now_unix ? 0 : std::min<int64_t>((at - now_unix) * 1000, kMaxServerPauseMs);
}

SlotHolder SlotHolder::next() {
    static std::atomic<uint64_t> last{0};
    return SlotHolder{last.fetch_add(1, std::memory_order_relaxed) + 1};
}

HostGate& HostGate::shared() {
    static HostGate gate;
    return gate;
}

void HostGate::set_budget(uint32_t per_host) {
    std::lock_guard lock(m_lock);
    m_budget = per_host == 0 ? kDefaultPerHostConnections : per_host;
}

uint32_t HostGate::budget() const {
    std::lock_guard lock(m_lock);
    return m_budget;
}

void HostGate::hold(const std::string& host, int64_t ms, int64_t now_ms) {
    if (host.empty() || ms <= 0) return;
    std::lock_guard lock(m_lock);
    Host& entry = m_hosts[host];
    entry.open_at_ms = std::max(entry.open_at_ms, now_ms + std::min(ms, kMaxServerPauseMs));
}

int64_t HostGate::held_for(const std::string& host, int64_t now_ms) const {
    std::lock_guard lock(m_lock);
    const auto found = m_hosts.find(host);
    return found == m_hosts.end() ? 0 : std::max<int64_t>(0, found->second.open_at_ms - now_ms);
}

uint32_t HostGate::share(const Host& host, int64_t now_ms) const {
    size_t wanting = 0;
    for (const auto& [task, count] : host.held)
        wanting += count > 0 ? 1 : 0;
    for (const auto& [task, when] : host.refused_ms)
        wanting += now_ms - when < kSlotWaitMemoryMs && !host.held.contains(task) ? 1 : 0;
    wanting = std::max<size_t>(wanting, 1);
    return std::max<uint32_t>(1, static_cast<uint32_t>(m_budget / wanting));
}

bool HostGate::others_wait(const Host& host, SlotHolder task, int64_t now_ms) const {
    for (const auto& [other, when] : host.refused_ms)
        if (other != task && now_ms - when < kSlotWaitMemoryMs) return true;
    return false;
}

bool HostGate::try_acquire(const std::string& host, SlotHolder task, int64_t now_ms) {
    std::lock_guard lock(m_lock);
    Host& entry = m_hosts[host];
    std::erase_if(entry.refused_ms,
                  [now_ms](const auto& item) { return now_ms - item.second >= kSlotWaitMemoryMs; });
    const uint32_t mine = entry.held.contains(task) ? entry.held[task] : 0;
    const bool room = entry.total < m_budget;
    const bool fair = mine < share(entry, now_ms) || !others_wait(entry, task, now_ms);
    if (!room || !fair) {
        entry.refused_ms[task] = now_ms;
        return false;
    }
    ++entry.total;
    ++entry.held[task];
    entry.refused_ms.erase(task);
    return true;
}

void HostGate::release(const std::string& host, SlotHolder task, int64_t now_ms) {
    std::lock_guard lock(m_lock);
    const auto found = m_hosts.find(host);
    if (found == m_hosts.end()) return;
    Host& entry = found->second;
    const auto mine = entry.held.find(task);
    if (mine == entry.held.end() || mine->second == 0) return;
    --entry.total;
    if (--mine->second == 0) entry.held.erase(mine);
    tidy(host, now_ms);
}

bool HostGate::over_share(const std::string& host, SlotHolder task, int64_t now_ms) const {
    std::lock_guard lock(m_lock);
    const auto found = m_hosts.find(host);
    if (found == m_hosts.end()) return false;
    const Host& entry = found->second;
    const auto mine = entry.held.find(task);
    if (mine == entry.held.end()) return false;
    return others_wait(entry, task, now_ms) && mine->second > share(entry, now_ms);
}

uint32_t HostGate::held(const std::string& host) const {
    std::lock_guard lock(m_lock);
    const auto found = m_hosts.find(host);
    return found == m_hosts.end() ? 0 : found->second.total;
}

// A host nobody holds or waits for is forgotten, unless it asked for a pause that still runs.
void HostGate::tidy(const std::string& name, int64_t now_ms) {
    const auto found = m_hosts.find(name);
    if (found == m_hosts.end()) return;
    const Host& entry = found->second;
    if (entry.total == 0 && entry.refused_ms.empty() && entry.open_at_ms <= now_ms) m_hosts.erase(found);
}

} // namespace twk

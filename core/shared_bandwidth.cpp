#include "core/shared_bandwidth.h"

#include <algorithm>
#include <vector>

namespace twk {

namespace {

// A rate is measured over at least this long; shorter intervals keep the last reading. Writes
// land in chunks of up to a read buffer, so shorter ones would be noise.
constexpr uint64_t kMinMeasureNs = 1'000'000'000;
// A task taking less than this part of its share is limited by something else (its server).
constexpr double kSatisfiedPart = 0.8;
// Such a task is given this much more than it takes, so that it can speed up again ...
constexpr double kHeadroom = 1.5;
// ... and never less than this (bytes per second).
constexpr double kMinShare = 16.0 * 1024;

} // namespace

SharedBandwidth::SharedBandwidth(LimiterClock clock) : m_clock(std::move(clock)) {}

void SharedBandwidth::set_limit(int64_t bytes_per_second) {
    std::lock_guard lock(m_lock);
    m_limit = std::max<int64_t>(bytes_per_second, 0);
    // Measurements made under another limit say nothing about what the tasks want now.
    for (auto& [key, member] : m_members) {
        member.measured = false;
        member.given = 0;
    }
}

void SharedBandwidth::join(const void* key) {
    std::lock_guard lock(m_lock);
    m_members[key] = Member{};
}

void SharedBandwidth::leave(const void* key) {
    std::lock_guard lock(m_lock);
    m_members.erase(key);
}

int64_t SharedBandwidth::share(const void* key, uint64_t bytes_written) {
    std::lock_guard lock(m_lock);
    const int64_t limit = m_limit.load();
    auto found = m_members.find(key);
    if (limit <= 0 || found == m_members.end()) return 0;
    Member& member = found->second;
    const uint64_t now = m_clock.now_ns();
    if (member.last_ns == 0) {
        member.last_ns = now;
        member.last_bytes = bytes_written;
    } else if (now - member.last_ns >= kMinMeasureNs) {
        const uint64_t bytes = bytes_written > member.last_bytes ? bytes_written - member.last_bytes : 0;
        member.rate = static_cast<double>(bytes) * 1e9 / static_cast<double>(now - member.last_ns);
        member.measured = true;
        member.last_ns = now;
        member.last_bytes = bytes_written;
    }
    split(static_cast<double>(limit));
    return std::max<int64_t>(1, static_cast<int64_t>(member.given));
}

// Water-filling: the tasks that want less than an even split get what they want (with
// headroom), the others share the rest evenly.
void SharedBandwidth::split(double limit) {
    std::vector<std::pair<double, Member*>> wants;
    wants.reserve(m_members.size());
    for (auto& [key, member] : m_members) {
        double want = limit;
        if (member.measured && member.given > 0 && member.rate < kSatisfiedPart * member.given)
            want = std::max(kMinShare, member.rate * kHeadroom);
        wants.emplace_back(want, &member);
    }
    std::sort(wants.begin(), wants.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    double left = limit;
    size_t remaining = wants.size();
    for (auto& [want, member] : wants) {
        const double even = left / static_cast<double>(remaining);
        member->given = std::min(want, even);
        left = std::max(0.0, left - member->given);
        --remaining;
    }
}

SharedBandwidth::Participant::Participant(SharedBandwidth* shared, const void* key)
    : m_shared(shared), m_key(key) {
    if (m_shared) m_shared->join(m_key);
}

SharedBandwidth::Participant::~Participant() {
    if (m_shared) m_shared->leave(m_key);
}

int64_t SharedBandwidth::Participant::share(uint64_t bytes_written) {
    return m_shared ? m_shared->share(m_key, bytes_written) : 0;
}

int64_t task_limit(int64_t own, int64_t share, int64_t current) {
    if (share > 0 && current > 0 && share >= current && share - current < current / 8) share = current;
    if (own <= 0) return std::max<int64_t>(share, 0);
    return share > 0 ? std::min(own, share) : own;
}

} // namespace twk

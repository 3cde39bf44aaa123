#include "core/path_arbiter.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "core/task.h"

namespace twk {

namespace {

constexpr int kMaxCollisionNumber = 99999;

std::string_view folder_part(std::string_view path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

} // namespace

std::string normalize_path(std::string_view path) {
    std::string text(path);
    for (char& c : text) {
        if (c == '\\') c = '/';
    }
    std::string prefix = "/";
    bool drive = text.size() >= 3 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':' &&
                 text[2] == '/';
    if (drive) {
        prefix = text.substr(0, 3);
        text.erase(0, 3);
    } else if (!text.starts_with("/")) {
        std::vector<char> cwd(4096);
        if (::getcwd(cwd.data(), cwd.size())) text = std::string(cwd.data()) + "/" + text;
    }
    std::vector<std::string_view> parts;
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out = prefix;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += '/';
        out += parts[i];
    }
    return out;
}

std::string numbered_path(std::string_view path, int n) {
    std::string_view folder = folder_part(path);
    std::string_view name = path.substr(folder.size());
    size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string_view::npos) dot = name.size();
    const std::string number = " (" + std::to_string(n) + ")";
    // A name at the length limit gives up the end of its stem for the number.
    std::string_view stem = name.substr(0, dot);
    const size_t room = kMaxNameBytes > number.size() + (name.size() - dot)
                            ? kMaxNameBytes - number.size() - (name.size() - dot)
                            : 0;
    if (stem.size() > room) {
        size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80)
            --cut;
        stem = stem.substr(0, cut);
    }
    std::string out(folder);
    out += stem;
    out += number;
    out += name.substr(dot);
    return out;
}

void PathArbiter::enroll(const TaskProgress& task, int32_t id, bool holds_path) {
    std::lock_guard lock(m_lock);
    m_claims.push_back(Claim{&task, id, holds_path, UINT64_MAX, {}});
}

void PathArbiter::forget(const TaskProgress& task) {
    std::lock_guard lock(m_lock);
    std::erase_if(m_claims, [&](const Claim& claim) { return claim.task == &task; });
}

void PathArbiter::set_holds_path(const TaskProgress& task, bool holds) {
    std::lock_guard lock(m_lock);
    for (Claim& claim : m_claims) {
        if (claim.task == &task) claim.holds_path = holds;
    }
}

bool PathArbiter::taken(const std::string& normalized, const TaskProgress& task) {
    for (Claim& claim : m_claims) {
        if (claim.task == &task || !claim.holds_path) continue;
        // The count is read before the path: a change landing meanwhile moves it past `seen`.
        const uint64_t changes = claim.task->change_count();
        if (changes != claim.seen) {
            claim.normalized = normalize_path(claim.task->output_path());
            claim.seen = changes;
        }
        if (claim.normalized == normalized) return true;
    }
    return false;
}

std::pair<std::string, int32_t> PathArbiter::place(TaskProgress& task, const std::string& candidate,
                                                   const FileCheck& file_free) {
    std::lock_guard lock(m_lock);
    auto is_free = [&](const std::string& path) {
        return !taken(normalize_path(path), task) && (!file_free || file_free(path));
    };
    std::string chosen = candidate;
    if (!is_free(candidate)) {
        for (int n = 1; n <= kMaxCollisionNumber; ++n) {
            std::string numbered = numbered_path(candidate, n);
            if (is_free(numbered)) {
                chosen = numbered;
                break;
            }
        }
    }
    task.set_output_path(chosen);
    int32_t id = 0;
    for (const Claim& claim : m_claims) {
        if (claim.task == &task) id = claim.id;
    }
    return {chosen, id};
}

} // namespace twk

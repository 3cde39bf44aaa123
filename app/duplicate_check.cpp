#include "app/duplicate_check.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/start_request.h"
#include "net/url.h"

namespace twk::app {
namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

bool is_file(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

std::vector<DuplicateOffer> offers_for_task(TaskState state, bool file_there) {
    switch (state) {
    case kDone:
        if (file_there) return {DuplicateOffer::OpenExisting, DuplicateOffer::DownloadAgain};
        return {DuplicateOffer::Resume, DuplicateOffer::DownloadAgain};
    case kPaused:
    case kError: return {DuplicateOffer::Resume, DuplicateOffer::DownloadAgain};
    default: return {DuplicateOffer::OpenExisting, DuplicateOffer::DownloadAgain};
    }
}

// Resume states are the output path plus this.
constexpr std::string_view kSidecarSuffix = ".twk";
// Names tried for "Download again" before giving up on finding a free one.
constexpr int kMostCopies = 9999;

} // namespace

bool same_download_url(std::string_view a, std::string_view b) {
    UrlParts x;
    UrlParts y;
    std::string ta = trim_spaces(a);
    std::string tb = trim_spaces(b);
    if (!parse_url(ta, x) || !parse_url(tb, y)) return ta == tb;
    return x.scheme == y.scheme && lower(x.host) == lower(y.host) && x.port == y.port && x.user == y.user &&
           x.path == y.path;
}

std::string planned_path(std::string_view url, const std::string& name, const std::string& folder) {
    StartOptions options;
    options.url = trim_spaces(url);
    options.filename = name;
    options.user_named = !name.empty();
    std::string dir = folder;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return output_path_for(options, dir);
}

DuplicateFinding find_duplicate(std::string_view url, const std::string& path,
                                const std::vector<TaskSnapshot>& tasks) {
    DuplicateFinding found;
    // The newest task for the URL speaks for it.
    for (auto it = tasks.rbegin(); it != tasks.rend(); ++it) {
        if (it->state == kCanceled || !same_download_url(url, it->url)) continue;
        found.kind = DuplicateKind::SameUrl;
        found.task = it->id;
        found.state = it->state;
        found.path = it->path;
        found.offers = offers_for_task(it->state, is_file(it->path));
        return found;
    }
    if (!exists(path)) return found;
    found.kind = DuplicateKind::FileExists;
    found.path = path;
    found.again_path = next_free_path(path);
    if (is_file(path + std::string(kSidecarSuffix)))
        found.offers = {DuplicateOffer::Resume, DuplicateOffer::DownloadAgain, DuplicateOffer::OpenExisting};
    else
        found.offers = {DuplicateOffer::OpenExisting, DuplicateOffer::DownloadAgain};
    return found;
}

std::string next_free_path(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    // A leading dot starts a hidden name, not an extension.
    if (dot == std::string::npos || dot <= name_at) dot = path.size();
    std::string stem = path.substr(0, dot);
    std::string ext = path.substr(dot);
    for (int n = 1; n <= kMostCopies; ++n) {
        std::string candidate = stem + " (" + std::to_string(n) + ")" + ext;
        if (!exists(candidate) && !exists(candidate + std::string(kSidecarSuffix))) return candidate;
    }
    return path;
}

std::string free_path(const std::string& path) {
    if (!exists(path) && !exists(path + std::string(kSidecarSuffix))) return path;
    return next_free_path(path);
}

} // namespace twk::app

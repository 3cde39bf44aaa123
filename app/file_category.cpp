#include "app/file_category.h"

#include <algorithm>

namespace twk::app {
namespace {

struct Extensions {
    FileCategory category;
    std::array<std::string_view, 24> names;
};

// Stream playlists count as video: what they save is one.
constexpr std::array<Extensions, 5> kExtensions = {{
    {FileCategory::Video, {"mp4",  "m4v", "mkv", "webm", "avi", "mov", "wmv",  "flv", "mpg",  "mpeg", "ts",
                           "m2ts", "mts", "3gp", "ogv",  "vob", "rm",  "rmvb", "asf", "m3u8", "mpd"}},
    {FileCategory::Audio,
     {"mp3", "m4a", "aac", "flac", "wav", "ogg", "oga", "opus", "wma", "ape", "aiff", "aif", "mid", "midi",
      "alac", "mka", "wv", "amr"}},
    {FileCategory::Archives,
     {"zip", "rar", "7z",   "tar", "gz",  "tgz", "bz2", "tbz", "tbz2", "xz",   "txz",
      "zst", "lz",  "lzma", "z",   "cab", "iso", "img", "arj", "ace",  "cpio", "zipx"}},
    {FileCategory::Documents,
     {"pdf",  "doc", "docx", "odt", "rtf",  "txt", "md",   "epub", "mobi", "azw3", "xls",
      "xlsx", "ods", "csv",  "ppt", "pptx", "odp", "djvu", "tex",  "pps",  "ppsx", "fb2"}},
    {FileCategory::Programs,
     {"exe", "msi", "deb", "rpm", "appimage", "run", "apk", "dmg", "pkg", "snap", "flatpak", "flatpakref",
      "jar", "msix", "appx", "xapk"}},
}};

std::string lower_extension(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 >= name.size()) return {};
    std::string ext(name.substr(dot + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return ext;
}

std::string without_trailing_slashes(std::string_view folder) {
    while (folder.size() > 1 && folder.back() == '/')
        folder.remove_suffix(1);
    return std::string(folder);
}

} // namespace

FileCategory file_category(std::string_view name) {
    std::string ext = lower_extension(name);
    if (ext.empty()) return FileCategory::Other;
    for (const Extensions& kind : kExtensions)
        for (std::string_view known : kind.names)
            if (!known.empty() && known == ext) return kind.category;
    return FileCategory::Other;
}

const char* category_folder_setting(FileCategory category) {
    switch (category) {
    case FileCategory::Video: return "FolderVideo";
    case FileCategory::Audio: return "FolderAudio";
    case FileCategory::Archives: return "FolderArchives";
    case FileCategory::Documents: return "FolderDocuments";
    case FileCategory::Programs: return "FolderPrograms";
    case FileCategory::Other: break;
    }
    return "FolderOther";
}

std::string category_folder(const SettingsStore& store, FileCategory category,
                            const std::string& download_dir) {
    std::string folder = store.read_string(category_folder_setting(category), "");
    return folder.empty() ? download_dir : folder;
}

bool remember_category_folder(SettingsStore& store, FileCategory category, std::string_view folder,
                              const std::string& download_dir) {
    std::string chosen = without_trailing_slashes(folder);
    if (chosen == without_trailing_slashes(download_dir)) chosen.clear();
    if (store.read_string(category_folder_setting(category), "") == chosen) return true;
    return store.write_string(category_folder_setting(category), chosen);
}

} // namespace twk::app

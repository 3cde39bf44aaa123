// The kind of file a download is, as download managers sort them (video, audio, archives,
// documents, programs, other), and the folder the user last chose for each kind.
//
// The kind comes from the name's extension alone (the text after its last "."), in any case; a
// name without one is "other". Each kind's folder is kept in the settings file under its own
// value ("FolderVideo", "FolderAudio", "FolderArchives", "FolderDocuments", "FolderPrograms",
// "FolderOther"); a kind with no folder of its own (or an empty one) uses the download folder.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "app/settings_store.h"

namespace twk::app {

enum class FileCategory : int { Video, Audio, Archives, Documents, Programs, Other };

inline constexpr std::array<FileCategory, 6> kFileCategories = {
    FileCategory::Video,     FileCategory::Audio,    FileCategory::Archives,
    FileCategory::Documents, FileCategory::Programs, FileCategory::Other,
};

FileCategory file_category(std::string_view name);

// The settings value that holds the kind's folder.
const char* category_folder_setting(FileCategory category);

// The kind's own folder, else `download_dir`.
std::string category_folder(const SettingsStore& store, FileCategory category,
                            const std::string& download_dir);

// Keeps `folder` as the kind's own; the download folder itself (or an empty folder) clears the
// kind's own, so that the kind follows the download folder again.
bool remember_category_folder(SettingsStore& store, FileCategory category, std::string_view folder,
                              const std::string& download_dir);

} // namespace twk::app

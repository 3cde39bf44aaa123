// The texts of the list's sort and filter, the tray's status, the duplicate warning, New's
// name and folder, the queue actions and the speed-limit toggle, as (Chinese, English) pairs
// in the language in force (ui/text_table.h).
#pragma once

namespace twk::ui {

enum class WindowText : int {
    TrayDownloading, // "%1 downloading"
    TrayQueued,      // "%1 queued"
    TrayLeft,        // "%1 left"
    StillRunningTitle,
    StillRunningBody,
    ChipAll,
    ChipRunning,
    ChipFinished,
    ChipFailed,
    FilterHint,
    SortMenu,
    SortQueue,
    SortName,
    SortSize,
    SortState,
    SortAdded,
    SortDescending,
    DuplicateTitle,
    DuplicateUrl,  // "%1": the task's name
    DuplicateFile, // "%1": the file's path
    OpenExisting,
    DownloadAgain,
    ResumeExisting,
    FileNameLabel,
    FileNameHint,
    FolderLabel,
    StartNow,
    MoveUp,
    MoveDown,
    SpeedLimitOn, // "%1": the limit, "2.0 MB/s"
    SpeedLimitOff,
    SpeedLimitSetting,
    SpeedLimitUnit,
    CloseToTraySetting,
    NoMatch,
    NoMatchHint,
    Count,
};

// UTF-8.
const char* window_text(WindowText text);

} // namespace twk::ui

// The texts of the Settings dialog's download and desktop sections and of its refusals, as
// (Chinese, English) pairs in the language in force (ui/text_table.h).
#pragma once

namespace twk::ui {

enum class SettingsText : int {
    DownloadsHeading,
    PerServer,
    PerServerNote,
    DownloadsAtOnce,
    SpeedLimitBox,
    SpeedLimitUnit,
    SpeedLimitNote,
    DesktopHeading,
    Notices,
    CloseToTray,
    ClipboardWatch,
    QueueEnd,
    QueueEndNothing,
    QueueEndSuspend,
    QueueEndPowerOff,
    LiveOutage,
    LiveOutageUnit,
    BadPerServer,  // "%1", "%2": the range's ends
    BadSpeedLimit, // the same
    BadLiveOutage, // the same
    Count,
};

// UTF-8.
const char* settings_text(SettingsText text);
// Both languages of one entry, for the check that none is missing.
const char* settings_text_in(SettingsText text, bool chinese);

} // namespace twk::ui

// Every text the desktop app shows, as named and numbered (Chinese, English) pairs, and the language in
// force. The language follows the system (Chinese when the Qt system locale's language is
// Chinese) until the user switches it; the app keeps that choice for later runs (ui/app.h).
#pragma once

#include <string>
#include <string_view>

namespace twk::ui {

inline constexpr int kTextCount = 102;

// The texts added since the table was numbered, by name.
enum TextName : int {
    kTextRetry = 73,
    kTextDeleteRunningTitle = 74,
    kTextDeleteRunningBody = 75,
    kTextDeleteFileToo = 76,
    kTextDetails = 77,
    kTextStatus = 78,
    kTextLink = 79,
    kTextFolder = 80,
    kTextSize = 81,
    kTextConnections = 82,
    kTextFailure = 83,
    kTextUndoDelete = 84,
    kTextInvalidLink = 85,
    kTextNotAProxy = 86,
    kTextFolderMissing = 87,
    kTextFolderReadOnly = 88,
    kTextUnknownSize = 89,
    kTextFailureConnect = 90,
    kTextFailureServer = 91,
    kTextFailureProxy = 92,
    kTextFailureTls = 93,
    kTextFailureLocal = 94,
    kTextFailureOther = 95,
    kTextProxySchemeReason = 96,
    kTextProxyFormReason = 97,
    kTextPauseAll = 98,
    kTextResumeAll = 99,
};

enum class LanguageMode : int { System = 0, Chinese = 1, English = 2 };

struct TextPair {
    const char* chinese;
    const char* english;
};

const TextPair& text_pair(int number); // a number outside the table gives entry 8

void set_language_mode(LanguageMode mode);
LanguageMode language_mode();
// Whether the system's language is Chinese; set once at start-up from the Qt system locale.
void set_system_language_chinese(bool chinese);
bool language_is_chinese();
// Chinese becomes English and anything else Chinese.
void switch_language();

// The text in the language in force, UTF-8.
const char* tr_text(int number);
// The same by name ("action.pause", "details.status", ...); "?" for a name the table lacks.
const char* tr(std::string_view key);
// The entry's number for a name, -1 when the table lacks it; the name of a number ("" outside
// the table).
int text_number(std::string_view key);
const char* text_key(int number);

} // namespace twk::ui

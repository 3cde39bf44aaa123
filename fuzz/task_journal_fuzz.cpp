// The task journal reader on any file: it never crashes, and what it keeps writes back to a
// document that reads to the same entries.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/task_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twk::JournalParse parse = twk::parse_journal(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parse.parsed) {
        if (!parse.entries.empty()) __builtin_trap();
        return 0;
    }
    const std::string document = twk::journal_document(parse.entries);
    twk::JournalParse again = twk::parse_journal(document);
    if (!again.parsed || again.dropped != 0 || twk::journal_document(again.entries) != document)
        __builtin_trap();
    return 0;
}

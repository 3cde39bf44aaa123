// What the fragments of a fragmented MP4 need of its initialisation segment, so that a live
// recording can tell whether a new initialisation segment (an encoder that started over) still
// describes the fragments it brings, or whether the file it records into cannot take them.
//
// Fragments refer to their track by ID and are decoded with that track's timescale, handler and
// sample description (`stsd`), and with the defaults of its `trex`. Everything else in a `moov`
// (creation times, durations, names) may change without harm.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace twk {

// The parts of the initialisation segment `init` that its fragments depend on, as one text:
// per `trak` its track ID, timescale, handler type and whole `stsd` box, then the `mvex` boxes'
// `trex` boxes. Empty when `init` has no top-level `moov` with a readable `trak`.
std::string fragment_layout(std::string_view init);

// Fragments made for `next` play in a file whose initialisation segment is `recorded`: both are
// readable and their layouts are the same.
bool init_fits(std::string_view recorded, std::string_view next);

// FNV-1a, 64 bits, of the bytes; never 0 (which stands for "none").
uint64_t init_digest(std::string_view bytes);

} // namespace twk

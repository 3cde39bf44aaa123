// The output file of a plain download, as the driver and its workers use it: one descriptor
// shared by every worker of a task, each writing only its own byte range at its own offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace twk {

// The largest single positional write; longer writes are made in pieces of this size.
constexpr size_t kMaxWritePiece = 1 << 20;

// Opens (creating when missing) for reading and writing; -1 on failure.
int open_output(const std::string& path);

// Creates the folder part of `path` (everything before its last "/" or "\") and its parents.
void create_parent_folders(const std::string& path);

// Makes the file at least `size` bytes long, never shorter. The space is reserved on disk where
// the file system can (fallocate), so that a full disk fails here rather than halfway through
// the transfer; elsewhere the file is only extended. False when neither worked.
bool grow_output(int fd, uint64_t size);

// Write-back is started for every kWriteBackChunk-aligned piece of the file that a write runs
// past the end of, so that the final flush finds little left to write.
constexpr uint64_t kWriteBackChunk = 8 << 20;

// Writes all `length` bytes at `offset`, in pieces of at most kMaxWritePiece. False on any
// failure (a short write that makes no progress counts as one). A worker writes its range from
// front to back, so when a write crosses a kWriteBackChunk boundary the chunks behind it are
// finished as far as this worker goes: their write-back to disk starts now (sync_file_range,
// without waiting for it). Chunks shared with another worker's range are simply written back
// again later.
bool write_at(int fd, const char* data, size_t length, uint64_t offset);

// Sets the size to exactly `size` and flushes the data to disk (the durability of "done").
bool finalize_output(int fd, uint64_t size);

// Flushes what was written (for a sidecar that is about to describe it).
void flush_output(int fd);

} // namespace twk

// The file a live recording grows (media/live_recorder.h). A first run creates
// "<name>.<container>" under a free name beside the task's path; a run after a pause reopens the
// file the earlier run created and goes on appending, after cutting off any bytes past the
// place the task's record accounts for (a process killed mid-append leaves part of a segment
// there). Either way the file is locked against a second recorder, and the task's one progress
// segment and live counters are set up for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/task.h"
#include "net/file_io.h"

namespace twk {

class LiveFile {
public:
    explicit LiveFile(const RunContext& task) : m_task(task) {}
    LiveFile(const LiveFile&) = delete;
    LiveFile& operator=(const LiveFile&) = delete;

    // Opens the recording, new with the extension `container` unless an earlier run's file is
    // there to go on with. False with the task's failure set.
    bool open(const std::string& container);
    // The earlier run's file was reopened: the recording goes on from the task's place.
    bool rejoined() const { return m_rejoined; }
    uint64_t size() const { return m_size; }

    // Appends all of `bytes`; false with errno set when writing failed.
    bool append(std::string_view bytes);
    // The initialisation segment at the head of the file: its boxes up to the first fragment.
    std::string recorded_init() const;
    void sync();
    // Closes the file and removes it (a cancelled recording).
    void remove();

private:
    const RunContext m_task;
    UniqueFd m_out;
    uint64_t m_size = 0;
    bool m_rejoined = false;
};

} // namespace twk

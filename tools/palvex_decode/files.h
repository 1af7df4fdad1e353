// The files palvex-decode reads and creates (POSIX).
#pragma once

#include <cstdint>
#include <string>

#include "stop_signals.h"

namespace palvex_tools {

// Throws ToolError ("cannot write PATH: reason") when PATH could not be
// created: checked before a run, so that outputs themselves need to be
// created only once there is something to write.
void check_can_create(const std::string& path);

// The capture to decode. A capture is read once per board (the library has
// one single-board decoder), so an input that can be read only once, such
// as a pipe, standard input given as "-" or a process substitution, is
// first copied to an unlinked temporary file: it then decodes exactly as
// the same bytes in a file would.
class CaptureInput {
public:
    // Throws CaptureError when the input cannot be read, ToolError when no
    // copy can be made. A stop signal ends the copy early (stopped()).
    CaptureInput(const std::string& path, StopSignals& signals);
    ~CaptureInput();
    CaptureInput(const CaptureInput&) = delete;
    CaptureInput& operator=(const CaptureInput&) = delete;

    // What to open, as often as needed.
    const std::string& path() const { return path_; }
    // What to call it in messages: the path as given, or "standard input".
    const std::string& name() const { return name_; }
    std::uint64_t size() const { return size_; }
    bool stopped() const { return stopped_; }

private:
    void copy(int from, StopSignals& signals);

    std::string path_, name_;
    std::uint64_t size_ = 0;
    int copy_fd_ = -1;
    bool stopped_ = false;
};

}  // namespace palvex_tools

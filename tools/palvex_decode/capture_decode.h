// Decoding a capture file with the single-board exports.
//
// The process has one single-board decoder, and a board's loss accounting
// must see that board's packets alone and in order, so the capture is read
// once per SSID (in the order the SSIDs first appear) with the decoder
// released between boards: the CSV holds the rows grouped by board.
#pragma once

#include <string>

#include "session.h"

namespace palvex_tools {

// Decodes what the capture at `path` holds before its first problem (every
// board's rows are complete up to that point), completes the outputs and
// reports. Returns the exit status.
int run_capture(Session& session, const std::string& path);

}  // namespace palvex_tools

// Decoding a capture with the single-board exports.
//
// The process has one single-board decoder, and a board's loss accounting
// must see that board's packets alone and in order, so the capture is read
// once per SSID (in the order the SSIDs first appear) with the decoder
// released between boards: the CSV holds the rows grouped by board.
#pragma once

#include "files.h"
#include "session.h"

namespace palvex_tools {

// Decodes what the capture holds before its first problem (every board's
// rows are complete up to that point), completes the outputs and reports;
// with --list, prints the boards instead. A capture of which no row could
// be decoded is an error of one line. Returns the exit status.
int run_capture(Session& session, const CaptureInput& input);

}  // namespace palvex_tools

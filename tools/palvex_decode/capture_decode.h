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

// Decodes every chunk the capture reader finds (damage costs the chunks it
// hit: each damaged stretch is a warning with its offset and length, as is
// a chunk cut off by the end, and a buffer of a family the descriptor
// cannot serve costs that buffer), completes the outputs and reports; with
// --list, prints the boards instead. A capture of which no row could be
// decoded is an error of one line. Returns the exit status.
int run_capture(Session& session, const CaptureInput& input);

}  // namespace palvex_tools

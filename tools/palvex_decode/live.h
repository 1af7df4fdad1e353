// Live decoding through the library's hub mode.
//
// corvel_read_thread runs on a thread of ours and the library keeps one
// decoder per SSID. The host API has no way to hear of a board before its
// first chunk, so palvex-decode polls the SSID list and registers a context
// of its own for every new SSID; rows of a board start with its chunks
// after that (within ~20 ms). No all-boards context is registered: it would
// make the library decode every chunk twice on the same decoder and change
// its loss accounting.
#pragma once

#include "session.h"

namespace palvex_tools {

// Decodes until --duration ends or a stop signal arrives; sends the
// trigger when asked. Returns the exit status.
int run_live(Session& session);

}  // namespace palvex_tools

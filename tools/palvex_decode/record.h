// Recording a capture from the hub, then decoding it.
//
// palvex-decode is the hub's client itself here (HubClient: it says "Hello"
// and expects "OK"), writes every whole chunk it receives to the capture
// and decodes that capture when the recording ends.
#pragma once

#include "session.h"

namespace palvex_tools {

// Records for --duration or until a stop signal or the hub's close, then
// decodes the recording. Returns the exit status.
int run_record(Session& session);

}  // namespace palvex_tools

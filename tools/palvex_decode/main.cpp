// palvex-decode: decodes captures and live hub streams into CSV (and BDF+)
// through the library's public C interface, as any host would.
//
// A capture is a file of hub chunks exactly as the hub sends them (sim/
// capture.h). Three ways to run, each a unit of its own around one Session
// (session.h): a capture through the single-board exports
// (capture_decode.h), live through the library's hub mode (live.h), and
// recording a capture as the hub's own client, then decoding it (record.h).
#include <cstdio>

#include "capture_decode.h"
#include "command_line.h"
#include "default_descriptor.h"
#include "files.h"
#include "live.h"
#include "options.h"
#include "record.h"
#include "session.h"
#include "stop_signals.h"

using namespace palvex_tools;

namespace {

int run(const Options& o) {
    StopSignals signals;  // before any thread exists
    Session session(o, signals);
    if (!o.record.empty()) return run_record(session);
    if (!o.hub.empty()) return run_live(session);
    const CaptureInput input(o.capture, signals);
    return run_capture(session, input);
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool("palvex-decode", [&] {
        const Options o = parse_options(argc, argv);
        switch (o.action) {
            case Action::help: std::fputs(usage_text, stdout); return 0;
            case Action::version: std::printf("%s\n", version_line("palvex-decode").c_str()); return 0;
            case Action::show_descriptor: std::printf("%s\n", palvex_test::default_descriptor_json().c_str()); return 0;
            case Action::run: break;
        }
        return run(o);
    });
}

#include "options.h"

#include "command_line.h"

namespace palvex_tools {

const char* const usage_text = R"(Usage: palvex-decode [OPTIONS] CAPTURE
       palvex-decode [OPTIONS] --hub ADDRESS [--duration S] [--trigger]
       palvex-decode [OPTIONS] --hub ADDRESS --record FILE [--duration S]

Decodes board packets into CSV rows with libPalvexWrapper.

CAPTURE is a file of hub chunks as the hub sends them: 6-byte SSID
(zero-padded), signed 32-bit little-endian length, payload. Each SSID gets a
decoder of its own; the capture is read once per board, so the CSV holds the
rows grouped by board, in the order the boards first appear.

--hub ADDRESS connects to a Corvel hub (TCP port 5005) through the library's
hub mode and decodes live for --duration seconds; rows are written as they
arrive. Each board is registered as soon as its SSID shows up in the
library's SSID list, and its rows start from its next chunk.

--record FILE, with --hub, records instead: palvex-decode itself is the hub's
TCP client (the library's hub mode hands out rows, not chunks), writes every
whole chunk it receives to FILE as a capture, and decodes that capture once
the recording ends.

Options:
  --descriptor FILE    board descriptor (JSON); default: the 32-column
                       descriptor shown by --show-descriptor
  --output FILE        write the CSV to FILE instead of standard output
  --hub ADDRESS        decode live from the hub at ADDRESS (e.g. ::1)
  --duration S         live or recording time in seconds (default 5)
  --record FILE        with --hub: record a capture, then decode it
  --trigger            live only: one second in, send the trigger command
                       (the byte 01) through corvel_write_data to one board
  --trigger-board SSID the board that gets the trigger (default: the first
                       board seen)
  --board SSID         live only: register this board before reading, so its
                       rows start with its very first chunk (repeatable; other
                       boards are still picked up as they appear)
  --bdf FILE           also write BDF+ (24-bit, with annotations): FILE for
                       one board, FILE with _SSID before the extension for
                       each of several; without --output no CSV is written
  --rate HZ            the boards' sampling rate for --bdf (whole Hz); the
                       descriptor's "sampling_rate" otherwise
  --verbose            let the library log at info level (default: warnings)
  --show-descriptor    print the default descriptor and exit
  --help               show this text

The CSV header names the columns by the descriptor's groups (exg_0..,
accel_x.., gyro_x.., resistance_0.., ppg_0.., package_num, battery, other,
format_code, valid), with an `ssid` column first and a `filler` column last
(1 for rows the library filled in for lost packets: copies of the previous
row with only the packet number changed).

Standard error shows progress when it is a terminal, then a summary per
board: rows, filler rows, lost packets (that never arrived; the filler rows
of a gap also stand in for the packet that revealed it) and dropped packets
(that arrived right after a gap and were discarded by the library, seen as
missing packet numbers).

BDF+ files hold the board's ExG (uV), accelerometer (g), gyroscope (deg/s),
PPG, resistance (Ohm) and battery (%) signals as its family has them, in
data records of one second, and annotate each run of filler rows as "lost
packets: N" and, live, each trigger sent as "trigger". SIGINT or SIGTERM
ends the run with the files complete.

Exit status: 0 done; 1 an error (unreadable file, bad descriptor, truncated
capture, no hub), after which the rows already written stay valid; 2 a bad
command line.
)";

Options parse_options(int argc, char** argv) {
    Options o;
    bool duration_given = false;
    for (Arguments args(argc, argv); args.next();) {
        const std::string& a = args.name();
        auto value = [&] { return args.value(); };
        if (a == "--help" || a == "-h") {
            o.action = Action::help;
            return o;
        } else if (a == "--show-descriptor") {
            o.action = Action::show_descriptor;
            return o;
        } else if (a == "--descriptor") {
            o.descriptor_file = value();
        } else if (a == "--output" || a == "-o") {
            o.output = value();
        } else if (a == "--hub") {
            o.hub = value();
        } else if (a == "--duration") {
            o.duration = parse_double(a, value(), 0.1, 86400);
            duration_given = true;
        } else if (a == "--record") {
            o.record = value();
        } else if (a == "--trigger") {
            o.trigger = true;
        } else if (a == "--trigger-board") {
            o.trigger_board = value();
            o.trigger = true;
        } else if (a == "--board") {
            const std::string ssid = value();
            if (ssid.empty() || ssid.size() > 6) throw UsageError("--board: an SSID has 1 to 6 characters, not '" + ssid + "'");
            o.boards.push_back(ssid);
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--bdf") {
            o.bdf = value();
            if (o.bdf.empty()) throw UsageError("--bdf needs a file name");
        } else if (a == "--rate") {
            o.rate = static_cast<int>(parse_count(a, value(), 1, 100000));
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw UsageError("unknown option '" + a + "'");
        } else if (o.capture.empty()) {
            o.capture = a;
        } else {
            throw UsageError("one capture file at a time ('" + o.capture + "', '" + a + "')");
        }
    }
    if (o.hub.empty() && o.capture.empty()) throw UsageError("give a CAPTURE file or --hub ADDRESS");
    if (!o.hub.empty() && !o.capture.empty()) throw UsageError("give a CAPTURE file or --hub, not both");
    if (!o.record.empty() && o.hub.empty()) throw UsageError("--record needs --hub");
    if (o.trigger && o.hub.empty()) throw UsageError("--trigger needs --hub");
    if (o.trigger && !o.record.empty())
        throw UsageError("--trigger needs the library's hub connection; it cannot be combined with --record");
    if (duration_given && o.hub.empty()) throw UsageError("--duration is for --hub");
    if (!o.boards.empty() && (o.hub.empty() || !o.record.empty())) throw UsageError("--board is for live decoding (--hub without --record)");
    if (o.rate && o.bdf.empty()) throw UsageError("--rate is for --bdf");
    return o;
}

}  // namespace palvex_tools

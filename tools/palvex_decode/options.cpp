#include "options.h"

#include <netdb.h>
#include <sys/socket.h>

#include "command_line.h"

namespace palvex_tools {

const char* const usage_text = R"(Usage: palvex-decode [OPTIONS] CAPTURE
       palvex-decode --list CAPTURE
       palvex-decode [OPTIONS] --hub ADDRESS [--wait S] [--duration S] [--trigger]
       palvex-decode [OPTIONS] --hub ADDRESS --record FILE [--wait S] [--duration S]

Decodes board packets into CSV rows (and BDF+ files) with libPalvexWrapper.

CAPTURE is a file of hub chunks as the hub sends them: 6-byte SSID
(zero-padded), signed 32-bit little-endian length, payload; "-" reads
standard input. Each SSID gets a decoder of its own and the capture is read
once per board (a pipe or standard input is copied to a temporary file
first), so the CSV holds the rows grouped by board, in the order the boards
first appear. Damage (a corrupted length, junk, a chunk with bytes torn out)
costs the chunks it hit: the next chunk boundary is found as the library's
hub read loop finds it, and each damaged stretch is a warning with its byte
offset and length, as is a chunk the end of the capture cut off. SSIDs show
printable ASCII as it is and other bytes as \xNN, in the CSV too.

--hub ADDRESS connects to a Corvel hub at a numeric IPv6 address (TCP port
5005) through the library's hub mode and decodes live for --duration
seconds; rows are written as they arrive. Each board is registered as soon
as its SSID shows up in the library's SSID list, and its rows start from its
next chunk. A hub that is not up yet is waited for (--wait). When the hub
drops the connection, the library connects again on its own and the run goes
on within --duration: the packets lost meanwhile are filler rows as for any
loss, the summary counts the outages and their length, and BDF+ files mark
each as "hub connection lost" over its span.

--record FILE, with --hub, records instead: palvex-decode itself is the hub's
TCP client (the library's hub mode hands out rows, not chunks), writes every
whole chunk it receives to FILE as a capture, and decodes that capture once
the recording ends.

Options (a value may also be joined to its option: --output=FILE):
  --descriptor FILE    board descriptor (JSON); default: the 33-column
                       descriptor shown by --show-descriptor
  -o, --output FILE    write the CSV to FILE instead of standard output
  --hub ADDRESS        decode live from the hub at this numeric IPv6 address
                       (::1, or fe80::1%usb0 with its interface)
  --duration S         live or recording time in seconds (default 5), from
                       the moment the hub answered
  --wait S             with --hub: keep trying to reach a hub that is not up
                       yet (booting, or still starting) for S seconds before
                       giving up (default 5; 0 tries once, which is five
                       attempts over about two seconds)
  --record FILE        with --hub: record a capture, then decode it
  --trigger            live only: one second in, send the trigger command
                       (the byte 01) through corvel_write_data to one board;
                       a trigger the library could not send (no connection
                       at that moment) is reported, not annotated, and makes
                       the exit status 1
  --trigger-board SSID the board that gets the trigger (default: the first
                       board seen)
  --board SSID         live only: register this board before reading, so its
                       rows start with its very first chunk (repeatable; other
                       boards are still picked up as they appear); one that
                       never shows up is an error at the end
  --sample-rate HZ     samples (rows) per second of every board, a whole
                       number; else the descriptor's "sampling_rate". Needed
                       by --bdf; adds the CSV's time_s column. (corvel-sim's
                       --packet-rate counts packets: two samples each.)
  --bdf FILE           also write BDF+ (24-bit, with annotations): FILE for
                       one board, FILE with _SSID before the extension for
                       each of several; without --output no CSV is written
  --start-time T       with --bdf, for a capture: the local date and time of
                       its first sample, YYYY-MM-DDTHH:MM:SS[.fff]. A capture
                       holds no clock: without it the files start on
                       1985-01-01 00:00:00, EDF's date for an unknown clock.
                       Live files start when they open, recordings when the
                       recording did.
  --list               print one line per board of CAPTURE (SSID, family,
                       packets, packet numbers, lost packets), no CSV
  --verbose            show every line the library logs (default: its
                       warnings and errors; live, from the first row on, as
                       a run that decodes nothing says why in one line)
  --show-descriptor    print the default descriptor and exit
  --version            print the version and exit
  --help               show this text

The CSV header names the columns by the descriptor's groups; with the
default descriptor and a sampling rate they are
  ssid, time_s, exg_0..exg_7, accel_x, accel_y, accel_z, gyro_x, gyro_y,
  gyro_z, resistance_0..resistance_9, ppg_0, ppg_1, package_num, battery,
  other, valid, format_code, ppg_2, filler
time_s (only with a sampling rate) is the row's packet number less the
board's first, over the rate: the BDF+ files' time line. filler is the
descriptor's "filler_channel" column, which the library sets to 1 in rows it
filled in for lost packets (copies of the row before them with their own
packet numbers) and to 0 in decoded rows; a descriptor without one gets it
as one more column at the end.

Standard error shows progress when it is a terminal, then a summary per
board: rows, filler rows and lost packets (that never arrived: the packet
numbers missing between the board's first and last, two to a packet; the
library fills each with a filler row and keeps every packet that arrives);
live, a line more says how often the hub connection was lost and for how
long.

BDF+ files hold the board's ExG (uV), accelerometer (g), gyroscope (deg/s),
PPG, resistance (Ohm) and battery (%) signals as its family has them, in
data records of one second, labelled "EEG exg_0", "MISC accel_x" and so on
(MNE-Python types them with read_raw_bdf(..., infer_types=True)). A sample's
index is its packet number less the board's first: samples of packets that
never reached the host repeat the row before them and lie under a "lost
packets: N" annotation; a counter discontinuity is annotated with both
numbers and the file goes on; live, each trigger sent is annotated as
"trigger", and each outage of the hub connection as "hub connection lost"
from the board's last sample before it to its first decoded sample after
it. SIGINT or SIGTERM ends the run with the files complete.

Exit status: 0 done (damage warned of included); 1 an error (unreadable
input, bad descriptor, no hub, no row decoded, a trigger not sent, a --board
or --trigger-board never seen), after which the rows already written stay
valid; 2 a bad command line.
)";

namespace {

// The hub is reached over IPv6 only, by a numeric address: a name would
// need a resolver, and an IPv4 address can never connect.
void check_hub_address(const std::string& text) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (text.empty() || getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0)
        throw UsageError("--hub wants the hub's numeric IPv6 address (such as ::1), not '" + text + "'");
    freeaddrinfo(found);
}

}  // namespace

Options parse_options(int argc, char** argv) {
    Options o;
    bool duration_given = false;
    bool wait_given = false;
    for (Arguments args(argc, argv); args.next();) {
        const std::string& a = args.name();
        auto value = [&] { return args.value(); };
        if (a == "--help" || a == "-h") {
            o.action = Action::help;
            return o;
        } else if (a == "--version") {
            o.action = Action::version;
            return o;
        } else if (a == "--show-descriptor") {
            o.action = Action::show_descriptor;
            return o;
        } else if (a == "--descriptor") {
            o.descriptor_file = value();
        } else if (a == "--output" || a == "-o") {
            o.output = value();
            if (o.output.empty()) throw UsageError(a + " needs a file name");
        } else if (a == "--hub") {
            o.hub = value();
            check_hub_address(o.hub);
        } else if (a == "--duration") {
            o.duration = parse_double(a, value(), 0.1, 86400);
            duration_given = true;
        } else if (a == "--wait") {
            o.wait = parse_double(a, value(), 0, 86400);
            wait_given = true;
        } else if (a == "--record") {
            o.record = value();
            if (o.record.empty()) throw UsageError("--record needs a file name");
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
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--bdf") {
            o.bdf = value();
            if (o.bdf.empty()) throw UsageError("--bdf needs a file name");
        } else if (a == "--sample-rate") {
            o.sample_rate = static_cast<int>(parse_count(a, value(), 1, 100000));
        } else if (a == "--rate") {
            throw UsageError("--rate is ambiguous: --sample-rate takes samples per second "
                             "(corvel-sim's --packet-rate is packets per second, half as many)");
        } else if (a == "--start-time") {
            o.start_time = parse_start_time(a, value());
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw UsageError("unknown option '" + a + "'");
        } else if (o.capture.empty()) {
            o.capture = a;
        } else {
            throw UsageError("one capture at a time ('" + o.capture + "', '" + a + "')");
        }
    }
    const bool live = !o.hub.empty() && o.record.empty();
    if (o.hub.empty() && o.capture.empty()) throw UsageError("give a CAPTURE file or --hub ADDRESS");
    if (!o.hub.empty() && !o.capture.empty()) throw UsageError("give a CAPTURE file or --hub, not both");
    if (!o.record.empty() && o.hub.empty()) throw UsageError("--record needs --hub");
    if (o.trigger && o.hub.empty()) throw UsageError("--trigger needs --hub");
    if (o.trigger && !o.record.empty())
        throw UsageError("--trigger needs the library's hub connection; it cannot be combined with --record");
    if (duration_given && o.hub.empty()) throw UsageError("--duration is for --hub");
    if (wait_given && o.hub.empty()) throw UsageError("--wait is for --hub");
    if (!o.boards.empty() && !live) throw UsageError("--board is for live decoding (--hub without --record)");
    if (o.start_time && o.bdf.empty()) throw UsageError("--start-time is for --bdf");
    if (o.start_time && !o.hub.empty())
        throw UsageError("--start-time is for captures: live and recorded files take the time of the run");
    if (o.list && (o.capture.empty() || !o.output.empty() || !o.bdf.empty()))
        throw UsageError("--list takes a CAPTURE and writes neither CSV nor BDF+");
    return o;
}

}  // namespace palvex_tools

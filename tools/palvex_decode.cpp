// palvex-decode: decodes captures and live hub streams into CSV through the
// library's public C interface, as any host would.
//
// A capture is a file of hub chunks exactly as the hub sends them: a 6-byte
// SSID (zero-padded), a signed 32-bit little-endian payload length, the
// payload (one board buffer). One format serves one board or many.
//
// Capture files are decoded with the single-board exports. The process has
// one single-board decoder, and a board's loss accounting must see that
// board's packets alone and in order, so the capture is read once per SSID
// (in the order the SSIDs first appear) with the decoder released between
// boards: the CSV holds the rows grouped by board.
//
// Live (--hub) uses the library's hub mode: corvel_read_thread runs on a
// thread of ours and the library keeps one decoder per SSID. The host API
// has no way to hear of a board before its first chunk, so palvex-decode
// polls the SSID list and registers a context of its own for every new SSID;
// rows of a board start with its chunks after that (within ~20 ms). No
// all-boards context is registered: it would make the library decode every
// chunk twice on the same decoder and change its loss accounting.
//
// Recording (--hub with --record) cannot go through the library: the host
// gets rows, never chunks. palvex-decode then is the hub's client itself (a
// plain TCP client that says "Hello" and expects "OK"), writes every whole
// chunk it receives to the capture and decodes that capture when the
// recording ends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bdf_writer.h"
#include "capture.h"
#include "packet_builder.h"
#include "tool_support.h"

using namespace palvex_tools;
using Clock = std::chrono::steady_clock;

namespace {

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

struct Options {
    std::string capture;
    std::string descriptor_file;
    std::string output;
    std::string hub;
    std::string record;
    double duration = 5;
    bool trigger = false;
    std::string trigger_board;
    std::vector<std::string> boards;
    bool verbose = false;
    std::string bdf;
    int rate = 0;  // 0: from the descriptor
};

Options parse(int argc, char** argv, int& action) {  // action: 0 run, 1 help, 2 show descriptor
    Options o;
    bool duration_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw UsageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            action = 1;
            return o;
        } else if (a == "--show-descriptor") {
            action = 2;
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

// ---- descriptor -----------------------------------------------------------

struct Descriptor {
    std::string text;
    int num_rows = 0;
    int package_num_column = 0;
    int format_code_column = -1;
    // A raw PPG column nothing else writes: -1.0 in every MES_4 row, the
    // raw PPG value in MES_5 rows (the two share format code 4).
    int raw_ppg_only_column = -1;
    std::vector<std::string> names;
    BdfColumns bdf;
    int sampling_rate = 0;  // 0: not given
};

// A directory opens as a stream on Linux and reads as empty; say what it is.
void check_not_directory(const std::string& path, const std::string& what) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw ToolError("cannot read " + what + " " + path + ": " + std::strerror(EISDIR));
}

std::string read_file(const std::string& path, const char* what) {
    check_not_directory(path, what);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError(std::string("cannot read ") + what + " " + path + ": " + std::strerror(errno));
    std::stringstream ss;
    ss << in.rdbuf();
    if (in.bad()) throw ToolError(std::string("cannot read ") + what + " " + path + ": " + std::strerror(errno));
    return ss.str();
}

// Names every column by the group that writes it; the first group to name a
// column wins (the default descriptor shares ppg and raw ppg columns).
Descriptor load_descriptor(const std::string& path) {
    Descriptor d;
    const std::string where = path.empty() ? "the default descriptor" : "descriptor " + path;
    d.text = path.empty() ? palvex_test::default_descriptor_json() : read_file(path, "descriptor");
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(d.text);
    } catch (const nlohmann::json::exception& e) {
        std::string why = e.what();
        if (why.rfind("[json.exception.", 0) == 0 && why.find("] ") != std::string::npos)
            why = why.substr(why.find("] ") + 2);
        throw ToolError("bad " + where + ": not JSON (" + why + ")");
    }
    if (!j.is_object()) throw ToolError("bad " + where + ": not a JSON object");
    auto column = [&](const nlohmann::json& v, const std::string& key, int limit) {
        if (!v.is_number_integer())
            throw ToolError("bad " + where + ": \"" + key + "\" must hold whole numbers, not " + v.dump());
        const auto c = v.get<long long>();
        if (c < 0 || c >= limit)
            throw ToolError("bad " + where + ": \"" + key + "\" column " + std::to_string(c) + " is outside the " +
                            std::to_string(limit) + "-column row");
        return static_cast<int>(c);
    };
    if (!j.contains("num_rows")) throw ToolError("bad " + where + ": \"num_rows\" is missing");
    const nlohmann::json& nr = j["num_rows"];
    if (!nr.is_number_integer() || nr.get<long long>() < 30 || nr.get<long long>() > PALVEX_MAX_ROW_LENGTH)
        throw ToolError("bad " + where + ": \"num_rows\" must be a whole number from 30 to " +
                        std::to_string(PALVEX_MAX_ROW_LENGTH) + ", not " + nr.dump());
    d.num_rows = nr.get<int>();
    if (!j.contains("package_num_channel")) throw ToolError("bad " + where + ": \"package_num_channel\" is missing");
    d.package_num_column = column(j["package_num_channel"], "package_num_channel", d.num_rows);

    d.names.assign(static_cast<std::size_t>(d.num_rows), "");
    std::set<std::string> used;
    auto name = [&](int c, const std::string& n) {
        if (d.names[c].empty() && !used.count(n)) {
            d.names[c] = n;
            used.insert(n);
        }
    };
    auto columns = [&](const char* key) {
        std::vector<int> out;
        if (!j.contains(key) || j[key].is_null()) return out;
        const nlohmann::json& v = j[key];
        if (v.is_array()) {
            for (const auto& e : v) out.push_back(column(e, key, d.num_rows));
        } else {
            out.push_back(column(v, key, d.num_rows));
        }
        return out;
    };
    const char* axes[] = {"x", "y", "z"};
    auto axis_name = [&](const char* group, std::size_t i) {
        return std::string(group) + "_" + (i < 3 ? axes[i] : std::to_string(i));
    };
    name(d.package_num_column, "package_num");
    if (j.contains("battery_channel")) name(column(j["battery_channel"], "battery_channel", d.num_rows), "battery");
    const auto exg = columns("exg_channels");
    for (std::size_t i = 0; i < exg.size(); ++i) name(exg[i], "exg_" + std::to_string(i));
    const auto accel = columns("accel_channels");
    for (std::size_t i = 0; i < accel.size(); ++i) name(accel[i], axis_name("accel", i));
    const auto gyro = columns("gyro_channels");
    for (std::size_t i = 0; i < gyro.size(); ++i) name(gyro[i], axis_name("gyro", i));
    const auto res = columns("resistance_channels");
    for (std::size_t i = 0; i < res.size(); ++i) name(res[i], "resistance_" + std::to_string(i));
    const auto ppg = columns("ppg_channels");
    for (std::size_t i = 0; i < ppg.size(); ++i) name(ppg[i], "ppg_" + std::to_string(i));
    // Raw PPG columns that share the PPG columns (as in the default
    // descriptor) continue the ppg_ numbering; separate ones are ppg_raw_.
    const auto ppg_raw = columns("ppg_raw_channels");
    const bool shared = std::any_of(ppg_raw.begin(), ppg_raw.end(),
                                    [&](int c) { return std::find(ppg.begin(), ppg.end(), c) != ppg.end(); });
    for (std::size_t i = 0; i < ppg_raw.size(); ++i) name(ppg_raw[i], (shared ? "ppg_" : "ppg_raw_") + std::to_string(i));
    const auto other = columns("other_channels");
    const char* other_names[] = {"other", "format_code", "nibble_high", "nibble_low"};
    for (std::size_t i = 0; i < other.size(); ++i) name(other[i], i < 4 ? other_names[i] : "other_" + std::to_string(i));
    if (other.size() >= 2) d.format_code_column = other[1];
    for (int c : ppg_raw)
        if (d.names[c].rfind("ppg", 0) == 0 && std::find(ppg.begin(), ppg.end(), c) == ppg.end() &&
            std::find(other.begin(), other.end(), c) == other.end() && c != 29 && c != d.package_num_column) {
            d.raw_ppg_only_column = c;
            break;
        }
    name(29, "valid");
    d.bdf.exg = exg;
    d.bdf.accel = accel;
    d.bdf.gyro = gyro;
    d.bdf.resistance = res;
    d.bdf.ppg = ppg;
    d.bdf.ppg_raw = ppg_raw;
    if (j.contains("battery_channel")) d.bdf.battery = column(j["battery_channel"], "battery_channel", d.num_rows);
    if (j.contains("sampling_rate")) {
        const nlohmann::json& r = j["sampling_rate"];
        if (!r.is_number_integer() || r.get<long long>() < 1 || r.get<long long>() > 100000)
            throw ToolError("bad " + where + ": \"sampling_rate\" must be a whole number of Hz from 1 to 100000, not " +
                            r.dump());
        d.sampling_rate = r.get<int>();
    }
    for (int c = 0; c < d.num_rows; ++c)
        if (d.names[c].empty()) d.names[c] = "col_" + std::to_string(c);
    d.bdf.names = d.names;
    return d;
}

// ---- rows, fillers and the summary ---------------------------------------

// Format code 4: a MES_4 or a MES_5 board.
constexpr int format_code_mes = 100;

const char* board_family_name(int family, bool raw_ppg_known) {
    if (family == format_code_mes) return raw_ppg_known ? "MES_4" : "MES_4 or MES_5";
    return family_name(family);
}

// An SSID is six raw bytes on the wire: quote it when it holds CSV syntax.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

struct Board {
    std::string ssid;
    std::string csv_ssid;  // as written in the CSV
    int family = 0;
    std::uint64_t rows = 0;
    std::uint64_t fillers = 0;
    std::uint64_t lost_rows = 0;
    std::uint64_t dropped_rows = 0;
    std::uint64_t rejected = 0;  // buffers the library refused (wrong size, unknown type)
    bool refused = false;        // the library refused the descriptor for this board's family
    std::optional<std::int64_t> first_number;
    std::int64_t last_number = 0;
    std::vector<double> previous;
    std::uint64_t run = 0;  // filler rows in the current run
    std::atomic<std::uint64_t> progress_rows{0};
};

class CsvSink {
public:
    // write: false when only BDF+ is wanted; rows are still counted.
    CsvSink(const Descriptor& d, const std::string& path, bool write = true, BdfOutput* bdf = nullptr)
        : d_(d), path_(path), bdf_(bdf), write_(write) {
        if (!write) {
        } else if (path.empty()) {
            out_ = stdout;
        } else {
            out_ = std::fopen(path.c_str(), "wb");
            if (!out_) throw ToolError("cannot write " + path + ": " + std::strerror(errno));
        }
        line_.resize(32 * static_cast<std::size_t>(d.num_rows) + 64);
    }

    // The header goes out once there is something to decode, so a run that
    // fails before (no hub, for one) leaves nothing on standard output.
    void start() {
        if (started_) return;
        started_ = true;
        std::string header = "ssid";
        for (const std::string& n : d_.names) header += "," + n;
        header += ",filler\n";
        put(header.data(), header.size());
    }
    ~CsvSink() { close(); }

    void close() {
        if (bdf_) bdf_->close();
        if (bdf_ && !error_ && !bdf_->error().empty()) error_ = bdf_->error();
        if (!out_) return;
        const bool failed = std::fflush(out_) != 0 || std::ferror(out_);
        if (out_ != stdout) std::fclose(out_);
        out_ = nullptr;
        if (failed && !error_) error_ = "cannot write " + (path_.empty() ? std::string("standard output") : path_);
    }
    const std::optional<std::string>& error() const { return error_; }

    // One delivered row of board b.
    void row(Board& b, const double* row, std::size_t count) {
        const auto number = static_cast<std::int64_t>(row[d_.package_num_column]);
        bool filler = false;
        if (!b.previous.empty() && number == b.last_number + 1) {
            filler = true;
            for (std::size_t c = 0; c < count && filler; ++c)
                if (static_cast<int>(c) != d_.package_num_column && !(row[c] == b.previous[c])) filler = false;
        }
        if (!b.previous.empty() && number > b.last_number + 1) b.dropped_rows += static_cast<std::uint64_t>(number - b.last_number - 1);
        if (filler) {
            ++b.fillers;
            ++b.run;
        } else {
            end_run(b);
        }
        if (!b.first_number) b.first_number = number;
        b.last_number = number;
        b.previous.assign(row, row + count);
        if (d_.format_code_column >= 0 && (b.family == 0 || b.family == format_code_mes)) {
            // Live rows tell the family only by their format code, and MES_5
            // rows carry MES_4's code 4: a raw PPG value tells them apart
            // where the descriptor gives raw PPG a column of its own.
            const double f = row[d_.format_code_column];
            if (b.family == 0 && f >= WUA2 && f <= MES_4)
                b.family = static_cast<int>(f) == MES_4 ? format_code_mes : static_cast<int>(f);
            if (b.family == format_code_mes && d_.raw_ppg_only_column >= 0 && row[d_.raw_ppg_only_column] != -1.0)
                b.family = MES_5;
        }
        ++b.rows;
        b.progress_rows.store(b.rows, std::memory_order_relaxed);
        if (bdf_) bdf_->row(&b, b.ssid, b.family, row, count, filler);
        if (!write_) return;

        if (b.csv_ssid.empty()) b.csv_ssid = csv_field(b.ssid);
        std::size_t n = 0;
        char* p = line_.data();
        std::memcpy(p, b.csv_ssid.data(), b.csv_ssid.size());
        n += b.csv_ssid.size();
        for (std::size_t c = 0; c < count; ++c) {
            p[n++] = ',';
            n += format_number(p + n, line_.size() - n, row[c]);
        }
        p[n++] = ',';
        p[n++] = filler ? '1' : '0';
        p[n++] = '\n';
        put(p, n);
    }

    // A filler run covers the lost packets plus the packet that revealed
    // the gap (the library replaces its rows too): two rows of each run are
    // not lost.
    static void end_run(Board& b) {
        if (b.run > 2) b.lost_rows += b.run - 2;
        b.run = 0;
    }

private:
    void put(const char* data, std::size_t n) {
        if (out_ && std::fwrite(data, 1, n, out_) != n && !error_)
            error_ = "cannot write " + (path_.empty() ? std::string("standard output") : path_) + ": " +
                     std::strerror(errno);
    }

    const Descriptor& d_;
    std::string path_;
    std::FILE* out_ = nullptr;
    std::vector<char> line_;
    std::optional<std::string> error_;
    bool started_ = false;
    BdfOutput* bdf_;
    bool write_;
};

CsvSink* g_sink = nullptr;
BdfOutput* g_bdf = nullptr;
StopSignals* g_signals = nullptr;
bool g_raw_ppg_known = false;  // the descriptor lets MES_4 and MES_5 rows be told apart

void on_row(void* context, const double* row, size_t count) { g_sink->row(*static_cast<Board*>(context), row, count); }

std::string plural(std::uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void print_summary(const std::vector<std::unique_ptr<Board>>& boards) {
    if (boards.empty()) std::fprintf(stderr, "palvex-decode: no board seen\n");
    std::uint64_t total = 0;
    for (const auto& bp : boards) {
        Board& b = *bp;
        CsvSink::end_run(b);
        total += b.rows;
        std::string line = "palvex-decode: board " + b.ssid + " (" + (b.family ? board_family_name(b.family, g_raw_ppg_known) : "?") +
                           "): " + plural(b.rows, "row") + ", " + plural(b.fillers, "filler row") + ", " +
                           plural((b.lost_rows + 1) / 2, "lost packet") + ", " +
                           plural((b.dropped_rows + 1) / 2, "dropped packet");
        if (b.first_number)
            line += ", packet numbers " + std::to_string(*b.first_number) + ".." + std::to_string(b.last_number);
        if (b.rejected) line += ", " + plural(b.rejected, "buffer") + " refused by the library";
        if (b.refused) line += ", not decoded: the descriptor does not serve " + std::string(family_name(b.family));
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    if (boards.size() > 1)
        std::fprintf(stderr, "palvex-decode: %s from %zu boards\n", plural(total, "row").c_str(), boards.size());
}

// Progress on standard error, only when a person is looking at it.
class Progress {
public:
    Progress() : tty_(isatty(STDERR_FILENO) == 1) {}
    bool active() const { return tty_; }
    void show(const std::string& text) {
        if (!tty_) return;
        const auto now = Clock::now();
        if (now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        shown_ = true;
    }
    void clear() {
        if (shown_) std::fprintf(stderr, "\r\033[K");
        shown_ = false;
    }

private:
    bool tty_;
    bool shown_ = false;
    Clock::time_point last_{};
};

// ---- captures -------------------------------------------------------------

using palvex_test::CaptureChunk;
using palvex_test::CaptureError;
using palvex_test::CaptureReader;

struct DecodeResult {
    std::vector<std::unique_ptr<Board>> boards;
    std::uint64_t corrupted_headers = 0;
    std::optional<std::string> error;  // the first problem, after which decoding stopped
};

// Decodes what the capture holds before its first problem. Every board's
// rows are complete up to that point.
void decode_capture(const std::string& path, DecodeResult& result) {
    // First pass: the boards in order of appearance, and where the capture
    // stops being readable.
    std::uint64_t readable_chunks = 0;
    {
        CaptureReader scan(path);
        CaptureChunk c;
        std::map<std::string, std::size_t> known;
        try {
            while (scan.next(c)) {
                ++readable_chunks;
                if (c.corrupted) {
                    ++result.corrupted_headers;
                    continue;
                }
                if (known.emplace(c.ssid, result.boards.size()).second) {
                    result.boards.push_back(std::make_unique<Board>());
                    result.boards.back()->ssid = c.ssid;
                    result.boards.back()->family = family_of_buffer(c.payload.data(), c.payload.size());
                }
            }
        } catch (const CaptureError& e) {
            result.error = e.what();
        }
    }
    if (g_bdf) g_bdf->expect(result.boards.size());
    Progress progress;
    bool stopped = false;
    for (std::size_t bi = 0; bi < result.boards.size() && !stopped; ++bi) {
        Board& b = *result.boards[bi];
        release();
        CaptureReader in(path);
        CaptureChunk c;
        for (std::uint64_t k = 0; k < readable_chunks && in.next(c); ++k) {
            // A stop request ends the decoding with complete files.
            if (g_signals && k % 1024 == 1023 && g_signals->wait(std::chrono::milliseconds(0))) {
                stopped = true;
                break;
            }
            if (c.corrupted || c.ssid != b.ssid) continue;
            if (b.family == 0) b.family = family_of_buffer(c.payload.data(), c.payload.size());
            const int rc = interpret_data_fn(c.payload.data(), c.payload.size(), on_row, &b);
            if (rc == PALVEX_ERR_NO_DESCRIPTOR) {
                // The descriptor cannot serve this board's family; the other
                // boards may still be decodable.
                b.refused = true;
                break;
            }
            if (rc != PALVEX_OK) ++b.rejected;
            if (progress.active())
                progress.show("palvex-decode: board " + std::to_string(bi + 1) + "/" +
                              std::to_string(result.boards.size()) + " (" + b.ssid + "): " + plural(b.rows, "row"));
        }
    }
    release();
    progress.clear();
    if (stopped) std::fprintf(stderr, "palvex-decode: stopped by a signal; the output holds the rows decoded before\n");
    std::string refused;
    for (const auto& b : result.boards)
        if (b->refused) refused += (refused.empty() ? "" : ", ") + b->ssid + " (" + family_name(b->family) + ")";
    if (!refused.empty() && !result.error)
        result.error = "the library refused the descriptor (result code 6) for board(s) " + refused;
}

// ---- live ------------------------------------------------------------------

std::shared_ptr<spdlog::logger> make_logger(bool verbose) {
    auto log = spdlog::stderr_logger_mt("palvex-decode");
    log->set_level(verbose ? spdlog::level::info : spdlog::level::warn);
    return log;
}

int run_live(const Options& o, CsvSink& sink, StopSignals& signals, spdlog::logger* log) {
    std::vector<std::unique_ptr<Board>> boards;
    std::set<std::string> registered;
    auto add_board = [&](const std::string& ssid) {
        if (!registered.insert(ssid).second) return;
        boards.push_back(std::make_unique<Board>());
        boards.back()->ssid = ssid;
        corvel_set_board(boards.back().get(), ssid.c_str());
    };
    for (const std::string& ssid : o.boards) add_board(ssid);
    corvel_set_pcallback(on_row);
    if (corvel_open_connection(o.hub.c_str(), log) != PALVEX_OK)
        throw ToolError("no connection to a hub at " + o.hub + " (port 5005)");
    sink.start();
    std::thread reader([] { corvel_read_thread(); });

    Progress progress;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(static_cast<long long>(o.duration * 1000));
    bool trigger_pending = o.trigger;
    std::optional<std::string> error;
    while (Clock::now() < deadline) {
        if (signals.wait(std::chrono::milliseconds(5))) break;
        char** list = nullptr;
        int count = 0;
        corvel_get_list_of_ssids(&list, &count);
        // The trigger goes to a board the hub has sent data from: the
        // library has a decoder for it to build the instruction with.
        std::string trigger_ssid;
        for (int i = 0; i < count; ++i) {
            add_board(list[i]);
            if (trigger_ssid.empty() && (o.trigger_board.empty() || o.trigger_board == list[i])) trigger_ssid = list[i];
        }
        corvel_free_ssid_list(list, count);
        if (trigger_pending && !trigger_ssid.empty() && Clock::now() - start >= std::chrono::seconds(1)) {
            Board* target = nullptr;
            for (const auto& b : boards)
                if (b->ssid == trigger_ssid) target = b.get();
            if (target) {
                const unsigned char command[] = {0x01};
                const int rc = corvel_write_data(command, sizeof command, target);
                progress.clear();
                if (g_bdf) g_bdf->trigger();
                std::fprintf(stderr, "palvex-decode: trigger command 01 sent to board %s (result %d)\n",
                             target->ssid.c_str(), rc);
                trigger_pending = false;
            }
        }
        std::uint64_t rows = 0;
        for (const auto& b : boards) rows += b->progress_rows.load(std::memory_order_relaxed);
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        char text[160];
        std::snprintf(text, sizeof text, "palvex-decode: %zu board(s), %llu rows, %.0f s left", boards.size(),
                      static_cast<unsigned long long>(rows), left > 0 ? left : 0.0);
        progress.show(text);
    }
    progress.clear();
    corvel_release();
    reader.join();
    if (trigger_pending)
        error = o.trigger_board.empty() ? std::string("no board seen to send the trigger to")
                                        : "board " + o.trigger_board + " never showed up; no trigger sent";
    sink.close();
    print_summary(boards);
    if (sink.error()) error = *sink.error();
    if (error) {
        std::fprintf(stderr, "palvex-decode: %s\n", error->c_str());
        return 1;
    }
    return 0;
}

// ---- recording ---------------------------------------------------------

int connect_hub(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int gai = getaddrinfo(host.c_str(), "5005", &hints, &found);
    if (gai != 0) throw ToolError("no connection to a hub at " + host + ": " + gai_strerror(gai));
    std::string why = "no address";
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            why = std::strerror(errno);
            continue;
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, 3000) == 1 ? 0 : -1;
            int err = rc == 0 ? 0 : ETIMEDOUT;
            socklen_t len = sizeof err;
            if (rc == 0) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            errno = err;
            rc = err == 0 ? 0 : -1;
        }
        if (rc != 0) {
            why = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) throw ToolError("no connection to a hub at " + host + " (port 5005): " + why);
    return fd;
}

// Returns the bytes received within the timeout (0 if none, -1 when the hub closed).
ssize_t receive(int fd, unsigned char* buf, std::size_t room, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r <= 0) return 0;
    const ssize_t n = ::recv(fd, buf, room, 0);
    if (n == 0) return -1;
    if (n < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return n;
}

int run_record(const Options& o, CsvSink& sink, StopSignals& signals) {
    palvex_test::CaptureWriter out(o.record);
    const int fd = connect_hub(o.hub);
    ::send(fd, "Hello", 5, MSG_NOSIGNAL);
    std::vector<unsigned char> buf(1 << 16);
    ssize_t n = receive(fd, buf.data(), buf.size(), 3000);
    if (n <= 0 || n < 2 || buf[0] != 'O' || buf[1] != 'K') {
        ::close(fd);
        throw ToolError(n <= 0 ? "the hub at " + o.hub + " did not answer the greeting"
                               : "the hub at " + o.hub + " refused the greeting (reply '" +
                                     std::string(buf.begin(), buf.begin() + std::min<ssize_t>(n, 16)) + "')");
    }
    palvex_test::ChunkSplitter chunks_in;
    std::uint64_t chunks = 0, bytes = 0;
    Progress progress;
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(o.duration * 1000));
    bool hub_closed = false;
    while (Clock::now() < deadline && !hub_closed) {
        if (signals.wait(std::chrono::milliseconds(0))) break;
        n = receive(fd, buf.data(), buf.size(), 50);
        if (n < 0) {
            hub_closed = true;
            break;
        }
        chunks_in.feed(buf.data(), static_cast<std::size_t>(n), [&](const std::uint8_t* chunk, std::size_t size) {
            out.write(chunk, size);
            ++chunks;
            bytes += size;
        });
        progress.show("palvex-decode: recording " + o.record + ": " + plural(chunks, "chunk"));
    }
    ::close(fd);
    progress.clear();
    out.close();
    std::fprintf(stderr, "palvex-decode: recorded %s (%llu bytes) to %s%s\n", plural(chunks, "chunk").c_str(),
                 static_cast<unsigned long long>(bytes), o.record.c_str(),
                 hub_closed ? "; the hub closed the connection" : "");
    if (chunks_in.corrupted())
        std::fprintf(stderr, "palvex-decode: skipped %s with a corrupted length\n",
                     plural(chunks_in.corrupted(), "chunk header").c_str());
    if (chunks_in.pending())
        std::fprintf(stderr, "palvex-decode: the last %s (an incomplete chunk) were not recorded\n",
                     plural(chunks_in.pending(), "byte").c_str());
    DecodeResult result;
    sink.start();
    decode_capture(o.record, result);
    sink.close();
    print_summary(result.boards);
    if (!result.error && sink.error()) result.error = *sink.error();
    if (result.error) {
        std::fprintf(stderr, "palvex-decode: %s\n", result.error->c_str());
        return 1;
    }
    return 0;
}

int run(const Options& o) {
    StopSignals signals;  // before any thread exists
    g_signals = &signals;
    const Descriptor d = load_descriptor(o.descriptor_file);
    // A BDF+ file with a guessed rate would be wrong data.
    const int rate = o.rate ? o.rate : d.sampling_rate;
    if (!o.bdf.empty() && rate == 0)
        throw UsageError("--bdf needs the sampling rate: give --rate HZ or \"sampling_rate\" in the descriptor");
    if (!o.bdf.empty()) {
        const auto slash = o.bdf.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : o.bdf.substr(0, slash);
        if (::access(dir.c_str(), W_OK) != 0) throw ToolError("cannot write " + o.bdf + ": " + std::strerror(errno));
    }
    std::unique_ptr<BdfOutput> bdf;
    if (!o.bdf.empty()) bdf = std::make_unique<BdfOutput>(d.bdf, o.bdf, rate, o.hub.empty() || !o.record.empty() ? 0 : o.boards.size());
    g_bdf = bdf.get();
    // Fail before touching a hub or a file when the capture cannot be read.
    if (!o.capture.empty()) CaptureReader check(o.capture);
    auto log = make_logger(o.verbose);
    set_logger(log.get());
    set_board_json(d.text.c_str());
    CsvSink sink(d, o.output, o.bdf.empty() || !o.output.empty(), bdf.get());
    g_sink = &sink;
    g_raw_ppg_known = d.raw_ppg_only_column >= 0;
    if (!o.record.empty()) return run_record(o, sink, signals);
    if (!o.hub.empty()) return run_live(o, sink, signals, log.get());

    DecodeResult result;
    sink.start();
    decode_capture(o.capture, result);
    sink.close();
    print_summary(result.boards);
    if (result.corrupted_headers)
        std::fprintf(stderr, "palvex-decode: skipped %s with a corrupted length\n",
                     plural(result.corrupted_headers, "chunk header").c_str());
    if (!result.error && sink.error()) result.error = *sink.error();
    if (result.error) {
        std::fprintf(stderr, "palvex-decode: %s\n", result.error->c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        int action = 0;
        const Options o = parse(argc, argv, action);
        if (action == 1) {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (action == 2) {
            std::printf("%s\n", palvex_test::default_descriptor_json().c_str());
            return 0;
        }
        return run(o);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "palvex-decode: %s (see palvex-decode --help)\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "palvex-decode: %s\n", e.what());
        return 1;
    }
}

#include "capture_decode.h"

#include <cstdio>
#include <map>
#include <vector>

#include "capture_reader.h"
#include "progress.h"

namespace palvex_tools {
namespace {

using palvex_test::CaptureError;

// Bytes the reader passed over where no chunk boundary was found.
struct Stretch {
    std::uint64_t offset, size;
};

struct CaptureResult {
    Boards boards;
    std::vector<Stretch> damage;  // in the order of the file
    palvex_capture_tail tail{};
    bool stopped = false;
    std::optional<std::string> error;  // the input could not be read on
};

std::uint64_t skipped_bytes(const CaptureResult& r) {
    std::uint64_t n = 0;
    for (const Stretch& s : r.damage) n += s.size;
    return n;
}

// The boards in order of appearance, and the damage the reader passed over.
void scan(Session& session, const CaptureInput& input, CaptureResult& result) {
    CaptureReader in(input.path(), input.name());
    palvex_capture_chunk c;
    std::map<std::string, std::size_t> known;
    try {
        while (in.next(c) == PALVEX_CAPTURE_CHUNK) {
            if (c.skipped) result.damage.push_back({c.offset - c.skipped, c.skipped});
            if (known.emplace(c.ssid, result.boards.size()).second) {
                result.boards.push_back(session.make_board(c.ssid));
                result.boards.back()->family = family_of_buffer(c.payload, c.length);
            }
        }
        result.tail = in.tail();
        if (result.tail.skipped) {
            const std::uint64_t end = result.tail.cut_size ? result.tail.cut_offset : input.size();
            result.damage.push_back({end - result.tail.skipped, result.tail.skipped});
        }
    } catch (const CaptureError& e) {
        result.error = e.what();
    }
}

void warn_of_damage(const CaptureInput& input, const CaptureResult& r) {
    for (const Stretch& s : r.damage)
        std::fprintf(stderr, "palvex-decode: capture %s: skipped %s at byte %llu, where no chunk boundary was found\n",
                     input.name().c_str(), plural(s.size, "byte").c_str(), static_cast<unsigned long long>(s.offset));
    if (r.tail.cut_size)
        std::fprintf(stderr,
                     "palvex-decode: truncated capture %s: the chunk at byte %llu is cut off by the end (%s of it "
                     "present); the chunks before it are decoded\n",
                     input.name().c_str(), static_cast<unsigned long long>(r.tail.cut_offset),
                     plural(r.tail.cut_size, "byte").c_str());
}

void decode_board(Session& session, const CaptureInput& input, Board& b, const std::string& progress_lead,
                  Progress& progress, CaptureResult& result) {
    CaptureReader in(input.path(), input.name());
    palvex_capture_chunk c;
    for (std::uint64_t k = 0; in.next(c) == PALVEX_CAPTURE_CHUNK; ++k) {
        // A stop request ends the decoding with complete files.
        if (k % 1024 == 1023 && session.signals().wait(std::chrono::milliseconds(0))) {
            result.stopped = true;
            return;
        }
        if (b.ssid != c.ssid) continue;
        if (b.family == Family::unknown) b.family = family_of_buffer(c.payload, c.length);
        ++b.packets;
        const int rc = interpret_data_fn(c.payload, c.length, &Session::on_row, &b);
        // A buffer of a family the descriptor cannot serve costs that buffer:
        // the board's others are decoded.
        if (rc == PALVEX_ERR_NO_DESCRIPTOR) ++b.not_served[family_of_buffer(c.payload, c.length)];
        else if (rc != PALVEX_OK) ++b.refusals[rc];
        if (progress.active()) progress.show(progress_lead + plural(b.time.rows(), "row"));
    }
}

void decode(Session& session, const CaptureInput& input, CaptureResult& result) {
    scan(session, input, result);
    // Without a single chunk, the one line that says so tells the damage too.
    if (!result.boards.empty()) warn_of_damage(input, result);
    if (session.bdf()) session.bdf()->expect(result.boards.size());
    Progress progress;
    try {
        for (std::size_t bi = 0; bi < result.boards.size() && !result.stopped; ++bi) {
            Board& b = *result.boards[bi];
            release();
            decode_board(session, input, b,
                         "palvex-decode: board " + std::to_string(bi + 1) + "/" +
                             std::to_string(result.boards.size()) + " (" + b.label + "): ",
                         progress, result);
        }
    } catch (const CaptureError& e) {
        if (!result.error) result.error = e.what();
    }
    release();
    progress.clear();
}

// Why a capture gave no row at all, in one line.
std::string no_rows(const CaptureInput& input, const CaptureResult& r) {
    const std::string lead = "no row decoded from " + input.name() + ": ";
    if (r.stopped || input.stopped()) return lead + "stopped by a signal";
    if (input.size() == 0) return lead + "it is empty";
    if (r.boards.empty() && r.error) return lead + *r.error;
    if (r.boards.empty()) {
        const std::uint64_t skipped = skipped_bytes(r);
        return lead + "no hub chunk" +
               (skipped ? " (" + plural(skipped, "byte") + " skipped, where no chunk boundary was found)" : "") +
               (r.tail.cut_size ? " (" + plural(r.tail.cut_size, "byte") + " of a chunk cut off by the end)" : "");
    }
    std::string not_served;
    for (const auto& b : r.boards)
        for (const auto& [family, n] : b->not_served)
            not_served += (not_served.empty() ? "" : ", ") + b->label + " (" + family_name(family) + ")";
    std::uint64_t packets = 0, refused = 0, unserved = 0;
    for (const auto& b : r.boards) {
        packets += b->packets;
        refused += b->rejected();
        unserved += b->not_served_count();
    }
    if (unserved != 0 && refused + unserved == packets)
        return lead + "the library refused the descriptor (result code 6) for board(s) " + not_served;
    const std::string of_boards = " of " + plural(r.boards.size(), "board") + " (" + refusal_codes(r.boards) + ")";
    if (refused == packets) return lead + "the library refused all " + plural(packets, "buffer") + of_boards;
    if (r.error) return lead + *r.error;
    if (refused != 0)
        return lead + "no buffer gave a row; the library refused " + std::to_string(refused) + " of " +
               plural(packets, "buffer") + of_boards;
    return lead + "no buffer gave a row";
}

void print_list(const Boards& boards, const Descriptor& d) {
    std::printf("%-6s  %-7s  %8s  %-23s  %s\n", "ssid", "family", "packets", "packet numbers", "lost packets");
    for (const auto& b : boards) {
        const TimeLine& t = b->time;
        const std::string numbers =
            t.rows() ? std::to_string(t.first_number()) + ".." + std::to_string(t.last_number()) : "-";
        std::printf("%-6s  %-7s  %8llu  %-23s  %llu\n", b->label.c_str(), board_family_name(b->family, d),
                    static_cast<unsigned long long>(b->packets), numbers.c_str(),
                    static_cast<unsigned long long>(t.lost_packets()));
    }
}

}  // namespace

int run_capture(Session& session, const CaptureInput& input) {
    CaptureResult result;
    if (!input.stopped()) decode(session, input, result);
    if (rows_of(result.boards) == 0) {
        session.finish(result.boards, false);
        return exit_status(no_rows(input, result));
    }
    const bool list = session.options().list;
    const std::optional<std::string> output_error = session.finish(result.boards, !list);
    if (list) print_list(result.boards, session.descriptor());
    if (result.stopped) std::fprintf(stderr, "palvex-decode: stopped by a signal; the output holds the rows decoded before\n");
    if (const std::uint64_t skipped = skipped_bytes(result)) {
        const std::size_t n = result.damage.size();
        std::fprintf(stderr, "palvex-decode: skipped %s in %zu damaged %s of the capture\n",
                     plural(skipped, "byte").c_str(), n, n == 1 ? "stretch" : "stretches");
    }
    if (output_error) result.error = output_error;
    return exit_status(result.error);
}

}  // namespace palvex_tools

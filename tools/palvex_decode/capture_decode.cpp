#include "capture_decode.h"

#include <cstdio>
#include <map>

#include "capture.h"
#include "progress.h"

namespace palvex_tools {
namespace {

using palvex_test::CaptureChunk;
using palvex_test::CaptureError;
using palvex_test::CaptureReader;

struct CaptureResult {
    Boards boards;
    std::uint64_t corrupted_headers = 0;
    bool stopped = false;
    std::optional<std::string> error;  // the first problem, after which decoding stopped
};

// The boards in order of appearance, and how many chunks can be read
// before the capture stops being readable.
std::uint64_t scan(Session& session, const CaptureInput& input, CaptureResult& result) {
    std::uint64_t readable_chunks = 0;
    CaptureReader in(input.path(), input.name());
    CaptureChunk c;
    std::map<std::string, std::size_t> known;
    try {
        while (in.next(c)) {
            ++readable_chunks;
            if (c.corrupted) {
                ++result.corrupted_headers;
                continue;
            }
            if (known.emplace(c.ssid, result.boards.size()).second) {
                result.boards.push_back(session.make_board(c.ssid));
                result.boards.back()->family = family_of_buffer(c.payload.data(), c.payload.size());
            }
        }
    } catch (const CaptureError& e) {
        result.error = e.what();
    }
    return readable_chunks;
}

void decode(Session& session, const CaptureInput& input, CaptureResult& result) {
    const std::uint64_t readable_chunks = scan(session, input, result);
    if (session.bdf()) session.bdf()->expect(result.boards.size());
    Progress progress;
    for (std::size_t bi = 0; bi < result.boards.size() && !result.stopped; ++bi) {
        Board& b = *result.boards[bi];
        release();
        CaptureReader in(input.path(), input.name());
        CaptureChunk c;
        for (std::uint64_t k = 0; k < readable_chunks && in.next(c); ++k) {
            // A stop request ends the decoding with complete files.
            if (k % 1024 == 1023 && session.signals().wait(std::chrono::milliseconds(0))) {
                result.stopped = true;
                break;
            }
            if (c.corrupted || c.ssid != b.ssid) continue;
            if (b.family == Family::unknown) b.family = family_of_buffer(c.payload.data(), c.payload.size());
            ++b.packets;
            const int rc = interpret_data_fn(c.payload.data(), c.payload.size(), &Session::on_row, &b);
            if (rc == PALVEX_ERR_NO_DESCRIPTOR) {
                // The descriptor cannot serve this board's family; the other
                // boards may still be decodable.
                b.refused = true;
                break;
            }
            if (rc != PALVEX_OK) ++b.refusals[rc];
            if (progress.active())
                progress.show("palvex-decode: board " + std::to_string(bi + 1) + "/" +
                              std::to_string(result.boards.size()) + " (" + b.ssid + "): " +
                              plural(b.time.rows(), "row"));
        }
    }
    release();
    progress.clear();
    std::string refused;
    for (const auto& b : result.boards)
        if (b->refused) refused += (refused.empty() ? "" : ", ") + b->ssid + " (" + family_name(b->family) + ")";
    if (!refused.empty() && !result.error)
        result.error = "the library refused the descriptor (result code 6) for board(s) " + refused;
}

// Why a capture gave no row at all, in one line.
std::string no_rows(const CaptureInput& input, const CaptureResult& r) {
    const std::string lead = "no row decoded from " + input.name() + ": ";
    if (r.stopped || input.stopped()) return lead + "stopped by a signal";
    if (input.size() == 0) return lead + "it is empty";
    std::uint64_t packets = 0;
    for (const auto& b : r.boards) packets += b->packets;
    const std::string corrupted =
        r.corrupted_headers ? " (" + plural(r.corrupted_headers, "chunk header") + " with a corrupted length)" : "";
    if (r.boards.empty() && r.error) return lead + "no whole hub chunk" + corrupted + "; " + *r.error;
    if (r.boards.empty()) return lead + "no hub chunk" + corrupted;
    if (r.error && r.error->rfind("the library refused", 0) == 0) return lead + *r.error;
    std::uint64_t refused = 0;
    for (const auto& b : r.boards) refused += b->rejected();
    if (refused == packets)
        return lead + "the library refused all " + plural(packets, "buffer") + " of " +
               plural(r.boards.size(), "board") + " (" + refusal_codes(r.boards) + ")" + corrupted;
    return lead + (r.error ? *r.error : "no buffer gave a row");
}

void print_list(const Boards& boards, const Descriptor& d) {
    std::printf("%-6s  %-7s  %8s  %-23s  %s\n", "ssid", "family", "packets", "packet numbers", "lost packets");
    for (const auto& b : boards) {
        const TimeLine& t = b->time;
        const std::string numbers =
            t.rows() ? std::to_string(t.first_number()) + ".." + std::to_string(t.last_number()) : "-";
        std::printf("%-6s  %-7s  %8llu  %-23s  %llu\n", b->ssid.c_str(), board_family_name(b->family, d),
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
    if (result.corrupted_headers)
        std::fprintf(stderr, "palvex-decode: skipped %s with a corrupted length\n",
                     plural(result.corrupted_headers, "chunk header").c_str());
    if (!result.error) result.error = output_error;
    return exit_status(result.error);
}

}  // namespace palvex_tools

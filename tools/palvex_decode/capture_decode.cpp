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
    std::optional<std::string> error;  // the first problem, after which decoding stopped
};

// The boards in order of appearance, and how many chunks can be read
// before the capture stops being readable.
std::uint64_t scan(Session& session, const std::string& path, CaptureResult& result) {
    std::uint64_t readable_chunks = 0;
    CaptureReader in(path);
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

void decode(Session& session, const std::string& path, CaptureResult& result) {
    const std::uint64_t readable_chunks = scan(session, path, result);
    if (session.bdf()) session.bdf()->expect(result.boards.size());
    Progress progress;
    bool stopped = false;
    for (std::size_t bi = 0; bi < result.boards.size() && !stopped; ++bi) {
        Board& b = *result.boards[bi];
        release();
        CaptureReader in(path);
        CaptureChunk c;
        for (std::uint64_t k = 0; k < readable_chunks && in.next(c); ++k) {
            // A stop request ends the decoding with complete files.
            if (k % 1024 == 1023 && session.signals().wait(std::chrono::milliseconds(0))) {
                stopped = true;
                break;
            }
            if (c.corrupted || c.ssid != b.ssid) continue;
            if (b.family == Family::unknown) b.family = family_of_buffer(c.payload.data(), c.payload.size());
            const int rc = interpret_data_fn(c.payload.data(), c.payload.size(), &Session::on_row, &b);
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

}  // namespace

int run_capture(Session& session, const std::string& path) {
    CaptureResult result;
    session.start_output();
    decode(session, path, result);
    const std::optional<std::string> output_error = session.finish(result.boards);
    if (result.corrupted_headers)
        std::fprintf(stderr, "palvex-decode: skipped %s with a corrupted length\n",
                     plural(result.corrupted_headers, "chunk header").c_str());
    if (!result.error) result.error = output_error;
    return exit_status(result.error);
}

}  // namespace palvex_tools

#include "live.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include "command_line.h"
#include "connection_watch.h"
#include "progress.h"

namespace palvex_tools {
namespace {


// Opens the library's hub connection, waiting up to --wait for a hub that
// is not up yet: each open makes five attempts over about two seconds, and
// an open that found no hub leaves hub mode not opened, so the next one
// tries again. The library logs every attempt: one line with the reason is
// what a person needs (--verbose shows them all).
void open_hub(Session& session) {
    const Options& o = session.options();
    LibraryLog& log = session.log();
    log.hold();
    const auto start = Clock::now();
    const auto give_up = start + std::chrono::milliseconds(static_cast<long long>(o.wait * 1000));
    int rc = corvel_open_connection(o.hub.c_str(), log.logger());
    while (rc == PALVEX_ERR_NO_CONNECTION && Clock::now() < give_up && !session.signals().wait(std::chrono::milliseconds(0)))
        rc = corvel_open_connection(o.hub.c_str(), log.logger());
    if (rc != PALVEX_OK) {
        const std::string why = log.first_error();
        throw ToolError(no_connection(o.hub, Clock::now() - start,
                                      why.empty() ? "it did not answer the greeting with \"OK\"" : why));
    }
    log.forget();
}

// The trigger command to `target`. One the library could not send (no
// connection at that moment) never reached a board: it is said so and not
// annotated. Returns the error to end the run with, if any.
std::optional<std::string> send_trigger(Session& session, Board& target) {
    const unsigned char command[] = {0x01};
    const int rc = corvel_write_data(command, sizeof command, &target);
    if (rc == PALVEX_OK) {
        if (session.bdf()) session.bdf()->trigger();
        std::fprintf(stderr, "palvex-decode: trigger command 01 sent to board %s (result 0)\n", target.ssid.c_str());
        return std::nullopt;
    }
    const char* why = rc == PALVEX_ERR_NO_CONNECTION ? ": no hub connection" : "";
    std::fprintf(stderr, "palvex-decode: trigger command 01 not sent to board %s (result %d%s)\n",
                 target.ssid.c_str(), rc, why);
    return "the trigger command was not sent (result " + std::to_string(rc) + why + ")";
}

}  // namespace

int run_live(Session& session) {
    const Options& o = session.options();
    Boards boards;
    std::set<std::string> registered;
    auto add_board = [&](const std::string& ssid) {
        if (!registered.insert(ssid).second) return;
        boards.push_back(session.make_board(ssid));
        corvel_set_board(boards.back().get(), ssid.c_str());
    };
    for (const std::string& ssid : o.boards) add_board(ssid);
    corvel_set_pcallback(&Session::on_row);
    open_hub(session);
    // What the library logs from here is held until the first row, so that
    // a run that decodes nothing says why in one line.
    LibraryLog& log = session.log();
    bool holding = true;
    ConnectionWatch connection;
    std::thread reader([] { corvel_read_thread(); });

    Progress progress;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(static_cast<long long>(o.duration * 1000));
    bool trigger_pending = o.trigger;
    bool any_listed = false;
    std::vector<std::string> seen;  // the SSID list, as the library last gave it
    std::optional<std::string> error;
    while (Clock::now() < deadline) {
        if (session.signals().wait(std::chrono::milliseconds(5))) break;
        connection.look(Clock::now());
        char** list = nullptr;
        int count = 0;
        corvel_get_list_of_ssids(&list, &count);
        // The trigger goes to a board the hub has sent data from: the
        // library has a decoder for it to build the instruction with.
        std::string trigger_ssid;
        any_listed = any_listed || count > 0;
        seen.assign(list, list + count);
        for (int i = 0; i < count; ++i) {
            add_board(list[i]);
            if (trigger_ssid.empty() && (o.trigger_board.empty() || o.trigger_board == list[i])) trigger_ssid = list[i];
        }
        corvel_free_ssid_list(list, count);
        if (trigger_pending && !trigger_ssid.empty() && Clock::now() - start >= std::chrono::seconds(1)) {
            for (const auto& b : boards)
                if (b->ssid == trigger_ssid) {
                    progress.clear();
                    error = send_trigger(session, *b);
                    trigger_pending = false;
                }
        }
        std::uint64_t rows = 0;
        for (const auto& b : boards) rows += b->progress_rows.load(std::memory_order_relaxed);
        if (holding && rows > 0) {
            progress.clear();
            log.release();
            holding = false;
        }
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        char text[160];
        std::snprintf(text, sizeof text, "palvex-decode: %zu board(s), %llu rows, %.0f s left%s", boards.size(),
                      static_cast<unsigned long long>(rows), left > 0 ? left : 0.0,
                      connection.reconnecting() ? ", reconnecting to the hub" : "");
        progress.show(text);
    }
    progress.clear();
    connection.look(Clock::now());
    const auto ended = Clock::now();
    corvel_release();
    reader.join();
    // An outage still going on at the end lasts to the end of every board's file.
    if (connection.reconnecting())
        for (const auto& b : boards)
            if (b->time.rows() > 0 && !b->lost_from) b->lost_from = b->time.span();
    if (rows_of(boards) == 0) {
        session.finish(boards, false);
        const std::string why = log.first_problem();
        return exit_status("no row decoded from the hub at " + o.hub + " in " + seconds_text(ended - start) + " s: " +
                           (any_listed ? "no board's data gave a row" : "no board sent data") +
                           (why.empty() ? "" : " (the library: " + why + ")"));
    }
    if (trigger_pending)
        error = o.trigger_board.empty() ? std::string("no board seen to send the trigger to")
                                        : "board " + o.trigger_board + " never showed up; no trigger sent";
    // A board asked for by name that never sent anything is a mistake worth
    // a status (a typo, or a board that is off), and no board of the run:
    // it leaves the summary, though not the library's registry.
    std::string missing;
    Boards unseen;
    for (auto& b : boards)
        if (std::find(seen.begin(), seen.end(), b->ssid) == seen.end()) {
            missing += (missing.empty() ? "" : ", ") + b->label;
            unseen.push_back(std::move(b));
        }
    boards.erase(std::remove(boards.begin(), boards.end(), nullptr), boards.end());
    if (!missing.empty() && !error) {
        std::string listed;
        for (const std::string& ssid : seen) listed += (listed.empty() ? "" : ", ") + shown_ssid(ssid);
        error = "--board " + missing + ": no such board showed up (boards seen: " + listed + ")";
    }
    log.release();
    // A failed output outranks a trigger that was not sent.
    if (const auto output_error = session.finish(boards)) error = output_error;
    const std::string outages = connection.summary(ended);
    if (!outages.empty()) std::fprintf(stderr, "palvex-decode: %s\n", outages.c_str());
    return exit_status(error);
}

}  // namespace palvex_tools

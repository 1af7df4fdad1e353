#include "live.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include "command_line.h"
#include "progress.h"

namespace palvex_tools {

int run_live(Session& session) {
    using Clock = std::chrono::steady_clock;
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
    // The library tries five times and logs every attempt: one line with
    // the reason is what a person needs (--verbose shows them all). What it
    // logs later is held until the first row, for the same reason.
    LibraryLog& log = session.log();
    log.hold();
    if (corvel_open_connection(o.hub.c_str(), log.logger()) != PALVEX_OK) {
        const std::string why = log.first_error();
        throw ToolError("no connection to a hub at " + o.hub + " (port 5005): " +
                        (why.empty() ? "it did not answer the greeting with \"OK\"" : why));
    }
    log.forget();
    bool holding = true;
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
            Board* target = nullptr;
            for (const auto& b : boards)
                if (b->ssid == trigger_ssid) target = b.get();
            if (target) {
                const unsigned char command[] = {0x01};
                const int rc = corvel_write_data(command, sizeof command, target);
                progress.clear();
                if (session.bdf()) session.bdf()->trigger();
                std::fprintf(stderr, "palvex-decode: trigger command 01 sent to board %s (result %d)\n",
                             target->ssid.c_str(), rc);
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
        std::snprintf(text, sizeof text, "palvex-decode: %zu board(s), %llu rows, %.0f s left", boards.size(),
                      static_cast<unsigned long long>(rows), left > 0 ? left : 0.0);
        progress.show(text);
    }
    progress.clear();
    corvel_release();
    reader.join();
    if (rows_of(boards) == 0) {
        session.finish(boards, false);
        const std::string why = log.first_problem();
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", std::chrono::duration<double>(Clock::now() - start).count());
        return exit_status("no row decoded from the hub at " + o.hub + " in " + seconds + " s: " +
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
    // A failed output outranks a trigger that found no board.
    if (const auto output_error = session.finish(boards)) error = output_error;
    return exit_status(error);
}

}  // namespace palvex_tools

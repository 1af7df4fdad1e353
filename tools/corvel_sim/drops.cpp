#include "drops.h"

#include <cstdio>

namespace corvel_sim {
namespace {

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

void Drops::turn(Clock::time_point now, bool greeted) {
    if (spec_.every <= 0) return;
    if (greeted) drop_at_ = now + seconds(spec_.every);
    if (drop_at_ && now >= *drop_at_) {
        drop_at_.reset();
        // A host that left by itself leaves nothing to drop.
        if (hub_.has_session()) {
            // The listener goes first, so the host's first attempt to connect
            // again already meets the outage.
            if (spec_.outage > 0) hub_.stop_listening();
            hub_.drop_session(false, std::chrono::milliseconds(200));
            ++drops_;
            if (spec_.outage > 0) {
                listen_at_ = now + seconds(spec_.outage);
                std::fprintf(stderr, "corvel-sim: dropped the connection (drop %zu); refusing connections for %g s\n",
                             drops_, spec_.outage);
            } else {
                std::fprintf(stderr, "corvel-sim: dropped the connection (drop %zu)\n", drops_);
            }
        }
    }
    if (listen_at_ && now >= *listen_at_) {
        listen_at_.reset();
        hub_.listen_again();
        std::fprintf(stderr, "corvel-sim: accepting connections again\n");
    }
}

}  // namespace corvel_sim

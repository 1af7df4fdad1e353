// A host that returns from main while corvel_read_thread is busy with a
// stream: the static destructors run on this thread while the loop keeps
// decoding on another. The library's state must still be there for it.
// Exits 0 unless something crashes (or a sanitizer reports).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "default_descriptor.h"
#include "fake_hub.h"
#include "packet_builder.h"
#include "palvex/palvex.h"

using namespace palvex_test;
using namespace std::chrono_literals;

namespace {

std::atomic<unsigned long> rows_seen{0};

void on_row(void*, const double*, size_t) { ++rows_seen; }

// Never destroyed: the hub goes on streaming while the process exits, as a
// real one would.
FakeHub* hub = nullptr;

}  // namespace

int main() {
    hub = new FakeHub("::1");
    hub->start();
    hub->stream([](std::uint64_t i) {
        const auto n = static_cast<std::uint32_t>(1 + 2 * i);
        return concat({hub_chunk("A1", packet_of(MES_4, n)), hub_chunk("B2", packet_of(WUA2, n)),
                       hub_chunk("C3", packet_of(IMP_3, n)), hub_chunk("D4", packet_of(MES_5, n))});
    }, 100000000);
    set_board_json(default_descriptor_json().c_str());
    corvel_set_pcallback(&on_row);
    static int all_boards;
    corvel_set_board(&all_boards, "");
    if (corvel_open_connection("::1", nullptr) != 0) {
        std::fprintf(stderr, "no connection to the simulated hub\n");
        return 1;
    }
    std::thread(corvel_read_thread).detach();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (rows_seen.load() < 20000) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "the loop delivered only %lu rows\n", rows_seen.load());
            return 1;
        }
        std::this_thread::sleep_for(1ms);
    }
    return 0;  // with the loop in full flow
}

// The row buffer as the hub uses it: the read loop appends on its thread
// while host threads take blocks and peek at the newest rows.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "rows_host.h"

using namespace palvex_rows_test;

namespace {

constexpr std::size_t width = 32;

class RowBufferThreads : public ::testing::Test {
protected:
    // A live plot: peeks at the newest rows until the writer is done. What
    // it sees must be one run of consecutive whole rows.
    void start_peeking() {
        peeker_ = std::thread([this] {
            do {
                const std::vector<std::uint64_t> seen = buffer_.peek(8);
                for (std::size_t i = 1; i < seen.size(); ++i) {
                    if (seen[i] != seen[i - 1] + 1) {
                        ADD_FAILURE() << "peek saw " << seen[i - 1] << " then " << seen[i];
                        return;
                    }
                }
            } while (!writer_done_);
        });
    }
    // Takes blocks of `block` rows until the writer is done, then the rest.
    // `left_over` counts the rows at the end of `taken` that were in the
    // buffer once the writer had finished.
    std::vector<std::uint64_t> drain(std::size_t block, std::size_t* left_over = nullptr) {
        std::vector<std::uint64_t> taken;
        std::size_t done_at = SIZE_MAX;
        for (;;) {
            const bool done = writer_done_;  // read before the take that may be the last
            if (done && done_at == SIZE_MAX) done_at = taken.size();
            const std::vector<std::uint64_t> got = buffer_.take(block);
            taken.insert(taken.end(), got.begin(), got.end());
            if (done && got.empty()) break;
            if (got.empty()) std::this_thread::yield();
        }
        if (left_over) *left_over = taken.size() - done_at;
        return taken;
    }
    void join() {
        writer_.join();
        peeker_.join();
    }

    Buffer buffer_{width, 64};
    std::atomic<bool> writer_done_{false};
    std::thread writer_, peeker_;
};

TEST_F(RowBufferThreads, HostThatKeepsUpGetsEveryRowOnce) {
    // The writer never overwrites: only the drainer makes room, so a row
    // appended while the count is below capacity always fits. It waits for
    // room often, so fewer rows than below still go round the ring ~800 times.
    constexpr std::uint64_t total = 50000;
    writer_ = std::thread([this] {
        for (std::uint64_t s = 0; s < total; ++s) {
            while (buffer_.count() == 64) std::this_thread::yield();
            buffer_.append(s);
        }
        writer_done_ = true;
    });
    start_peeking();
    const std::vector<std::uint64_t> taken = drain(16);
    join();
    EXPECT_EQ(buffer_.overwritten(), 0u);
    ASSERT_EQ(taken.size(), total);
    EXPECT_EQ(taken, consecutive(0, total));
}

TEST_F(RowBufferThreads, HostThatFallsBehindGetsTheNewestInOrderAndAnExactLossCount) {
    constexpr std::uint64_t total = 200000;
    writer_ = std::thread([this] {
        for (std::uint64_t s = 0; s < total; ++s) buffer_.append(s);
        writer_done_ = true;
    });
    start_peeking();
    // The host starts late and then drains in small blocks alongside.
    while (buffer_.overwritten() == 0) std::this_thread::yield();
    std::size_t left_over = 0;
    const std::vector<std::uint64_t> taken = drain(8, &left_over);
    join();

    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(taken.size() + buffer_.overwritten(), total);  // every row taken or counted
    for (std::size_t i = 1; i < taken.size(); ++i) {
        ASSERT_LT(taken[i - 1], taken[i]) << "at " << i;      // in order, none twice
    }
    // What the writer left behind is its newest rows, without a hole.
    ASSERT_LE(left_over, 64u);
    const std::vector<std::uint64_t> last(taken.end() - left_over, taken.end());
    EXPECT_EQ(last, consecutive(total - left_over, left_over));
    EXPECT_EQ(taken.back(), total - 1);
}

}  // namespace

// The row buffer as a hub host uses it: one buffer per board context, the
// library's own callback, and no host code per row. Rows pile up while the
// host is busy and come out in blocks, board by board.
#include "hub_host.h"
#include "palvex/rows.h"

using namespace palvex_test;

namespace {

class HubRows : public HubTest {
protected:
    data_callback_fn row_callback() const override { return &palvex_rows_callback; }
};

TEST_F(HubRows, EachBoardsRowsGatherInItsOwnBuffer) {
    constexpr std::size_t width = default_row_length;
    palvex_rows* a = palvex_rows_create(width, 1000);
    palvex_rows* b = palvex_rows_create(width, 4);  // a host that falls behind
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(corvel_set_board(a, "A1"), 0);
    ASSERT_EQ(corvel_set_board(b, "B2"), 0);
    start_reading();
    for (std::uint32_t n = 1; n < 20; n += 2)
        send(concat({hub_chunk("A1", packet_of(MES_4, n)), hub_chunk("B2", packet_of(WUA2, n + 100))}));
    for (int i = 0; i < 200 && palvex_rows_count(a) < 20; ++i) std::this_thread::sleep_for(10ms);

    std::vector<double> rows(width * 1000);
    ASSERT_EQ(palvex_rows_take(a, rows.data(), 1000), 20u);
    for (std::size_t r = 0; r < 20; ++r) EXPECT_EQ(rows[r * width + 26], 1.0 + r) << r;
    EXPECT_EQ(palvex_rows_overwritten(a), 0u);
    // B2's buffer kept its newest four rows and counted the sixteen before them.
    ASSERT_EQ(palvex_rows_take(b, rows.data(), 1000), 4u);
    EXPECT_EQ(rows[26], 117.0);
    EXPECT_EQ(rows[3 * width + 26], 120.0);
    EXPECT_EQ(rows[30], 1.0);  // WUA2's format code: the right board's rows
    EXPECT_EQ(palvex_rows_overwritten(b), 16u);
    corvel_release();
    ASSERT_TRUE(reader.wait_returned(3s));
    palvex_rows_destroy(a);
    palvex_rows_destroy(b);
}

}  // namespace

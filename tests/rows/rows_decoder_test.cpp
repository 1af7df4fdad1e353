// The row buffer behind the real decoder: interpret_data_fn with
// palvex_rows_callback and a buffer as the context must leave in the buffer
// exactly the rows a plain callback receives, filler rows included.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "packet_builder.h"
#include "palvex/palvex.h"
#include "palvex/rows.h"

using namespace palvex_test;

namespace {

constexpr std::size_t width = default_row_length;

struct PlainHost {
    std::vector<std::vector<double>> rows;
    static void on_row(void* context, const double* row, size_t count) {
        static_cast<PlainHost*>(context)->rows.emplace_back(row, row + count);
    }
};

// Packets 1-2, 3-4, then a jump to 9-10 (filler rows 5 to 8), then 11-12
// and 13-14.
std::vector<Bytes> stream_with_a_gap(COMM_TYPE family) {
    std::vector<Bytes> packets;
    for (std::uint32_t first : {1u, 3u, 9u, 11u, 13u}) packets.push_back(packet_of(family, first));
    return packets;
}

class RowsBehindTheDecoder : public ::testing::TestWithParam<COMM_TYPE> {
protected:
    void SetUp() override {
        release();
        set_board_json(default_descriptor_json().c_str());
    }
    void TearDown() override { release(); }

    // The rows a plain callback receives from a fresh decoder.
    std::vector<std::vector<double>> plain_rows(const std::vector<Bytes>& packets) {
        PlainHost host;
        for (const Bytes& p : packets) EXPECT_EQ(interpret_data_fn(p.data(), p.size(), &PlainHost::on_row, &host), 0);
        release();
        return host.rows;
    }
    // The same packets into a buffer through palvex_rows_callback; the
    // decoder is released before the buffer goes.
    void decode_into(palvex_rows* buffer, const std::vector<Bytes>& packets) {
        for (const Bytes& p : packets) EXPECT_EQ(interpret_data_fn(p.data(), p.size(), palvex_rows_callback, buffer), 0);
        release();
    }
    static std::vector<std::vector<double>> take_all(palvex_rows* buffer) {
        std::vector<double> out(palvex_rows_count(buffer) * width);
        const std::size_t n = palvex_rows_take(buffer, out.data(), palvex_rows_count(buffer));
        std::vector<std::vector<double>> rows;
        for (std::size_t r = 0; r < n; ++r) rows.emplace_back(out.begin() + r * width, out.begin() + (r + 1) * width);
        return rows;
    }
    // Bit for bit, so -0.0 and every rounding survive the copy.
    static void expect_same_bits(const std::vector<std::vector<double>>& got,
                                 const std::vector<std::vector<double>>& expected) {
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t r = 0; r < got.size(); ++r) {
            ASSERT_EQ(got[r].size(), width);
            EXPECT_EQ(std::memcmp(got[r].data(), expected[r].data(), width * sizeof(double)), 0) << "row " << r;
        }
    }
};

TEST_P(RowsBehindTheDecoder, BufferHoldsWhatAPlainCallbackReceives) {
    const std::vector<Bytes> packets = stream_with_a_gap(GetParam());
    const auto expected = plain_rows(packets);
    ASSERT_EQ(expected.size(), 14u);  // 1-4, fillers 5-8, 9-14

    palvex_rows* buffer = palvex_rows_create(width, 1000);
    decode_into(buffer, packets);
    EXPECT_EQ(palvex_rows_overwritten(buffer), 0u);
    EXPECT_EQ(palvex_rows_refused(buffer), 0u);
    expect_same_bits(take_all(buffer), expected);
    palvex_rows_destroy(buffer);
}

TEST_P(RowsBehindTheDecoder, SmallBufferKeepsTheNewestRows) {
    const std::vector<Bytes> packets = stream_with_a_gap(GetParam());
    const auto all = plain_rows(packets);

    palvex_rows* buffer = palvex_rows_create(width, 5);
    decode_into(buffer, packets);
    EXPECT_EQ(palvex_rows_overwritten(buffer), all.size() - 5);
    expect_same_bits(take_all(buffer), std::vector<std::vector<double>>(all.end() - 5, all.end()));
    palvex_rows_destroy(buffer);
}

// A descriptor of another row length than the buffer's: every row the
// decoder delivers is refused and counted, none stored.
TEST_P(RowsBehindTheDecoder, RowsOfAnotherDescriptorAreRefused) {
    std::string wider = default_descriptor_json();
    const std::string key = "\"num_rows\": 33";
    ASSERT_NE(wider.find(key), std::string::npos);
    wider.replace(wider.find(key), key.size(), "\"num_rows\": 40");
    set_board_json(wider.c_str());
    const std::vector<Bytes> packets = stream_with_a_gap(GetParam());
    const std::size_t delivered = plain_rows(packets).size();
    ASSERT_GT(delivered, 0u);

    palvex_rows* buffer = palvex_rows_create(width, 1000);
    decode_into(buffer, packets);
    EXPECT_EQ(palvex_rows_refused(buffer), delivered);
    EXPECT_EQ(palvex_rows_count(buffer), 0u);
    palvex_rows_destroy(buffer);
}

std::string family_name(const ::testing::TestParamInfo<COMM_TYPE>& info) {
    static const char* const names[] = {"", "WUA2", "MES_2", "IMP_3", "MES_4", "MES_5"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, RowsBehindTheDecoder, ::testing::Values(WUA2, MES_2, IMP_3, MES_4, MES_5),
                         family_name);

}  // namespace

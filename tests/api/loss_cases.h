// Packet-number sequences, with and without losses, and exactly what a host
// receives for each: the single-board and the hub tests run the same table,
// so both modes are held to the same rows.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "host.h"

namespace palvex_test {

constexpr int loss_number_column = 26;
constexpr int loss_filler_column = static_cast<int>(default_filler_column);

// A MES_4 packet whose two samples carry numbers a and b, with values that
// differ from packet to packet (a filler cannot pass for a decoded row) and
// a battery and format code that are not 0.
inline Bytes numbered(std::uint32_t a, std::uint32_t b) {
    MesPacket p;
    p.battery = static_cast<std::uint8_t>(60 + a % 37);
    p.accel = {static_cast<std::int16_t>(a % 5000), -7, 1};
    p.sample[0].package_num = a;
    p.sample[1].package_num = b;
    p.sample[0].exg[0] = static_cast<std::int32_t>(a % 1000) + 1;
    p.sample[1].exg[0] = -static_cast<std::int32_t>(b % 1000) - 1;
    return build(p);
}

inline Bytes shortened(Bytes b) {
    b.pop_back();
    return b;
}

struct LossCase {
    const char* name;
    std::vector<Bytes> buffers;
    std::vector<double> numbers;     // packet numbers of the rows delivered, in order
    std::set<double> fillers;        // which of them are filler rows (each number once in a case)
    std::vector<std::int32_t> results = {};  // per buffer; empty: all 0

    std::int32_t result(std::size_t i) const { return results.empty() ? 0 : results.at(i); }
    std::vector<double> filler_marks() const {
        std::vector<double> out;
        for (const double n : numbers) out.push_back(fillers.count(n) ? 1.0 : 0.0);
        return out;
    }
};

// Numbers a .. b, as doubles.
inline std::vector<double> run_of(double a, double b) {
    std::vector<double> out;
    for (double n = a; n <= b; ++n) out.push_back(n);
    return out;
}

inline const std::vector<LossCase>& loss_cases() {
    constexpr std::uint32_t top = 0xFFFFFFFFu;
    static const Bytes confirmation(5, 0xAB);
    static const Bytes type_word_zero = typed_buffer(0, 77);
    static const std::vector<LossCase> cases = {
        {"gap found at sample 0", {numbered(10, 11), numbered(14, 15), numbered(16, 17)}, run_of(10, 17), {12, 13}},
        {"gap found at sample 1", {numbered(18, 19), numbered(20, 23), numbered(24, 25)}, run_of(18, 25), {21, 22}},
        {"one number missing", {numbered(10, 11), numbered(13, 14)}, run_of(10, 14), {12}},
        {"every other packet lost",
         {numbered(1, 2), numbered(5, 6), numbered(9, 10), numbered(13, 14)},
         run_of(1, 14), {3, 4, 7, 8, 11, 12}},
        {"gap across the 2^32 wrap",
         {numbered(top - 3, top - 2), numbered(2, 3), numbered(4, 5)},
         {top - 3.0, top - 2.0, top - 1.0, double(top), 0, 1, 2, 3, 4, 5}, {top - 1.0, double(top), 0, 1}},
        {"in order across the wrap", {numbered(top - 1, top), numbered(0, 1), numbered(2, 3)},
         {top - 1.0, double(top), 0, 1, 2, 3}, {}},
        {"counter from 0", {numbered(0, 1), numbered(6, 7), numbered(8, 9)}, run_of(0, 9), {2, 3, 4, 5}},
        {"numbers from 2^31 on, a gap among them",
         {numbered(0x7FFFFFFE, 0x7FFFFFFF), numbered(0x80000000, 0x80000001), numbered(0x80000004, 0x80000005)},
         run_of(2147483646.0, 2147483653.0), {2147483650.0, 2147483651.0}},
        {"wrong length right after a gap",
         {numbered(10, 11), numbered(14, 15), shortened(numbered(16, 17)), numbered(16, 17)},
         run_of(10, 17), {12, 13}, {0, 0, PALVEX_ERR_PACKET_SIZE, 0}},
        {"buffers without rows right after a gap",
         {numbered(10, 11), numbered(14, 15), confirmation, type_word_zero, numbered(16, 17)}, run_of(10, 17), {12, 13}},
        {"gone back, then tracked from there", {numbered(20, 21), numbered(10, 11), numbered(14, 15)},
         {20, 21, 10, 11, 12, 13, 14, 15}, {12, 13}},
        {"first row of a decoder", {numbered(500, 501)}, {500, 501}, {}},
        {"same packet twice", {numbered(5, 6), numbered(5, 6)}, {5, 6, 5, 6}, {}},
        {"counter restart", {numbered(100, 101), numbered(3, 4), numbered(5, 6)}, {100, 101, 3, 4, 5, 6}, {}},
        {"a row numbered 0 takes no gap check after it", {numbered(7, 0), numbered(40, 41)}, {7, 0, 40, 41}, {}},
    };
    return cases;
}

using Rows = std::vector<std::vector<double>>;

// The rows each buffer of a case gives on a fresh decoder, one buffer after
// the other: what the case's decoded rows must be, bit for bit.
inline Rows own_rows(const LossCase& c) {
    Rows out;
    for (const Bytes& b : c.buffers) {
        release();
        RowSink sink;
        feed(b, sink);
        for (const Delivery& d : sink.deliveries)
            if (d.row.at(loss_filler_column) == 0.0) out.push_back(d.row);  // a packet may hold a gap itself
    }
    release();
    return out;
}

// What a host must receive for a case: its numbers, marked as fillers
// exactly where numbers are missing; every filler a copy of the row before
// it (decoded or filler) with its own number; every other row the packet's
// own values.
inline ::testing::AssertionResult holds_case(const LossCase& c, const Rows& own, const Rows& got) {
    std::vector<double> numbers, marks;
    for (const auto& r : got) {
        numbers.push_back(r.at(loss_number_column));
        marks.push_back(r.at(loss_filler_column));
    }
    if (numbers != c.numbers) return ::testing::AssertionFailure() << "packet numbers differ";
    if (marks != c.filler_marks()) return ::testing::AssertionFailure() << "filler marks differ";
    std::size_t decoded = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (marks[i] == 1.0) {
            if (i == 0) return ::testing::AssertionFailure() << "a filler first";
            std::vector<double> model = got.at(i - 1);
            model[loss_number_column] = numbers[i];
            model[loss_filler_column] = 1.0;
            if (got[i] != model) return ::testing::AssertionFailure() << "filler row " << i << " is no copy";
        } else if (decoded >= own.size() || got[i] != own[decoded++]) {
            return ::testing::AssertionFailure() << "row " << i << " is not its packet's own";
        }
    }
    if (decoded != own.size()) return ::testing::AssertionFailure() << "decoded rows missing";
    return ::testing::AssertionSuccess();
}

}  // namespace palvex_test

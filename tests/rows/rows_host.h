// A host of the row buffer in these tests: owns one buffer and appends
// numbered rows. Every value of a numbered row tells the row's sequence
// number and its own column, so a row that is out of place, duplicated,
// torn between two appends or shifted by a column shows in what is read
// back.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "palvex/rows.h"

namespace palvex_rows_test {

inline std::vector<double> numbered_row(std::size_t width, std::uint64_t seq) {
    std::vector<double> row(width);
    for (std::size_t c = 0; c < width; ++c) row[c] = static_cast<double>(seq * 1000 + c);
    return row;
}

class Buffer {
public:
    Buffer(std::size_t width, std::size_t capacity)
        : width_(width), handle_(palvex_rows_create(width, capacity)) {}
    ~Buffer() { palvex_rows_destroy(handle_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    palvex_rows* get() const { return handle_; }
    std::size_t width() const { return width_; }

    // As the decoder appends: through the callback, the buffer as context.
    void append(std::uint64_t seq) const {
        const std::vector<double> row = numbered_row(width_, seq);
        palvex_rows_callback(handle_, row.data(), row.size());
    }
    std::vector<std::uint64_t> take(std::size_t max_rows) const {
        std::vector<double> out(max_rows * width_);
        return sequence_numbers(out, palvex_rows_take(handle_, out.data(), max_rows));
    }
    std::vector<std::uint64_t> peek(std::size_t max_rows) const {
        std::vector<double> out(max_rows * width_);
        return sequence_numbers(out, palvex_rows_peek_newest(handle_, out.data(), max_rows));
    }
    std::size_t count() const { return palvex_rows_count(handle_); }
    std::uint64_t overwritten() const { return palvex_rows_overwritten(handle_); }
    std::uint64_t refused() const { return palvex_rows_refused(handle_); }

    // The sequence numbers of the first `rows` rows of `out`, each row
    // checked to be one whole numbered row.
    std::vector<std::uint64_t> sequence_numbers(const std::vector<double>& out, std::size_t rows) const {
        std::vector<std::uint64_t> seqs;
        for (std::size_t r = 0; r < rows; ++r) {
            const double* row = out.data() + r * width_;
            const auto seq = static_cast<std::uint64_t>(row[0] / 1000);
            if (numbered_row(width_, seq) != std::vector<double>(row, row + width_)) {
                ADD_FAILURE() << "row " << r << " is not a whole numbered row (starts " << row[0] << ")";
            }
            seqs.push_back(seq);
        }
        return seqs;
    }

private:
    std::size_t width_;
    palvex_rows* handle_;
};

// first, first + 1, ... (n numbers).
inline std::vector<std::uint64_t> consecutive(std::uint64_t first, std::size_t n) {
    std::vector<std::uint64_t> seqs;
    for (std::size_t i = 0; i < n; ++i) seqs.push_back(first + i);
    return seqs;
}

}  // namespace palvex_rows_test

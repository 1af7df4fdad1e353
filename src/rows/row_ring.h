// The ring behind a palvex_rows buffer: fixed storage reserved once, rows
// copied in and out under one mutex. The lock is held only for the copies
// themselves, so an append waits at most for one take's memcpy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace palvex::rows {

class RowRing {
public:
    // Null when a size is 0, the storage cannot be addressed, or it cannot
    // be allocated: a buffer that exists can always store a row.
    static std::unique_ptr<RowRing> create(std::size_t row_length, std::size_t capacity);

    // Stores a row of row_length() doubles, overwriting the oldest one when
    // full; anything else is counted as refused.
    void append(const double* row, std::size_t count);
    // Oldest first, removing what was copied.
    std::size_t take(double* out, std::size_t max_rows);
    // The newest rows, oldest of them first, leaving the ring as it is.
    std::size_t peek_newest(double* out, std::size_t max_rows) const;

    std::size_t size() const;
    std::uint64_t overwritten() const;
    std::uint64_t refused() const;
    std::size_t row_length() const { return row_length_; }
    std::size_t capacity() const { return capacity_; }

private:
    RowRing(std::size_t row_length, std::size_t capacity, std::unique_ptr<double[]> storage);
    double* slot(std::size_t index) const { return storage_.get() + index * row_length_; }
    // Copies `n` rows starting at slot `first`, wrapping at the end.
    void copy_out(std::size_t first, std::size_t n, double* out) const;

    const std::size_t row_length_;
    const std::size_t capacity_;
    const std::unique_ptr<double[]> storage_;

    mutable std::mutex mutex_;
    std::size_t oldest_ = 0;  // slot of the oldest row held
    std::size_t held_ = 0;
    std::uint64_t overwritten_ = 0;
    std::uint64_t refused_ = 0;
};

}  // namespace palvex::rows

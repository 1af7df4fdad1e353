#include "row_ring.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace palvex::rows {

std::unique_ptr<RowRing> RowRing::create(std::size_t row_length, std::size_t capacity) {
    if (row_length == 0 || capacity == 0) return nullptr;
    // Offsets into the storage are computed in bytes and as pointer
    // differences, so the whole of it must fit in a ptrdiff_t.
    constexpr std::size_t max_doubles = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double);
    if (row_length > max_doubles / capacity) return nullptr;
    // Not the throwing new: the sanitizers' allocators end the process when
    // a throwing new cannot be served, where this one yields null.
    std::unique_ptr<double[]> storage(new (std::nothrow) double[row_length * capacity]);
    if (!storage) return nullptr;
    return std::unique_ptr<RowRing>(new (std::nothrow) RowRing(row_length, capacity, std::move(storage)));
}

RowRing::RowRing(std::size_t row_length, std::size_t capacity, std::unique_ptr<double[]> storage)
    : row_length_(row_length), capacity_(capacity), storage_(std::move(storage)) {}

void RowRing::append(const double* row, std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row == nullptr || count != row_length_) {
        ++refused_;
        return;
    }
    std::size_t next = oldest_ + held_;
    if (next >= capacity_) next -= capacity_;
    std::memcpy(slot(next), row, row_length_ * sizeof(double));
    if (held_ < capacity_) {
        ++held_;
    } else {
        // The new row took the oldest row's slot.
        oldest_ = oldest_ + 1 == capacity_ ? 0 : oldest_ + 1;
        ++overwritten_;
    }
}

std::size_t RowRing::take(double* out, std::size_t max_rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = std::min(max_rows, held_);
    copy_out(oldest_, n, out);
    oldest_ = (oldest_ + n) % capacity_;
    held_ -= n;
    return n;
}

std::size_t RowRing::peek_newest(double* out, std::size_t max_rows) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = std::min(max_rows, held_);
    copy_out((oldest_ + held_ - n) % capacity_, n, out);
    return n;
}

void RowRing::copy_out(std::size_t first, std::size_t n, double* out) const {
    const std::size_t before_end = std::min(n, capacity_ - first);
    std::memcpy(out, slot(first), before_end * row_length_ * sizeof(double));
    std::memcpy(out + before_end * row_length_, slot(0), (n - before_end) * row_length_ * sizeof(double));
}

std::size_t RowRing::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

std::uint64_t RowRing::overwritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return overwritten_;
}

std::uint64_t RowRing::refused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
}

}  // namespace palvex::rows

// Appending, taking and peeking never allocate: the buffer's memory is
// reserved when it is created. Linux only: there the library's operator new
// is this program's, replaced below to count; the DLL carries its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "rows_host.h"

namespace {
std::atomic<long> allocations{0};

void* counted(std::size_t size) {
    ++allocations;
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* p = counted(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return counted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace palvex_rows_test;

TEST(RowBuffer, CreatingAllocatesButMovingRowsDoesNot) {
    const std::vector<double> row = numbered_row(32, 7), wrong = numbered_row(31, 7);
    std::vector<double> out(32 * 100);
    const long before_create = allocations;
    palvex_rows* buffer = palvex_rows_create(32, 100);
    ASSERT_NE(buffer, nullptr);
    EXPECT_GT(allocations, before_create);  // the counting reaches into the library

    const long before = allocations;
    for (int i = 0; i < 1000; ++i) {  // ten times round the ring, overwriting
        palvex_rows_callback(buffer, row.data(), row.size());
        palvex_rows_callback(buffer, wrong.data(), wrong.size());
        if (i % 7 == 0) palvex_rows_peek_newest(buffer, out.data(), 100);
        if (i % 13 == 0) palvex_rows_take(buffer, out.data(), 5);
    }
    EXPECT_EQ(allocations, before);
    palvex_rows_destroy(buffer);
}

}  // namespace

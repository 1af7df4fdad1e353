// Registering contexts: per board, for all boards, and the duplicates.
#include <gtest/gtest.h>

#include "palvex/palvex.h"

namespace {

int a, b;

struct Step {
    void* context;
    const char* ssid;
    int32_t result;
};

TEST(Registry, DuplicatesAreRefused) {
    const Step steps[] = {
        {&a, "S", 0},   {&b, "S", PALVEX_ERR_DUPLICATE}, {&a, "S", PALVEX_ERR_DUPLICATE},
        {&a, "T", 0},   // one context under several SSIDs
        {&a, "", 0},    // a context registered under SSIDs may also take all boards
        {&a, "", PALVEX_ERR_DUPLICATE}, {&a, "U", PALVEX_ERR_DUPLICATE},  // but then no more SSIDs
        {nullptr, "V", 0}, {nullptr, "", 0}, {nullptr, "", PALVEX_ERR_DUPLICATE},
        {&b, nullptr, 0},  // a null SSID reads as "": all boards
        {&b, "", PALVEX_ERR_DUPLICATE},
    };
    for (const Step& s : steps)
        EXPECT_EQ(corvel_set_board(s.context, s.ssid), s.result)
            << (s.ssid ? s.ssid : "(null)") << " " << s.context;
}

TEST(Registry, ListsAreEmptyBeforeAnyChunk) {
    ASSERT_EQ(corvel_set_board(&a, "ABCDEF"), 0);  // registered is not the same as met
    char** list = nullptr;
    int count = -1;
    ASSERT_EQ(corvel_get_list_of_ssids(&list, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_NE(list, nullptr);
    corvel_free_ssid_list(list, count);
    char* ssid = reinterpret_cast<char*>(&a);
    ASSERT_EQ(corvel_get_ssid_by_idx(1, &ssid), 0);
    EXPECT_EQ(ssid, nullptr);
    // Null out-pointers are ignored.
    EXPECT_EQ(corvel_get_list_of_ssids(nullptr, nullptr), 0);
    EXPECT_EQ(corvel_get_ssid_by_idx(1, nullptr), 0);
    corvel_free_ssid_list(nullptr, 3);
    corvel_free_ssid(nullptr);
}

}  // namespace

// The board families as the tools name and tell them apart. Portable (the
// Windows build of palvex-demo uses it too): no POSIX here.
#pragma once

#include <cstddef>
#include <string>

#include "palvex/palvex.h"

namespace palvex_tools {

// A board's family as far as a tool knows it. The five families carry the
// header's COMM_TYPE values.
enum class Family : int {
    unknown = 0,
    wua2 = WUA2,
    mes2 = MES_2,
    imp3 = IMP_3,
    mes4 = MES_4,
    mes5 = MES_5,
    // Rows with format code 4 from a board that has not shown yet whether
    // it is a MES_4 or a MES_5 (both write code 4).
    mes4_or_mes5,
};

inline Family family_of(COMM_TYPE type) { return static_cast<Family>(type); }

// The header's enumerator name ("MES_4"); "MES_4 or MES_5" for a board not
// told apart yet, "?" for an unknown one.
const char* family_name(Family family);

// Takes the enumerator names in any letter case; unknown when there is none.
Family family_from_name(std::string name);

// The family a received buffer belongs to, as the library tells them apart:
// 216 bytes is WUA2, otherwise the little-endian type word in front.
Family family_of_buffer(const unsigned char* data, std::size_t length);

}  // namespace palvex_tools

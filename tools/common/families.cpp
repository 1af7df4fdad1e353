#include "families.h"

namespace palvex_tools {
namespace {

struct Named {
    Family family;
    const char* name;
};

constexpr Named names[] = {
    {Family::wua2, "WUA2"},   {Family::mes2, "MES_2"}, {Family::imp3, "IMP_3"},
    {Family::mes4, "MES_4"},  {Family::mes5, "MES_5"}, {Family::mes4_or_mes5, "MES_4 or MES_5"},
};

}  // namespace

const char* family_name(Family family) {
    for (const Named& n : names)
        if (n.family == family) return n.name;
    return "?";
}

Family family_from_name(std::string name) {
    for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    for (const Named& n : names)
        if (n.family != Family::mes4_or_mes5 && name == n.name) return n.family;
    return Family::unknown;
}

Family family_of_buffer(const unsigned char* data, std::size_t length) {
    if (length == 216) return Family::wua2;
    if (length < 2) return Family::unknown;
    const int type = data[0] | (data[1] << 8);
    return type >= MES_2 && type <= MES_5 ? static_cast<Family>(type) : Family::unknown;
}

}  // namespace palvex_tools

#include "ssid_text.h"

namespace palvex_tools {

std::string shown_ssid(std::string_view raw) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (const char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += ch;
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace palvex_tools

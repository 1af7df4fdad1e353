// An SSID is six raw bytes on the wire, not always text. The tools show it
// the same way everywhere, in messages and in the CSV alike: printable
// ASCII as it is, every other byte (and the backslash, so that the text
// reads back unambiguously) as \xNN. What a tool writes is then always
// UTF-8. Portable.
#pragma once

#include <string>
#include <string_view>

namespace palvex_tools {

std::string shown_ssid(std::string_view raw);

}  // namespace palvex_tools

// The default 32-column board descriptor. Its one source is
// default_descriptor.json beside this file: the build embeds it, the
// Python binding reads it, palvex-decode --show-descriptor prints it.
#pragma once

#include <string>
#include <vector>

namespace palvex_test {

// The JSON text, as the file holds it (without a trailing newline).
std::string default_descriptor_json();

// Column names of the default descriptor, index = column.
std::vector<std::string> default_descriptor_columns();

}  // namespace palvex_test

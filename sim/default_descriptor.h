// The default 33-column board descriptor. Its one source is
// default_descriptor.json beside this file: the build embeds it, the
// Python binding reads it, palvex-decode --show-descriptor prints it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace palvex_test {

// Its row length ("num_rows") and the column the library marks filler rows
// in ("filler_channel": 1.0 in filler rows, 0.0 in decoded ones).
constexpr std::size_t default_row_length = 33;
constexpr std::size_t default_filler_column = 32;

// The JSON text, as the file holds it (without a trailing newline).
std::string default_descriptor_json();

// Column names of the default descriptor, index = column.
std::vector<std::string> default_descriptor_columns();

}  // namespace palvex_test

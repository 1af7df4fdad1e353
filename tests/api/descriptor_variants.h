// The default descriptor with one key changed at a time, and which families
// must refuse each variant. Shared by the single-board tests (the reason
// the library logs) and the hostile-input tests (every family's result).
//
// Which families refuse follows from which keys each family reads: every
// family reads the row length, the packet number and battery columns,
// "other_channels" and, for the framing, both PPG keys; the channel groups
// only where the family has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "packet_builder.h"

namespace palvex_test {

// Families as bits, to say which of them a descriptor must refuse.
enum FamilyBits : unsigned {
    W = 1, M2 = 2, I3 = 4, M4 = 8, M5 = 16,
    ALL = 31, NONE = 0, EXG_READERS = W | M2 | M4 | M5,
};

struct Family {
    COMM_TYPE type;
    unsigned bit;
    std::uint16_t type_word;  // what opens its buffers (WUA2 has none: 1 stands for it)
};
inline constexpr Family families[] = {{WUA2, W, 1}, {MES_2, M2, 2}, {IMP_3, I3, 3}, {MES_4, M4, 4}, {MES_5, M5, 5}};

struct DescriptorVariant {
    const char* key;
    std::optional<const char*> value;  // JSON text; nullopt removes the key
    unsigned refused_by;
    std::size_t num_rows = default_row_length;  // row length when accepted
    const char* reason = nullptr;  // where named: a fragment of the reason every refusing family logs

    std::string describe() const { return std::string(key) + " = " + (value ? *value : "(absent)"); }
    // The default descriptor with this change.
    std::string json() const {
        nlohmann::json d = nlohmann::json::parse(default_descriptor_json());
        if (value) d[key] = nlohmann::json::parse(*value);
        else d.erase(key);
        return d.dump();
    }
};

inline const std::vector<DescriptorVariant>& descriptor_variants() {
    static const std::vector<DescriptorVariant> variants = {
        {"num_rows", std::nullopt, ALL, 33, "\"num_rows\" is missing"},
        {"num_rows", "\"33\"", ALL},
        {"num_rows", "null", ALL},
        {"num_rows", "[33]", ALL},
        {"num_rows", "{\"n\": 33}", ALL},
        {"num_rows", "0", ALL},
        {"num_rows", "-1", ALL},
        {"num_rows", "-2147483648", ALL},
        {"num_rows", "31.99", ALL},  // 31: the raw-PPG column 31 lies outside
        {"num_rows", "32", ALL},     // the filler column 32 lies outside
        {"num_rows", "33.5", NONE, 33},
        {"num_rows", "65536", NONE, 65536},
        {"num_rows", "65537", ALL},
        {"num_rows", "2147483647", ALL},
        {"num_rows", "4294967329", NONE, 33},  // 2^32 + 33: the low 32 bits count
        {"num_rows", "1e10", ALL},
        {"num_rows", "true", ALL},
        {"num_rows", "false", ALL},
        {"package_num_channel", std::nullopt, ALL, 33, "\"package_num_channel\" is missing"},
        {"package_num_channel", "\"26\"", ALL},
        {"package_num_channel", "null", ALL},
        {"package_num_channel", "-1", ALL},
        {"package_num_channel", "33", ALL, 33, "package_num_channel"},
        {"package_num_channel", "26.7", NONE},
        {"package_num_channel", "4294967322", NONE},
        {"battery_channel", std::nullopt, ALL, 33, "\"battery_channel\" is missing"},
        {"battery_channel", "\"27\"", ALL},
        {"battery_channel", "[27]", ALL},
        {"battery_channel", "-1", ALL},
        {"battery_channel", "33", ALL},
        {"battery_channel", "27.5", NONE},
        {"exg_channels", std::nullopt, EXG_READERS},
        {"exg_channels", "3", EXG_READERS, 33, "\"exg_channels\" must be an array"},
        {"exg_channels", "\"0\"", EXG_READERS},
        {"exg_channels", "null", EXG_READERS},
        {"exg_channels", "{}", EXG_READERS},
        {"exg_channels", "[]", NONE},
        {"exg_channels", "[-1]", EXG_READERS, 33, "column -1"},
        {"exg_channels", "[33]", EXG_READERS},
        {"exg_channels", "[0, 33]", EXG_READERS, 33, "column 33 of \"exg_channels\""},
        {"exg_channels", "[\"0\"]", EXG_READERS},
        {"exg_channels", "[1, \"2\"]", EXG_READERS, 33, "array of column numbers"},
        {"exg_channels", "[null]", EXG_READERS},
        {"exg_channels", "[0.9]", NONE},
        {"exg_channels", "[0, 1, 2, 3, 4, 5, 6, 7, 99]", NONE},  // past the group's width: never written
        {"exg_channels", "[0, 1, 2, 3, 4, 5, 6, 7, \"x\"]", EXG_READERS},
        {"accel_channels", std::nullopt, EXG_READERS},
        {"accel_channels", "[8, 9, 33]", EXG_READERS},
        {"gyro_channels", "[11, -12]", EXG_READERS},
        {"gyro_channels", "[11, 12, 13, 1000]", NONE},
        {"resistance_channels", std::nullopt, W | I3, 33, "\"resistance_channels\" is missing"},
        {"resistance_channels", "[-1]", W | I3},
        {"resistance_channels", "14", W | I3},
        {"resistance_channels", "[14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 40]", NONE},
        {"ppg_channels", std::nullopt, M4},
        {"ppg_channels", "null", M4},
        {"ppg_channels", "3", M4, 33, "\"ppg_channels\" must be an array"},  // a single column frames, MES_4 needs a list
        {"ppg_channels", "true", M4},
        {"ppg_channels", "{}", M4},
        {"ppg_channels", "{\"a\": 24}", M4},
        {"ppg_channels", "\"a\"", ALL},
        {"ppg_channels", "[-1]", ALL},
        {"ppg_channels", "[33]", ALL},
        {"ppg_channels", "[\"a\"]", ALL, 33, "\"ppg_channels\""},
        {"ppg_channels", "{\"a\": 40}", ALL},
        {"ppg_raw_channels", std::nullopt, M5, 33, "\"ppg_raw_channels\" is missing"},
        {"ppg_raw_channels", "31", M5},
        {"ppg_raw_channels", "99", ALL, 33, "column 99"},
        {"ppg_raw_channels", "[24, 25, 33]", ALL},
        {"ppg_raw_channels", "[24, 25, 31, 40]", ALL},  // the framing reads every value
        {"other_channels", std::nullopt, ALL},
        {"other_channels", "28", ALL},
        {"other_channels", "[]", ALL},
        {"other_channels", "[28]", ALL, 33, "at least 2 entries"},
        {"other_channels", "[\"x\", 30]", EXG_READERS},  // IMP_3 reads only the second entry
        {"other_channels", "[28, \"x\"]", ALL},
        {"other_channels", "[28, 33]", ALL},
        {"other_channels", "[28.5, 30]", NONE},
        {"other_channels", "[28, 30, 31]", NONE},
        {"other_channels", "[28, 30, 31, \"x\"]", M2 | M4 | M5},  // nibble columns: MES only
        {"other_channels", "[28, 30, -1, 31]", M2 | M4 | M5},
        {"other_channels", "[28, 30, 31, 40]", M2 | M4 | M5, 33, "column 40"},
        // The filler mark is checked like every other column, by every family.
        {"filler_channel", std::nullopt, NONE},
        {"filler_channel", "33", ALL, 33, "filler_channel"},
        {"filler_channel", "-1", ALL},
        {"filler_channel", "\"32\"", ALL},
        {"filler_channel", "[32]", ALL},
        // The filler mark must be a column of its own: a column a family
        // writes refuses that family, and only that family.
        {"filler_channel", "26", ALL, 33, "\"filler_channel\" column 26 is also the \"package_num_channel\""},
        {"filler_channel", "29", ALL, 33, "column 29, the valid mark"},
        {"filler_channel", "0", EXG_READERS, 33, "column 0 is also an \"exg_channels\" column"},
        {"filler_channel", "7", EXG_READERS},
        {"filler_channel", "9", EXG_READERS, 33, "\"accel_channels\""},
        {"filler_channel", "13", EXG_READERS, 33, "\"gyro_channels\""},
        {"filler_channel", "14", W | I3, 33, "\"resistance_channels\""},
        {"filler_channel", "23", W | I3},
        {"filler_channel", "24", ALL, 33, "\"ppg_channels\" or \"ppg_raw_channels\" column"},
        {"filler_channel", "31", ALL, 33, "column 31 is also a \"ppg_channels\" or \"ppg_raw_channels\""},
        {"filler_channel", "27", ALL, 33, "\"battery_channel\""},
        {"filler_channel", "28", EXG_READERS, 33, "column 28 is also an \"other_channels\""},  // IMP_3 reads only entry 1
        {"filler_channel", "30", ALL, 33, "column 30 is also an \"other_channels\""},
        {"other_channels", "[28, 30, 31, 32]", M2 | M4 | M5, 33, "column 32 is also an \"other_channels\""},  // a nibble column
        {"exg_channels", "[0, 1, 2, 3, 4, 5, 6, 32]", EXG_READERS, 33, "column 32 is also an \"exg_channels\""},
        {"exg_channels", "[0, 1, 2, 3, 4, 5, 6, 7, 32]", NONE},  // past the group's width: never written
        {"accel_channels", "[8, 32]", EXG_READERS},
        {"resistance_channels", "[14, 32]", W | I3},
        {"unknown_key", "{\"deep\": [1, 2, {\"x\": null}]}", NONE},
    };
    return variants;
}

}  // namespace palvex_test

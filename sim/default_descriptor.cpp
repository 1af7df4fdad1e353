#include "default_descriptor.h"

namespace palvex_test {

// Defined in the source the build generates from default_descriptor.json.
extern const char default_descriptor_text[];

std::string default_descriptor_json() { return default_descriptor_text; }

std::vector<std::string> default_descriptor_columns() {
    std::vector<std::string> names(default_row_length);
    for (int i = 0; i < 8; ++i) names[i] = "exg_" + std::to_string(i);
    const char* axes[] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i) {
        names[8 + i] = std::string("accel_") + axes[i];
        names[11 + i] = std::string("gyro_") + axes[i];
    }
    for (int i = 0; i < 10; ++i) names[14 + i] = "resistance_" + std::to_string(i);
    names[24] = "ppg_0";
    names[25] = "ppg_1";
    names[31] = "ppg_2";
    names[26] = "package_num";
    names[27] = "battery";
    names[28] = "other";
    names[29] = "valid";
    names[30] = "format_code";
    names[default_filler_column] = "filler";
    return names;
}

}  // namespace palvex_test

// The BDF+ signal table: which signals a board of each family gets, and a
// coding under which the board's own integer counts read back exactly.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "bdf_signals.h"

using namespace palvex_tools;

namespace {

std::vector<std::string> names(const std::string& prefix, int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
    return out;
}

// The default descriptor's groups, with its column names.
BdfColumns default_columns() {
    BdfColumns c;
    c.names.assign(32, "");
    auto group = [&](std::vector<int>& cols, int first, const std::vector<std::string>& labels) {
        for (std::size_t i = 0; i < labels.size(); ++i) {
            cols.push_back(first + static_cast<int>(i));
            c.names[first + i] = labels[i];
        }
    };
    group(c.exg, 0, names("exg_", 8));
    group(c.accel, 8, {"accel_x", "accel_y", "accel_z"});
    group(c.gyro, 11, {"gyro_x", "gyro_y", "gyro_z"});
    group(c.resistance, 14, names("resistance_", 10));
    group(c.ppg, 24, names("ppg_", 2));
    c.ppg_raw = {24, 25, 31};  // shares the PPG columns, as the default descriptor does
    c.names[31] = "ppg_2";
    c.battery = 27;
    c.names[27] = "battery";
    return c;
}

std::vector<std::string> names_of(const std::vector<BdfSignal>& signals) {
    std::vector<std::string> out;
    for (const BdfSignal& s : signals) out.push_back(s.name);
    return out;
}

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(BdfSignals, EachFamilyGetsTheSignalsItsBoardsSend) {
    const auto exg = names("exg_", 8), res = names("resistance_", 10);
    const std::vector<std::string> accel{"accel_x", "accel_y", "accel_z"}, gyro{"gyro_x", "gyro_y", "gyro_z"};
    const std::vector<std::string> battery{"battery"};
    struct Case {
        Family family;
        std::vector<std::string> labels;
    };
    const Case cases[] = {
        {Family::wua2, join({exg, res, accel, gyro, battery})},
        {Family::mes2, join({exg, accel, gyro, battery})},
        {Family::imp3, join({res, battery})},
        {Family::mes4, join({exg, accel, gyro, {"ppg_0", "ppg_1"}, battery})},
        {Family::mes5, join({exg, accel, gyro, {"ppg_0", "ppg_1", "ppg_2"}, battery})},
        // Not told apart yet: both PPG groups, their shared columns once.
        {Family::mes4_or_mes5, join({exg, accel, gyro, {"ppg_0", "ppg_1", "ppg_2"}, battery})},
        {Family::unknown, {}},
    };
    const BdfColumns columns = default_columns();
    for (const Case& c : cases) EXPECT_EQ(names_of(bdf_signals(columns, c.family)), c.labels) << family_name(c.family);
}

TEST(BdfSignals, GroupsAreCutToTheFamilysWidthAndAColumnIsStoredOnce) {
    BdfColumns c = default_columns();
    c.exg.push_back(30);        // a ninth ExG column is never written
    c.accel = {8, 9, 10, 0};    // a fourth axis neither
    c.gyro = {0, 12, 13};       // column 0 is ExG already
    c.battery = 8;              // and 8 the accelerometer's
    c.names.resize(20);         // columns past the names get an empty label
    std::vector<int> columns;
    std::vector<std::string> units;
    for (const BdfSignal& s : bdf_signals(c, Family::mes2)) {
        columns.push_back(s.column);
        units.push_back(s.unit);
    }
    EXPECT_EQ(columns, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13}));
    EXPECT_EQ(units[8], "g");
    EXPECT_EQ(units[11], "deg/s");
    EXPECT_EQ(bdf_signals(c, Family::mes5).back().name, "");  // ppg_raw column 31 has no name here
}

// EEG programs read a signal's type from its label ("EEG exg_0"): ExG is
// EEG, the rest is "misc", and the label keeps to the header's 16
// characters.
TEST(BdfSignals, LabelsNameTheTypeAndFitTheHeader) {
    const BdfColumns columns = default_columns();
    for (const Family family : {Family::wua2, Family::mes2, Family::imp3, Family::mes4, Family::mes5}) {
        for (const BdfSignal& s : bdf_signals(columns, family)) {
            const bool exg = s.name.rfind("exg_", 0) == 0;
            const std::string shown = s.name.rfind("resistance_", 0) == 0 ? "res_" + s.name.substr(11) : s.name;
            EXPECT_EQ(s.label, (exg ? "EEG " : "MISC ") + shown) << family_name(family);
            EXPECT_LE(s.label.size(), 16u) << s.label;
        }
    }
}

// Every coding: the 24-bit digital range, a physical range that fits the
// header's 8 characters and agrees with gain and offset, and the board's
// integer counts (decoded as count * scale) written back as those counts.
TEST(BdfSignals, TheBoardsCountsReadBackExactly) {
    struct Case {
        Family family;
        const char* label;
        const char* unit;
        std::vector<double> counts;  // the integers a board sends
        double scale;                // the library's decoded value per count
        double shift;                // the decoded value at count 0
    };
    const Case cases[] = {
        {Family::mes4, "exg_0", "uV", {-8388600, -1, 0, 1, 123456, 8388600}, 0.045, 0},
        {Family::wua2, "exg_7", "uV", {-8388600, 0, 8388600}, 0.045, 0},
        {Family::mes2, "accel_z", "g", {-32768, -1, 0, 16384, 32767}, 6.1035e-05, 0},
        {Family::wua2, "accel_x", "g", {-8200000, 8200000}, 6.1035e-05, 0},
        {Family::mes5, "gyro_y", "deg/s", {-32768, 0, 5, 32767}, 0.01526, 0},
        {Family::mes4, "ppg_1", "a.u.", {-1, 0, 255}, 1, 0},
        {Family::mes5, "ppg_2", "a.u.", {-32768, -1, 32767}, 1, 0},
        {Family::imp3, "resistance_9", "Ohm", {0, 5300, 8388607}, 1, 0},
        {Family::mes2, "battery", "%", {0, 87, 255}, 1, 0},
        // WUA2 sends millivolts; the library makes percent of them.
        {Family::wua2, "battery", "%", {-100, 2800, 3700, 4250, 5700}, 1 / 14.5, -2800 / 14.5},
    };
    const BdfColumns columns = default_columns();
    for (const Case& c : cases) {
        const std::string what = std::string(family_name(c.family)) + " " + c.label;
        const std::vector<BdfSignal> signals = bdf_signals(columns, c.family);
        const BdfSignal* s = nullptr;
        for (const BdfSignal& candidate : signals)
            if (candidate.name == c.label) s = &candidate;
        ASSERT_NE(s, nullptr) << what;
        EXPECT_EQ(s->unit, c.unit) << what;
        EXPECT_GE(s->dig_min, -8388608) << what;
        EXPECT_LE(s->dig_max, 8388607) << what;
        for (const double phys : {s->phys_min, s->phys_max}) {
            char text[32];
            const auto written = std::to_chars(text, text + sizeof text, phys);  // the shortest exact text
            EXPECT_LE(written.ptr - text, 8) << what << ": " << phys;
        }
        EXPECT_NEAR(s->gain * s->dig_min + s->offset, s->phys_min, 1e-9 * std::abs(s->phys_min) + 1e-12) << what;
        EXPECT_NEAR(s->gain * s->dig_max + s->offset, s->phys_max, 1e-9 * std::abs(s->phys_max) + 1e-12) << what;
        for (const double count : c.counts) {
            const double decoded = c.shift + count * c.scale;
            EXPECT_EQ(std::round((decoded - s->offset) / s->gain), count) << what << ", count " << count;
            EXPECT_GE(count, s->dig_min) << what;
            EXPECT_LE(count, s->dig_max) << what;
        }
    }
}

}  // namespace

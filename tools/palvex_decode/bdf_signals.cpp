#include "bdf_signals.h"

#include <set>

namespace palvex_tools {
namespace {

// The label field holds 16 characters: the type, a space, the name.
std::string label_of(const char* type, const std::string& name) {
    std::string shown = name;
    if (shown.rfind("resistance_", 0) == 0) shown = "res_" + shown.substr(11);
    return (std::string(type) + " " + shown).substr(0, 16);
}

// Coding of a signal whose values are integer counts times `gain`: `dig` is
// the largest count kept, chosen so that gain * dig has at most 8
// characters (the EDF header's field) and the physical range is exact.
BdfSignal counts(int column, std::string name, std::string unit, double gain, int dig_min, int dig_max,
                 double phys_min, double phys_max) {
    BdfSignal s;
    s.column = column;
    // ExG is EEG to an EEG program; everything else is one of its "misc"
    // signals.
    s.label = label_of("MISC", name);
    s.name = std::move(name);
    s.unit = std::move(unit);
    s.gain = gain;
    s.dig_min = dig_min;
    s.dig_max = dig_max;
    s.phys_min = phys_min;
    s.phys_max = phys_max;
    s.offset = phys_min - gain * dig_min;
    return s;
}

}  // namespace

std::vector<BdfSignal> bdf_signals(const BdfColumns& c, Family family) {
    std::vector<BdfSignal> out;
    std::set<int> used;
    auto name = [&](int col) { return col >= 0 && col < static_cast<int>(c.names.size()) ? c.names[col] : std::string(); };
    auto add = [&](const std::vector<int>& cols, std::size_t limit, auto make) {
        for (std::size_t i = 0; i < cols.size() && i < limit; ++i)
            if (used.insert(cols[i]).second) out.push_back(make(cols[i]));
    };
    const bool mes4_or_mes5 = family == Family::mes4_or_mes5;
    const bool mes = family == Family::mes2 || family == Family::mes4 || family == Family::mes5 || mes4_or_mes5;
    const bool wua2 = family == Family::wua2;
    // ExG: int24 counts (WUA2: int32, of which the int24 range is kept)
    // times 0.045 uV; 0.045 * 8388600 = 377487 exactly.
    auto exg = [&](int col) {
        BdfSignal s = counts(col, name(col), "uV", 0.045, -8388600, 8388600, -377487, 377487);
        s.label = label_of("EEG", s.name);
        return s;
    };
    // Accelerometer: counts times 6.1035e-05 g; 8200000 counts = 500.487 g.
    // EDFlib cuts the header's numbers to 8 characters rather than rounding
    // them, so the range's doubles must not lie below their decimals (those
    // of 488.28 do, and that range would read back with a skewed offset).
    auto accel = [&](int col) { return counts(col, name(col), "g", 6.1035e-05, -8200000, 8200000, -500.487, 500.487); };
    // Gyroscope: counts times 0.01526 deg/s; 8000000 counts = 122080 deg/s.
    auto gyro = [&](int col) { return counts(col, name(col), "deg/s", 0.01526, -8000000, 8000000, -122080, 122080); };
    // PPG: bytes (MES_4) or int16 (MES_5), -1 where a row has none.
    auto ppg = [&](int col) { return counts(col, name(col), "a.u.", 1, -32768, 32767, -32768, 32767); };
    // Resistance: whole ohms; the int24 range (8.39 MOhm) is kept.
    auto resistance = [&](int col) {
        return counts(col, name(col), "Ohm", 1, -8388608, 8388607, -8388608, 8388607);
    };
    if (mes || wua2) add(c.exg, 8, exg);
    if (wua2 || family == Family::imp3) add(c.resistance, 10, resistance);
    if (mes || wua2) {
        add(c.accel, 3, accel);
        add(c.gyro, 3, gyro);
    }
    if (family == Family::mes4 || mes4_or_mes5) add(c.ppg, 2, ppg);
    if (family == Family::mes5 || mes4_or_mes5) add(c.ppg_raw, 3, ppg);
    if (c.battery >= 0 && (mes || wua2 || family == Family::imp3) && used.insert(c.battery).second) {
        if (wua2) {
            // Percent from millivolts, (mV - 2800) / 14.5: the digital value
            // is the millivolts, -100..5700 mV is -200..200 %.
            out.push_back(counts(c.battery, name(c.battery), "%", 1 / 14.5, -100, 5700, -200, 200));
        } else {
            out.push_back(counts(c.battery, name(c.battery), "%", 1, 0, 255, 0, 255));
        }
    }
    return out;
}

}  // namespace palvex_tools

// The buffers whose decoded rows both builds must agree on bit for bit, and
// the boards the native hub streams to the Windows hub tests. Header-only so
// that the cross-built tests and the native hub program (built by the host
// compiler) take the very same bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "packet_builder.h"

namespace palvex_test {

// A double as the hex of its bit pattern.
inline std::string bits_hex(double v) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

inline std::string bytes_hex(const Bytes& b) {
    std::string s;
    char two[3];
    for (std::uint8_t x : b) {
        std::snprintf(two, sizeof two, "%02x", x);
        s += two;
    }
    return s;
}

// Buffers decoded one after the other by one fresh decoder.
struct RowsCase {
    std::string name;
    std::vector<Bytes> buffers;
};

// Every field at the ends of its range: the 24-bit ExG limits, 16-bit
// motion limits, full bytes, and packet numbers at the top of 32 bits.
inline MesPacket extreme_mes(COMM_TYPE type) {
    MesPacket p;
    p.type = type;
    const std::int32_t exg[8] = {8388607, -8388608, -1, 0, 1, -8388607, 4194304, -4194305};
    for (int s = 0; s < 2; ++s) {
        for (int i = 0; i < 8; ++i) p.sample[s].exg[i] = s == 0 ? exg[i] : -exg[7 - i] - 1;
        p.sample[s].other = s == 0 ? 0xFF : 0x00;
        p.sample[s].nibbles = s == 0 ? 0xFF : 0x0F;
        p.sample[s].package_num = 0xFFFFFFFEu + static_cast<std::uint32_t>(s);
    }
    p.battery = 0xFF;
    p.accel = {std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max(), -1};
    p.gyro = {std::numeric_limits<std::int16_t>::max(), 0, std::numeric_limits<std::int16_t>::min()};
    p.ppg = {0, 0xFF};
    p.ppg_raw = {std::numeric_limits<std::int16_t>::min(), -1, std::numeric_limits<std::int16_t>::max()};
    return p;
}

inline Imp3Packet extreme_imp3() {
    Imp3Packet p;
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < 10; ++i)
            p.resistance[s][i] = (i + s) % 3 == 0 ? 0xFFFFFFFFu : (i + s) % 3 == 1 ? 0u : 0x80000000u + i;
    p.battery = 0xFF;
    p.package_num = {0xFFFFFFFEu, 0xFFFFFFFFu};
    return p;
}

inline Wua2Packet extreme_wua2() {
    const std::int32_t lo = std::numeric_limits<std::int32_t>::min();
    const std::int32_t hi = std::numeric_limits<std::int32_t>::max();
    Wua2Packet p;
    for (int s = 0; s < 2; ++s) {
        Wua2Record& r = p.record[s];
        for (int i = 0; i < 8; ++i) r.exg[i] = (i + s) % 4 == 0 ? lo : (i + s) % 4 == 1 ? hi : (i + s) % 4 == 2 ? -1 : 1;
        for (int i = 0; i < 10; ++i) r.resistance[i] = i % 2 ? hi : lo;
        r.battery = 0xFFFFFFFFu;
        r.other = s == 0 ? 0xFFFFFFFFu : 0u;
        r.accel = {lo, hi, 0};
        r.gyro = {hi, lo, -1};
        r.package_num = 0xFFFFFFFEu + static_cast<std::uint32_t>(s);
    }
    return p;
}

// The boards the native hub sends in one receive, in this order.
struct HubBoard {
    const char* ssid;
    COMM_TYPE family;
    std::uint32_t first_package_num;
};
inline std::vector<HubBoard> hub_boards() {
    return {{"MES4AA", MES_4, 10}, {"IMP3", IMP_3, 500}, {"WUA2xx", WUA2, 70}, {"M5", MES_5, 3000}};
}
inline std::string hub_case_name(const HubBoard& b) {
    return std::string("hub-") + b.ssid;
}
inline Bytes hub_stream() {
    std::vector<Bytes> chunks;
    for (const HubBoard& b : hub_boards()) chunks.push_back(hub_chunk(b.ssid, packet_of(b.family, b.first_package_num)));
    return concat(chunks);
}

inline std::vector<RowsCase> rows_cases() {
    std::vector<RowsCase> cases;
    const COMM_TYPE families[] = {WUA2, MES_2, IMP_3, MES_4, MES_5};
    const char* names[] = {"WUA2", "MES_2", "IMP_3", "MES_4", "MES_5"};
    for (int f = 0; f < 5; ++f) {
        cases.push_back({std::string("typical-") + names[f], {packet_of(families[f], 1)}});
        cases.push_back({std::string("large-numbers-") + names[f], {packet_of(families[f], 999999)}});
    }
    cases.push_back({"extreme-WUA2", {build(extreme_wua2())}});
    cases.push_back({"extreme-MES_2", {build(extreme_mes(MES_2))}});
    cases.push_back({"extreme-IMP_3", {build(extreme_imp3())}});
    cases.push_back({"extreme-MES_4", {build(extreme_mes(MES_4))}});
    cases.push_back({"extreme-MES_5", {build(extreme_mes(MES_5))}});
    // A gap: filler rows copy the last row delivered under their own numbers,
    // then the packet that showed the gap and the one after it are decoded.
    cases.push_back({"gap-MES_4", {packet_of(MES_4, 1), packet_of(MES_4, 6), packet_of(MES_4, 8)}});
    cases.push_back({"gap-WUA2", {packet_of(WUA2, 1), packet_of(WUA2, 4), packet_of(WUA2, 6)}});
    for (const HubBoard& b : hub_boards()) cases.push_back({hub_case_name(b), {packet_of(b.family, b.first_package_num)}});
    return cases;
}

}  // namespace palvex_test

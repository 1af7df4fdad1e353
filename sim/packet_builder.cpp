#include "packet_builder.h"

#include "le_bytes.h"

namespace palvex_test {
namespace {

void put_be24(Bytes& b, std::size_t at, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v) & 0xFFFFFFu;
    b[at] = static_cast<std::uint8_t>(u >> 16);
    b[at + 1] = static_cast<std::uint8_t>(u >> 8);
    b[at + 2] = static_cast<std::uint8_t>(u);
}

std::size_t mes_packet_size(COMM_TYPE t) { return t == MES_2 ? 73 : t == MES_4 ? 75 : 79; }

}  // namespace

std::size_t buffer_length(COMM_TYPE family) {
    switch (family) {
        case WUA2: return 216;
        case MES_2: return 75;
        case IMP_3: return 91;
        case MES_4: return 77;
        case MES_5: return 81;
    }
    return 0;
}

Bytes build(const MesPacket& p) {
    Bytes b(2 + mes_packet_size(p.type), 0);
    put_le16(b, 0, static_cast<std::uint16_t>(p.type));
    const std::size_t o = 2;
    for (int s = 0; s < 2; ++s) {
        for (int i = 0; i < 8; ++i) put_be24(b, o + 24 * s + 3 * i, p.sample[s].exg[i]);
        b[o + 49 + s] = p.sample[s].other;
        b[o + 51 + s] = p.sample[s].nibbles;
    }
    b[o + 48] = p.battery;
    for (int i = 0; i < 3; ++i) {
        put_le16(b, o + 53 + 2 * i, static_cast<std::uint16_t>(p.accel[i]));
        put_le16(b, o + 59 + 2 * i, static_cast<std::uint16_t>(p.gyro[i]));
    }
    std::size_t pkg = 65;
    if (p.type == MES_4) {
        b[o + 65] = p.ppg[0];
        b[o + 66] = p.ppg[1];
        pkg = 67;
    } else if (p.type == MES_5) {
        for (int i = 0; i < 3; ++i) put_le16(b, o + 65 + 2 * i, static_cast<std::uint16_t>(p.ppg_raw[i]));
        pkg = 71;
    }
    put_le32(b, o + pkg, p.sample[0].package_num);
    put_le32(b, o + pkg + 4, p.sample[1].package_num);
    return b;
}

Bytes build(const Imp3Packet& p) {
    Bytes b(91, 0);
    put_le16(b, 0, IMP_3);
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < 10; ++i) put_le32(b, 2 + 40 * s + 4 * i, p.resistance[s][i]);
    b[2 + 80] = p.battery;
    put_le32(b, 2 + 81, p.package_num[0]);
    put_le32(b, 2 + 85, p.package_num[1]);
    return b;
}

Bytes build(const Wua2Packet& p) {
    Bytes b(216, 0);
    for (int s = 0; s < 2; ++s) {
        const Wua2Record& r = p.record[s];
        const std::size_t R = 108 * s;
        for (int i = 0; i < 8; ++i) put_le32(b, R + 4 * i, static_cast<std::uint32_t>(r.exg[i]));
        for (int i = 0; i < 10; ++i) put_le32(b, R + 32 + 4 * i, static_cast<std::uint32_t>(r.resistance[i]));
        put_le32(b, R + 72, r.battery);
        put_le32(b, R + 76, r.other);
        for (int i = 0; i < 3; ++i) {
            put_le32(b, R + 80 + 4 * i, static_cast<std::uint32_t>(r.accel[i]));
            put_le32(b, R + 92 + 4 * i, static_cast<std::uint32_t>(r.gyro[i]));
        }
        put_le32(b, R + 104, r.package_num);
    }
    return b;
}

Bytes packet_from(COMM_TYPE family, std::uint32_t first, const std::array<Sample, 2>& samples) {
    const Sample& once = samples[0];  // what MES and IMP_3 send once a packet
    switch (family) {
        case WUA2: {
            Wua2Packet p;
            for (int s = 0; s < 2; ++s) {
                Wua2Record& r = p.record[s];
                r.exg = samples[s].exg;
                r.resistance = samples[s].resistance;
                r.battery = samples[s].battery;
                r.other = samples[s].other;
                r.accel = samples[s].accel;
                r.gyro = samples[s].gyro;
                r.package_num = first + static_cast<std::uint32_t>(s);
            }
            return build(p);
        }
        case IMP_3: {
            Imp3Packet p;
            for (int s = 0; s < 2; ++s)
                for (int i = 0; i < 10; ++i) p.resistance[s][i] = static_cast<std::uint32_t>(samples[s].resistance[i]);
            p.battery = static_cast<std::uint8_t>(once.battery);
            p.package_num = {first, first + 1};
            return build(p);
        }
        case MES_2:
        case MES_4:
        case MES_5: {
            MesPacket p;
            p.type = family;
            for (int s = 0; s < 2; ++s) {
                p.sample[s].exg = samples[s].exg;
                p.sample[s].other = static_cast<std::uint8_t>(samples[s].other);
                p.sample[s].nibbles = samples[s].nibbles;
                p.sample[s].package_num = first + static_cast<std::uint32_t>(s);
            }
            p.battery = static_cast<std::uint8_t>(once.battery);
            for (int i = 0; i < 3; ++i) {
                p.accel[i] = static_cast<std::int16_t>(once.accel[i]);
                p.gyro[i] = static_cast<std::int16_t>(once.gyro[i]);
            }
            p.ppg = once.ppg;
            p.ppg_raw = once.ppg_raw;
            return build(p);
        }
    }
    return {};
}

Bytes packet_of(COMM_TYPE family, std::uint32_t n) {
    const auto k = static_cast<std::int32_t>(n % 1000);
    const bool wua2 = family == WUA2;
    std::array<Sample, 2> samples;
    for (int s = 0; s < 2; ++s) {
        Sample& v = samples[s];
        for (int i = 0; i < 8; ++i) v.exg[i] = wua2 ? (k + s) * 100 - 50 * i : (k + s) * 1000 - 333 * i;
        for (int i = 0; i < 10; ++i) v.resistance[i] = (wua2 ? 1000 + 10 * i : 5000 + 100 * i) + s;
        v.battery = wua2 ? 3700 : family == IMP_3 ? 87 : 90;
        v.other = static_cast<std::uint32_t>(wua2 ? 7 : 10 + s);
        v.nibbles = static_cast<std::uint8_t>(0xA5 + s);
        v.accel = {0, 0, 16384};
        v.gyro = wua2 ? std::array<std::int32_t, 3>{k, -k, 3} : std::array<std::int32_t, 3>{k, -5, 7};
        v.ppg = {120, 130};
        v.ppg_raw = {-1200, 300, 32767};
    }
    return packet_from(family, n, samples);
}

Bytes hub_chunk(const std::string& ssid, const Bytes& payload) {
    return hub_chunk(ssid, static_cast<std::int32_t>(payload.size()), payload);
}

Bytes hub_chunk(const std::string& ssid, std::int32_t length, const Bytes& payload) {
    Bytes b;
    b.reserve(10 + payload.size());
    b.resize(10, 0);
    for (std::size_t i = 0; i < ssid.size() && i < 6; ++i) b[i] = static_cast<std::uint8_t>(ssid[i]);
    put_le32(b, 6, static_cast<std::uint32_t>(length));
    if (!payload.empty()) b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace palvex_test

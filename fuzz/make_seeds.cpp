// Writes the seed corpora of the fuzz targets from the packet builder of sim/:
//   palvex_fuzz_seeds <corpus dir>      (fuzz/corpus in the source tree)
// One valid buffer of every family, a few descriptors and command mixes for
// fuzz_single_board; a few chunk streams, cut and uncut, for fuzz_hub_stream.
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "fuzz_framing.h"
#include "packet_builder.h"

using namespace palvex_test;
using palvex_fuzz::Writer;

namespace {

std::string root;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::string dir = root + "/" + target;
    ::mkdir(dir.c_str(), 0755);
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
        std::exit(1);
    }
}

const char* name_of(COMM_TYPE f) {
    switch (f) {
        case WUA2: return "wua2";
        case MES_2: return "mes2";
        case IMP_3: return "imp3";
        case MES_4: return "mes4";
        case MES_5: return "mes5";
    }
    return "unknown";
}

const COMM_TYPE families[] = {WUA2, MES_2, IMP_3, MES_4, MES_5};

void single_board_seeds() {
    const std::string t = "fuzz_single_board";
    const auto numbered = [](unsigned step) { return static_cast<std::uint8_t>(step << 3 | palvex_fuzz::op_interpret); };
    for (const COMM_TYPE f : families) {
        // Two packets in sequence (1, 2 and 3, 4), two lost, then 9, 10 and
        // two more, and a command.
        Writer w;
        w.u8(0);
        for (const unsigned step : {0u, 0u, 19u, 0u, 0u}) w.op(numbered(step), packet_of(f, 1));
        w.op(palvex_fuzz::op_data_write, Bytes{1, 2, 3, 4, 5, 6});
        write(t, std::string("family_") + name_of(f), w.out);
    }
    for (const COMM_TYPE f : families) {
        // Every kind of step the numbering takes, from a start near the 2^32
        // wrap, a wrong length right after a gap among them.
        Writer w;
        w.u8(0);
        w.op(numbered(0), packet_of(f, 0xFFFFFFF0u));
        for (unsigned k = 0; k < 32; ++k) {
            w.op(numbered(k), packet_of(f, 1));
            if (k == 20) {
                Bytes short_packet = packet_of(f, 1);
                short_packet.pop_back();
                w.op(palvex_fuzz::op_interpret, short_packet);
            }
        }
        write(t, std::string("steps_") + name_of(f), w.out);
    }
    {
        Writer w;  // confirmation, type word 0, unknown type, wrong length, then a family switch
        w.u8(0).op(0, Bytes(5, 4)).op(0, Bytes{0, 0, 9, 9}).op(0, Bytes{7, 0, 1}).op(0, packet_of(MES_4, 1));
        Bytes short_mes4 = packet_of(MES_4, 3);
        short_mes4.pop_back();
        w.op(0, short_mes4).op(0, packet_of(IMP_3, 5)).op(palvex_fuzz::op_release, Bytes{}).op(0, packet_of(WUA2, 7));
        write(t, "dispatch_mix", w.out);
    }
    {
        Writer w;  // the descriptor as text, then a change of descriptor between decoders
        const std::string d = default_descriptor_json();
        w.u8(palvex_fuzz::descriptor_text).u16(static_cast<std::uint16_t>(d.size()));
        w.bytes(Bytes(d.begin(), d.end()));
        w.op(0, packet_of(MES_5, 1));
        w.op(palvex_fuzz::op_set_descriptor, std::string(R"({"num_rows": 31, "package_num_channel": 26})"));
        w.op(palvex_fuzz::op_release, Bytes{}).op(0, packet_of(MES_5, 3));
        w.op(palvex_fuzz::op_set_descriptor, std::string("{\"num_rows\": 32"));
        w.op(palvex_fuzz::op_interpret_no_context, packet_of(MES_2, 1));
        w.op(palvex_fuzz::op_data_write_null, Bytes(3, 0));
        write(t, "descriptor_text", w.out);
    }
    for (std::uint8_t d = 1; d < palvex_fuzz::builtin_descriptors().size(); ++d) {
        Writer w;
        w.u8(d);
        for (const COMM_TYPE f : families) w.op(0, packet_of(f, 100));
        write(t, "builtin_descriptor_" + std::to_string(d), w.out);
    }
    {
        const std::string odd[] = {
            R"({"num_rows": 35.9, "exg_channels": [3.7], "accel_channels": [4294967304], "gyro_channels": [],
                "ppg_channels": [], "package_num_channel": 26, "battery_channel": 27, "other_channels": [true, 30]})",
            R"({"num_rows": 32, "package_num_channel": 26, "ppg_raw_channels": 99})",
            R"([1, 2, {"num_rows": 32}])",
        };
        for (std::size_t i = 0; i < std::size(odd); ++i) {
            Writer w;
            w.u8(palvex_fuzz::descriptor_text).u16(static_cast<std::uint16_t>(odd[i].size()));
            w.bytes(Bytes(odd[i].begin(), odd[i].end()));
            w.op(0, packet_of(MES_4, 1)).op(0, packet_of(IMP_3, 1));
            write(t, "odd_descriptor_" + std::to_string(i), w.out);
        }
    }
}

Bytes hub_input(std::uint8_t config, const std::vector<std::uint16_t>& pieces, const Bytes& stream) {
    Writer w;
    w.u8(config).u8(static_cast<std::uint8_t>(pieces.size()));
    for (const std::uint16_t p : pieces) w.u16(p);
    return w.bytes(stream).out;
}

void hub_stream_seeds() {
    const std::string t = "fuzz_hub_stream";
    const Bytes boards = concat({hub_chunk("MES4AA", packet_of(MES_4, 10)), hub_chunk("IMP3", packet_of(IMP_3, 500)),
                                 hub_chunk("WUA2xx", packet_of(WUA2, 70)), hub_chunk("MES2", packet_of(MES_2, 1)),
                                 hub_chunk("M5", packet_of(MES_5, 1))});
    write(t, "five_families_one_receive", hub_input(4, {}, boards));
    write(t, "five_families_cut", hub_input(4 | (1 << 3), {3, 50, 95, 6, 200}, boards));
    Bytes unknown = packet_of(MES_4, 1);
    unknown[0] = 9;
    const Bytes errors = concat({hub_chunk("B1", -1, {}), hub_chunk("B1", Bytes(5, 0)), hub_chunk("B1", unknown),
                                 hub_chunk("B1", 600000, {}), hub_chunk("B1", Bytes{}), hub_chunk("B1", packet_of(MES_4, 20))});
    write(t, "chunk_errors", hub_input(4 | (2 << 3), {10, 1, 1}, errors));
    // Numbers 10, 11; two packets lost (step 19); 16, 17 and two more in order.
    const Bytes gap = concat({hub_chunk("GAP", packet_of(MES_4, 10)), hub_chunk("GAP", packet_of(MES_4, 19)),
                              hub_chunk("GAP", packet_of(MES_4, 1)), hub_chunk("GAP", packet_of(MES_4, 1))});
    write(t, "gap_all_boards", hub_input(1 << 3, {87, 87}, gap));
    // Every kind of step the numbering takes: the low 5 bits of a packet's
    // first number choose it; two boards, both with the same steps.
    std::vector<Bytes> stepped;
    for (std::uint32_t k = 0; k < 32; ++k)
        for (const char* board : {"ST1", "ST2"}) stepped.push_back(hub_chunk(board, packet_of(board[2] == '1' ? MES_4 : WUA2, k)));
    write(t, "steps", hub_input(4 | (1 << 3), {500}, concat(stepped)));
    const Bytes ssids = concat({hub_chunk(std::string(6, '\0'), packet_of(MES_4, 1)),
                                hub_chunk("ABCDEF", packet_of(MES_2, 1)), hub_chunk(std::string("AB\0DEF", 6), packet_of(IMP_3, 1))});
    write(t, "ssid_lengths", hub_input(3 << 3, {}, ssids));
    Bytes short_packet = packet_of(MES_4, 1);
    short_packet.pop_back();
    write(t, "interpretation_error", hub_input(4, {}, concat({hub_chunk("B1", packet_of(MES_4, 1)), hub_chunk("B1", short_packet)})));
    write(t, "other_descriptors", hub_input(4 | 1 | (1 << 3), {40}, boards));
    // Joined 41 bytes into a chunk, as the read loop joins a hub that was
    // already streaming; and junk between whole chunks.
    write(t, "joined_mid_chunk", hub_input(4 | (1 << 3), {30, 7}, Bytes(boards.begin() + 41, boards.end())));
    Bytes junk(97);
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 37 + 11);
    write(t, "junk_mid_stream", hub_input(4, {120}, concat({hub_chunk("B1", packet_of(MES_4, 1)), junk, boards})));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    root = argv[1];
    ::mkdir(root.c_str(), 0755);
    single_board_seeds();
    hub_stream_seeds();
    return 0;
}

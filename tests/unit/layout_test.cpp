// Instruction builders and the trigger flag, on decoders made directly.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "packet_builder.h"
#include "packets/decoder_factory.h"
#include "packets/mes_packet.h"
#include "packets/wua2_packet.h"

using namespace palvex;

namespace {

DecoderSlot make(COMM_TYPE family) {
    return make_decoder(family, nlohmann::json::parse(palvex_test::default_descriptor_json()), nullptr);
}

struct TriggerCase {
    unsigned char code;
    bool raises;
};

TEST(Instructions, MesFamiliesRaiseTheTriggerFlagForCodesOneAndTwo) {
    const TriggerCase codes[] = {{0, false}, {1, true}, {2, true}, {3, false}, {0xFF, false}};
    for (const COMM_TYPE family : {WUA2, MES_2, IMP_3, MES_4, MES_5}) {
        const bool mes = family == MES_2 || family == MES_4 || family == MES_5;
        auto decoder = make(family);
        for (const TriggerCase& c : codes) {
            PacketBase::PHYSICAL_TRIGGER_OUT = 0;
            Instruction out;
            const unsigned char command[] = {c.code, 9};
            EXPECT_EQ(decoder->create_write_instr(command, 2, out), 0);
            EXPECT_EQ(out.length, 5u);
            EXPECT_EQ(PacketBase::PHYSICAL_TRIGGER_OUT.load(), (mes && c.raises) ? 1 : 0)
                << family << " code " << int(c.code);
        }
        // The builders only ever set the flag.
        PacketBase::PHYSICAL_TRIGGER_OUT = 1;
        Instruction out;
        decoder->create_write_instr(nullptr, 0, out);
        EXPECT_EQ(PacketBase::PHYSICAL_TRIGGER_OUT.load(), 1);
    }
}

TEST(Instructions, CreateWriteDataBuildsEvenWithoutACallback) {
    auto decoder = make(MES_4);
    Instruction out;
    const unsigned char command[] = {7, 6, 5, 4, 3, 2};
    EXPECT_EQ(decoder->create_write_data(command, 6, out), PALVEX_ERR_NO_WRITE_CALLBACK);
    EXPECT_EQ(out.bytes, (std::array<unsigned char, 5>{7, 6, 5, 4, 3}));
    static int calls = 0;
    decoder->write_callback = [](void*, const unsigned char*, size_t) { ++calls; };
    EXPECT_EQ(decoder->create_write_data(command, 6, out), 0);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(decoder->write_data_w_callback(command, 6), 0);
    EXPECT_EQ(calls, 1);
}

TEST(Instructions, InterpretIgnoresOtherLengths) {
    for (const COMM_TYPE family : {WUA2, MES_2, IMP_3, MES_4, MES_5}) {
        auto decoder = make(family);
        const int size = decoder->calc_packet_size();
        std::vector<unsigned char> packet(static_cast<std::size_t>(size) + 2, 0xFF);
        for (const int length : {size - 1, size + 1, size + 2}) {
            std::vector<double> row(32, 42.0);
            decoder->interpret(packet.data(), length, row.data(), 0);
            EXPECT_EQ(row, std::vector<double>(32, 42.0)) << family << " length " << length;
        }
    }
}

}  // namespace

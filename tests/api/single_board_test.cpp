// The single-board entry point: which buffer selects which decoder, which
// buffers are refused with which code, and which descriptors are refused.
#include <gtest/gtest.h>

#include "descriptor_variants.h"
#include "host.h"

using namespace palvex_test;

namespace {

// Records what a write callback receives; tells whether a decoder exists
// (with a decoder, data_write answers with the decoder's context).
struct WriteSink {
    std::vector<std::pair<void*, Bytes>> writes;
    static void collect(void* context, const unsigned char* bytes, size_t length) {
        auto* self = static_cast<WriteSink*>(context);
        self->writes.push_back({context, Bytes(bytes, bytes + length)});
    }
};

class SingleBoard : public ::testing::Test {
protected:
    void SetUp() override {
        release();
        set_board_json(default_descriptor_json().c_str());
    }
    // True when a data_write reaches the callback through a decoder: the
    // no-decoder path answers with the context passed to data_write.
    bool has_decoder() {
        WriteSink probe;
        const unsigned char cmd[] = {3};
        data_write(cmd, 1, &WriteSink::collect, &probe);
        return probe.writes.empty();
    }
    RowSink sink;
};

TEST(SingleBoardFirstCall, NothingWorksWithoutADescriptor) {
    // CTest runs this in a process of its own, so the first call below is
    // the library's first; run with the others, the later ones still hold.
    RowSink sink;
    const Bytes mes4 = packet_of(MES_4, 1);
    release();
    for (const char* unset : {"0", "0.0", " 0 "}) {
        set_board_json(unset);
        EXPECT_EQ(feed(mes4, sink), PALVEX_ERR_NO_DESCRIPTOR) << unset;
        EXPECT_EQ(feed(Bytes(5, 0), sink), PALVEX_ERR_NO_DESCRIPTOR) << unset;
    }
    EXPECT_EQ(sink.size(), 0u);
    EXPECT_EQ(release(), 0);
}

struct DispatchCase {
    const char* name;
    Bytes buffer;
    int32_t result;
    std::size_t rows;
    bool creates_decoder;
};

TEST_F(SingleBoard, FactoryDispatch) {
    Bytes wua2_odd_head = packet_of(WUA2, 3);
    wua2_odd_head[0] = 0x04;  // a 216-byte buffer is WUA2 whatever it begins with
    wua2_odd_head[1] = 0x00;
    const DispatchCase cases[] = {
        {"MES_2", packet_of(MES_2, 1), 0, 2, true},
        {"IMP_3", packet_of(IMP_3, 1), 0, 2, true},
        {"MES_4", packet_of(MES_4, 1), 0, 2, true},
        {"MES_5", packet_of(MES_5, 1), 0, 2, true},
        {"WUA2", packet_of(WUA2, 1), 0, 2, true},
        {"216 bytes beginning 04 00", wua2_odd_head, 0, 2, true},
        {"confirmation", Bytes(5, 0x04), 0, 0, false},
        {"type word 0", typed_buffer(0, 77), 0, 0, false},
        {"type word 7", typed_buffer(7, 77), PALVEX_ERR_UNKNOWN_TYPE, 0, false},
        {"type word 260", typed_buffer(260, 77), PALVEX_ERR_UNKNOWN_TYPE, 0, false},
        {"type word -1", typed_buffer(0xFFFF, 77), PALVEX_ERR_UNKNOWN_TYPE, 0, false},
        {"type word 1 without 216 bytes", typed_buffer(1, 77), PALVEX_ERR_UNKNOWN_TYPE, 0, false},
        {"empty", Bytes(), PALVEX_ERR_UNKNOWN_TYPE, 0, false},
        {"one byte", Bytes(1, 4), PALVEX_ERR_UNKNOWN_TYPE, 0, false},
        {"MES_4 type, MES_2 length", typed_buffer(4, 75), PALVEX_ERR_PACKET_SIZE, 0, true},
    };
    for (const DispatchCase& c : cases) {
        release();
        sink.deliveries.clear();
        EXPECT_EQ(feed(c.buffer, sink), c.result) << c.name;
        EXPECT_EQ(sink.size(), c.rows) << c.name;
        EXPECT_EQ(has_decoder(), c.creates_decoder) << c.name;
    }
}

TEST_F(SingleBoard, NullBufferIsRefused) {
    EXPECT_EQ(interpret_data_fn(nullptr, 77, &RowSink::collect, &sink), PALVEX_ERR_UNKNOWN_TYPE);
    EXPECT_EQ(interpret_data_fn(nullptr, 5, &RowSink::collect, &sink), PALVEX_ERR_UNKNOWN_TYPE);
    EXPECT_FALSE(has_decoder());
}

TEST_F(SingleBoard, DecoderIsReusedUntilAnotherFamilyArrives) {
    ASSERT_EQ(feed(packet_of(MES_4, 10), sink), 0);
    ASSERT_EQ(feed(packet_of(MES_4, 12), sink), 0);
    // 5-byte and type-0 buffers leave the decoder alone.
    ASSERT_EQ(feed(Bytes(5, 0), sink), 0);
    ASSERT_EQ(feed(packet_of(MES_4, 14), sink), 0);
    // Another family replaces it: no reference, so no fillers across the switch.
    ASSERT_EQ(feed(packet_of(IMP_3, 100), sink), 0);
    ASSERT_EQ(feed(packet_of(MES_4, 200), sink), 0);
    EXPECT_EQ(sink.column(26), (std::vector<double>{10, 11, 12, 13, 14, 15, 100, 101, 200, 201}));
}

TEST_F(SingleBoard, WrongLengthForTheCurrentDecoder) {
    ASSERT_EQ(feed(packet_of(WUA2, 1), sink), 0);
    EXPECT_EQ(feed(typed_buffer(1, 77), sink), PALVEX_ERR_PACKET_SIZE);  // reaches the WUA2 decoder
    ASSERT_EQ(feed(packet_of(MES_4, 1), sink), 0);
    EXPECT_EQ(feed(typed_buffer(4, 75), sink), PALVEX_ERR_PACKET_SIZE);
    EXPECT_EQ(feed(typed_buffer(4, 78), sink), PALVEX_ERR_PACKET_SIZE);
    EXPECT_EQ(sink.size(), 4u);
}

TEST_F(SingleBoard, NothingCanBeDeliveredWithoutContextOrCallback) {
    const Bytes mes4 = packet_of(MES_4, 1);
    EXPECT_EQ(interpret_data_fn(mes4.data(), mes4.size(), &RowSink::collect, nullptr), PALVEX_ERR_NO_CONTEXT);
    // The decoder keeps the null context it was created with.
    EXPECT_EQ(feed(mes4, sink), PALVEX_ERR_NO_CONTEXT);
    release();
    EXPECT_EQ(interpret_data_fn(mes4.data(), mes4.size(), nullptr, &sink), PALVEX_ERR_NO_CONTEXT);
    EXPECT_EQ(feed(mes4, sink), PALVEX_ERR_NO_CONTEXT);
    EXPECT_EQ(sink.size(), 0u);
}

TEST_F(SingleBoard, DecoderKeepsItsDescriptor) {
    ASSERT_EQ(feed(packet_of(MES_4, 1), sink), 0);
    set_board_json(R"({"num_rows": 40, "exg_channels": [], "accel_channels": [], "gyro_channels": [],
        "ppg_channels": [], "package_num_channel": 35, "battery_channel": 36, "other_channels": [37, 38]})");
    ASSERT_EQ(feed(packet_of(MES_4, 3), sink), 0);
    EXPECT_EQ(sink.row(3).size(), default_row_length);
    release();  // the next decoder takes the new descriptor
    ASSERT_EQ(feed(packet_of(MES_4, 5), sink), 0);
    EXPECT_EQ(sink.row(4).size(), 40u);
    EXPECT_EQ(sink.row(4)[35], 5.0);
}

TEST_F(SingleBoard, TextThatDoesNotParseKeepsTheDescriptor) {
    CapturedLog log;
    set_logger(log.logger.get());
    for (const char* bad : {"{\"num_rows\": 32", "32 33", "", "nope"}) set_board_json(bad);
    set_board_json(nullptr);
    EXPECT_EQ(log.count("error|set_board_json failed"), 5u);
    ASSERT_EQ(feed(packet_of(MES_4, 1), sink), 0);
    EXPECT_EQ(sink.row(0).size(), default_row_length);
}

struct RefusalCase {
    const char* name;
    const char* descriptor;
    COMM_TYPE family;
    const char* reason;  // fragment of the logged reason
};

class Refusal : public SingleBoard {
protected:
    // The descriptor must be refused with 6 for the family, deliver nothing,
    // write nothing out of bounds and say why once.
    void expect_refused(const std::string& descriptor, COMM_TYPE family, const char* reason, const std::string& what) {
        CapturedLog log;
        set_logger(log.logger.get());
        release();
        sink.deliveries.clear();
        set_board_json(descriptor.c_str());
        for (std::uint32_t n = 1; n < 7; n += 2)
            EXPECT_EQ(feed(packet_of(family, n), sink), PALVEX_ERR_NO_DESCRIPTOR) << what;
        EXPECT_EQ(sink.size(), 0u) << what;
        EXPECT_EQ(log.count(reason), 1u) << what << ": " << (log.lines().empty() ? "" : log.lines()[0]);
    }
};

// Texts that are no descriptor, and row lengths the descriptor itself cannot have.
TEST_F(Refusal, UnusableDescriptorsAreRefused) {
    const RefusalCase cases[] = {
        {"not an object", "[1, 2]", MES_4, "not a JSON object"},
        {"string", "\"board\"", MES_4, "not a JSON object"},
        {"null", "null", MES_4, "\"num_rows\" is missing"},
        {"no package_num_channel", R"({"num_rows": 32})", MES_4, "\"package_num_channel\" is missing"},
        {"num_rows a string", R"({"num_rows": "32", "package_num_channel": 26})", IMP_3, "\"num_rows\" is not a number"},
        {"num_rows 0", R"({"num_rows": 0, "package_num_channel": 26})", MES_4, "at least 1"},
        {"num_rows negative", R"({"num_rows": -5, "package_num_channel": 26})", MES_4, "at least 1"},
        {"num_rows huge", R"({"num_rows": 2000000000, "package_num_channel": 26})", MES_4, "exceeds"},
        {"num_rows beyond int32 as float", R"({"num_rows": 1e12, "package_num_channel": 26})", MES_4, "not a number"},
        {"num_rows true", R"({"num_rows": true, "package_num_channel": 0})", MES_4, "at least 30"},
        {"num_rows 29", R"({"num_rows": 29, "package_num_channel": 26})", WUA2, "at least 30"},
    };
    for (const RefusalCase& c : cases) expect_refused(c.descriptor, c.family, c.reason, c.name);
}

// The default descriptor with one key wrong: every family that reads the
// key refuses it and names the key's fault.
TEST_F(Refusal, OneWrongKeyIsRefusedWithItsReason) {
    for (const DescriptorVariant& v : descriptor_variants()) {
        if (!v.reason) continue;
        for (const Family& f : families)
            if (v.refused_by & f.bit)
                expect_refused(v.json(), f.type, v.reason, v.describe() + ", family " + std::to_string(f.type));
    }
}

TEST_F(SingleBoard, RefusalDependsOnWhatTheFamilyReads) {
    // No resistance, exg or raw-PPG keys: MES_4 decodes, IMP_3 and MES_5 refuse.
    set_board_json(R"({"num_rows": 32, "exg_channels": [0], "accel_channels": [], "gyro_channels": [],
        "ppg_channels": [], "package_num_channel": 26, "battery_channel": 27, "other_channels": [28, 30]})");
    EXPECT_EQ(feed(packet_of(MES_4, 1), sink), 0);
    EXPECT_EQ(feed(packet_of(IMP_3, 1), sink), PALVEX_ERR_NO_DESCRIPTOR);
    EXPECT_EQ(feed(packet_of(MES_5, 1), sink), PALVEX_ERR_NO_DESCRIPTOR);
    // IMP_3 needs only resistance, battery, packet number and two other entries.
    set_board_json(R"({"num_rows": 32, "resistance_channels": [14], "package_num_channel": 26,
        "battery_channel": 27, "other_channels": ["anything", 30]})");
    release();
    EXPECT_EQ(feed(packet_of(IMP_3, 1), sink), 0);
}

TEST_F(SingleBoard, DescriptorThatCannotMakeADecoderKeepsTheOldOne) {
    ASSERT_EQ(feed(packet_of(MES_4, 1), sink), 0);
    set_board_json(R"({"num_rows": 0, "package_num_channel": 26})");
    EXPECT_EQ(feed(packet_of(IMP_3, 1), sink), PALVEX_ERR_NO_DESCRIPTOR);
    EXPECT_EQ(feed(packet_of(MES_4, 3), sink), 0);  // the MES_4 decoder was kept
    EXPECT_EQ(sink.column(26), (std::vector<double>{1, 2, 3, 4}));
}

TEST_F(SingleBoard, NumbersAreReadAs32BitIntegers) {
    // 35.9 truncates, true is 1, a float column truncates, integers keep their low 32 bits.
    set_board_json(R"({"num_rows": 35.9, "exg_channels": [3.7], "accel_channels": [4294967304],
        "gyro_channels": [], "ppg_channels": [], "package_num_channel": 26, "battery_channel": 27,
        "other_channels": [true, 30]})");
    MesPacket p;
    p.sample[0].exg[0] = 2;
    p.accel[0] = 1;
    p.sample[0].other = 9;
    p.sample[0].package_num = 1;
    ASSERT_EQ(feed(build(p), sink), 0);
    ASSERT_EQ(sink.row(0).size(), 35u);
    EXPECT_EQ(sink.row(0)[3], 2 * 0.045);
    EXPECT_EQ(sink.row(0)[8], 6.1035e-05);
    EXPECT_EQ(sink.row(0)[1], 9.0);
}

}  // namespace

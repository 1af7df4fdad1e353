// libFuzzer target: the single-board exports driven the way a host drives
// them, with a board descriptor and a sequence of buffers, commands,
// descriptor changes and releases taken from the input (fuzz_framing.h).
//
// Besides what the sanitizers catch, it stops on anything the header rules
// out: a result code outside the documented ones, a row that is not a whole
// row with its valid mark, an instruction that is not 5 bytes, or an
// internal failure reported by an export other than set_board_json (which
// logs the JSON parser's refusal by design).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "fuzz_framing.h"
#include "palvex/palvex.h"

namespace {

[[noreturn]] void fail(const char* what, long long value) {
    std::fprintf(stderr, "fuzz_single_board: %s (%lld)\n", what, value);
    std::abort();
}

// Internal failures reach the logger as "<export> failed: <why>".
class FailureSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        const std::string text(msg.payload.data(), msg.payload.size());
        if (text.find(" failed: ") != std::string::npos && text.rfind("set_board_json failed: ", 0) != 0) {
            std::fprintf(stderr, "fuzz_single_board: internal failure: %s\n", text.c_str());
            std::abort();
        }
    }
    void flush_() override {}
};

struct Host {
    unsigned char tag;
} host;

volatile double sink_value;

void on_row(void* context, const double* row, size_t count) {
    if (context == nullptr) fail("row delivered without a host context", 0);
    if (count < 30 || count > PALVEX_MAX_ROW_LENGTH) fail("row length", static_cast<long long>(count));
    if (row[29] != 1.0) fail("row without its valid mark", 0);
    // Both ends must be readable: the row is one block of `count` doubles.
    sink_value = row[0] + row[count - 1];
}

void on_write(void*, const unsigned char* bytes, size_t length) {
    if (length != 5) fail("instruction length", static_cast<long long>(length));
    sink_value = bytes[0] + bytes[4];
}

void check_interpret(int32_t rc) {
    switch (rc) {
        case PALVEX_OK:
        case PALVEX_ERR_PACKET_SIZE:
        case PALVEX_ERR_NO_CONTEXT:
        case PALVEX_ERR_NO_DESCRIPTOR:
        case PALVEX_ERR_UNKNOWN_TYPE: return;
        default: fail("interpret_data_fn result", rc);
    }
}

void check_write(int32_t rc) {
    if (rc != PALVEX_OK && rc != PALVEX_ERR_NO_INSTRUCTION && rc != PALVEX_ERR_NO_WRITE_CALLBACK)
        fail("data_write result", rc);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static auto logger = std::make_shared<spdlog::logger>("fuzz", std::make_shared<FailureSink>());
    logger->set_level(spdlog::level::trace);
    set_logger(logger.get());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace palvex_fuzz;
    Reader in(data, size);
    release();
    const std::uint8_t choice = in.u8();
    if (choice == descriptor_text) {
        std::size_t n = in.u16();
        const std::uint8_t* text = in.take(n);
        set_board_json(std::string(reinterpret_cast<const char*>(text), n).c_str());
    } else {
        set_board_json(builtin_descriptors()[choice % builtin_descriptors().size()].c_str());
    }
    while (!in.empty()) {
        const std::uint8_t code = in.u8() % 8;
        std::size_t n = in.u16();
        const std::uint8_t* bytes = in.take(n);
        // A copy of exactly n bytes, so reading past them is caught.
        const std::unique_ptr<unsigned char[]> buffer(new unsigned char[n > 0 ? n : 1]);
        if (n > 0) std::memcpy(buffer.get(), bytes, n);
        switch (code) {
            case 0:
            case 1:
            case 2: {
                // Code 2 with no bytes stands for a null buffer.
                const unsigned char* b = code == 2 && n == 0 ? nullptr : buffer.get();
                check_interpret(interpret_data_fn(b, n, &on_row, &host));
                break;
            }
            case op_interpret_no_context: check_interpret(interpret_data_fn(buffer.get(), n, &on_row, nullptr)); break;
            case op_data_write: check_write(data_write(buffer.get(), n, &on_write, &host)); break;
            case op_set_descriptor:
                set_board_json(std::string(reinterpret_cast<const char*>(bytes), n).c_str());
                break;
            case op_release:
                if (release() != 0) fail("release result", 1);
                break;
            case op_data_write_null: check_write(data_write(nullptr, n, &on_write, &host)); break;
        }
    }
    release();
    return 0;
}

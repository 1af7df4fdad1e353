// libFuzzer target: the single-board exports driven the way a host drives
// them, with a board descriptor and a sequence of buffers, commands,
// descriptor changes and releases taken from the input (fuzz_framing.h).
//
// Besides what the sanitizers catch, it stops on anything the header rules
// out: a result code outside the documented ones, a row that is not a whole
// row with its valid mark, an instruction that is not 5 bytes, an internal
// failure reported by an export other than set_board_json (which logs the
// JSON parser's refusal by design), or, with a built-in descriptor that
// marks fillers, a break of the loss accounting (Accounting below).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

// The loss accounting as the header states it, row by row, while the
// decoder is one made from a built-in descriptor with a filler mark: a
// filler carries the number after the row before it and is that row's copy
// otherwise; a run of fillers ends with the row whose number ends the gap;
// and a decoded row after a row it is checked against (any but one numbered
// 0) never skips numbers the library would have filled.
// Runs for every row, fillers included: out of the coverage map (it is the
// target's code, not the library's) so that long runs of fillers stay cheap.
#define PALVEX_FUZZ_HOST __attribute__((no_sanitize("coverage")))
class Accounting {
public:
    // Checks follow the decoder the factory makes for the next buffers.
    void watch(palvex_fuzz::MarkedColumns columns) {
        columns_ = columns;
        has_last_ = false;
    }
    void stop() { columns_.filler = -1; }
    // What the factory does with `b`: a buffer of another family replaces
    // the decoder, and its rows start with no row before them.
    void before_buffer(const unsigned char* b, std::size_t n) {
        int family = family_;
        if (n == 216) family = WUA2;
        else if (n != 5 && b != nullptr && n >= 2) {
            const int word = static_cast<std::int16_t>(b[0] | (b[1] << 8));
            if (word >= MES_2 && word <= MES_5) family = word;
        }
        if (family != family_) has_last_ = false;
        family_ = family;
    }
    void released() {
        has_last_ = false;
        family_ = 0;
    }

    PALVEX_FUZZ_HOST void check(const double* row, std::size_t count) {
        if (columns_.filler < 0) return;
        const auto f = static_cast<std::size_t>(columns_.filler), c = static_cast<std::size_t>(columns_.number);
        const auto n = static_cast<std::uint32_t>(row[c]);
        const auto step = static_cast<std::int32_t>(n - last_number_);
        if (row[f] == 1.0) {
            if (!has_last_) fail("a filler row before any row", n);
            if (step != 1) fail("a filler row that does not follow on", step);
            for (std::size_t i = 0; i < count; ++i)
                if (i != f && i != c && row[i] != last_[i]) fail("a filler row that is no copy, column", static_cast<long long>(i));
        } else if (row[f] == 0.0) {
            if (last_was_filler_ && step != 1) fail("fillers not ended by the row after them", step);
            if (has_last_ && last_number_ != 0 && step > 1 && step - 1 <= PALVEX_MAX_FILLED_ROWS)
                fail("numbers skipped without fillers", step);
        } else {
            fail("a filler mark that is neither 0 nor 1", 0);
        }
        last_.assign(row, row + count);
        last_number_ = n;
        last_was_filler_ = row[f] == 1.0;
        has_last_ = true;
    }

private:
    palvex_fuzz::MarkedColumns columns_{0, -1};
    int family_ = 0;
    bool has_last_ = false, last_was_filler_ = false;
    std::uint32_t last_number_ = 0;
    std::vector<double> last_;
} accounting;

PALVEX_FUZZ_HOST void on_row(void* context, const double* row, size_t count) {
    if (context == nullptr) fail("row delivered without a host context", 0);
    if (count < 30 || count > PALVEX_MAX_ROW_LENGTH) fail("row length", static_cast<long long>(count));
    if (row[29] != 1.0) fail("row without its valid mark", 0);
    // Both ends must be readable: the row is one block of `count` doubles.
    sink_value = row[0] + row[count - 1];
    accounting.check(row, count);
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
    accounting.released();
    const std::uint8_t choice = in.u8();
    if (choice == descriptor_text) {
        std::size_t n = in.u16();
        const std::uint8_t* text = in.take(n);
        set_board_json(std::string(reinterpret_cast<const char*>(text), n).c_str());
        accounting.stop();
    } else {
        const std::size_t which = choice % builtin_descriptors().size();
        set_board_json(builtin_descriptors()[which].c_str());
        accounting.watch(builtin_marks(which));
    }
    Numbering numbering;
    while (!in.empty()) {
        const std::uint8_t op_byte = in.u8();
        const std::uint8_t code = op_byte % 8;
        std::size_t n = in.u16();
        const std::uint8_t* bytes = in.take(n);
        // A copy of exactly n bytes, so reading past them is caught.
        const std::unique_ptr<unsigned char[]> buffer(new unsigned char[n > 0 ? n : 1]);
        if (n > 0) std::memcpy(buffer.get(), bytes, n);
        if (code <= op_interpret_no_context) {
            numbering.apply(buffer.get(), n, op_byte >> 3);
            accounting.before_buffer(code == 2 && n == 0 ? nullptr : buffer.get(), n);
        }
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
                accounting.stop();  // the layout of the next decoder is the text's
                break;
            case op_release:
                if (release() != 0) fail("release result", 1);
                accounting.released();
                break;
            case op_data_write_null: check_write(data_write(nullptr, n, &on_write, &host)); break;
        }
    }
    release();
    return 0;
}

// What a host does in these tests: owns a context, collects the rows the
// library delivers and, when asked, the lines the library logs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include "packet_builder.h"
#include "palvex/palvex.h"

namespace palvex_test {

struct Delivery {
    void* context;
    std::vector<double> row;
};

// A host context: receives rows and instruction bytes alike, so it can be
// handed to either callback.
struct RowSink {
    std::vector<Delivery> deliveries;
    std::vector<Bytes> writes;

    static void collect_write(void* context, const unsigned char* bytes, size_t length) {
        static_cast<RowSink*>(context)->writes.emplace_back(bytes, bytes + length);
    }

    static void collect(void* context, const double* row, size_t count) {
        static_cast<RowSink*>(context)->deliveries.push_back({context, std::vector<double>(row, row + count)});
    }
    const std::vector<double>& row(std::size_t i) const { return deliveries.at(i).row; }
    std::size_t size() const { return deliveries.size(); }
    std::vector<double> column(int c) const {
        std::vector<double> out;
        for (const Delivery& d : deliveries) out.push_back(d.row.at(c));
        return out;
    }
};

// `length` bytes that begin with `type_word` (little-endian, as far as it
// fits). The rest is 0xA5: both samples of a packet carry the same packet
// number, so a buffer the library takes for a packet makes no fillers.
inline Bytes typed_buffer(std::uint16_t type_word, std::size_t length) {
    Bytes b(length, 0xA5);
    if (length > 0) b[0] = static_cast<std::uint8_t>(type_word & 0xFF);
    if (length > 1) b[1] = static_cast<std::uint8_t>(type_word >> 8);
    return b;
}

inline int32_t feed(const Bytes& buffer, RowSink& sink) {
    return interpret_data_fn(buffer.data(), buffer.size(), &RowSink::collect, &sink);
}

// A host logger from the same spdlog build, keeping its lines in memory.
struct CapturedLog {
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink =
        std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(1000);
    std::shared_ptr<spdlog::logger> logger = std::make_shared<spdlog::logger>("host", sink);

    CapturedLog() {
        logger->set_level(spdlog::level::trace);
        logger->set_pattern("%l|%v");
    }
    // The library must never be left holding a logger that is gone.
    ~CapturedLog() { set_logger(nullptr); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;
    std::vector<std::string> lines() { return sink->last_formatted(); }
    std::size_t count(const std::string& fragment) {
        std::size_t n = 0;
        for (const std::string& l : lines()) n += l.find(fragment) != std::string::npos;
        return n;
    }
};

}  // namespace palvex_test

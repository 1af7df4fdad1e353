// Capture files, written: a capture is a sequence of hub chunks exactly as
// on the wire (6-byte SSID, zero-padded; signed 32-bit little-endian payload
// length; the payload), one board or many. hub_chunk() in packet_builder.h
// builds a chunk. Captures are read by the library's capture reader
// (palvex/capture.h), never here: one reader of the chunk layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace palvex_test {

using Bytes = std::vector<std::uint8_t>;

// A capture file that cannot be read or written; what() is one line for a
// person, naming the file.
struct CaptureError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class CaptureWriter {
public:
    // Creates or truncates the file; throws CaptureError when it cannot.
    explicit CaptureWriter(const std::string& path);
    void write(const std::uint8_t* chunk, std::size_t size);
    void write(const Bytes& chunk) { write(chunk.data(), chunk.size()); }
    // Throws CaptureError when anything could not be written.
    void close();

private:
    std::string path_;
    std::ofstream out_;
};

}  // namespace palvex_test

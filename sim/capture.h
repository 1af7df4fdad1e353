// Hub chunks as data: reading their headers, cutting a received stream into
// them, and capture files.
//
// A hub chunk is a 6-byte SSID (zero-padded), a signed 32-bit little-endian
// payload length and the payload (one board buffer). A capture file is a
// sequence of chunks exactly as on the wire; one file holds one board or
// many. hub_chunk() in packet_builder.h builds a chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace palvex_test {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t chunk_header_size = 10;
// The library's receive buffer holds 500000 bytes: a longer chunk could
// never reach it whole, and the library reads its length as corrupted.
constexpr std::int64_t max_chunk_payload = 500000 - static_cast<std::int64_t>(chunk_header_size);

struct ChunkHeader {
    std::string ssid;  // up to the first zero byte
    std::int32_t length = 0;
    // A negative or impossible length: only the header counts, and it is
    // skipped, as the library skips it.
    bool corrupted() const { return length < 0 || length > max_chunk_payload; }
};

// Reads the chunk_header_size bytes at `header`.
ChunkHeader read_chunk_header(const std::uint8_t* header);

// Cuts a byte stream, received in pieces of any size, into whole chunks.
class ChunkSplitter {
public:
    // Takes the next piece and calls whole(const std::uint8_t* chunk,
    // std::size_t size) for every chunk it completes, header included.
    // Corrupted headers are counted and skipped.
    template <class Whole>
    void feed(const std::uint8_t* data, std::size_t size, Whole&& whole) {
        pending_.insert(pending_.end(), data, data + size);
        std::size_t at = 0;
        while (pending_.size() - at >= chunk_header_size) {
            const ChunkHeader h = read_chunk_header(pending_.data() + at);
            if (h.corrupted()) {
                ++corrupted_;
                at += chunk_header_size;
                continue;
            }
            const std::size_t size_of_chunk = chunk_header_size + static_cast<std::size_t>(h.length);
            if (pending_.size() - at < size_of_chunk) break;
            whole(pending_.data() + at, size_of_chunk);
            at += size_of_chunk;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    // Bytes held of a chunk not complete yet.
    std::size_t pending() const { return pending_.size(); }
    std::uint64_t corrupted() const { return corrupted_; }

private:
    Bytes pending_;
    std::uint64_t corrupted_ = 0;
};

// A capture file that cannot be read or written; what() is one line for a
// person, naming the file.
struct CaptureError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CaptureChunk {
    std::uint64_t offset = 0;  // of its header in the file
    std::string ssid;
    std::int32_t length = 0;
    bool corrupted = false;  // see ChunkHeader::corrupted(); no payload then
    Bytes payload;
};

class CaptureReader {
public:
    // Throws CaptureError when the file cannot be opened (or is a directory).
    // Messages call the file `name` when one is given (a copy of standard
    // input, say), else its path.
    explicit CaptureReader(const std::string& path, const std::string& name = {});
    // The next chunk; false at the clean end of the file. Throws
    // CaptureError at a chunk the file cuts off, saying where.
    bool next(CaptureChunk& chunk);

private:
    std::string path_;
    std::ifstream in_;
    std::uint64_t offset_ = 0;
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

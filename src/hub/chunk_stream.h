// Turns the hub's TCP byte stream into board chunks: a 6-byte SSID, a
// signed 32-bit little-endian length, the payload. TCP keeps no message
// boundaries, so a chunk cut across receives is kept and completed by the
// next one; nothing is read past the bytes received. No sockets here: the
// read loop, the fuzz target and the capture reader all feed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace palvex {

class ChunkStream {
public:
    static constexpr std::size_t capacity = 500000;  // one receive at most
    static constexpr std::size_t header_size = 10;
    static constexpr std::size_t ssid_size = 6;
    // A payload that could never fit the buffer is read as a corrupted length.
    static constexpr std::size_t max_payload = capacity - header_size;

    struct Chunk {
        bool corrupted;                 // the length was negative or too large: only the header was skipped
        std::string_view ssid;          // up to the first zero byte, 0 to 6 characters
        std::int32_t length;            // as sent
        const unsigned char* payload;   // `length` bytes, valid until the next receive
    };

    ChunkStream();

    // Where the next receive writes, and how much it may write there.
    unsigned char* receive_area() { return buffer_.data() + end_; }
    std::size_t receive_room() const { return capacity - end_; }
    void received(std::size_t n) { end_ += n; }

    // The next whole chunk (or corrupted header); false when the rest is an
    // incomplete chunk, which is kept at the buffer's start for the next receive.
    bool next(Chunk& out);

    // Forgets everything received so far.
    void clear() { begin_ = end_ = 0; }
    std::size_t pending() const { return end_ - begin_; }

private:
    void keep_rest();

    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace palvex

// Turns the hub's TCP byte stream into board chunks: a 6-byte SSID, a
// signed 32-bit little-endian length, the payload. TCP keeps no message
// boundaries, so a chunk cut across receives is kept and completed by the
// next one; nothing is read past the bytes received. No sockets here: the
// read loop and the fuzz target feed it.
//
// A hub streams from its greeting on, so the host's first receive usually
// ends inside a chunk, and corrupted bytes can throw the framing off later.
// The stream therefore knows whether it is in step with the hub. In step,
// chunks are taken as the hub frames them. Out of step, it moves forward
// byte by byte and takes a position as a chunk boundary only when the header
// there is plausible (the length of a configuration packet, of a WUA2
// packet, or of the family its type word names) and confirmed: the header
// right after that chunk is plausible too, or the chunk ends exactly where a
// receive ended (a hub writes whole chunks).
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
        bool corrupted;                 // the length was negative or too large, and a plausible header
                                        // follows: only this header is skipped
        std::string_view ssid;          // up to the first zero byte, 0 to 6 characters
        std::int32_t length;            // as sent
        const unsigned char* payload;   // `length` bytes, valid until the next receive
        std::size_t skipped;            // bytes passed over, out of step, to find this chunk
    };

    ChunkStream();

    // Where the next receive writes, and how much it may write there.
    unsigned char* receive_area() { return buffer_.data() + end_; }
    std::size_t receive_room() const { return buffer_.size() - end_; }
    void received(std::size_t n);

    // The next whole chunk (or corrupted header); false when more bytes are
    // needed, which are then kept at the buffer's start for the next receive.
    bool next(Chunk& out);

    // Forgets everything received so far; the next bytes are taken to begin
    // a chunk, as those of a fresh stream are.
    void clear();
    // The next bytes may begin anywhere inside a chunk.
    void lose_step() { in_step_ = false; }
    bool in_step() const { return in_step_; }
    std::size_t pending() const { return end_ - begin_; }

private:
    enum class Verdict { no, yes, need_more };
    Verdict plausible(std::size_t at) const;
    Verdict confirmed(std::size_t at) const;
    bool take(Chunk& out);
    bool wait();

    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool in_step_ = true;
    bool ends_at_receive_ = false;        // end_ is where a receive ended short of the room it had
    std::size_t skipped_ = 0;
};

}  // namespace palvex

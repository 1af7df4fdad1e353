// Hub chunks, read: a 6-byte SSID, a signed 32-bit little-endian length, the
// payload. The one reader of that layout in the library, for every place
// chunks come from: the hub's read loop hands it receives, the capture
// library a file block by block or a byte range to read in place. No sockets
// and no files here.
//
// TCP keeps no message boundaries, so a chunk cut across receives is kept
// and completed by the next one; nothing is read past the bytes received.
//
// A hub streams from its greeting on, so the host's first receive usually
// ends inside a chunk, and corrupted bytes (in a stream, or in a capture
// file: a flipped length, junk, a chunk with bytes torn out) can throw the
// framing off anywhere. The stream therefore knows whether it is in step.
// Out of step, it moves forward byte by byte and takes a position as a chunk
// boundary only when the header there is plausible (the length of a
// configuration packet, of a WUA2 packet, or of the family its type word
// names) and confirmed: the header right after that chunk is plausible too
// (or is a header of corrupted length followed by a plausible one), or the
// chunk ends where a receive ended (a hub writes whole chunks) or where the
// input ends. In step, a chunk of no known length is taken only when it is
// confirmed; a plausible one, whose header the chunk before it vouched for,
// also when junk follows it, unless a confirmed boundary lies inside it:
// then bytes were torn out of it, and the next chunk begins there. Whatever
// is not taken is searched from its next byte, so damage costs the chunks it
// hit, and no SSID is made up from the bytes skipped.
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
        std::uint64_t offset;           // of its header, counted from the first byte since clear()
    };

    // What was left when the input ended (end_of_input()) and next() had
    // no chunk more to give.
    struct Tail {
        std::uint64_t skipped = 0;     // bytes passed over after the last chunk
        std::uint64_t cut_offset = 0;  // where the chunk the end cut off begins
        std::size_t cut_size = 0;      // bytes of it present, header included; 0 when none was cut
    };

    // A stream with a buffer of its own, which receives are written into.
    ChunkStream();
    // The `size` bytes at `data`, read in place as the whole of a stream:
    // no buffer of its own (receive_area() has no room), payloads point into
    // `data`, and the input has ended.
    ChunkStream(const unsigned char* data, std::size_t size);
    ChunkStream(const ChunkStream&) = delete;
    ChunkStream& operator=(const ChunkStream&) = delete;

    // Where the next receive writes, and how much it may write there (no
    // room once the input has ended).
    unsigned char* receive_area();
    std::size_t receive_room() const;
    void received(std::size_t n);
    // No byte follows the ones received: a chunk then needs nothing after it
    // to be confirmed, and what cannot be a whole chunk is a chunk the end
    // cut off (a plausible header whose chunk runs past the end, or part of
    // a header in step) or skipped.
    void end_of_input();

    // The next whole chunk (or corrupted header); false when more bytes are
    // needed, which are then kept at the buffer's start for the next
    // receive, or, once the input has ended, when none is left.
    bool next(Chunk& out);
    // After next() returned false at the end of the input.
    const Tail& tail() const { return tail_; }

    // Forgets everything received so far; the next bytes are taken to begin
    // a chunk, as those of a fresh stream are. (A range read in place is
    // read again from its start.)
    void clear();
    // The next bytes may begin anywhere inside a chunk.
    void lose_step() { in_step_ = false; }
    bool in_step() const { return in_step_; }
    std::size_t pending() const { return end_ - begin_; }

private:
    enum class Verdict { no, yes, need_more };
    Verdict plausible(std::size_t at) const;
    Verdict confirmed(std::size_t at) const;
    Verdict boundary(std::size_t at, bool past_a_corrupted_header) const;
    Verdict boundary_inside(std::size_t at, bool decide_now) const;
    std::int32_t length_at(std::size_t at) const;
    bool bad_length(std::size_t at) const;
    bool take(Chunk& out);
    bool wait();
    bool stop(std::size_t cut_size);

    std::vector<unsigned char> buffer_;
    const unsigned char* bytes_;           // buffer_'s, or the range read in place
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t base_ = 0;               // stream offset of bytes_[0]
    bool in_step_ = true;
    bool ends_at_receive_ = false;         // end_ is where a receive ended short of the room it had
    bool ended_ = false;                   // no byte follows end_
    std::size_t skipped_ = 0;
    Tail tail_;
};

}  // namespace palvex

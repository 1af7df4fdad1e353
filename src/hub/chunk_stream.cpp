#include "hub/chunk_stream.h"

#include <cstring>

#include "packets/byte_order.h"
#include "packets/families.h"

namespace palvex {
namespace {

// Room behind the largest chunk for the header that confirms it.
constexpr std::size_t lookahead = ChunkStream::header_size + type_word_length;

}  // namespace

ChunkStream::ChunkStream() : buffer_(capacity + lookahead) {}

void ChunkStream::received(std::size_t n) {
    // A receive that stopped short of the room it had ended where the hub's
    // write ended; one that filled the buffer says nothing about that.
    ends_at_receive_ = n < receive_room();
    end_ += n;
}

void ChunkStream::clear() {
    begin_ = end_ = 0;
    in_step_ = true;
    skipped_ = 0;
    ends_at_receive_ = false;
}

ChunkStream::Verdict ChunkStream::plausible(std::size_t at) const {
    if (end_ - at < header_size) return Verdict::need_more;
    const unsigned char* head = buffer_.data() + at;
    const std::int32_t length = read_le32_signed(head + ssid_size);
    if (length == static_cast<std::int32_t>(config_packet_length) ||
        length == static_cast<std::int32_t>(buffer_length_of(WUA2)))
        return Verdict::yes;
    const int family = typed_family_of_length(length);
    if (family == 0) return Verdict::no;
    if (end_ - at < header_size + type_word_length) return Verdict::need_more;
    return read_le16_signed(head + header_size) == family ? Verdict::yes : Verdict::no;
}

// The chunk at `at` (whose length is in range) is followed by a plausible
// header, or ends where a receive ended.
ChunkStream::Verdict ChunkStream::confirmed(std::size_t at) const {
    const auto length = static_cast<std::size_t>(read_le32_signed(buffer_.data() + at + ssid_size));
    const std::size_t whole = header_size + length;
    if (end_ - at < whole) return Verdict::need_more;
    if (end_ - at == whole) return ends_at_receive_ ? Verdict::yes : Verdict::need_more;
    return plausible(at + whole);
}

bool ChunkStream::next(Chunk& out) {
    for (;;) {
        if (!in_step_) {
            Verdict v = plausible(begin_);
            if (v == Verdict::yes) v = confirmed(begin_);
            if (v == Verdict::need_more) return wait();
            if (v == Verdict::no) {
                ++begin_;
                ++skipped_;
                continue;
            }
            in_step_ = true;
        }
        if (pending() < header_size) return wait();
        const std::int32_t length = read_le32_signed(buffer_.data() + begin_ + ssid_size);
        if (length < 0 || static_cast<std::size_t>(length) > max_payload) {
            // A header whose length alone is bad is skipped when a plausible
            // header follows it; otherwise it was never a header, and its
            // bytes are searched like any others.
            const Verdict v = plausible(begin_ + header_size);
            if (v == Verdict::need_more) return wait();
            if (v == Verdict::no) {
                in_step_ = false;
                continue;
            }
        } else {
            if (pending() < header_size + static_cast<std::size_t>(length)) return wait();
            // A chunk of no known family is taken as framed only when what
            // follows agrees; otherwise the framing has gone astray.
            if (plausible(begin_) == Verdict::no) {
                const Verdict v = confirmed(begin_);
                if (v == Verdict::need_more) return wait();
                if (v == Verdict::no) {
                    in_step_ = false;
                    continue;
                }
            }
        }
        return take(out);
    }
}

bool ChunkStream::take(Chunk& out) {
    const unsigned char* head = buffer_.data() + begin_;
    std::size_t ssid_length = 0;
    while (ssid_length < ssid_size && head[ssid_length] != 0) ++ssid_length;
    out.ssid = std::string_view(reinterpret_cast<const char*>(head), ssid_length);
    out.length = read_le32_signed(head + ssid_size);
    out.payload = head + header_size;
    out.corrupted = out.length < 0 || static_cast<std::size_t>(out.length) > max_payload;
    out.skipped = skipped_;
    skipped_ = 0;
    begin_ += header_size + (out.corrupted ? 0 : static_cast<std::size_t>(out.length));
    return true;
}

bool ChunkStream::wait() {
    const std::size_t rest = end_ - begin_;
    if (begin_ != 0 && rest != 0) std::memmove(buffer_.data(), buffer_.data() + begin_, rest);
    begin_ = 0;
    end_ = rest;
    return false;
}

}  // namespace palvex

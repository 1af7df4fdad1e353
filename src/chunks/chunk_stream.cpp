#include "chunks/chunk_stream.h"

#include <cstring>

#include "packets/byte_order.h"
#include "packets/families.h"

namespace palvex {
namespace {

// Room behind the largest chunk for what confirms it: a header of corrupted
// length, then a plausible header with its type word.
constexpr std::size_t lookahead = 2 * ChunkStream::header_size + type_word_length;

}  // namespace

ChunkStream::ChunkStream() : buffer_(capacity + lookahead), bytes_(buffer_.data()) {}

ChunkStream::ChunkStream(const unsigned char* data, std::size_t size)
    : bytes_(data), end_(size), ended_(true) {}

unsigned char* ChunkStream::receive_area() { return buffer_.empty() ? nullptr : buffer_.data() + end_; }

std::size_t ChunkStream::receive_room() const { return buffer_.empty() || ended_ ? 0 : buffer_.size() - end_; }

void ChunkStream::received(std::size_t n) {
    // A receive that stopped short of the room it had ended where the hub's
    // write ended; one that filled the buffer says nothing about that.
    ends_at_receive_ = n < receive_room();
    end_ += n;
}

void ChunkStream::end_of_input() { ended_ = true; }

void ChunkStream::clear() {
    begin_ = 0;
    base_ = 0;
    in_step_ = true;
    skipped_ = 0;
    ends_at_receive_ = false;
    tail_ = {};
    // A range read in place stays what it is: it is read again from its start.
    if (!buffer_.empty()) {
        end_ = 0;
        ended_ = false;
    }
}

std::int32_t ChunkStream::length_at(std::size_t at) const { return read_le32_signed(bytes_ + at + ssid_size); }

bool ChunkStream::bad_length(std::size_t at) const {
    const std::int32_t length = length_at(at);
    return length < 0 || static_cast<std::size_t>(length) > max_payload;
}

ChunkStream::Verdict ChunkStream::plausible(std::size_t at) const {
    if (end_ - at < header_size) return Verdict::need_more;
    const std::int32_t length = length_at(at);
    if (length == static_cast<std::int32_t>(config_packet_length) ||
        length == static_cast<std::int32_t>(buffer_length_of(WUA2)))
        return Verdict::yes;
    const int family = typed_family_of_length(length);
    if (family == 0) return Verdict::no;
    if (end_ - at < header_size + type_word_length) return Verdict::need_more;
    return read_le16_signed(bytes_ + at + header_size) == family ? Verdict::yes : Verdict::no;
}

// What follows a chunk that ends at `at`: a plausible header, a header of
// corrupted length that is skipped because a plausible one follows it, the
// end of a receive or the end of the input.
ChunkStream::Verdict ChunkStream::boundary(std::size_t at, bool past_a_corrupted_header) const {
    if (at == end_ && (ends_at_receive_ || ended_)) return Verdict::yes;
    const Verdict v = plausible(at);
    if (v == Verdict::no && !past_a_corrupted_header && bad_length(at)) return boundary(at + header_size, true);
    // The last few bytes of an input are no chunk, whatever they are: they
    // cannot speak against the chunk before them.
    if (v == Verdict::need_more && ended_) return Verdict::yes;
    return v;
}

// The chunk at `at` (whose length is in range) is followed by a boundary.
ChunkStream::Verdict ChunkStream::confirmed(std::size_t at) const {
    const std::size_t whole = header_size + static_cast<std::size_t>(length_at(at));
    if (end_ - at < whole) return Verdict::need_more;
    return boundary(at + whole, false);
}

// A plausible chunk at `at`, in step, whose end is no boundary: either junk
// follows it, or bytes were torn out of it and the next chunk begins inside
// it. A boundary inside it says which, and only a strong one counts, since
// payload bytes are no junk: small numbers read as a configuration packet's
// length all too often. So the header there must name a family (or be a
// WUA2 packet's), and the header after its chunk must be plausible in turn.
// `decide_now`: a place that needs bytes not received yet counts as none.
ChunkStream::Verdict ChunkStream::boundary_inside(std::size_t at, bool decide_now) const {
    const std::size_t whole = header_size + static_cast<std::size_t>(length_at(at));
    for (std::size_t p = at + 1; p < at + whole; ++p) {
        Verdict v = plausible(p);
        if (v == Verdict::yes && length_at(p) == static_cast<std::int32_t>(config_packet_length)) v = Verdict::no;
        if (v == Verdict::yes) {
            const std::size_t next = p + header_size + static_cast<std::size_t>(length_at(p));
            v = end_ < next ? Verdict::need_more : boundary(next, true);
        }
        if (v == Verdict::need_more && (ended_ || decide_now)) v = Verdict::no;
        if (v != Verdict::no) return v;
    }
    return Verdict::no;
}

bool ChunkStream::next(Chunk& out) {
    for (;;) {
        if (!in_step_) {
            if (pending() == 0) return ended_ ? stop(0) : wait();
            Verdict v = plausible(begin_);
            if (v == Verdict::yes) v = confirmed(begin_);
            if (v == Verdict::need_more) {
                if (!ended_) return wait();
                // A plausible header whose chunk runs past the end of the
                // input is the chunk the end cut off.
                if (plausible(begin_) == Verdict::yes) return stop(pending());
                v = Verdict::no;
            }
            if (v == Verdict::no) {
                ++begin_;
                ++skipped_;
                continue;
            }
            in_step_ = true;
        }
        if (pending() == 0) return ended_ ? stop(0) : wait();
        if (pending() < header_size) return ended_ ? stop(pending()) : wait();
        if (bad_length(begin_)) {
            // A header whose length alone is bad is skipped when a plausible
            // header follows it; otherwise it was never a header, and its
            // bytes are searched like any others.
            Verdict v = plausible(begin_ + header_size);
            if (v == Verdict::need_more) {
                if (!ended_) return wait();
                v = Verdict::no;
            }
            if (v == Verdict::no) {
                in_step_ = false;
                continue;
            }
            return take(out);
        }
        const std::size_t whole = header_size + static_cast<std::size_t>(length_at(begin_));
        const Verdict known = plausible(begin_);
        if (pending() < whole) {
            if (!ended_) return wait();
            // In step, a header that is or may be plausible, cut by the end.
            if (known != Verdict::no) return stop(pending());
            in_step_ = false;
            continue;
        }
        Verdict v = confirmed(begin_);
        if (v != Verdict::yes && known == Verdict::yes) {
            // The header was vouched for by the chunk before it; only its end
            // is in doubt. When the next header is not all there yet and the
            // receive ended where the hub's write did, the bytes inside the
            // chunk decide: the hub's next write may be long in coming, and a
            // chunk is not held back for it.
            v = boundary_inside(begin_, v == Verdict::need_more && ends_at_receive_);
            if (v == Verdict::need_more) return wait();
            v = v == Verdict::yes ? Verdict::no : Verdict::yes;
        }
        if (v == Verdict::need_more) return wait();
        if (v == Verdict::no) {
            in_step_ = false;
            continue;
        }
        return take(out);
    }
}

bool ChunkStream::take(Chunk& out) {
    const unsigned char* head = bytes_ + begin_;
    std::size_t ssid_length = 0;
    while (ssid_length < ssid_size && head[ssid_length] != 0) ++ssid_length;
    out.ssid = std::string_view(reinterpret_cast<const char*>(head), ssid_length);
    out.length = length_at(begin_);
    out.payload = head + header_size;
    out.corrupted = bad_length(begin_);
    out.skipped = skipped_;
    out.offset = base_ + begin_;
    skipped_ = 0;
    begin_ += header_size + (out.corrupted ? 0 : static_cast<std::size_t>(out.length));
    return true;
}

bool ChunkStream::wait() {
    const std::size_t rest = end_ - begin_;
    if (begin_ != 0 && rest != 0) std::memmove(buffer_.data(), buffer_.data() + begin_, rest);
    base_ += begin_;
    begin_ = 0;
    end_ = rest;
    return false;
}

bool ChunkStream::stop(std::size_t cut_size) {
    tail_.skipped = skipped_;
    tail_.cut_offset = cut_size != 0 ? base_ + begin_ : 0;
    tail_.cut_size = cut_size;
    return false;
}

}  // namespace palvex

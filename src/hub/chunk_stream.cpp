#include "hub/chunk_stream.h"

#include <cstring>

#include "packets/byte_order.h"

namespace palvex {

ChunkStream::ChunkStream() : buffer_(capacity) {}

bool ChunkStream::next(Chunk& out) {
    const std::size_t available = end_ - begin_;
    if (available < header_size) {
        keep_rest();
        return false;
    }
    const unsigned char* head = buffer_.data() + begin_;
    std::size_t ssid_length = 0;
    while (ssid_length < ssid_size && head[ssid_length] != 0) ++ssid_length;
    out.ssid = std::string_view(reinterpret_cast<const char*>(head), ssid_length);
    out.length = read_le32_signed(head + ssid_size);
    out.payload = head + header_size;
    out.corrupted = out.length < 0 || static_cast<std::size_t>(out.length) > max_payload;
    if (out.corrupted) {
        begin_ += header_size;  // the bytes after it are read as the next header
        return true;
    }
    const std::size_t whole = header_size + static_cast<std::size_t>(out.length);
    if (available < whole) {
        keep_rest();
        return false;
    }
    begin_ += whole;
    return true;
}

void ChunkStream::keep_rest() {
    const std::size_t rest = end_ - begin_;
    if (begin_ != 0 && rest != 0) std::memmove(buffer_.data(), buffer_.data() + begin_, rest);
    begin_ = 0;
    end_ = rest;
}

}  // namespace palvex

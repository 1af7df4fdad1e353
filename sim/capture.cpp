#include "capture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "le_bytes.h"

namespace palvex_test {
namespace {

std::string count_of(std::uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// An SSID is six raw bytes: a message shows the ones that are no printable
// ASCII as \xNN.
std::string shown(const std::string& ssid) {
    std::string out;
    for (const unsigned char c : ssid) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            const char* hex = "0123456789abcdef";
            out += std::string("\\x") + hex[c >> 4] + hex[c & 15];
        }
    }
    return out;
}

}  // namespace

ChunkHeader read_chunk_header(const std::uint8_t* header) {
    ChunkHeader h;
    const auto zero = std::find(header, header + 6, 0);
    h.ssid.assign(reinterpret_cast<const char*>(header), static_cast<std::size_t>(zero - header));
    h.length = static_cast<std::int32_t>(get_le32(header + 6));
    return h;
}

CaptureReader::CaptureReader(const std::string& path, const std::string& name)
    : path_(name.empty() ? path : name), in_(path, std::ios::binary) {
    // A directory opens as a stream on Linux and reads as empty; say what it is.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw CaptureError("cannot read capture " + path_ + ": " + std::strerror(EISDIR));
    if (!in_) throw CaptureError("cannot read capture " + path_ + ": " + std::strerror(errno));
}

bool CaptureReader::next(CaptureChunk& c) {
    std::uint8_t h[chunk_header_size];
    c.offset = offset_;
    in_.read(reinterpret_cast<char*>(h), chunk_header_size);
    const auto got = static_cast<std::size_t>(in_.gcount());
    if (in_.bad()) throw CaptureError("cannot read capture " + path_ + ": " + std::strerror(errno));
    if (got == 0) return false;
    if (got < chunk_header_size)
        throw CaptureError("truncated capture " + path_ + ": the chunk at byte " + std::to_string(offset_) +
                           " has only " + count_of(got, "byte") + " of its 10-byte header");
    ChunkHeader header = read_chunk_header(h);
    c.ssid = std::move(header.ssid);
    c.length = header.length;
    c.corrupted = header.corrupted();
    offset_ += chunk_header_size;
    if (c.corrupted) return true;
    const auto length = static_cast<std::size_t>(c.length);
    c.payload.resize(length);
    in_.read(reinterpret_cast<char*>(c.payload.data()), static_cast<std::streamsize>(length));
    const auto present = static_cast<std::size_t>(in_.gcount());
    if (present < length)
        throw CaptureError("truncated capture " + path_ + ": the chunk at byte " + std::to_string(c.offset) +
                           " (SSID '" + shown(c.ssid) + "') needs " + count_of(length, "payload byte") + ", only " +
                           std::to_string(present) + " present");
    offset_ += length;
    return true;
}

CaptureWriter::CaptureWriter(const std::string& path) : path_(path), out_(path, std::ios::binary | std::ios::trunc) {
    if (!out_) throw CaptureError("cannot write " + path + ": " + std::strerror(errno));
}

void CaptureWriter::write(const std::uint8_t* chunk, std::size_t size) {
    out_.write(reinterpret_cast<const char*>(chunk), static_cast<std::streamsize>(size));
}

void CaptureWriter::close() {
    out_.close();
    if (!out_) throw CaptureError("cannot write " + path_ + ": " + std::strerror(errno));
}

}  // namespace palvex_test

#include "capture_reader.h"

#include <algorithm>
#include <cstring>

namespace palvex::capture {

CaptureReader::CaptureReader(std::FILE* file) : file_(file) {}

CaptureReader::CaptureReader(const unsigned char* data, std::size_t size)
    : stream_(data, size), input_ended_(true) {}

CaptureReader::~CaptureReader() {
    if (file_ != nullptr) std::fclose(file_);
}

std::unique_ptr<CaptureReader> CaptureReader::of_memory(const unsigned char* data, std::size_t size) {
    return std::unique_ptr<CaptureReader>(new CaptureReader(data, size));
}

std::unique_ptr<CaptureReader> CaptureReader::of_file(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    std::unique_ptr<CaptureReader> reader(new CaptureReader(file));
    // A directory opens as a file on some systems and fails on the first read.
    if (!reader->fill()) return nullptr;
    return reader;
}

std::unique_ptr<CaptureReader> CaptureReader::of_stream() {
    std::unique_ptr<CaptureReader> reader(new CaptureReader(nullptr));
    reader->pushed_ = true;
    return reader;
}

bool CaptureReader::fill() {
    const std::size_t room = stream_.receive_room();
    const std::size_t n = std::fread(stream_.receive_area(), 1, room, file_);
    stream_.received(n);
    if (n < room) {
        if (std::ferror(file_)) {
            read_error_ = true;
            return false;
        }
        finish();
    }
    return true;
}

std::size_t CaptureReader::push(const unsigned char* data, std::size_t size) {
    if (!pushed_ || input_ended_) return 0;
    const std::size_t n = std::min(size, stream_.receive_room());
    if (n == 0) return 0;
    std::memcpy(stream_.receive_area(), data, n);
    stream_.received(n);
    return n;
}

void CaptureReader::finish() {
    input_ended_ = true;
    stream_.end_of_input();
}

int CaptureReader::next(palvex_capture_chunk& out) {
    out = {};
    if (read_error_) return PALVEX_CAPTURE_READ_ERROR;
    ChunkStream::Chunk c{};
    for (;;) {
        if (stream_.next(c)) {
            if (c.corrupted) {
                corrupted_ += c.skipped + ChunkStream::header_size;
                continue;
            }
            std::memcpy(out.ssid, c.ssid.data(), c.ssid.size());
            out.length = static_cast<std::uint32_t>(c.length);
            out.payload = c.payload;
            out.offset = c.offset;
            out.skipped = corrupted_ + c.skipped;
            corrupted_ = 0;
            return PALVEX_CAPTURE_CHUNK;
        }
        if (input_ended_) {
            ended_ = true;
            return PALVEX_CAPTURE_END;
        }
        if (file_ == nullptr) return PALVEX_CAPTURE_MORE;
        if (!fill()) return PALVEX_CAPTURE_READ_ERROR;
    }
}

bool CaptureReader::tail(palvex_capture_tail& out) const {
    out = {};
    if (!ended_) return false;
    const ChunkStream::Tail& t = stream_.tail();
    out.skipped = corrupted_ + t.skipped;
    out.cut_offset = t.cut_offset;
    out.cut_size = t.cut_size;
    return true;
}

}  // namespace palvex::capture

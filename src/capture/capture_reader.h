// The object behind a palvex_capture handle: the library's chunk reader
// (ChunkStream) with one of three sources, a byte range read in place, a file
// read block by block into the stream's buffer, or bytes the host pushes in.
//
// Headers of corrupted length, which the hub's read loop reports one by one,
// are counted here into the bytes skipped before the next chunk: to a host
// reading a capture, they are one more stretch of damage.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "chunks/chunk_stream.h"
#include "palvex/capture.h"

namespace palvex::capture {

class CaptureReader {
public:
    static std::unique_ptr<CaptureReader> of_memory(const unsigned char* data, std::size_t size);
    // Null when the file cannot be opened or its first block not read.
    static std::unique_ptr<CaptureReader> of_file(const char* path);
    static std::unique_ptr<CaptureReader> of_stream();
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    std::size_t push(const unsigned char* data, std::size_t size);
    void finish();
    // A PALVEX_CAPTURE_* result; `out` is written in full either way.
    int next(palvex_capture_chunk& out);
    // False until next() has said PALVEX_CAPTURE_END; `out` is written in full either way.
    bool tail(palvex_capture_tail& out) const;

private:
    explicit CaptureReader(std::FILE* file);
    CaptureReader(const unsigned char* data, std::size_t size);
    bool fill();

    ChunkStream stream_;
    std::FILE* file_ = nullptr;
    bool pushed_ = false;          // a stream the host pushes into
    bool input_ended_ = false;
    bool read_error_ = false;
    bool ended_ = false;           // next() has said PALVEX_CAPTURE_END
    std::uint64_t corrupted_ = 0;  // bytes of corrupted headers since the last chunk
};

}  // namespace palvex::capture

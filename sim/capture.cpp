#include "capture.h"

#include <cerrno>
#include <cstring>

namespace palvex_test {

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

// palvex-decode's hold on a reader of the capture library (palvex/capture.h):
// closed however the holder ends, and its failures as exceptions.
#pragma once

#include <memory>
#include <string>

#include "capture.h"  // CaptureError
#include "palvex/capture.h"

namespace palvex_tools {

class CaptureReader {
public:
    // A file; throws CaptureError naming it as `name` when it cannot be read.
    CaptureReader(const std::string& path, const std::string& name)
        : reader_(palvex_capture_open_file(path.c_str())), name_(name) {
        if (!reader_) throw palvex_test::CaptureError("cannot read capture " + name_);
    }
    // A stream of bytes pushed in (push()), ended by finish().
    CaptureReader() : reader_(palvex_capture_open_stream()) {
        if (!reader_) throw palvex_test::CaptureError("no memory for a capture reader");
    }

    // The next chunk: PALVEX_CAPTURE_CHUNK, END or (a stream) MORE. Throws
    // CaptureError when the file cannot be read on.
    int next(palvex_capture_chunk& chunk) {
        const int why = palvex_capture_next(reader_.get(), &chunk);
        if (why < 0) throw palvex_test::CaptureError("cannot read capture " + name_ + " to its end");
        return why;
    }
    std::size_t push(const unsigned char* data, std::size_t size) {
        return static_cast<std::size_t>(palvex_capture_push(reader_.get(), data, size));
    }
    void finish() { palvex_capture_finish(reader_.get()); }
    // What the end left, once next() said PALVEX_CAPTURE_END.
    palvex_capture_tail tail() const {
        palvex_capture_tail t{};
        palvex_capture_tail_of(reader_.get(), &t);
        return t;
    }

private:
    struct Close {
        void operator()(palvex_capture* c) const { palvex_capture_close(c); }
    };
    std::unique_ptr<palvex_capture, Close> reader_;
    std::string name_;
};

}  // namespace palvex_tools

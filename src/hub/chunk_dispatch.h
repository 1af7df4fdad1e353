// What the read loop does with one chunk, as a unit of its own so that the
// fuzz target runs the loop's own code without a socket: record a new SSID,
// have the factory make or keep the board's decoder, and decode the chunk
// once for every context that wants the board.
#pragma once

#include <string>

#include "chunks/chunk_stream.h"
#include "palvex/palvex.h"

namespace palvex {

class ChunkDispatcher {
public:
    explicit ChunkDispatcher(data_callback_fn callback) : callback_(callback) {}

    // A chunk that cannot be decoded costs that chunk only: the loop goes on.
    void dispatch(const ChunkStream::Chunk& chunk);

private:
    data_callback_fn callback_;
    std::string ssid_;  // reused: no allocation per chunk
};

}  // namespace palvex

#include "record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "capture.h"
#include "capture_decode.h"
#include "capture_reader.h"
#include "command_line.h"
#include "hub_client.h"
#include "progress.h"

namespace palvex_tools {
namespace {

using std::chrono::milliseconds;

// Connects and greets the hub; `buf` then holds its answer, `n` bytes.
// Throws ToolError with the reason it did not.
std::unique_ptr<HubClient> greet(const std::string& host, std::vector<unsigned char>& buf, long& n) {
    auto hub = std::make_unique<HubClient>(host, milliseconds(3000));
    hub->send("Hello", 5);
    n = hub->receive(buf.data(), buf.size(), milliseconds(3000));
    if (n < 2 || buf[0] != 'O' || buf[1] != 'K')
        throw ToolError(n <= 0 ? "it did not answer the greeting"
                               : "it refused the greeting (reply '" +
                                     std::string(buf.begin(), buf.begin() + std::min<long>(n, 16)) + "')");
    return hub;
}

// A hub that is not up yet (or still booting) is tried again, a few times
// a second, until --wait has passed.
std::unique_ptr<HubClient> greet_waiting(Session& session, std::vector<unsigned char>& buf, long& n) {
    const Options& o = session.options();
    const auto start = Clock::now();
    const auto give_up = start + milliseconds(static_cast<long long>(o.wait * 1000));
    for (;;) {
        try {
            return greet(o.hub, buf, n);
        } catch (const ToolError& e) {
            if (Clock::now() >= give_up || session.signals().wait(milliseconds(250)))
                throw ToolError(no_connection(o.hub, Clock::now() - start, e.what()));
        }
    }
}

}  // namespace

int run_record(Session& session) {
    const Options& o = session.options();
    std::vector<unsigned char> buf(1 << 16);
    long n = 0;
    const std::unique_ptr<HubClient> client = greet_waiting(session, buf, n);
    HubClient& hub = *client;
    // The hub streams from its answer on: that is when the recording starts,
    // and the clock its BDF+ files get.
    const auto started = Clock::now();
    if (session.bdf()) session.bdf()->set_start(StartTime::at(std::chrono::system_clock::now()));
    // The capture file comes with the first whole chunk: a hub that sends
    // nothing leaves no empty file behind. Chunks are found by the capture
    // library's reader, as the library's read loop finds them, and written
    // as whole chunks; damage the hub sent is passed over and counted.
    std::unique_ptr<palvex_test::CaptureWriter> out;
    CaptureReader chunks_in;
    std::uint64_t chunks = 0, bytes = 0, skipped = 0;
    const auto record = [&] {
        palvex_capture_chunk c;
        int why;
        while ((why = chunks_in.next(c)) == PALVEX_CAPTURE_CHUNK) {
            if (!out) out = std::make_unique<palvex_test::CaptureWriter>(o.record);
            unsigned char header[10] = {};
            std::memcpy(header, c.ssid, std::strlen(c.ssid));
            for (int i = 0; i < 4; ++i) header[6 + i] = static_cast<unsigned char>(c.length >> (8 * i));
            out->write(header, sizeof header);
            out->write(c.payload, c.length);
            ++chunks;
            bytes += sizeof header + c.length;
            skipped += c.skipped;
        }
        return why;
    };
    const auto take = [&](const unsigned char* data, std::size_t size) {
        while (size != 0) {
            const std::size_t n = chunks_in.push(data, size);
            if (n == 0) break;  // never: the reader makes room as it gives out chunks
            data += n;
            size -= n;
            record();
        }
    };
    // What came with the "OK" is the stream's beginning.
    take(buf.data() + 2, static_cast<std::size_t>(n - 2));
    Progress progress;
    const auto deadline = started + milliseconds(static_cast<long long>(o.duration * 1000));
    bool hub_closed = false;
    while (Clock::now() < deadline) {
        if (session.signals().wait(milliseconds(0))) break;
        n = hub.receive(buf.data(), buf.size(), milliseconds(50));
        if (n < 0) {
            hub_closed = true;
            break;
        }
        take(buf.data(), static_cast<std::size_t>(n));
        progress.show("palvex-decode: recording " + o.record + ": " + plural(chunks, "chunk"));
    }
    hub.close();
    chunks_in.finish();
    record();
    const palvex_capture_tail tail = chunks_in.tail();
    skipped += tail.skipped;
    progress.clear();
    if (!out) {
        return exit_status("no row decoded: the hub at " + o.hub + " sent no whole chunk in " +
                           seconds_text(Clock::now() - started) + " s" +
                           (hub_closed ? " and closed the connection" : ""));
    }
    out->close();
    std::fprintf(stderr, "palvex-decode: recorded %s (%llu bytes) to %s%s\n", plural(chunks, "chunk").c_str(),
                 static_cast<unsigned long long>(bytes), o.record.c_str(),
                 hub_closed ? "; the hub closed the connection" : "");
    if (skipped)
        std::fprintf(stderr, "palvex-decode: skipped %s of the hub's stream, where no chunk boundary was found\n",
                     plural(skipped, "byte").c_str());
    if (tail.cut_size)
        std::fprintf(stderr, "palvex-decode: the last %s (an incomplete chunk) were not recorded\n",
                     plural(tail.cut_size, "byte").c_str());
    return run_capture(session, CaptureInput(o.record, session.signals()));
}

}  // namespace palvex_tools

// A stand-in for the Corvel hub, for tests, benchmarks and the simulator
// tool. It is a network peer of the library and nothing more: POSIX sockets,
// C++17 and one std::thread, no library code. That keeps it usable as the far
// end for the Windows DLL running under Wine while the hub runs natively.
//
// Life of a connection
//   The hub accepts every TCP connection, reads the client's greeting (the
//   library sends the 5 bytes "Hello"; whatever arrives is recorded, up to 5
//   bytes) and answers according to the reply policy: refuse_first() replies
//   for the first greetings, set_reply() for all later ones. A connection
//   whose reply begins with "OK" becomes the session: scripted sends go to it
//   and everything it sends afterwards is recorded and parsed as write
//   frames. Refused and unanswered connections are held open (and drained)
//   until the client closes them, so a test can see whether it did.
//
// Sending
//   send_bytes(), send_in_pieces(), close_client() and stream() are queued
//   and played, in order, on the session by the hub's thread. Items queued
//   while there is no session wait for one and start right after the
//   greeting reply, as a hub streams from its greeting on, whether or not the
//   host reads yet (set_session_gap() delays them). If the session ends
//   (either side closes it), the item in progress is discarded and the rest
//   of the queue waits for the next session; a stream in progress, like the
//   boards behind a real hub, goes on: the batch it was writing is lost
//   from where the connection broke, and the next batch goes to the next
//   session. set_stream_jitter() cuts a stream's writes at random places,
//   as a busy network does.
//
// Outages, driven by the test
//   drop_session() ends the session now (a reboot, a cable), whatever is
//   queued; refuse_next() refuses the next greetings; stop_listening() and
//   listen_again() make new connections fail at the TCP level, as a hub
//   that is booting does.
//
// Every blocking call takes a timeout; the hub's thread polls with short
// timeouts and ends by itself after the lifetime limit, so a broken test
// fails instead of hanging. All methods may be called from any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace palvex_test {

using Bytes = std::vector<std::uint8_t>;

// A write frame as the library sends it: trigger byte, N (uint32 LE), then N
// entries of 6-byte SSID, L (uint32 LE), L instruction bytes.
struct WriteFrame {
    struct Entry {
        std::string ssid;              // the SSID field up to its first zero byte
        std::array<char, 6> raw_ssid{};
        Bytes instruction;
    };
    std::uint8_t trigger = 0;
    std::uint32_t count = 0;
    std::vector<Entry> entries;        // always `count` entries
    Bytes raw;                         // the whole frame as received
};

// Parses one frame from the front of [data, data + size). Returns the number
// of bytes it took, or 0 when the bytes do not hold a whole frame yet.
std::size_t parse_write_frame(const std::uint8_t* data, std::size_t size, WriteFrame& out);

class FakeHub {
public:
    static constexpr std::uint16_t default_port = 5005;

    // What the hub does once a greeting has arrived.
    struct Reply {
        enum class Kind {
            send,    // send `bytes`
            close,   // close the connection without answering
            silent,  // answer nothing and keep the connection open
        };
        Kind kind = Kind::send;
        std::string bytes = "OK";
        std::chrono::milliseconds delay{0};  // wait this long before acting

        static Reply text(std::string s, std::chrono::milliseconds delay = {}) {
            return Reply{Kind::send, std::move(s), delay};
        }
        static Reply close_connection() { return Reply{Kind::close, {}, {}}; }
        static Reply none() { return Reply{Kind::silent, {}, {}}; }
    };

    // One accepted connection, as the hub saw it.
    struct Connection {
        Bytes greeting;            // received before the answer (at most 5 bytes)
        bool greeted = false;      // the greeting was complete (5 bytes, or a pause after fewer)
        bool answered = false;     // `reply` was sent
        std::string reply;
        bool session = false;      // became the session (its reply began with "OK")
        bool open = true;          // still open on the hub's side
        bool peer_closed = false;  // the client closed it (end of stream or reset)
    };

    using BatchMaker = std::function<Bytes(std::uint64_t index)>;

    // `address` is a numeric IPv6 address (no names are resolved); port 0
    // binds an ephemeral port, see port().
    explicit FakeHub(std::string address = "::1", std::uint16_t port = default_port);
    ~FakeHub();  // stop()
    FakeHub(const FakeHub&) = delete;
    FakeHub& operator=(const FakeHub&) = delete;

    // Binds (SO_REUSEADDR, IPV6_V6ONLY), listens and starts the hub's thread.
    // Throws std::invalid_argument for a bad address text, std::system_error
    // when the socket cannot be set up, std::logic_error on a second call.
    void start();
    // Closes every connection and the listener and joins the thread. Prompt
    // (well under a second) whatever the hub was doing; safe to repeat.
    void stop();
    // True from start() until stop() or the lifetime limit.
    bool running() const;
    // The bound port once started (the constructor's port before).
    std::uint16_t port() const;
    // The hub ends by itself this long after start() (default 120 s);
    // zero means never. Takes effect at start().
    void set_lifetime_limit(std::chrono::milliseconds limit);
    // Delay between the greeting reply and the first queued item (default 0).
    void set_session_gap(std::chrono::milliseconds gap);
    // From now on every stream batch is written in pieces cut at one to three
    // random places, with `pause` after each piece, so a reader's receives
    // end anywhere; `seed` makes the cuts repeatable.
    void set_stream_jitter(std::uint64_t seed, std::chrono::milliseconds pause = std::chrono::milliseconds(1));

    // --- greeting ---------------------------------------------------------
    void set_reply(Reply reply);              // default Reply::text("OK")
    void set_reply(const std::string& text);  // "" closes without answering
    // The first `n` greetings get `refusal`, later ones the set_reply() policy.
    void refuse_first(std::size_t n, Reply refusal = Reply::text("NO"));
    // The next `n` greetings from now on get `refusal`.
    void refuse_next(std::size_t n, Reply refusal = Reply::text("NO"));
    // Closes the listener (connection attempts are refused by the system)
    // or opens it again on the same port; both return once it is done.
    void stop_listening();
    void listen_again();

    std::size_t accepted_count() const;   // TCP connections accepted
    std::size_t greeting_count() const;   // greetings completed
    std::vector<Connection> connections() const;  // in accept order
    bool has_session() const;             // a session is open now
    bool wait_for_connections(std::size_t n, std::chrono::milliseconds timeout) const;
    bool wait_for_greetings(std::size_t n, std::chrono::milliseconds timeout) const;
    bool wait_for_session(std::chrono::milliseconds timeout) const;
    // Waits until the client has closed connection `index` (accept order).
    bool wait_for_peer_close(std::size_t index, std::chrono::milliseconds timeout) const;

    // --- sending (queued, played on the session in order) ----------------
    // One send call for the whole buffer (TCP_NODELAY is set, so it leaves
    // at once; a receiver waiting in recv normally gets it in one piece).
    void send_bytes(Bytes data);
    // Splits `data` at the ascending offsets `cut_points` (each inside the
    // buffer) and sends the pieces with `pause` after each, so a waiting
    // receiver gets them in separate receives. Throws std::invalid_argument
    // for cut points that are unsorted or outside (0, size).
    void send_in_pieces(Bytes data, std::vector<std::size_t> cut_points,
                        std::chrono::milliseconds pause = std::chrono::milliseconds(10));
    // Closes the session once the items queued before it are played;
    // `reset` makes it an abortive close (RST).
    void close_client(bool reset = false);
    // Closes the session now, in the middle of whatever it was sending, and
    // returns once it is closed (false if there was none within `timeout`).
    bool drop_session(bool reset = false, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    std::size_t sessions_count() const;  // connections that became the session so far
    // Waits until the queue is empty and nothing is in progress.
    bool wait_sent(std::chrono::milliseconds timeout) const;
    bool send_and_wait(Bytes data, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    void clear_queue();  // drops queued items (not the one in progress)

    // --- streaming --------------------------------------------------------
    // Queues a stream: make_batch(0 .. batches-1) is called on the hub's
    // thread, one batch at a time, and each batch is written with as few
    // send calls as the socket allows. The receiver sees one continuous byte
    // stream: receives are not aligned with chunks or batches.
    void stream(BatchMaker make_batch, std::uint64_t batches);
    // Ends the running stream at its next batch boundary and drops queued ones.
    void stop_stream();
    std::uint64_t bytes_sent() const;        // on any session, everything queued
    std::uint64_t batches_streamed() const;  // batches written completely

    // --- receiving (everything a session sent after its greeting) --------
    // false: the hub stops reading the session (a hub that hangs), so the
    // client's sends fill the connection and then block; true reads again.
    void set_session_reading(bool reading);
    Bytes received() const;
    std::size_t received_size() const;
    bool wait_for_bytes(std::size_t n, std::chrono::milliseconds timeout) const;
    std::vector<WriteFrame> frames() const;
    bool wait_for_frames(std::size_t n, std::chrono::milliseconds timeout) const;
    // Bytes of the session received past its last complete frame.
    std::size_t pending_frame_bytes() const;
    // Forgets what was received and parsed so far (a partial frame in
    // progress is still completed and reported later).
    void clear_received();

private:
    void want_listener(bool wanted);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace palvex_test

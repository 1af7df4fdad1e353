// The fake hub, exercised by a plain POSIX client on [::1] and an ephemeral
// port (port 5005 belongs to the library's hub tests).
#include "fake_hub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "packet_builder.h"

namespace palvex_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A bare client, as the library's transport would be: blocking socket with a
// receive time-out so no test can hang on it.
class Client {
public:
    explicit Client(std::uint16_t port, std::chrono::milliseconds recv_timeout = 2000ms) {
        fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        timeval tv{static_cast<time_t>(recv_timeout.count() / 1000),
                   static_cast<suseconds_t>(recv_timeout.count() % 1000 * 1000)};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(port);
        sa.sin6_addr = in6addr_loopback;
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    void send(const Bytes& b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }
    void send(const std::string& s) { send(bytes_of(s)); }

    // One receive; the result of recv, with the bytes in `out`.
    ssize_t recv_once(Bytes& out, std::size_t capacity = 1 << 20) {
        out.resize(capacity);
        const ssize_t n = ::recv(fd_, out.data(), capacity, 0);
        last_errno_ = n < 0 ? errno : 0;
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return n;
    }
    // Receives until `n` bytes arrived or a receive fails.
    Bytes recv_exact(std::size_t n) {
        Bytes all, part;
        while (all.size() < n && recv_once(part, n - all.size()) > 0) all.insert(all.end(), part.begin(), part.end());
        return all;
    }
    int last_errno() const { return last_errno_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    int last_errno_ = 0;
};

// A hub on an ephemeral port and a client that has been greeted with "OK".
struct Session {
    FakeHub hub{"::1", 0};
    std::unique_ptr<Client> client;
    Session() {
        hub.start();
        client = std::make_unique<Client>(hub.port());
        client->send("Hello");
        Bytes reply;
        client->recv_once(reply);
        EXPECT_EQ(text_of(reply), "OK");
        EXPECT_TRUE(hub.wait_for_session(2s));
    }
};

// ---------------------------------------------------------------- greeting

struct ReplyCase {
    const char* name;
    FakeHub::Reply reply;
    ssize_t recv_result;        // of the client's receive after "Hello"
    std::string client_gets;
    bool session;
    bool answered;
    bool open_after;
};

TEST(FakeHubGreeting, AnswersByThePolicy) {
    const ReplyCase cases[] = {
        {"OK", FakeHub::Reply::text("OK"), 2, "OK", true, true, true},
        {"lower-case ok", FakeHub::Reply::text("ok"), 2, "ok", false, true, true},
        {"NO", FakeHub::Reply::text("NO"), 2, "NO", false, true, true},
        {"OK with more", FakeHub::Reply::text("OK plus more bytes"), 18, "OK plus more bytes", true, true, true},
        {"close", FakeHub::Reply::close_connection(), 0, "", false, false, false},
        {"silent", FakeHub::Reply::none(), -1, "", false, false, true},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHub hub("::1", 0);
        hub.set_reply(c.reply);
        hub.start();
        ASSERT_NE(hub.port(), 0);
        Client client(hub.port(), 300ms);
        ASSERT_TRUE(client.connected());
        client.send("Hello");
        Bytes got;
        EXPECT_EQ(client.recv_once(got), c.recv_result);
        EXPECT_EQ(text_of(got), c.client_gets);
        if (c.recv_result < 0) EXPECT_EQ(client.last_errno(), EAGAIN);

        ASSERT_TRUE(hub.wait_for_greetings(1, 2s));
        EXPECT_EQ(hub.accepted_count(), 1u);
        EXPECT_EQ(hub.has_session(), c.session);
        const auto conns = hub.connections();
        ASSERT_EQ(conns.size(), 1u);
        EXPECT_EQ(text_of(conns[0].greeting), "Hello");
        EXPECT_TRUE(conns[0].greeted);
        EXPECT_EQ(conns[0].answered, c.answered);
        EXPECT_EQ(conns[0].reply, c.answered ? c.client_gets : "");
        EXPECT_EQ(conns[0].session, c.session);
        EXPECT_EQ(conns[0].open, c.open_after);
        EXPECT_FALSE(conns[0].peer_closed);
    }
}

TEST(FakeHubGreeting, EmptyReplyTextClosesWithoutAnswer) {
    FakeHub hub("::1", 0);
    hub.set_reply("");
    hub.start();
    Client client(hub.port());
    client.send("Hello");
    Bytes got;
    EXPECT_EQ(client.recv_once(got), 0);
    EXPECT_EQ(hub.greeting_count(), 1u);
}

TEST(FakeHubGreeting, RefusesFirstAttemptsThenAcceptsAndHoldsRefusedOpen) {
    FakeHub hub("::1", 0);
    hub.refuse_first(4);
    hub.start();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        clients.push_back(std::make_unique<Client>(hub.port()));
        clients.back()->send("Hello");
        Bytes got;
        clients.back()->recv_once(got);
        EXPECT_EQ(text_of(got), i < 4 ? "NO" : "OK");
    }
    ASSERT_TRUE(hub.wait_for_session(2s));
    EXPECT_EQ(hub.accepted_count(), 5u);
    EXPECT_EQ(hub.greeting_count(), 5u);
    auto conns = hub.connections();
    ASSERT_EQ(conns.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(conns[i].session, i == 4) << i;
        EXPECT_TRUE(conns[i].open) << i;
    }

    // What a refused connection sends is not the session's data.
    clients[1]->send(Bytes{1, 0, 0, 0, 0});
    clients[4]->send(Bytes{0, 0, 0, 0, 0});
    ASSERT_TRUE(hub.wait_for_frames(1, 2s));
    EXPECT_EQ(hub.received(), (Bytes{0, 0, 0, 0, 0}));

    // The hub notices a refused client going away.
    clients[0]->close();
    EXPECT_TRUE(hub.wait_for_peer_close(0, 2s));
    conns = hub.connections();
    EXPECT_FALSE(conns[0].open);
    EXPECT_FALSE(conns[1].peer_closed);
}

TEST(FakeHubGreeting, RecordsIncompleteGreetingOfAClientThatLeaves) {
    FakeHub hub("::1", 0);
    hub.start();
    {
        Client client(hub.port());
        client.send("Hel");
        ASSERT_TRUE(hub.wait_for_connections(1, 2s));
    }
    ASSERT_TRUE(hub.wait_for_peer_close(0, 2s));
    const auto c = hub.connections().at(0);
    EXPECT_EQ(text_of(c.greeting), "Hel");
    EXPECT_FALSE(c.greeted);
    EXPECT_FALSE(c.answered);
    EXPECT_EQ(hub.greeting_count(), 0u);
}

TEST(FakeHubGreeting, DelayedReplyArrivesAfterTheDelay) {
    FakeHub hub("::1", 0);
    hub.set_reply(FakeHub::Reply::text("OK", 300ms));
    hub.start();
    Client client(hub.port());
    const auto t0 = Clock::now();
    client.send("Hello");
    Bytes got;
    client.recv_once(got);
    EXPECT_EQ(text_of(got), "OK");
    EXPECT_GE(ms_since(t0), 280);
}

// ----------------------------------------------------------------- sending

// A hub streams from its greeting on: what was queued follows the reply at
// once, and may share the client's first receive with it; a session gap
// keeps the two apart.
TEST(FakeHubSending, ItemsQueuedBeforeTheSessionFollowTheReply) {
    const Bytes chunk = hub_chunk("AB12", packet_of(MES_4, 0));
    for (const auto gap : {0ms, 100ms}) {
        SCOPED_TRACE(gap.count());
        FakeHub hub("::1", 0);
        hub.set_session_gap(gap);
        hub.send_bytes(chunk);
        hub.start();
        Client client(hub.port());
        client.send("Hello");
        if (gap > 0ms) {
            Bytes reply;
            client.recv_once(reply);
            EXPECT_EQ(text_of(reply), "OK");
        }
        ASSERT_TRUE(hub.wait_sent(2s));
        const Bytes got = client.recv_exact(chunk.size() + (gap > 0ms ? 0 : 2));
        EXPECT_EQ(got, gap > 0ms ? chunk : concat({bytes_of("OK"), chunk}));
    }
}

TEST(FakeHubSending, SendBytesArrivesInOneReceive) {
    Session s;
    Bytes big;
    for (std::uint32_t n = 0; big.size() < 20000; n += 2) {
        const Bytes c = hub_chunk("B" + std::to_string(n % 7), packet_of(WUA2, n));
        big.insert(big.end(), c.begin(), c.end());
    }
    ASSERT_TRUE(s.hub.send_and_wait(big));
    Bytes got;
    s.client->recv_once(got);
    EXPECT_EQ(got.size(), big.size());
    EXPECT_EQ(got, big);
    EXPECT_EQ(s.hub.bytes_sent(), big.size());
}

TEST(FakeHubSending, PiecesArriveAsSeparateReceives) {
    Session s;
    const Bytes data = concat({hub_chunk("AAAAAA", packet_of(MES_2, 4)), hub_chunk("BBB", packet_of(IMP_3, 8))});
    const std::vector<std::size_t> cuts = {4, 10, 85};  // inside a header, at a payload start, mid-payload
    s.hub.send_in_pieces(data, cuts, 60ms);
    const std::size_t bounds[] = {0, 4, 10, 85, data.size()};
    for (int i = 0; i < 4; ++i) {
        Bytes got;
        s.client->recv_once(got);
        EXPECT_EQ(got, Bytes(data.begin() + bounds[i], data.begin() + bounds[i + 1])) << "piece " << i;
    }
    EXPECT_TRUE(s.hub.wait_sent(2s));
}

TEST(FakeHubSending, RejectsBadCutPoints) {
    FakeHub hub("::1", 0);
    const Bytes data(10, 7);
    for (const auto& cuts : std::vector<std::vector<std::size_t>>{{0}, {10}, {11}, {5, 5}, {6, 3}}) {
        EXPECT_THROW(hub.send_in_pieces(data, cuts), std::invalid_argument);
    }
    EXPECT_TRUE(hub.wait_sent(0ms));  // nothing was queued
}


TEST(FakeHubSending, CloseClientEndsTheSessionAfterQueuedBytes) {
    struct Case {
        bool reset;
        ssize_t recv_result;
        int err;
    };
    for (const Case c : {Case{false, 0, 0}, Case{true, -1, ECONNRESET}}) {
        SCOPED_TRACE(c.reset ? "reset" : "orderly");
        Session s;
        if (!c.reset) s.hub.send_bytes(Bytes{1, 2, 3});
        s.hub.close_client(c.reset);
        ASSERT_TRUE(s.hub.wait_sent(2s));
        EXPECT_FALSE(s.hub.has_session());
        Bytes got;
        if (!c.reset) {
            EXPECT_EQ(s.client->recv_exact(3), (Bytes{1, 2, 3}));
        }
        EXPECT_EQ(s.client->recv_once(got), c.recv_result);
        EXPECT_EQ(s.client->last_errno(), c.err);
        const auto conn = s.hub.connections().at(0);
        EXPECT_FALSE(conn.open);
        EXPECT_FALSE(conn.peer_closed);
    }
}

TEST(FakeHubSending, WaitSentTimesOutWithoutSession) {
    FakeHub hub("::1", 0);
    hub.start();
    hub.send_bytes(Bytes{1});
    const auto t0 = Clock::now();
    EXPECT_FALSE(hub.wait_sent(100ms));
    EXPECT_LT(ms_since(t0), 1000);
    hub.clear_queue();
    EXPECT_TRUE(hub.wait_sent(0ms));
}

// --------------------------------------------------------------- receiving

Bytes frame_bytes(std::uint8_t trigger, const std::vector<std::pair<Bytes, Bytes>>& entries) {
    Bytes f{trigger};
    auto le32 = [&f](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) f.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    le32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& [ssid, instr] : entries) {
        f.insert(f.end(), ssid.begin(), ssid.end());
        le32(static_cast<std::uint32_t>(instr.size()));
        f.insert(f.end(), instr.begin(), instr.end());
    }
    return f;
}

const Bytes frame_a = frame_bytes(1, {{bytes_of("abcdef"), {1, 2, 3, 4, 5}},
                                      {Bytes{'x', 'y', 'z', 0, 'q', 'r'}, {9, 8, 7, 6, 5}},
                                      {Bytes{'E', 'M', 'P', 'T', 'Y', 0}, {}}});
const Bytes frame_b = frame_bytes(0, {});

void expect_frame_a(const WriteFrame& f) {
    EXPECT_EQ(f.trigger, 1);
    EXPECT_EQ(f.count, 3u);
    ASSERT_EQ(f.entries.size(), 3u);
    EXPECT_EQ(f.entries[0].ssid, "abcdef");
    EXPECT_EQ(f.entries[0].instruction, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(f.entries[1].ssid, "xyz");
    EXPECT_EQ(f.entries[1].raw_ssid, (std::array<char, 6>{'x', 'y', 'z', 0, 'q', 'r'}));
    EXPECT_EQ(f.entries[1].instruction, (Bytes{9, 8, 7, 6, 5}));
    EXPECT_EQ(f.entries[2].ssid, "EMPTY");
    EXPECT_TRUE(f.entries[2].instruction.empty());
    EXPECT_EQ(f.raw, frame_a);
}

TEST(FakeHubReceiving, ParseNeedsTheWholeFrame) {
    for (std::size_t n = 0; n < frame_a.size(); ++n) {
        WriteFrame f;
        EXPECT_EQ(parse_write_frame(frame_a.data(), n, f), 0u) << n;
    }
    Bytes two = concat({frame_a, frame_b});
    WriteFrame f;
    ASSERT_EQ(parse_write_frame(two.data(), two.size(), f), frame_a.size());
    expect_frame_a(f);
    // A length field claiming more than is there never reads past the end.
    Bytes huge = frame_bytes(0, {{bytes_of("AAAAAA"), {}}});
    huge[11] = 0xFF;
    huge[12] = 0xFF;
    huge[13] = 0xFF;
    huge[14] = 0xFF;
    EXPECT_EQ(parse_write_frame(huge.data(), huge.size(), f), 0u);
}

TEST(FakeHubReceiving, FramesParsedFromBytesCutInPieces) {
    const Bytes partial(frame_a.begin(), frame_a.begin() + 7);
    const Bytes all = concat({frame_a, frame_b, partial});
    std::vector<std::size_t> every_byte;
    for (std::size_t i = 1; i < all.size(); ++i) every_byte.push_back(i);
    const struct {
        const char* name;
        std::vector<std::size_t> cuts;
    } cases[] = {
        {"one send", {}},
        {"awkward cuts", {3, 8, 13, 20, frame_a.size(), frame_a.size() + 2, frame_a.size() + 5}},
        {"byte by byte", every_byte},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Session s;
        std::size_t prev = 0;
        for (std::size_t cut : c.cuts) {
            s.client->send(Bytes(all.begin() + prev, all.begin() + cut));
            prev = cut;
            if (c.cuts.size() < 20) std::this_thread::sleep_for(5ms);
        }
        s.client->send(Bytes(all.begin() + prev, all.end()));
        ASSERT_TRUE(s.hub.wait_for_bytes(all.size(), 3s));
        ASSERT_TRUE(s.hub.wait_for_frames(2, 1s));
        EXPECT_EQ(s.hub.received(), all);  // the greeting is not part of it
        const auto frames = s.hub.frames();
        ASSERT_EQ(frames.size(), 2u);
        expect_frame_a(frames[0]);
        EXPECT_EQ(frames[1].trigger, 0);
        EXPECT_EQ(frames[1].count, 0u);
        EXPECT_EQ(frames[1].raw, frame_b);
        EXPECT_EQ(s.hub.pending_frame_bytes(), partial.size());

        // Completing the partial frame after a clear reports it alone.
        s.hub.clear_received();
        s.client->send(Bytes(frame_a.begin() + 7, frame_a.end()));
        ASSERT_TRUE(s.hub.wait_for_frames(1, 2s));
        expect_frame_a(s.hub.frames().at(0));
        EXPECT_EQ(s.hub.received(), Bytes(frame_a.begin() + 7, frame_a.end()));
        EXPECT_EQ(s.hub.pending_frame_bytes(), 0u);
    }
}

// --------------------------------------------------------------- streaming

Bytes batch_of(std::uint64_t index, std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(index * 31 + i);
    return b;
}

TEST(FakeHubStreaming, DeliversEveryBatchInOrder) {
    Session s;
    constexpr std::size_t batch = 256 * 1024;
    constexpr std::uint64_t batches = 64;
    std::atomic<bool> content_ok{true};
    std::atomic<std::uint64_t> got_total{0};
    std::thread reader([&] {
        Bytes part;
        std::uint64_t pos = 0;
        while (pos < batch * batches && s.client->recv_once(part) > 0) {
            for (std::uint8_t v : part) {
                if (v != static_cast<std::uint8_t>((pos / batch) * 31 + pos % batch)) content_ok = false;
                ++pos;
            }
        }
        got_total = pos;
    });
    const auto t0 = Clock::now();
    s.hub.stream([](std::uint64_t i) { return batch_of(i, batch); }, batches);
    EXPECT_TRUE(s.hub.wait_sent(20s));
    reader.join();
    const auto ms = std::max<long long>(1, ms_since(t0));
    EXPECT_EQ(got_total.load(), batch * batches);
    EXPECT_TRUE(content_ok);
    EXPECT_EQ(s.hub.bytes_sent(), batch * batches);
    EXPECT_EQ(s.hub.batches_streamed(), batches);
    RecordProperty("stream_mb_per_s", std::to_string(batch * batches / 1000 / ms));
}

// With jitter a reader's receives end inside batches, and nothing is lost,
// added or reordered on the way.
TEST(FakeHubStreaming, JitteredStreamIsCutInsideBatchesAndArrivesWhole) {
    Session s;
    // Pauses long enough for a reader slowed by a sanitizer to take every piece apart.
    s.hub.set_stream_jitter(42, 5ms);
    constexpr std::size_t batch = 3000;
    constexpr std::uint64_t batches = 20;
    std::vector<std::size_t> ends;  // stream offsets where receives ended
    Bytes all;
    std::thread reader([&] {
        Bytes part;
        while (all.size() < batch * batches && s.client->recv_once(part) > 0) {
            all.insert(all.end(), part.begin(), part.end());
            ends.push_back(all.size());
        }
    });
    s.hub.stream([](std::uint64_t i) { return batch_of(i, batch); }, batches);
    EXPECT_TRUE(s.hub.wait_sent(10s));
    reader.join();
    Bytes expected;
    for (std::uint64_t i = 0; i < batches; ++i) {
        const Bytes b = batch_of(i, batch);
        expected.insert(expected.end(), b.begin(), b.end());
    }
    EXPECT_EQ(all, expected);
    const auto inside = std::count_if(ends.begin(), ends.end(), [](std::size_t e) { return e % batch != 0; });
    EXPECT_GE(inside, static_cast<long>(batches / 2)) << ends.size() << " receives";
}

TEST(FakeHubStreaming, StopStreamEndsAtABatchBoundary) {
    Session s;
    constexpr std::size_t batch = 10000;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        Bytes part;
        while (!done && s.client->recv_once(part, 65536) > 0) {
        }
    });
    s.hub.stream([](std::uint64_t i) { return batch_of(i, batch); }, UINT64_MAX);
    s.hub.stream([](std::uint64_t i) { return batch_of(i, batch); }, UINT64_MAX);  // dropped by stop_stream
    while (s.hub.bytes_sent() < 10 * batch) std::this_thread::sleep_for(1ms);
    s.hub.stop_stream();
    EXPECT_TRUE(s.hub.wait_sent(2s));
    EXPECT_EQ(s.hub.bytes_sent(), s.hub.batches_streamed() * batch);
    EXPECT_GE(s.hub.batches_streamed(), 10u);
    done = true;
    s.hub.stop();
    reader.join();
}

// --------------------------------------------------------------- lifecycle

TEST(FakeHubLifecycle, StopIsPromptWhateverTheHubIsDoing) {
    FakeHub hub("::1", 0);
    hub.refuse_first(1, FakeHub::Reply::none());
    hub.start();
    Client silent(hub.port());
    silent.send("Hello");
    ASSERT_TRUE(hub.wait_for_greetings(1, 2s));
    Client stalled(hub.port());  // greeted, then never reads a stream
    stalled.send("Hello");
    ASSERT_TRUE(hub.wait_for_session(2s));
    Client mute(hub.port());  // never greets
    ASSERT_TRUE(hub.wait_for_connections(3, 2s));
    hub.stream([](std::uint64_t i) { return batch_of(i, 1 << 20); }, UINT64_MAX);
    while (hub.bytes_sent() == 0) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(200ms);  // the socket buffers are full by now

    std::atomic<bool> waiter_done{false};
    std::thread waiter([&] {
        hub.wait_for_frames(1, 30s);
        waiter_done = true;
    });
    const auto t0 = Clock::now();
    hub.stop();
    EXPECT_LT(ms_since(t0), 500);
    waiter.join();
    EXPECT_LT(ms_since(t0), 1000);
    EXPECT_FALSE(hub.running());
    for (const auto& c : hub.connections()) EXPECT_FALSE(c.open);
    hub.stop();  // again: harmless
}

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// An idle hub with a session and an emptied queue must sleep in poll, not spin.
TEST(FakeHubLifecycle, IdleHubDoesNotSpin) {
    Session s;
    ASSERT_TRUE(s.hub.send_and_wait(Bytes{1, 2, 3}));
    const double before = cpu_seconds();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(cpu_seconds() - before, 0.1);
}

TEST(FakeHubLifecycle, EndsByItselfAfterTheLifetimeLimit) {
    FakeHub hub("::1", 0);
    hub.set_lifetime_limit(200ms);
    hub.start();
    EXPECT_TRUE(hub.running());
    const auto t0 = Clock::now();
    EXPECT_FALSE(hub.wait_for_session(10s));
    EXPECT_LT(ms_since(t0), 2000);
    EXPECT_FALSE(hub.running());
    Client late(hub.port());
    EXPECT_FALSE(late.connected());
}

TEST(FakeHubLifecycle, StartFailuresAreReported) {
    FakeHub first("::1", 0);
    first.start();
    EXPECT_THROW(first.start(), std::logic_error);
    FakeHub same_port("::1", first.port());
    EXPECT_THROW(same_port.start(), std::system_error);
    FakeHub by_name("localhost", 0);
    EXPECT_THROW(by_name.start(), std::invalid_argument);
    FakeHub v4("127.0.0.1", 0);
    EXPECT_THROW(v4.start(), std::invalid_argument);
}

TEST(FakeHubLifecycle, DefaultsToPort5005BeforeStart) {
    FakeHub hub;  // not started: nothing is bound
    EXPECT_EQ(hub.port(), 5005);
    EXPECT_FALSE(hub.running());
}

}  // namespace
}  // namespace palvex_test

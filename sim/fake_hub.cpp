#include "fake_hub.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "le_bytes.h"

namespace palvex_test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t greeting_size = 5;
// A partial greeting is answered after this pause.
constexpr milliseconds greeting_pause{500};
// Upper bound of every wait of the hub's thread, so stop() is seen quickly.
constexpr milliseconds poll_slice{20};
// A blocked send gives up after this and lets the loop look around.
constexpr int send_timeout_ms = 50;

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool transient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

}  // namespace

std::size_t parse_write_frame(const std::uint8_t* data, std::size_t size, WriteFrame& out) {
    if (size < 5) return 0;
    WriteFrame f;
    f.trigger = data[0];
    f.count = get_le32(data + 1);
    std::size_t pos = 5;
    for (std::uint32_t i = 0; i < f.count; ++i) {
        if (size - pos < 10) return 0;
        WriteFrame::Entry e;
        std::memcpy(e.raw_ssid.data(), data + pos, 6);
        const auto zero = std::find(e.raw_ssid.begin(), e.raw_ssid.end(), '\0');
        e.ssid.assign(e.raw_ssid.begin(), zero);
        const std::uint32_t len = get_le32(data + pos + 6);
        pos += 10;
        if (size - pos < len) return 0;
        e.instruction.assign(data + pos, data + pos + len);
        pos += len;
        f.entries.push_back(std::move(e));
    }
    f.raw.assign(data, data + pos);
    out = std::move(f);
    return pos;
}

struct FakeHub::Impl {
    struct Item {
        enum class Kind { bytes, close, stream } kind = Kind::bytes;
        Bytes data;
        milliseconds pause_after{0};
        bool reset = false;
        BatchMaker make;
        std::uint64_t batches = 0;
    };

    // Server-thread view of one connection.
    struct Conn {
        enum class Phase { greeting, answering, held, session };
        int fd = -1;
        std::size_t index = 0;  // into infos
        Phase phase = Phase::greeting;
        Bytes greeting;
        Clock::time_point first_byte{};
        Clock::time_point answer_at{};
        Reply reply;
        Bytes frame_bytes;  // session bytes not yet forming a whole frame
    };

    std::string address;
    std::uint16_t requested_port;

    // --- shared with callers, guarded by m ---
    mutable std::mutex m;
    mutable std::condition_variable cv;
    std::uint16_t bound_port = 0;
    bool started = false;
    bool ended = false;  // the thread has finished (stop or lifetime)
    milliseconds lifetime{120000};
    milliseconds session_gap{20};
    Reply reply;
    Reply refusal = Reply::text("NO");
    std::size_t refuse_n = 0;
    std::size_t accepted = 0;
    std::size_t greetings = 0;
    std::size_t replies_chosen = 0;  // hub thread only
    std::vector<Connection> infos;
    bool session_open = false;
    std::deque<Item> queue;
    bool busy = false;             // an item is in progress
    bool busy_streaming = false;   // ... and it is a stream
    Bytes received;
    std::vector<WriteFrame> frames;
    std::size_t pending_frame = 0;

    std::atomic<bool> stop_requested{false};
    std::atomic<bool> stop_stream_requested{false};
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> batches_done{0};

    std::mutex lifecycle;  // serialises start() and stop()
    std::thread thread;
    int wake_pipe[2] = {-1, -1};

    // --- owned by the hub's thread ---
    int listen_fd = -1;
    std::vector<Conn> conns;
    int session_fd = -1;
    Clock::time_point session_ready{};
    std::optional<Item> cur;
    std::size_t cur_off = 0;
    bool pausing = false;
    Clock::time_point pause_until{};
    std::uint64_t next_batch = 0;
    Bytes batch;

    // The pipe lives as long as the object, so wake() is safe from any
    // thread at any time, before start() and after stop() included.
    Impl(std::string a, std::uint16_t p) : address(std::move(a)), requested_port(p) {
        if (::pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "FakeHub pipe");
    }
    ~Impl() {
        close_fd(wake_pipe[0]);
        close_fd(wake_pipe[1]);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void wake() {
        if (wake_pipe[1] >= 0) {
            const char c = 1;
            [[maybe_unused]] auto r = ::write(wake_pipe[1], &c, 1);
        }
    }

    void enqueue(Item item) {
        {
            std::lock_guard<std::mutex> lk(m);
            queue.push_back(std::move(item));
        }
        wake();
    }

    template <class Pred>
    bool wait(milliseconds timeout, Pred pred) const {
        std::unique_lock<std::mutex> lk(m);
        cv.wait_for(lk, timeout, [&] { return pred() || ended; });
        return pred();
    }

    void start() {
        std::lock_guard<std::mutex> life(lifecycle);
        {
            std::lock_guard<std::mutex> lk(m);
            if (started) throw std::logic_error("FakeHub::start called twice");
        }
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(requested_port);
        if (inet_pton(AF_INET6, address.c_str(), &sa.sin6_addr) != 1)
            throw std::invalid_argument("FakeHub: not a numeric IPv6 address: " + address);

        int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::system_error(errno, std::generic_category(), "FakeHub socket");
        const int one = 1;
        auto fail = [&](const char* what) {
            const int err = errno;
            ::close(fd);
            throw std::system_error(err, std::generic_category(), what);
        };
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) fail("FakeHub SO_REUSEADDR");
        if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) fail("FakeHub IPV6_V6ONLY");
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fail("FakeHub bind");
        if (::listen(fd, 16) != 0) fail("FakeHub listen");
        sockaddr_in6 bound{};
        socklen_t len = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) fail("FakeHub getsockname");

        listen_fd = fd;
        milliseconds limit;
        {
            std::lock_guard<std::mutex> lk(m);
            bound_port = ntohs(bound.sin6_port);
            started = true;
            limit = lifetime;
        }
        thread = std::thread([this, limit] { run(limit); });
    }

    void stop() {
        std::lock_guard<std::mutex> life(lifecycle);
        stop_requested = true;
        wake();
        if (thread.joinable()) thread.join();
    }

    // ---------------------------------------------------------------------
    // The hub's thread.

    void run(milliseconds limit) {
        const auto deadline = limit.count() > 0 ? Clock::now() + limit : Clock::time_point::max();
        std::vector<pollfd> pfds;
        std::vector<std::uint8_t> buf(64 * 1024);
        while (!stop_requested && Clock::now() < deadline) {
            auto now = Clock::now();
            take_next_item(now);
            const bool want_send = cur && session_fd >= 0 && !pausing;

            auto next_event = now + poll_slice;
            for (const Conn& c : conns) {
                if (c.phase == Conn::Phase::answering) next_event = std::min(next_event, c.answer_at);
                if (c.phase == Conn::Phase::greeting && !c.greeting.empty())
                    next_event = std::min(next_event, c.first_byte + greeting_pause);
            }
            if (pausing) next_event = std::min(next_event, pause_until);
            if (!cur && session_fd >= 0 && session_ready > now) next_event = std::min(next_event, session_ready);

            pfds.clear();
            pfds.push_back({wake_pipe[0], POLLIN, 0});
            pfds.push_back({listen_fd, POLLIN, 0});
            for (const Conn& c : conns) {
                short ev = c.phase == Conn::Phase::answering ? 0 : POLLIN;
                if (want_send && c.fd == session_fd) ev |= POLLOUT;
                pfds.push_back({c.fd, ev, 0});
            }
            const auto wait_ms = std::chrono::duration_cast<milliseconds>(next_event - now).count();
            const int rc = ::poll(pfds.data(), pfds.size(), static_cast<int>(std::max<long long>(0, wait_ms)));
            if (rc < 0 && errno != EINTR) break;
            if (stop_requested) break;

            if (pfds[0].revents & POLLIN) {
                char drain[64];
                while (::read(wake_pipe[0], drain, sizeof drain) > 0) {
                }
            }
            if (pfds[1].revents & POLLIN) accept_all();

            bool session_writable = false;
            // conns may grow in accept_all(); only the polled ones have revents.
            for (std::size_t i = 0; i + 2 < pfds.size(); ++i) {
                Conn& c = conns[i];
                const short rev = pfds[i + 2].revents;
                if (rev & POLLOUT) session_writable = true;
                if (rev & (POLLIN | POLLHUP | POLLERR)) read_conn(c, buf);
            }
            now = Clock::now();
            for (Conn& c : conns) {
                if (c.fd < 0) continue;
                if (c.phase == Conn::Phase::greeting && !c.greeting.empty() && now >= c.first_byte + greeting_pause)
                    greeting_complete(c, now);
                if (c.phase == Conn::Phase::answering && now >= c.answer_at) answer(c);
            }
            if (want_send && session_writable && session_fd >= 0 && cur) send_step();
            if (pausing && Clock::now() >= pause_until) finish_item();
            sweep();
        }
        shutdown_all();
    }

    void accept_all() {
        for (;;) {
            const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            timeval tv{0, send_timeout_ms * 1000};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            Conn c;
            c.fd = fd;
            {
                std::lock_guard<std::mutex> lk(m);
                c.index = infos.size();
                infos.emplace_back();
                ++accepted;
            }
            cv.notify_all();
            conns.push_back(std::move(c));
        }
    }

    void read_conn(Conn& c, std::vector<std::uint8_t>& buf) {
        if (c.fd < 0) return;
        const std::size_t want = c.phase == Conn::Phase::greeting ? greeting_size - c.greeting.size() : buf.size();
        const ssize_t n = ::recv(c.fd, buf.data(), want, MSG_DONTWAIT);
        if (n < 0 && transient(errno)) return;
        if (n <= 0) {
            peer_gone(c);
            return;
        }
        const auto got = static_cast<std::size_t>(n);
        switch (c.phase) {
            case Conn::Phase::greeting: {
                if (c.greeting.empty()) c.first_byte = Clock::now();
                c.greeting.insert(c.greeting.end(), buf.begin(), buf.begin() + n);
                {
                    std::lock_guard<std::mutex> lk(m);
                    infos[c.index].greeting = c.greeting;
                }
                if (c.greeting.size() == greeting_size) greeting_complete(c, Clock::now());
                break;
            }
            case Conn::Phase::session: record_session_bytes(c, buf.data(), got); break;
            case Conn::Phase::answering:
            case Conn::Phase::held: break;  // drained and dropped
        }
    }

    void record_session_bytes(Conn& c, const std::uint8_t* data, std::size_t n) {
        c.frame_bytes.insert(c.frame_bytes.end(), data, data + n);
        std::vector<WriteFrame> parsed;
        std::size_t used = 0;
        for (;;) {
            WriteFrame f;
            const std::size_t k = parse_write_frame(c.frame_bytes.data() + used, c.frame_bytes.size() - used, f);
            if (k == 0) break;
            used += k;
            parsed.push_back(std::move(f));
        }
        c.frame_bytes.erase(c.frame_bytes.begin(), c.frame_bytes.begin() + static_cast<std::ptrdiff_t>(used));
        {
            std::lock_guard<std::mutex> lk(m);
            received.insert(received.end(), data, data + n);
            for (auto& f : parsed) frames.push_back(std::move(f));
            pending_frame = c.frame_bytes.size();
        }
        cv.notify_all();
    }

    void greeting_complete(Conn& c, Clock::time_point now) {
        {
            std::lock_guard<std::mutex> lk(m);
            c.reply = replies_chosen++ < refuse_n ? refusal : reply;
        }
        c.phase = Conn::Phase::answering;
        c.answer_at = now + c.reply.delay;
        // An immediate answer is given before the greeting is counted, so a
        // test that waited for the greeting sees the answer's state too.
        if (c.reply.delay.count() == 0) answer(c);
        {
            std::lock_guard<std::mutex> lk(m);
            ++greetings;
            infos[c.index].greeted = true;
        }
        cv.notify_all();
    }

    void answer(Conn& c) {
        switch (c.reply.kind) {
            case Reply::Kind::close:
                close_conn(c, false);
                return;
            case Reply::Kind::silent:
                c.phase = Conn::Phase::held;
                return;
            case Reply::Kind::send: break;
        }
        const std::string& r = c.reply.bytes;
        if (!r.empty() && ::send(c.fd, r.data(), r.size(), MSG_NOSIGNAL) < 0) {
            peer_gone(c);
            return;
        }
        const bool accepted_by_reply = r.size() >= 2 && r[0] == 'O' && r[1] == 'K';
        c.phase = accepted_by_reply ? Conn::Phase::session : Conn::Phase::held;
        if (accepted_by_reply) {
            // A newer session takes over; the older one is only drained.
            for (Conn& o : conns)
                if (o.fd == session_fd && o.fd >= 0) o.phase = Conn::Phase::held;
            if (cur && cur_off > 0) drop_current();
            session_fd = c.fd;
            session_ready = Clock::now() + current_gap();
        }
        {
            std::lock_guard<std::mutex> lk(m);
            Connection& info = infos[c.index];
            info.answered = true;
            info.reply = r;
            info.session = accepted_by_reply;
            if (accepted_by_reply) session_open = true;
        }
        cv.notify_all();
    }

    milliseconds current_gap() {
        std::lock_guard<std::mutex> lk(m);
        return session_gap;
    }

    void peer_gone(Conn& c) {
        {
            std::lock_guard<std::mutex> lk(m);
            infos[c.index].peer_closed = true;
        }
        close_conn(c, false);
    }

    void close_conn(Conn& c, bool reset) {
        if (c.fd < 0) return;
        if (reset) {
            linger l{1, 0};
            ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        const bool was_session = c.fd == session_fd;
        close_fd(c.fd);
        if (was_session) {
            session_fd = -1;
            // A close_client item finishes itself; anything else in progress is lost.
            if (cur && cur->kind != Item::Kind::close) drop_current();
        }
        {
            std::lock_guard<std::mutex> lk(m);
            infos[c.index].open = false;
            if (was_session) session_open = false;
        }
        cv.notify_all();
    }

    void sweep() {
        conns.erase(std::remove_if(conns.begin(), conns.end(), [](const Conn& c) { return c.fd < 0; }),
                    conns.end());
    }

    Conn* session_conn() {
        for (Conn& c : conns)
            if (c.fd >= 0 && c.fd == session_fd) return &c;
        return nullptr;
    }

    void take_next_item(Clock::time_point now) {
        if (cur || session_fd < 0 || now < session_ready) return;
        {
            std::lock_guard<std::mutex> lk(m);
            if (queue.empty()) return;
            cur = std::move(queue.front());
            queue.pop_front();
            busy = true;
            busy_streaming = cur->kind == Item::Kind::stream;
            stop_stream_requested = false;
        }
        cur_off = 0;
        pausing = false;
        next_batch = 0;
        batch.clear();
        if (cur->kind == Item::Kind::close) {
            if (Conn* s = session_conn()) close_conn(*s, cur->reset);
            finish_item();
        }
    }

    void finish_item() {
        cur.reset();
        pausing = false;
        batch.clear();
        {
            std::lock_guard<std::mutex> lk(m);
            busy = false;
            busy_streaming = false;
        }
        cv.notify_all();
    }

    void drop_current() { finish_item(); }

    // Returns false when the session was lost.
    bool send_some(const Bytes& data, std::size_t& off) {
        const ssize_t n = ::send(session_fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (transient(errno)) return true;
            if (Conn* s = session_conn()) peer_gone(*s);
            return false;
        }
        off += static_cast<std::size_t>(n);
        sent += static_cast<std::uint64_t>(n);
        return true;
    }

    void send_step() {
        Item& it = *cur;
        if (it.kind == Item::Kind::bytes) {
            if (!it.data.empty() && !send_some(it.data, cur_off)) return;
            if (cur_off < it.data.size()) return;
            if (it.pause_after.count() > 0) {
                pausing = true;
                pause_until = Clock::now() + it.pause_after;
            } else {
                finish_item();
            }
            return;
        }
        // Stream: refill at batch boundaries, then write as much as the socket takes.
        if (cur_off == batch.size()) {
            if (next_batch == it.batches || stop_stream_requested || stop_requested) {
                finish_item();
                return;
            }
            try {
                batch = it.make(next_batch++);
            } catch (...) {
                finish_item();
                return;
            }
            cur_off = 0;
            if (batch.empty()) {
                ++batches_done;
                return;
            }
        }
        if (!send_some(batch, cur_off)) return;
        if (cur_off == batch.size()) ++batches_done;
    }

    void shutdown_all() {
        for (Conn& c : conns) close_fd(c.fd);
        conns.clear();
        session_fd = -1;
        close_fd(listen_fd);
        cur.reset();
        {
            std::lock_guard<std::mutex> lk(m);
            for (Connection& info : infos) info.open = false;
            session_open = false;
            busy = false;
            busy_streaming = false;
            ended = true;
        }
        cv.notify_all();
    }
};

FakeHub::FakeHub(std::string address, std::uint16_t port)
    : impl_(std::make_unique<Impl>(std::move(address), port)) {}

FakeHub::~FakeHub() { stop(); }

void FakeHub::start() { impl_->start(); }
void FakeHub::stop() { impl_->stop(); }

bool FakeHub::running() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->started && !impl_->ended;
}

std::uint16_t FakeHub::port() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->started ? impl_->bound_port : impl_->requested_port;
}

void FakeHub::set_lifetime_limit(std::chrono::milliseconds limit) {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->lifetime = limit;
}

void FakeHub::set_session_gap(std::chrono::milliseconds gap) {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->session_gap = gap;
}

void FakeHub::set_reply(Reply reply) {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->reply = std::move(reply);
}

void FakeHub::set_reply(const std::string& text) {
    set_reply(text.empty() ? Reply::close_connection() : Reply::text(text));
}

void FakeHub::refuse_first(std::size_t n, Reply refusal) {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->refuse_n = n;
    impl_->refusal = std::move(refusal);
}

std::size_t FakeHub::accepted_count() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->accepted;
}

std::size_t FakeHub::greeting_count() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->greetings;
}

std::vector<FakeHub::Connection> FakeHub::connections() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->infos;
}

bool FakeHub::has_session() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->session_open;
}

bool FakeHub::wait_for_connections(std::size_t n, std::chrono::milliseconds timeout) const {
    return impl_->wait(timeout, [&] { return impl_->accepted >= n; });
}

bool FakeHub::wait_for_greetings(std::size_t n, std::chrono::milliseconds timeout) const {
    return impl_->wait(timeout, [&] { return impl_->greetings >= n; });
}

bool FakeHub::wait_for_session(std::chrono::milliseconds timeout) const {
    return impl_->wait(timeout, [&] { return impl_->session_open; });
}

bool FakeHub::wait_for_peer_close(std::size_t index, std::chrono::milliseconds timeout) const {
    return impl_->wait(timeout, [&] { return index < impl_->infos.size() && impl_->infos[index].peer_closed; });
}

void FakeHub::send_bytes(Bytes data) {
    Impl::Item it;
    it.data = std::move(data);
    impl_->enqueue(std::move(it));
}

void FakeHub::send_in_pieces(Bytes data, std::vector<std::size_t> cut_points, std::chrono::milliseconds pause) {
    std::size_t prev = 0;
    for (std::size_t cut : cut_points) {
        if (cut <= prev || cut >= data.size())
            throw std::invalid_argument("FakeHub::send_in_pieces: cut points must ascend inside the buffer");
        prev = cut;
    }
    cut_points.push_back(data.size());
    std::vector<Impl::Item> items;
    prev = 0;
    for (std::size_t cut : cut_points) {
        Impl::Item it;
        it.data.assign(data.begin() + static_cast<std::ptrdiff_t>(prev), data.begin() + static_cast<std::ptrdiff_t>(cut));
        it.pause_after = cut == data.size() ? std::chrono::milliseconds(0) : pause;
        items.push_back(std::move(it));
        prev = cut;
    }
    {
        std::lock_guard<std::mutex> lk(impl_->m);
        for (auto& it : items) impl_->queue.push_back(std::move(it));
    }
    impl_->wake();
}

Bytes FakeHub::prime_bytes() { return Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}; }

void FakeHub::prime() { send_bytes(prime_bytes()); }

void FakeHub::close_client(bool reset) {
    Impl::Item it;
    it.kind = Impl::Item::Kind::close;
    it.reset = reset;
    impl_->enqueue(std::move(it));
}

bool FakeHub::wait_sent(std::chrono::milliseconds timeout) const {
    return impl_->wait(timeout, [&] { return impl_->queue.empty() && !impl_->busy; });
}

bool FakeHub::send_and_wait(Bytes data, std::chrono::milliseconds timeout) {
    send_bytes(std::move(data));
    return wait_sent(timeout);
}

void FakeHub::clear_queue() {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->queue.clear();
    impl_->cv.notify_all();
}

void FakeHub::stream(BatchMaker make_batch, std::uint64_t batches) {
    Impl::Item it;
    it.kind = Impl::Item::Kind::stream;
    it.make = std::move(make_batch);
    it.batches = batches;
    impl_->enqueue(std::move(it));
}

void FakeHub::stop_stream() {
    {
        std::lock_guard<std::mutex> lk(impl_->m);
        auto& q = impl_->queue;
        q.erase(std::remove_if(q.begin(), q.end(),
                               [](const Impl::Item& it) { return it.kind == Impl::Item::Kind::stream; }),
                q.end());
        if (impl_->busy_streaming) impl_->stop_stream_requested = true;
    }
    impl_->wake();
}

std::uint64_t FakeHub::bytes_sent() const { return impl_->sent; }
std::uint64_t FakeHub::batches_streamed() const { return impl_->batches_done; }

Bytes FakeHub::received() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->received;
}

std::size_t FakeHub::received_size() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->received.size();
}

bool FakeHub::wait_for_bytes(std::size_t n, std::chrono::milliseconds timeout) const {
    return impl_->wait(timeout, [&] { return impl_->received.size() >= n; });
}

std::vector<WriteFrame> FakeHub::frames() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->frames;
}

bool FakeHub::wait_for_frames(std::size_t n, std::chrono::milliseconds timeout) const {
    return impl_->wait(timeout, [&] { return impl_->frames.size() >= n; });
}

std::size_t FakeHub::pending_frame_bytes() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->pending_frame;
}

void FakeHub::clear_received() {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->received.clear();
    impl_->frames.clear();
}

}  // namespace palvex_test

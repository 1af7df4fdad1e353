// The simulated hub's thread: the listener, every connection's greeting
// and answer, the session's write frames and the queue of sends played on it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <stdexcept>

#include "fake_hub_impl.h"

namespace palvex_test {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using fake_hub_detail::close_fd;

constexpr std::size_t greeting_size = 5;
// A partial greeting is answered after this pause.
constexpr milliseconds greeting_pause{500};
// Upper bound of every wait of the hub's thread, so stop() is seen quickly.
constexpr milliseconds poll_slice{20};
// A blocked send gives up after this and lets the loop look around.
constexpr int send_timeout_ms = 50;

bool transient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

}  // namespace

// A listener on the address and the port asked for (at start) or bound
// before (when listening again), so a hub that comes back is where it was.
int FakeHub::Impl::open_listener() {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    {
        std::lock_guard<std::mutex> lk(m);
        sa.sin6_port = htons(started ? bound_port : requested_port);
    }
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
    // A hub is a small device with small buffers: a hub that stops reading
    // fills its connection after kilobytes, not megabytes. Inherited by
    // every accepted connection.
    const int receive_buffer = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fail("FakeHub bind");
    if (::listen(fd, 16) != 0) fail("FakeHub listen");
    return fd;
}

void FakeHub::Impl::start() {
    std::lock_guard<std::mutex> life(lifecycle);
    {
        std::lock_guard<std::mutex> lk(m);
        if (started) throw std::logic_error("FakeHub::start called twice");
    }
    const int fd = open_listener();
    sockaddr_in6 bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
        const int err = errno;
        ::close(fd);
        throw std::system_error(err, std::generic_category(), "FakeHub getsockname");
    }

    listen_fd = fd;
    milliseconds limit;
    {
        std::lock_guard<std::mutex> lk(m);
        bound_port = ntohs(bound.sin6_port);
        started = true;
        listening = true;
        limit = lifetime;
    }
    thread = std::thread([this, limit] { run(limit); });
}

void FakeHub::Impl::stop() {
    std::lock_guard<std::mutex> life(lifecycle);
    stop_requested = true;
    wake();
    if (thread.joinable()) thread.join();
}

void FakeHub::Impl::run(milliseconds limit) {
    const auto deadline = limit.count() > 0 ? Clock::now() + limit : Clock::time_point::max();
    std::vector<pollfd> pfds;
    std::vector<std::uint8_t> buf(64 * 1024);
    while (!stop_requested && Clock::now() < deadline) {
        follow_requests();
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
        pfds.push_back({listen_fd, POLLIN, 0});  // ignored by poll while closed (-1)
        bool read_session = true;
        {
            std::lock_guard<std::mutex> lk(m);
            read_session = session_reading;
        }
        for (const Conn& c : conns) {
            short ev = c.phase == Conn::Phase::answering || (c.fd == session_fd && !read_session) ? 0 : POLLIN;
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
        if (pausing && Clock::now() >= pause_until) {
            // A stream pauses between the pieces of a jittered batch and goes on.
            if (cur && cur->kind == Item::Kind::stream) pausing = false;
            else finish_item();
        }
        sweep();
    }
    shutdown_all();
}

// What the test asked for from its own thread: a dropped session, a
// listener closed or opened again, a stream stopped while no session runs.
void FakeHub::Impl::follow_requests() {
    int drop = 0;
    bool want_listener = true;
    {
        std::lock_guard<std::mutex> lk(m);
        drop = drop_requested;
        want_listener = listen_wanted;
    }
    if (drop != 0) {
        if (Conn* s = session_conn()) close_conn(*s, drop == 2);
        {
            std::lock_guard<std::mutex> lk(m);
            drop_requested = 0;
        }
        cv.notify_all();
    }
    if (want_listener != (listen_fd >= 0)) {
        if (want_listener) {
            try {
                listen_fd = open_listener();
            } catch (const std::exception&) {
                listen_fd = -1;  // tried again on the next turn
            }
        } else {
            close_fd(listen_fd);
        }
        {
            std::lock_guard<std::mutex> lk(m);
            listening = listen_fd >= 0;
        }
        cv.notify_all();
    }
    if (cur && cur->kind == Item::Kind::stream && session_fd < 0 && stop_stream_requested) finish_item();
}

void FakeHub::Impl::accept_all() {
    if (listen_fd < 0) return;
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

void FakeHub::Impl::read_conn(Conn& c, std::vector<std::uint8_t>& buf) {
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

void FakeHub::Impl::record_session_bytes(Conn& c, const std::uint8_t* data, std::size_t n) {
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

void FakeHub::Impl::greeting_complete(Conn& c, Clock::time_point now) {
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

void FakeHub::Impl::answer(Conn& c) {
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
        if (session_fd >= 0) session_ended();
        session_fd = c.fd;
        session_ready = Clock::now() + current_gap();
    }
    {
        std::lock_guard<std::mutex> lk(m);
        Connection& info = infos[c.index];
        info.answered = true;
        info.reply = r;
        info.session = accepted_by_reply;
        if (accepted_by_reply) {
            session_open = true;
            ++sessions;
        }
    }
    cv.notify_all();
}

milliseconds FakeHub::Impl::current_gap() {
    std::lock_guard<std::mutex> lk(m);
    return session_gap;
}

void FakeHub::Impl::peer_gone(Conn& c) { close_conn(c, false, true); }

void FakeHub::Impl::close_conn(Conn& c, bool reset, bool by_peer) {
    if (c.fd < 0) return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    const bool was_session = c.fd == session_fd;
    close_fd(c.fd);
    if (was_session) {
        session_fd = -1;
        session_ended();
    }
    {
        // One step, so a test that waited for either sees both.
        std::lock_guard<std::mutex> lk(m);
        infos[c.index].open = false;
        if (by_peer) infos[c.index].peer_closed = true;
        if (was_session) session_open = false;
    }
    cv.notify_all();
}

// The item in progress does not outlive its session, but a stream does: the
// batch it was writing is lost from where the connection broke, and it goes
// on with the next batch once a new session is there.
void FakeHub::Impl::session_ended() {
    if (!cur) return;
    switch (cur->kind) {
        case Item::Kind::close: return;  // finishes itself
        case Item::Kind::stream:
            batch.clear();
            batch_cuts.clear();
            cur_off = 0;
            pausing = false;
            return;
        case Item::Kind::bytes:
            if (cur_off > 0 || session_fd < 0) drop_current();
            return;
    }
}

void FakeHub::Impl::sweep() {
    conns.erase(std::remove_if(conns.begin(), conns.end(), [](const Conn& c) { return c.fd < 0; }),
                conns.end());
}

FakeHub::Impl::Conn* FakeHub::Impl::session_conn() {
    for (Conn& c : conns)
        if (c.fd >= 0 && c.fd == session_fd) return &c;
    return nullptr;
}

void FakeHub::Impl::take_next_item(Clock::time_point now) {
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
    batch_cuts.clear();
    if (cur->kind == Item::Kind::close) {
        if (Conn* s = session_conn()) close_conn(*s, cur->reset);
        finish_item();
    }
}

void FakeHub::Impl::finish_item() {
    cur.reset();
    pausing = false;
    batch.clear();
    batch_cuts.clear();
    {
        std::lock_guard<std::mutex> lk(m);
        busy = false;
        busy_streaming = false;
    }
    cv.notify_all();
}

// Writes what the socket takes of data[off, end). Returns false when the
// session was lost.
bool FakeHub::Impl::send_some(const Bytes& data, std::size_t& off, std::size_t end) {
    const ssize_t n = ::send(session_fd, data.data() + off, end - off, MSG_NOSIGNAL);
    if (n < 0) {
        if (transient(errno)) return true;
        if (Conn* s = session_conn()) peer_gone(*s);
        return false;
    }
    off += static_cast<std::size_t>(n);
    sent += static_cast<std::uint64_t>(n);
    return true;
}

void FakeHub::Impl::send_step() {
    Item& it = *cur;
    if (it.kind == Item::Kind::bytes) {
        if (!it.data.empty() && !send_some(it.data, cur_off, it.data.size())) return;
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
        cut_batch();
    }
    const std::size_t end = batch_cuts.empty() ? batch.size() : batch_cuts.front();
    if (!send_some(batch, cur_off, end)) return;
    if (cur_off == end && !batch_cuts.empty()) {
        batch_cuts.erase(batch_cuts.begin());
        std::lock_guard<std::mutex> lk(m);
        pausing = true;
        pause_until = Clock::now() + jitter_pause;
    }
    if (cur_off == batch.size()) ++batches_done;
}

// With jitter, where this batch's writes end before its last byte.
void FakeHub::Impl::cut_batch() {
    batch_cuts.clear();
    {
        std::lock_guard<std::mutex> lk(m);
        if (!jitter_set || batch.size() < 2) return;
        if (!jitter) jitter.emplace(jitter_seed);
    }
    std::uniform_int_distribution<std::size_t> where(1, batch.size() - 1);
    const int cuts = 1 + static_cast<int>((*jitter)() % 3);
    for (int i = 0; i < cuts; ++i) batch_cuts.push_back(where(*jitter));
    std::sort(batch_cuts.begin(), batch_cuts.end());
    batch_cuts.erase(std::unique(batch_cuts.begin(), batch_cuts.end()), batch_cuts.end());
}

void FakeHub::Impl::shutdown_all() {
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

}  // namespace palvex_test

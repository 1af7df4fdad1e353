// The simulated hub's inside, shared by its two units: fake_hub.cpp (what
// callers see) and fake_hub_loop.cpp (the hub's thread and its sockets).
// Not part of the simulation library's interface.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

#include "fake_hub.h"

namespace palvex_test {

namespace fake_hub_detail {
inline void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}
}  // namespace fake_hub_detail

struct FakeHub::Impl {
    using Clock = std::chrono::steady_clock;
    using milliseconds = std::chrono::milliseconds;

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
    milliseconds session_gap{0};
    bool jitter_set = false;  // set_stream_jitter() was called
    std::uint64_t jitter_seed = 0;
    milliseconds jitter_pause{1};
    Reply reply;
    Reply refusal = Reply::text("NO");
    std::size_t refuse_n = 0;
    std::size_t accepted = 0;
    std::size_t greetings = 0;
    std::size_t replies_chosen = 0;
    bool listen_wanted = true;
    bool session_reading = true;
    bool listening = false;
    int drop_requested = 0;          // 1 close, 2 reset; cleared by the hub's thread when done
    std::size_t sessions = 0;
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
    std::optional<std::mt19937_64> jitter;  // made from jitter_seed when first needed
    std::vector<std::size_t> batch_cuts;    // where the current batch's writes end, ascending

    // The pipe lives as long as the object, so wake() is safe from any
    // thread at any time, before start() and after stop() included.
    Impl(std::string a, std::uint16_t p) : address(std::move(a)), requested_port(p) {
        if (::pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "FakeHub pipe");
    }
    ~Impl() {
        fake_hub_detail::close_fd(wake_pipe[0]);
        fake_hub_detail::close_fd(wake_pipe[1]);
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

    // Sets up the listener and starts the hub's thread; stop() ends it.
    void start();
    void stop();

    // --- the hub's thread ---
    void run(milliseconds limit);
    void accept_all();
    void read_conn(Conn& c, std::vector<std::uint8_t>& buf);
    void record_session_bytes(Conn& c, const std::uint8_t* data, std::size_t n);
    void greeting_complete(Conn& c, Clock::time_point now);
    void answer(Conn& c);
    milliseconds current_gap();
    void peer_gone(Conn& c);
    void close_conn(Conn& c, bool reset, bool by_peer = false);
    void session_ended();
    void follow_requests();
    int open_listener();
    void sweep();
    Conn* session_conn();
    void take_next_item(Clock::time_point now);
    void finish_item();
    void drop_current() { finish_item(); }
    // Returns false when the session was lost.
    bool send_some(const Bytes& data, std::size_t& off, std::size_t end);
    void cut_batch();
    void send_step();
    void shutdown_all();
};

}  // namespace palvex_test

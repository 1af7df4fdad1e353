#include "fake_hub.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "fake_hub_impl.h"
#include "le_bytes.h"

namespace palvex_test {

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

void FakeHub::set_stream_jitter(std::uint64_t seed, std::chrono::milliseconds pause) {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->jitter_seed = seed;
    impl_->jitter_pause = pause;
    impl_->jitter_set = true;
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

void FakeHub::refuse_next(std::size_t n, Reply refusal) {
    std::lock_guard<std::mutex> lk(impl_->m);
    impl_->refusal = std::move(refusal);
    impl_->refuse_n = impl_->replies_chosen + n;
}

void FakeHub::want_listener(bool wanted) {
    {
        std::lock_guard<std::mutex> lk(impl_->m);
        impl_->listen_wanted = wanted;
    }
    impl_->wake();
    impl_->wait(std::chrono::seconds(2), [&] { return impl_->listening == wanted; });
}

void FakeHub::stop_listening() { want_listener(false); }
void FakeHub::listen_again() { want_listener(true); }

bool FakeHub::drop_session(bool reset, std::chrono::milliseconds timeout) {
    if (!impl_->wait(timeout, [&] { return impl_->session_open; })) return false;
    {
        std::lock_guard<std::mutex> lk(impl_->m);
        impl_->drop_requested = reset ? 2 : 1;
    }
    impl_->wake();
    return impl_->wait(timeout, [&] { return impl_->drop_requested == 0; });
}

std::size_t FakeHub::sessions_count() const {
    std::lock_guard<std::mutex> lk(impl_->m);
    return impl_->sessions;
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

void FakeHub::set_session_reading(bool reading) {
    {
        std::lock_guard<std::mutex> lk(impl_->m);
        impl_->session_reading = reading;
    }
    impl_->wake();
}

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

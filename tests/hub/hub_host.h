// A host in hub mode: one recorder for every delivery (in order, with its
// context), a captured logger, the simulated hub and the read thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "../api/host.h"
#include "fake_hub.h"
#include "read_thread.h"

namespace palvex_test {

using namespace std::chrono_literals;

// Every row the hub path delivers, in delivery order, with its context.
class Recorder {
public:
    static Recorder& instance() {
        static Recorder r;
        return r;
    }
    static void on_row(void* context, const double* row, size_t count) {
        Recorder& r = instance();
        std::size_t delivered = 0;
        {
            std::lock_guard<std::mutex> lock(r.mutex_);
            r.deliveries_.push_back({context, std::vector<double>(row, row + count)});
            delivered = r.deliveries_.size();
            r.changed_.notify_all();
        }
        if (delivered == r.release_after) corvel_release();
    }
    // The callback itself calls corvel_release() after this many rows.
    std::atomic<std::size_t> release_after{0};
    bool wait_for(std::size_t n, std::chrono::milliseconds timeout = 3s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return deliveries_.size() >= n; });
    }
    std::vector<Delivery> deliveries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return deliveries_;
    }
    // (context, packet number) of every delivery.
    std::vector<std::pair<void*, double>> numbers(int column = 26) {
        std::vector<std::pair<void*, double>> out;
        for (const Delivery& d : deliveries()) out.push_back({d.context, d.row.at(column)});
        return out;
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return deliveries_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivery> deliveries_;
};

// The SSIDs the library lists, in the order it met them.
inline std::vector<std::string> ssid_list() {
    char** list = nullptr;
    int count = 0;
    corvel_get_list_of_ssids(&list, &count);
    std::vector<std::string> out(list, list + count);
    corvel_free_ssid_list(list, count);
    return out;
}

// Contexts are only tags here.
inline void* context(int i) {
    static int tags[16];
    return &tags[i];
}

// A logger that lives until the process ends: the TCP client keeps the
// logger it was given when the connection opened. Kept reachable so leak
// checkers do not report it.
inline CapturedLog& lasting_log() {
    static auto* kept = new std::vector<CapturedLog*>;
    kept->push_back(new CapturedLog);
    return *kept->back();
}

// The usual set-up: descriptor, callback, the hub on [::1]:5005, connection.
class HubTest : public ::testing::Test {
protected:
    // A test that counts rows its own way, or streams for longer, says so here.
    virtual data_callback_fn row_callback() const { return &Recorder::on_row; }
    virtual std::chrono::milliseconds hub_lifetime() const { return 60s; }

    void SetUp() override {
        set_board_json(default_descriptor_json().c_str());
        corvel_set_pcallback(row_callback());
        hub.set_lifetime_limit(hub_lifetime());
        hub.start();
    }
    void TearDown() override {
        corvel_release();
        hub.stop_stream();
        hub.stop();
    }
    void connect() { ASSERT_EQ(corvel_open_connection("::1", log.logger.get()), 0); }

    // A hub streams whatever its boards send, from the greeting on. Here that
    // is a lead board nobody registered: the read loop throws its first
    // receive away, finds its step in what follows, and lists the lead board.
    // From then on everything the test sends is decoded. Contexts for all
    // boards are registered after this, so they never see the lead board.
    static constexpr const char* lead_ssid = "LEAD";
    void start_reading() {
        connect();
        start_loop();
    }
    void start_loop() {
        reader.start();
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        for (std::uint32_t n = 1; !listed(lead_ssid); n += 2) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the read loop never found its step";
            hub.send_bytes(hub_chunk(lead_ssid, packet_of(MES_4, n)));
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(hub.wait_sent(2s));
        std::this_thread::sleep_for(50ms);  // the last lead chunks are taken before the test's own
    }
    static bool listed(const std::string& ssid) {
        char** list = nullptr;
        int count = 0;
        corvel_get_list_of_ssids(&list, &count);
        bool found = false;
        for (int i = 0; i < count; ++i) found |= ssid == list[i];
        corvel_free_ssid_list(list, count);
        return found;
    }
    void send(const Bytes& bytes) { ASSERT_TRUE(hub.send_and_wait(bytes)); }

    CapturedLog& log = lasting_log();
    FakeHub hub;
    ReadThread reader;
    Recorder& rows = Recorder::instance();
};

}  // namespace palvex_test

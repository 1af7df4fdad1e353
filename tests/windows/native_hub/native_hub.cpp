// The hub the Windows hub tests talk to: the simulated hub of the Linux
// tests, built by the host compiler and run natively on [::1]:5005 while the
// tests run under Wine. CTest starts it in a setup fixture and stops it by
// its pid in a cleanup fixture.
//
//   palvex-native-hub --start --pid-file F --session-file S --duration SEC
//       Starts the hub in the background, detached from the caller's
//       streams, and returns once it listens (status 0) or failed (1). The
//       hub ends by itself after SEC seconds.
//   palvex-native-hub --stop --pid-file F
//       Ends the hub whose pid F holds (only if that process is this
//       program) and waits until it is gone.
//
// What it does with every session (a connection whose greeting it accepted
// with "OK"): like a hub with its boards switched on, it streams from the
// greeting on, whether or not the host reads yet: every 20 ms one chunk of
// each board of hub_boards(), the same packets each time (a repeated packet
// is no loss, so every round decodes to the same rows), with its writes cut
// at random places. A test learns what the hub saw from the session file, rewritten whenever it
// changes (the Windows side reads it through Wine's Z: drive):
//   sessions <number of sessions so far>
//   greeting <hex of the latest session's greeting>
//   frame <hex of one write frame of the latest session>   (one line each)
//   received <hex of everything the latest session sent after its greeting>
// A test drives outages through the control file (the session file's name
// with ".control" appended), which the hub reads and removes:
//   drop     the session is closed now and new connections are refused
//   listen   connections are accepted again
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "fake_hub.h"
#include "rows_cases.h"

using namespace palvex_test;
using namespace std::chrono_literals;

namespace {

std::atomic<bool> stop_requested{false};
void on_term(int) { stop_requested = true; }

struct Options {
    bool start = false, stop = false;
    std::string pid_file, session_file;
    int duration = 0;
};

int usage() {
    std::fprintf(stderr,
                 "usage: palvex-native-hub --start --pid-file F --session-file S --duration SEC\n"
                 "       palvex-native-hub --stop --pid-file F\n");
    return 2;
}

bool write_file(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!(out << text)) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

pid_t read_pid(const std::string& path) {
    std::ifstream in(path);
    long pid = 0;
    return (in >> pid) && pid > 1 ? static_cast<pid_t>(pid) : 0;
}

// True when `pid` runs this program: a pid file left by a crash may name a
// process that has nothing to do with us by now.
bool is_native_hub(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string argv0;
    std::getline(in, argv0, '\0');
    const auto slash = argv0.rfind('/');
    return (slash == std::string::npos ? argv0 : argv0.substr(slash + 1)) == "palvex-native-hub";
}

// A zombie has ended: whoever inherited it reaps it in its own time.
bool alive(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno != EPERM) return false;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const auto paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z';
}

int stop(const std::string& pid_file) {
    const pid_t pid = read_pid(pid_file);
    if (pid == 0) {
        std::printf("no native hub recorded in %s\n", pid_file.c_str());
        return 0;
    }
    if (alive(pid) && is_native_hub(pid)) {
        ::kill(pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (alive(pid) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
        if (alive(pid)) {
            std::fprintf(stderr, "native hub %d ignored SIGTERM; killing it\n", static_cast<int>(pid));
            ::kill(pid, SIGKILL);
        }
        std::printf("native hub %d stopped\n", static_cast<int>(pid));
    } else {
        std::printf("native hub %d had already ended\n", static_cast<int>(pid));
    }
    std::remove(pid_file.c_str());
    return 0;
}

std::string session_text(FakeHub& hub, std::size_t sessions) {
    std::ostringstream out;
    out << "sessions " << sessions << "\n";
    const auto connections = hub.connections();
    for (auto c = connections.rbegin(); c != connections.rend(); ++c) {
        if (!c->session) continue;
        out << "greeting " << bytes_hex(c->greeting) << "\n";
        break;
    }
    for (const WriteFrame& f : hub.frames()) out << "frame " << bytes_hex(f.raw) << "\n";
    out << "received " << bytes_hex(hub.received()) << "\n";
    return out.str();
}

// The hub's own process; `ready` is told once it listens (or why not).
int serve(const Options& o, int ready) {
    auto tell = [&](const std::string& text) {
        if (ready < 0) return;
        (void)!::write(ready, text.data(), text.size());
        ::close(ready);
        ready = -1;
    };
    try {
        FakeHub hub("::1", FakeHub::default_port);
        hub.set_lifetime_limit(std::chrono::seconds(o.duration));
        hub.start();
        if (!write_file(o.pid_file, std::to_string(::getpid()) + "\n")) throw std::runtime_error("cannot write " + o.pid_file);
        std::size_t sessions = 0;
        std::string written;
        if (!write_file(o.session_file, written = session_text(hub, sessions)))
            throw std::runtime_error("cannot write " + o.session_file);
        tell("ok");
        hub.set_stream_jitter(3);
        const Bytes round = hub_stream();
        // The boards stream from the first session on and go on across
        // sessions, as they do behind a real hub.
        hub.stream(
            [&round](std::uint64_t index) {
                if (index != 0) std::this_thread::sleep_for(20ms);
                return round;
            },
            std::numeric_limits<std::uint64_t>::max());
        const std::string control_file = o.session_file + ".control";
        std::remove(control_file.c_str());
        while (!stop_requested && hub.running()) {
            const std::size_t now = hub.sessions_count();
            if (now > sessions) {
                sessions = now;
                hub.clear_received();
            }
            std::string command;
            if (std::ifstream control{control_file}; control >> command) {
                std::remove(control_file.c_str());
                if (command == "drop") {
                    hub.stop_listening();
                    hub.drop_session(false, 100ms);
                } else if (command == "listen") {
                    hub.listen_again();
                }
            }
            const std::string text = session_text(hub, sessions);
            if (text != written && write_file(o.session_file, text)) written = text;
            std::this_thread::sleep_for(10ms);
        }
        hub.stop();
    } catch (const std::exception& e) {
        tell(std::string("error: ") + e.what());
        std::fprintf(stderr, "native hub: %s\n", e.what());
        return 1;
    }
    if (read_pid(o.pid_file) == ::getpid()) std::remove(o.pid_file.c_str());
    return 0;
}

int start(const Options& o) {
    // A hub left running by an interrupted run holds the port.
    if (read_pid(o.pid_file) != 0) stop(o.pid_file);
    int fds[2];
    if (::pipe(fds) != 0) return 1;
    const pid_t child = ::fork();
    if (child < 0) return 1;
    if (child == 0) {
        ::close(fds[0]);
        ::setsid();
        // CTest waits for every holder of the test's output pipes: the hub
        // outlives this test, so it must hold none of them.
        const int null = ::open("/dev/null", O_RDWR);
        const std::string log = o.pid_file + ".log";
        const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(err >= 0 ? err : null, 2);
        ::signal(SIGTERM, on_term);
        ::signal(SIGINT, on_term);
        ::signal(SIGPIPE, SIG_IGN);
        std::_Exit(serve(o, fds[1]));
    }
    ::close(fds[1]);
    std::string answer;
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::poll(&p, 1, 100) <= 0) continue;
        char buf[256];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (answer != "ok") {
        std::fprintf(stderr, "native hub did not start: %s\n", answer.empty() ? "no answer" : answer.c_str());
        if (alive(child)) ::kill(child, SIGTERM);
        return 1;
    }
    std::printf("native hub %d listens on [::1]:%u for %d s\n", static_cast<int>(child), FakeHub::default_port,
                o.duration);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--start") o.start = true;
        else if (a == "--stop") o.stop = true;
        else if (a == "--pid-file" && has_value) o.pid_file = argv[++i];
        else if (a == "--session-file" && has_value) o.session_file = argv[++i];
        else if (a == "--duration" && has_value) o.duration = std::atoi(argv[++i]);
        else return usage();
    }
    if (o.start == o.stop || o.pid_file.empty()) return usage();
    if (o.stop) return stop(o.pid_file);
    if (o.session_file.empty() || o.duration <= 0) return usage();
    return start(o);
}

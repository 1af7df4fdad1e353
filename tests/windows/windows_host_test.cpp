// PalvexWrapper.dll as a Windows host uses it: only the public header and
// the DLL's exports.
//
// The DLL carries its own copy of spdlog. Its logger "palvex_api" writes to
// the standard-error handle the process had when the DLL was loaded, so what
// it writes is seen by running a second copy of this program with its
// standard error connected to a pipe.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "palvex/palvex.h"

namespace {

// A host logger that records "level|message" lines.
struct HostLog {
    std::ostringstream lines;
    std::shared_ptr<spdlog::logger> logger;
    HostLog() {
        logger = std::make_shared<spdlog::logger>("host", std::make_shared<spdlog::sinks::ostream_sink_st>(lines));
        logger->set_pattern("%l|%v");
        logger->set_level(spdlog::level::trace);
    }
    std::size_t count(const std::string& text) const {
        std::size_t n = 0;
        const std::string all = lines.str();
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }
};

// ---- what the second copy of the program does -----------------------------

constexpr const char* child_flag = "--palvex-child=";

// A descriptor text that does not parse is one of the messages the library
// logs. Exit status: the number of those messages that reached the host
// logger, or 100 when the scenario is unknown.
int run_child(const std::string& scenario) {
    if (scenario == "own-logger") {
        set_board_json("{");
        return 0;
    }
    if (scenario == "bind-then-unbind") {
        HostLog host;
        set_logger(host.logger.get());
        set_board_json("{");
        set_logger(nullptr);
        set_board_json("{");
        return static_cast<int>(host.count("error|set_board_json failed"));
    }
    return 100;
}

struct ChildResult {
    DWORD exit_code = 0;
    std::string err;  // the child's standard error, as written
};

// Runs this program again with `scenario`, its standard error on a pipe.
ChildResult run_copy(const std::string& scenario) {
    ChildResult result;
    char self[MAX_PATH] = {};
    EXPECT_NE(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    EXPECT_TRUE(::CreatePipe(&read_end, &write_end, &inherit, 0));
    ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process{};
    std::string command = std::string("\"") + self + "\" " + child_flag + scenario;
    const BOOL started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &process);
    ::CloseHandle(write_end);
    ::CloseHandle(nul);
    EXPECT_TRUE(started) << "CreateProcess failed: " << ::GetLastError();
    if (started) {
        char chunk[4096];
        DWORD got = 0;
        while (::ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) result.err.append(chunk, got);
        EXPECT_EQ(::WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0);
        ::GetExitCodeProcess(process.hProcess, &result.exit_code);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(read_end);
    return result;
}

// One line of the library's own logger in spdlog's default pattern, with
// the Windows line end spdlog writes there.
const std::regex own_error_line(
    R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[palvex_api\] \[error\] set_board_json failed: [^\r\n]+\r?\n)");

TEST(WindowsLogging, OwnLoggerWritesTheDefaultPatternToStandardError) {
    const ChildResult child = run_copy("own-logger");
    EXPECT_EQ(child.exit_code, 0u);
    EXPECT_TRUE(std::regex_match(child.err, own_error_line)) << child.err;
}

TEST(WindowsLogging, UnbindingAHostLoggerReturnsToTheOwnLogger) {
    const ChildResult child = run_copy("bind-then-unbind");
    EXPECT_EQ(child.exit_code, 1u) << "messages that reached the host logger";
    EXPECT_TRUE(std::regex_match(child.err, own_error_line))
        << "exactly the message after set_logger(NULL): " << child.err;
}

// ---- the Windows hub connection --------------------------------------------

// Neither case opens a connection: under test there is no hub adapter, and
// an IPv4 literal never reaches a socket, so nothing touches port 5005.
TEST(WindowsHub, NoHostAndNoHubAdapterRefusesWithoutOpening) {
    HostLog host;
    EXPECT_EQ(corvel_open_connection("", host.logger.get()), PALVEX_ERR_NO_HUB_ADAPTER);
    EXPECT_EQ(corvel_open_connection("", host.logger.get()), PALVEX_ERR_NO_HUB_ADAPTER)
        << "a refusal leaves the connection unopened, so it is refused again";
    EXPECT_EQ(host.count("info|Opening connection to Corvel ... "), 2u);
    EXPECT_EQ(host.count("error|Socket creation error"), 0u) << "no attempt is made";

    // A host text is taken as given, adapter or not: five attempts, each
    // refused by the transport with 2.
    EXPECT_EQ(corvel_open_connection("127.0.0.1", host.logger.get()), PALVEX_ERR_NO_CONNECTION);
    EXPECT_EQ(host.count("error|Socket creation error: 2 "), 5u);

    // A failed open leaves hub mode not opened: without a host text and an
    // adapter it is refused again, before any attempt.
    EXPECT_EQ(corvel_open_connection("", host.logger.get()), PALVEX_ERR_NO_HUB_ADAPTER);
    EXPECT_EQ(host.count("error|Socket creation error"), 5u);
    set_logger(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], child_flag, std::strlen(child_flag)) == 0) {
            return run_child(argv[i] + std::strlen(child_flag));
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

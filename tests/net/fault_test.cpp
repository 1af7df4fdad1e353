// Failures of the system calls around a candidate, made to happen on purpose
// in a child process (a seccomp filter fails exactly one kind of call), with
// a listener on ::1 that would otherwise have accepted the connection. Each
// must be reported with the system's text through the logger and, without a
// logger, through its fixed fallback line, and must leave no socket behind.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"
#include "net/socket_client_tcp6.h"

namespace {

using nettest::failing_call;
using nettest::RecordingLogger;
using Entry = RecordingLogger::entry;

const std::string trying = "Trying to connect to ip address: ::1";
const std::string trying_line = "PALVAPI -- Trying to connect to ip address: ::1\n";
const std::string nothing_connected = "Failed to connect to any resolved address";

struct CandidateFault {
    const char* name;
    failing_call call;
    int error;
    const char* log_text;       // logged with strerror(error) appended
    const char* fallback_text;  // the same, as the fallback line on stderr
};

void PrintTo(const CandidateFault& f, std::ostream* out) { *out << f.name; }

class CandidateFailure : public testing::TestWithParam<CandidateFault> {};

TEST_P(CandidateFailure, IsReportedClosesTheSocketAndEndsWithThree) {
    const CandidateFault& fault = GetParam();
    nettest::run_isolated(
        [&] {
            nettest::Listener listener;
            ASSERT_STAGED(nettest::make_fail(fault.call, fault.error));
            const std::string cause = std::strerror(fault.error);
            {
                RecordingLogger log;
                SocketClientTCP6 client("::1", listener.port());
                const std::size_t descriptors = nettest::open_descriptor_count();
                EXPECT_EQ(client.connect(), 3);
                EXPECT_FALSE(client.connected());
                EXPECT_EQ(client.get_ip_addresses(), std::vector<std::string>{"::1"});
                EXPECT_EQ(log.entries(), (std::vector<Entry>{{spdlog::level::info, trying},
                                                             {spdlog::level::err, fault.log_text + cause},
                                                             {spdlog::level::err, nothing_connected}}));
                EXPECT_EQ(nettest::open_descriptor_count(), descriptors);
            }
            SocketClientTCP6 client("::1", listener.port());
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            const int result = client.connect();
            const std::string out = testing::internal::GetCapturedStdout();
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(result, 3);
            EXPECT_EQ(out, trying_line);
            EXPECT_EQ(err, fault.fallback_text + cause + "\nDEBUG: " + nothing_connected + "\n");
        },
        false);
}

INSTANTIATE_TEST_SUITE_P(
    SystemCalls, CandidateFailure,
    testing::Values(CandidateFault{"socket_refused", failing_call::ipv6_socket, EACCES, "socket() failed: ",
                                   "DEBUG: socket() failed: "},
                    CandidateFault{"out_of_descriptors", failing_call::ipv6_socket, EMFILE, "socket() failed: ",
                                   "DEBUG: socket() failed: "},
                    CandidateFault{"nonblocking_refused", failing_call::set_nonblocking, EPERM,
                                   "Failed to set non-blocking mode: ", "DEBUG: failed to set non-blocking: "},
                    CandidateFault{"blocking_not_restored", failing_call::clear_nonblocking, EPERM,
                                   "Failed to restore blocking mode: ", "DEBUG: failed to restore blocking mode: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AdapterListFailure, IsReportedWithTheErrorNumberAndGivesAnEmptyList) {
    nettest::run_isolated(
        [] {
            ASSERT_STAGED(nettest::make_fail(failing_call::netlink_socket, EACCES));
            {
                RecordingLogger log;
                EXPECT_EQ(SocketClientTCP6::get_network_adapters(), std::vector<std::string>{});
                EXPECT_EQ(log.entries(),
                          (std::vector<Entry>{{spdlog::level::err,
                                               "Failed to get network adapters info, error code: " +
                                                   std::to_string(EACCES)}}));
            }
            testing::internal::CaptureStderr();
            const std::vector<std::string> names = SocketClientTCP6::get_network_adapters();
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(names, std::vector<std::string>{});
            EXPECT_EQ(err, "Failed to get network adapters info, error code: " + std::to_string(EACCES) + "\n");
        },
        false);
}

}  // namespace

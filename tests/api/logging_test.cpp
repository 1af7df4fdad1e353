// Where the library's messages go: its own "palvex_api" logger on standard
// error until a host binds one, and back to it on set_logger(NULL).
#include <gtest/gtest.h>

#include <regex>

#include "host.h"

using namespace palvex_test;

namespace {

// A message the single-board path logs: a descriptor text that does not parse.
void provoke_error() { set_board_json("{"); }

TEST(Logging, OwnLoggerWritesTheDefaultPatternToStandardError) {
    ASSERT_NE(spdlog::get("palvex_api"), nullptr);
    EXPECT_EQ(spdlog::get("palvex_api")->level(), spdlog::level::info);
    testing::internal::CaptureStderr();
    provoke_error();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::regex line(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[palvex_api\] \[error\] set_board_json failed: .+\n$)");
    EXPECT_TRUE(std::regex_match(err, line)) << err;
}

TEST(Logging, HostLoggerReceivesMessagesUntilUnbound) {
    CapturedLog log;
    set_logger(log.logger.get());
    testing::internal::CaptureStderr();
    provoke_error();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(log.count("error|set_board_json failed"), 1u);

    set_logger(nullptr);
    testing::internal::CaptureStderr();
    provoke_error();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[palvex_api] [error]"), std::string::npos);
    EXPECT_EQ(log.count("error|set_board_json failed"), 1u);
}

TEST(Logging, HostLoggerLevelFilters) {
    CapturedLog log;
    log.logger->set_level(spdlog::level::critical);
    set_logger(log.logger.get());
    provoke_error();
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace

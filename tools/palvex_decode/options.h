// palvex-decode's command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "start_time.h"

namespace palvex_tools {

extern const char* const usage_text;

enum class Action { run, help, version, show_descriptor };

struct Options {
    Action action = Action::run;
    std::string capture;  // "-": standard input
    std::string descriptor_file;
    std::string output;
    std::string hub;
    std::string record;
    double duration = 5;
    double wait = 5;  // seconds to keep trying to reach a hub that is not up yet
    bool trigger = false;
    std::string trigger_board;
    std::vector<std::string> boards;
    bool verbose = false;
    bool list = false;
    std::string bdf;
    int sample_rate = 0;  // samples per second; 0: from the descriptor, if it has one
    std::optional<StartTime> start_time;
};

// Throws UsageError for a command line that does not make sense.
Options parse_options(int argc, char** argv);

}  // namespace palvex_tools

// palvex-decode's command line.
#pragma once

#include <string>
#include <vector>

namespace palvex_tools {

extern const char* const usage_text;

enum class Action { run, help, show_descriptor };

struct Options {
    Action action = Action::run;
    std::string capture;
    std::string descriptor_file;
    std::string output;
    std::string hub;
    std::string record;
    double duration = 5;
    bool trigger = false;
    std::string trigger_board;
    std::vector<std::string> boards;
    bool verbose = false;
    std::string bdf;
    int rate = 0;  // 0: from the descriptor
};

// Throws UsageError for a command line that does not make sense.
Options parse_options(int argc, char** argv);

}  // namespace palvex_tools

// What the tools share in reading a command line and in failing: option
// values checked against their range, and the two kinds of error a tool
// reports. Portable.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

namespace palvex_tools {

// A wrong command line: the tools print it with a hint to --help and exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Anything else that stops a tool: one line on stderr, exit 1.
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

double parse_double(const std::string& option, const std::string& text, double min, double max);
std::uint64_t parse_count(const std::string& option, const std::string& text, std::uint64_t min, std::uint64_t max);

// The arguments after the program name, one at a time:
//   for (Arguments args(argc, argv); args.next();)
//       if (args.name() == "--port") port = args.value();
// An option's value follows it ("--port 5005") or is joined to it with an
// equals sign ("--port=5005"); a joined value that no option takes is a
// UsageError.
class Arguments {
public:
    Arguments(int argc, char** argv) : argc_(argc), argv_(argv) {}
    // Steps to the next argument; false after the last.
    bool next();
    // The argument stepped to (an option without its joined value).
    const std::string& name() const { return name_; }
    // The option's value; a UsageError when there is none.
    std::string value();

private:
    void check_value_taken() const;

    int argc_;
    char** argv_;
    int at_ = 0;
    std::string name_;
    std::optional<std::string> joined_;
};

// "NAME (PalvexWrapper) VERSION", what --version prints.
std::string version_line(const char* tool);

// A tool's main(): runs `body` and turns what it throws into the tools'
// exit statuses: a UsageError is printed with a hint to --help (2), any
// other exception as one line (1).
template <class Body>
int run_tool(const char* tool, Body&& body) {
    try {
        return body();
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s (see %s --help)\n", tool, e.what(), tool);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", tool, e.what());
        return 1;
    }
}

}  // namespace palvex_tools

// The library's log lines as palvex-decode shows them. The library logs
// through the logger a host hands it: here one that prints warnings and
// errors on standard error (everything with --verbose). Lines can be held
// back: while the hub connection opens (the library tries five times and
// logs each attempt) and until the first row, so that a run that ends with
// nothing decoded says why in one line instead.
#pragma once

#include <memory>
#include <string>

#include <spdlog/spdlog.h>

namespace palvex_tools {

class LibraryLog {
public:
    explicit LibraryLog(bool verbose);
    spdlog::logger* logger() { return logger_.get(); }

    // From now on keep the lines instead of printing them (--verbose
    // prints them all the same).
    void hold();
    // Prints what was held and stops holding.
    void release();
    // Forgets what was held (the retries of a connection that opened).
    void forget();
    // The first error, or warning, held, without its "...failed: " lead;
    // empty when there was none.
    std::string first_error() const;
    std::string first_problem() const;

private:
    class Sink;
    std::shared_ptr<Sink> sink_;
    std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace palvex_tools

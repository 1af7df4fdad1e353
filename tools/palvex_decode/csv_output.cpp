#include "csv_output.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "command_line.h"

namespace palvex_tools {
namespace {

// An SSID is six raw bytes on the wire: quote it when it holds CSV syntax.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// The shortest text that reads back as the same double.
std::size_t format_number(char* out, std::size_t room, double v) {
    const auto [end, ec] = std::to_chars(out, out + room, v);
    return ec == std::errc() ? static_cast<std::size_t>(end - out) : 0;
}

}  // namespace

CsvOutput::CsvOutput(const Descriptor& d, const std::string& path, bool write) : d_(d), path_(path) {
    if (!write) {
    } else if (path.empty()) {
        out_ = stdout;
    } else {
        out_ = std::fopen(path.c_str(), "wb");
        if (!out_) throw ToolError("cannot write " + path + ": " + std::strerror(errno));
    }
    line_.resize(32 * static_cast<std::size_t>(d.num_rows) + 64);
}

void CsvOutput::start() {
    if (started_) return;
    started_ = true;
    std::string header = "ssid";
    for (const std::string& n : d_.names) header += "," + n;
    header += ",filler\n";
    put(header.data(), header.size());
}

void CsvOutput::row(Board& b, const double* row, std::size_t count, bool filler) {
    if (!out_) return;
    if (b.csv_ssid.empty()) b.csv_ssid = csv_field(b.ssid);
    std::size_t n = 0;
    char* p = line_.data();
    std::memcpy(p, b.csv_ssid.data(), b.csv_ssid.size());
    n += b.csv_ssid.size();
    for (std::size_t c = 0; c < count; ++c) {
        p[n++] = ',';
        n += format_number(p + n, line_.size() - n, row[c]);
    }
    p[n++] = ',';
    p[n++] = filler ? '1' : '0';
    p[n++] = '\n';
    put(p, n);
}

void CsvOutput::close() {
    if (!out_) return;
    const bool failed = std::fflush(out_) != 0 || std::ferror(out_);
    if (out_ != stdout) std::fclose(out_);
    out_ = nullptr;
    if (failed && !error_) error_ = "cannot write " + (path_.empty() ? std::string("standard output") : path_);
}

void CsvOutput::put(const char* data, std::size_t n) {
    if (out_ && std::fwrite(data, 1, n, out_) != n && !error_)
        error_ = "cannot write " + (path_.empty() ? std::string("standard output") : path_) + ": " +
                 std::strerror(errno);
}

}  // namespace palvex_tools

#include "csv_output.h"

#include <cerrno>
#include <charconv>
#include <cstring>

namespace palvex_tools {
namespace {

// An SSID as shown_ssid() gives it (printable ASCII, so the CSV is always
// UTF-8): quoted when it holds CSV syntax.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"") == std::string::npos) return text;
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

CsvOutput::CsvOutput(const Descriptor& d, const std::string& path, bool write, int rate)
    : d_(d), path_(path), write_(write), rate_(rate) {
    line_.resize(32 * static_cast<std::size_t>(d.num_rows + 1) + 64);
}

bool CsvOutput::start() {
    if (out_) return true;
    if (!write_ || error_) return false;
    if (path_.empty()) {
        out_ = stdout;
    } else {
        out_ = std::fopen(path_.c_str(), "wb");
        if (!out_) {
            error_ = "cannot write " + path_ + ": " + std::strerror(errno);
            return false;
        }
    }
    std::string header = "ssid";
    if (rate_) header += ",time_s";
    for (const std::string& n : d_.names) header += "," + n;
    header += "\n";
    put(header.data(), header.size());
    return true;
}

void CsvOutput::row(Board& b, const double* row, std::size_t count, std::uint64_t index) {
    if (!out_ && !start()) return;
    if (b.csv_ssid.empty()) b.csv_ssid = csv_field(b.label);
    const std::size_t need = b.csv_ssid.size() + 32 * (count + 2);
    if (line_.size() < need) line_.resize(need);
    std::size_t n = 0;
    char* p = line_.data();
    std::memcpy(p, b.csv_ssid.data(), b.csv_ssid.size());
    n += b.csv_ssid.size();
    if (rate_) {
        p[n++] = ',';
        n += format_number(p + n, line_.size() - n, static_cast<double>(index) / rate_);
    }
    for (std::size_t c = 0; c < count; ++c) {
        p[n++] = ',';
        n += format_number(p + n, line_.size() - n, row[c]);
    }
    p[n++] = '\n';
    put(p, n);
}

void CsvOutput::close() {
    if (!out_) return;
    const bool failed = std::fflush(out_) != 0 || std::ferror(out_);
    if (out_ != stdout) std::fclose(out_);
    out_ = nullptr;
    write_ = false;
    if (failed && !error_) error_ = "cannot write " + (path_.empty() ? std::string("standard output") : path_);
}

void CsvOutput::put(const char* data, std::size_t n) {
    if (out_ && std::fwrite(data, 1, n, out_) != n && !error_)
        error_ = "cannot write " + (path_.empty() ? std::string("standard output") : path_) + ": " +
                 std::strerror(errno);
}

}  // namespace palvex_tools

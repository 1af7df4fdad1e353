#include "bdf_writer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "command_line.h"

#ifdef PALVEX_DECODE_BDF
#include <edflib.h>
#endif

namespace palvex_tools {

#ifdef PALVEX_DECODE_BDF

namespace {
// Enough annotation room per data record for several lost-packet runs a
// second; each costs 120 bytes a record.
constexpr int annotation_signals = 8;

std::string edf_open_error(int code) {
    switch (code) {
        case EDFLIB_MALLOC_ERROR: return "out of memory";
        case EDFLIB_NO_SUCH_FILE_OR_DIRECTORY: return std::strerror(errno ? errno : ENOENT);
        case EDFLIB_MAXFILES_REACHED: return "too many files open";
        case EDFLIB_FILE_ALREADY_OPENED: return "already open";
        default: return "EDFlib error " + std::to_string(code);
    }
}
}  // namespace

class BdfFile {
public:
    BdfFile(std::string path, std::vector<BdfSignal> signals, int rate, const std::string& ssid, Family family,
            const std::optional<StartTime>& start)
        : path_(std::move(path)), signals_(std::move(signals)), rate_(rate) {
        if (signals_.empty())
            throw ToolError("no signals to write for board " + ssid + " (" + family_name(family) + ")");
        errno = 0;
        handle_ = edfopen_file_writeonly(path_.c_str(), EDFLIB_FILETYPE_BDFPLUS, static_cast<int>(signals_.size()));
        if (handle_ < 0) throw ToolError("cannot write " + path_ + ": " + edf_open_error(handle_));
        bool ok = edf_set_number_of_annotation_signals(handle_, annotation_signals) == 0;
        for (std::size_t i = 0; i < signals_.size() && ok; ++i) {
            const BdfSignal& s = signals_[i];
            const int k = static_cast<int>(i);
            ok = edf_set_samplefrequency(handle_, k, rate_) == 0 && edf_set_physical_maximum(handle_, k, s.phys_max) == 0 &&
                 edf_set_physical_minimum(handle_, k, s.phys_min) == 0 &&
                 edf_set_digital_maximum(handle_, k, s.dig_max) == 0 &&
                 edf_set_digital_minimum(handle_, k, s.dig_min) == 0 &&
                 edf_set_label(handle_, k, s.label.c_str()) == 0 &&
                 edf_set_physical_dimension(handle_, k, s.unit.c_str()) == 0;
        }
        const std::string equipment = std::string("Corvel ") +
                                      (family == Family::mes4_or_mes5 ? "MES_4/MES_5" : family_name(family));
        const std::string board = "board " + ssid;
        const StartTime t = start ? *start : StartTime::at(std::chrono::system_clock::now());
        ok = ok && edf_set_equipment(handle_, equipment.c_str()) == 0 &&
             edf_set_recording_additional(handle_, board.c_str()) == 0 &&
             edf_set_startdatetime(handle_, t.year, t.month, t.day, t.hour, t.minute, t.second) == 0 &&
             edf_set_subsecond_starttime(handle_, t.subsecond) == 0;
        if (!ok) {
            edfclose_file(handle_);
            throw ToolError("cannot write " + path_ + ": EDFlib refused the signal parameters");
        }
        record_.assign(signals_.size(), std::vector<int>(static_cast<std::size_t>(rate_)));
        last_.assign(signals_.size(), 0);
    }
    ~BdfFile() { close(); }

    const std::string& path() const { return path_; }
    void rename(const std::string& to) {
        if (std::rename(path_.c_str(), to.c_str()) != 0)
            throw ToolError("cannot rename " + path_ + " to " + to + ": " + std::strerror(errno));
        path_ = to;
    }
    const std::string& error() const { return error_; }

    void add(const double* row, std::size_t count, const Place& place) {
        if (handle_ < 0) return;
        if (place.restart)
            annotate(place.index, -1,
                     "counter discontinuity: " + std::to_string(place.from) + " to " + std::to_string(place.to));
        // Samples without a row hold the last row's values: the loss
        // annotation over them says what they are.
        for (std::uint64_t h = 0; h < place.holes && handle_ >= 0; ++h) push(last_);
        for (std::size_t s = 0; s < signals_.size(); ++s) {
            const BdfSignal& sig = signals_[s];
            const double v = sig.column < static_cast<int>(count) ? row[sig.column] : 0.0;
            const double d = std::round((v - sig.offset) / sig.gain);
            last_[s] = static_cast<int>(std::clamp(d, double(sig.dig_min), double(sig.dig_max)));
        }
        push(last_);
    }

    void loss(const LossRun& run) {
        annotate(run.start, time_of(run.start + run.length) - time_of(run.start),
                 "lost packets: " + std::to_string(run.lost_packets));
    }

    void connection_lost(std::uint64_t start, std::uint64_t end) {
        annotate(start, end > start ? time_of(end) - time_of(start) : -1, "hub connection lost");
    }

    void trigger() { annotate(samples_, -1, "trigger"); }

    void close() {
        if (handle_ < 0) return;
        if (filled_) {
            // The last record is padded with the last row: a data record is
            // all or nothing in BDF.
            for (auto& sig : record_) std::fill(sig.begin() + static_cast<std::ptrdiff_t>(filled_), sig.end(), sig[filled_ - 1]);
            filled_ = static_cast<std::size_t>(rate_);
            write_record();
        }
        if (edfclose_file(handle_) != 0 && error_.empty()) error_ = "cannot complete " + path_;
        handle_ = -1;
    }

private:
    long long time_of(std::uint64_t sample) const {
        return std::llround(static_cast<double>(sample) * 10000.0 / rate_);  // units of 100 us
    }
    void annotate(std::uint64_t sample, long long duration, const std::string& text) {
        if (handle_ >= 0 && edfwrite_annotation_utf8(handle_, time_of(sample), duration, text.c_str()) != 0 &&
            error_.empty())
            error_ = "cannot annotate " + path_;
    }
    void push(const std::vector<int>& sample) {
        for (std::size_t s = 0; s < signals_.size(); ++s) record_[s][filled_] = sample[s];
        ++samples_;
        if (++filled_ == static_cast<std::size_t>(rate_)) write_record();
    }
    void write_record() {
        for (auto& sig : record_)
            if (edfwrite_digital_samples(handle_, sig.data()) != 0) {
                if (error_.empty()) error_ = "cannot write " + path_ + ": " + std::strerror(errno);
                edfclose_file(handle_);
                handle_ = -1;
                return;
            }
        filled_ = 0;
    }

    std::string path_;
    std::vector<BdfSignal> signals_;
    int rate_;
    int handle_ = -1;
    std::vector<std::vector<int>> record_;  // per signal, one data record
    std::size_t filled_ = 0;
    std::vector<int> last_;                 // per signal, the last sample written
    std::uint64_t samples_ = 0;
    std::string error_;
};

#else

class BdfFile {
public:
    BdfFile(std::string, std::vector<BdfSignal>, int, const std::string&, Family, const std::optional<StartTime>&) {
        throw ToolError("this palvex-decode was built without EDFlib (libedf-dev): no --bdf");
    }
    const std::string& path() const { return path_; }
    void rename(const std::string&) {}
    const std::string& error() const { return path_; }
    void add(const double*, std::size_t, const Place&) {}
    void loss(const LossRun&) {}
    void connection_lost(std::uint64_t, std::uint64_t) {}
    void trigger() {}
    void close() {}

private:
    std::string path_;
};

#endif

BdfOutput::BdfOutput(const BdfColumns& columns, std::string path, int rate, std::size_t expected_boards,
                     std::optional<StartTime> start)
    : columns_(columns), path_(std::move(path)), rate_(rate), expected_(expected_boards), start_(start) {
#ifndef PALVEX_DECODE_BDF
    throw ToolError("this palvex-decode was built without EDFlib (libedf-dev): no --bdf");
#endif
}

BdfOutput::~BdfOutput() { close(); }

std::string BdfOutput::path_for(const std::string& ssid) const {
    std::string tag;
    for (unsigned char ch : ssid)
        tag += std::isalnum(ch) || ch == '-' || ch == '_' ? static_cast<char>(ch) : '_';
    if (tag.empty()) tag = "board";
    const auto slash = path_.find_last_of('/');
    const auto dot = path_.find_last_of('.');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string stem = has_ext ? path_.substr(0, dot) : path_;
    const std::string ext = has_ext ? path_.substr(dot) : std::string();
    std::string candidate = stem + "_" + tag + ext;
    for (int n = 2; std::any_of(order_.begin(), order_.end(), [&](BdfFile* f) { return f->path() == candidate; }); ++n)
        candidate = stem + "_" + tag + "-" + std::to_string(n) + ext;
    return candidate;
}

void BdfOutput::set_start(const StartTime& start) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_ = start;
}

void BdfOutput::row(const void* board, const std::string& ssid, Family family, const double* row, std::size_t count,
                    const Place& place) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(board);
    if (it == files_.end()) {
        if (failed_.count(board)) return;
        try {
            if (order_.size() == 1 && order_[0]->path() == path_) order_[0]->rename(path_for(first_ssid_));
            const bool several = expected_ > 1 || !order_.empty();
            auto file = std::make_unique<BdfFile>(several ? path_for(ssid) : path_, bdf_signals(columns_, family), rate_,
                                                  ssid, family, start_);
            if (order_.empty()) first_ssid_ = ssid;
            order_.push_back(file.get());
            it = files_.emplace(board, std::move(file)).first;
        } catch (const std::exception& e) {
            failed_[board] = true;
            if (error_.empty()) error_ = e.what();
            return;
        }
    }
    it->second->add(row, count, place);
}

void BdfOutput::loss(const void* board, const LossRun& run) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = files_.find(board);
    if (it != files_.end()) it->second->loss(run);
}

void BdfOutput::connection_lost(const void* board, std::uint64_t start, std::uint64_t end) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = files_.find(board);
    if (it != files_.end()) it->second->connection_lost(start, end);
}

void BdfOutput::trigger() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (BdfFile* f : order_) f->trigger();
}

void BdfOutput::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (BdfFile* f : order_) {
        f->close();
        if (error_.empty() && !f->error().empty()) error_ = f->error();
    }
}

std::string BdfOutput::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_.empty()) return error_;
    for (BdfFile* f : order_)
        if (!f->error().empty()) return f->error();
    return {};
}

std::vector<std::string> BdfOutput::paths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (BdfFile* f : order_) out.push_back(f->path());
    return out;
}

}  // namespace palvex_tools

#include "columns.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "command_line.h"
#include "default_descriptor.h"

namespace palvex_tools {
namespace {

// A directory opens as a stream on Linux and reads as empty; say what it is.
void check_not_directory(const std::string& path, const std::string& what) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw ToolError("cannot read " + what + " " + path + ": " + std::strerror(EISDIR));
}

std::string read_file(const std::string& path, const char* what) {
    check_not_directory(path, what);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError(std::string("cannot read ") + what + " " + path + ": " + std::strerror(errno));
    std::stringstream ss;
    ss << in.rdbuf();
    if (in.bad()) throw ToolError(std::string("cannot read ") + what + " " + path + ": " + std::strerror(errno));
    return ss.str();
}

}  // namespace

Descriptor load_descriptor(const std::string& path) {
    Descriptor d;
    const std::string where = path.empty() ? "the default descriptor" : "descriptor " + path;
    d.text = path.empty() ? palvex_test::default_descriptor_json() : read_file(path, "descriptor");
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(d.text);
    } catch (const nlohmann::json::exception& e) {
        std::string why = e.what();
        if (why.rfind("[json.exception.", 0) == 0 && why.find("] ") != std::string::npos)
            why = why.substr(why.find("] ") + 2);
        throw ToolError("bad " + where + ": not JSON (" + why + ")");
    }
    if (!j.is_object()) throw ToolError("bad " + where + ": not a JSON object");
    auto column = [&](const nlohmann::json& v, const std::string& key, int limit) {
        if (!v.is_number_integer())
            throw ToolError("bad " + where + ": \"" + key + "\" must hold whole numbers, not " + v.dump());
        const auto c = v.get<long long>();
        if (c < 0 || c >= limit)
            throw ToolError("bad " + where + ": \"" + key + "\" column " + std::to_string(c) + " is outside the " +
                            std::to_string(limit) + "-column row");
        return static_cast<int>(c);
    };
    if (!j.contains("num_rows")) throw ToolError("bad " + where + ": \"num_rows\" is missing");
    const nlohmann::json& nr = j["num_rows"];
    if (!nr.is_number_integer() || nr.get<long long>() < 30 || nr.get<long long>() > PALVEX_MAX_ROW_LENGTH)
        throw ToolError("bad " + where + ": \"num_rows\" must be a whole number from 30 to " +
                        std::to_string(PALVEX_MAX_ROW_LENGTH) + ", not " + nr.dump());
    d.num_rows = nr.get<int>();
    if (!j.contains("package_num_channel")) throw ToolError("bad " + where + ": \"package_num_channel\" is missing");
    d.package_num_column = column(j["package_num_channel"], "package_num_channel", d.num_rows);
    const bool has_filler = j.contains("filler_channel") && !j["filler_channel"].is_null();
    if (has_filler) {
        d.filler_column = column(j["filler_channel"], "filler_channel", d.num_rows);
        if (d.filler_column == d.package_num_column || d.filler_column == 29)
            throw ToolError("bad " + where + ": \"filler_channel\" column " + std::to_string(d.filler_column) +
                            " is the " + (d.filler_column == 29 ? "valid" : "packet number") + " column");
    } else if (d.num_rows == PALVEX_MAX_ROW_LENGTH) {
        throw ToolError("bad " + where + ": no room for a filler column; name one with \"filler_channel\"");
    }

    d.names.assign(static_cast<std::size_t>(d.num_rows), "");
    std::set<std::string> used;
    auto name = [&](int c, const std::string& n) {
        if (d.names[c].empty() && !used.count(n)) {
            d.names[c] = n;
            used.insert(n);
        }
    };
    auto columns = [&](const char* key) {
        std::vector<int> out;
        if (!j.contains(key) || j[key].is_null()) return out;
        const nlohmann::json& v = j[key];
        if (v.is_array()) {
            for (const auto& e : v) out.push_back(column(e, key, d.num_rows));
        } else {
            out.push_back(column(v, key, d.num_rows));
        }
        return out;
    };
    const char* axes[] = {"x", "y", "z"};
    auto axis_name = [&](const char* group, std::size_t i) {
        return std::string(group) + "_" + (i < 3 ? axes[i] : std::to_string(i));
    };
    // A column of its own for every family the library serves with it.
    if (has_filler) name(d.filler_column, "filler");
    name(d.package_num_column, "package_num");
    if (j.contains("battery_channel")) name(column(j["battery_channel"], "battery_channel", d.num_rows), "battery");
    const auto exg = columns("exg_channels");
    for (std::size_t i = 0; i < exg.size(); ++i) name(exg[i], "exg_" + std::to_string(i));
    const auto accel = columns("accel_channels");
    for (std::size_t i = 0; i < accel.size(); ++i) name(accel[i], axis_name("accel", i));
    const auto gyro = columns("gyro_channels");
    for (std::size_t i = 0; i < gyro.size(); ++i) name(gyro[i], axis_name("gyro", i));
    const auto res = columns("resistance_channels");
    for (std::size_t i = 0; i < res.size(); ++i) name(res[i], "resistance_" + std::to_string(i));
    const auto ppg = columns("ppg_channels");
    for (std::size_t i = 0; i < ppg.size(); ++i) name(ppg[i], "ppg_" + std::to_string(i));
    // Raw PPG columns that share the PPG columns (as in the default
    // descriptor) continue the ppg_ numbering; separate ones are ppg_raw_.
    const auto ppg_raw = columns("ppg_raw_channels");
    const bool shared = std::any_of(ppg_raw.begin(), ppg_raw.end(),
                                    [&](int c) { return std::find(ppg.begin(), ppg.end(), c) != ppg.end(); });
    for (std::size_t i = 0; i < ppg_raw.size(); ++i) name(ppg_raw[i], (shared ? "ppg_" : "ppg_raw_") + std::to_string(i));
    const auto other = columns("other_channels");
    const char* other_names[] = {"other", "format_code", "nibble_high", "nibble_low"};
    for (std::size_t i = 0; i < other.size(); ++i) name(other[i], i < 4 ? other_names[i] : "other_" + std::to_string(i));
    if (other.size() >= 2) d.format_code_column = other[1];
    for (int c : ppg_raw)
        if (d.names[c].rfind("ppg", 0) == 0 && std::find(ppg.begin(), ppg.end(), c) == ppg.end() &&
            std::find(other.begin(), other.end(), c) == other.end() && c != 29 && c != d.package_num_column) {
            d.raw_ppg_only_column = c;
            break;
        }
    name(29, "valid");
    d.bdf.exg = exg;
    d.bdf.accel = accel;
    d.bdf.gyro = gyro;
    d.bdf.resistance = res;
    d.bdf.ppg = ppg;
    d.bdf.ppg_raw = ppg_raw;
    if (j.contains("battery_channel")) d.bdf.battery = column(j["battery_channel"], "battery_channel", d.num_rows);
    if (j.contains("sampling_rate")) {
        const nlohmann::json& r = j["sampling_rate"];
        if (!r.is_number_integer() || r.get<long long>() < 1 || r.get<long long>() > 100000)
            throw ToolError("bad " + where + ": \"sampling_rate\" must be a whole number of Hz from 1 to 100000, not " +
                            r.dump());
        d.sampling_rate = r.get<int>();
    }
    for (int c = 0; c < d.num_rows; ++c)
        if (d.names[c].empty()) d.names[c] = "col_" + std::to_string(c);
    if (!has_filler) {
        // The library marks fillers only in a column it is given: one more
        // at the end of the row.
        d.filler_column = d.num_rows++;
        d.names.push_back("filler");
        j["filler_channel"] = d.filler_column;
        j["num_rows"] = d.num_rows;
        d.text = j.dump();
    }
    d.bdf.names = d.names;
    return d;
}

Family family_from_row(Family known, const Descriptor& d, const double* row) {
    if (d.format_code_column < 0 || (known != Family::unknown && known != Family::mes4_or_mes5)) return known;
    const double code = row[d.format_code_column];
    Family family = known;
    if (family == Family::unknown && code >= WUA2 && code <= MES_4)
        family = static_cast<int>(code) == MES_4 ? Family::mes4_or_mes5 : static_cast<Family>(static_cast<int>(code));
    if (family == Family::mes4_or_mes5 && d.raw_ppg_only_column >= 0 && row[d.raw_ppg_only_column] != -1.0)
        family = Family::mes5;
    return family;
}

const char* board_family_name(Family family, const Descriptor& d) {
    if (family == Family::mes4_or_mes5 && d.raw_ppg_only_column >= 0) return family_name(Family::mes4);
    return family_name(family);
}

}  // namespace palvex_tools

#include "packets/layout.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace palvex {

using nlohmann::json;

namespace {

// Why a family cannot decode; caught by compile_layout and turned into text.
struct LayoutError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string quoted(const char* key) { return std::string("\"") + key + "\""; }

const json* find_key(const json& descriptor, const char* key) {
    if (!descriptor.is_object()) return nullptr;
    const auto it = descriptor.find(key);
    return it == descriptor.end() ? nullptr : &*it;
}

class Compiler {
public:
    Compiler(const json& descriptor, std::int32_t num_rows)
        : descriptor_(descriptor), num_rows_(num_rows) {}

    std::int32_t column(const char* key) {
        const json* v = find_key(descriptor_, key);
        if (!v) throw LayoutError(quoted(key) + " is missing");
        return checked(*v, quoted(key));
    }

    // A key the host may leave out (or set to null): no_column then.
    std::int32_t optional_column(const char* key) {
        const json* v = find_key(descriptor_, key);
        if (!v || v->is_null()) return no_column;
        return checked(*v, quoted(key));
    }

    template <std::size_t Width>
    Columns<Width> list(const char* key) {
        const json& arr = array(key);
        Columns<Width> out;
        std::size_t i = 0;
        for (const json& entry : arr) {
            std::int32_t c = 0;
            if (!read_int32(entry, c))
                throw LayoutError(quoted(key) + " must be an array of column numbers");
            // Entries past the group's width are never written: only their type matters.
            if (i < Width) out.col[out.n++] = in_row(c, quoted(key));
            ++i;
        }
        return out;
    }

    const json& array(const char* key) {
        const json* v = find_key(descriptor_, key);
        if (!v) throw LayoutError(quoted(key) + " is missing");
        if (!v->is_array()) throw LayoutError(quoted(key) + " must be an array");
        return *v;
    }

    std::int32_t entry(const json& arr, std::size_t index, const char* key) {
        if (arr.size() <= index)
            throw LayoutError(quoted(key) + " needs at least " + std::to_string(index + 1) +
                              " entries");
        return checked(arr[index], quoted(key) + " entry " + std::to_string(index));
    }

    // ppg keys as the framing walks them: absent yields nothing, an array or
    // object its values, any other value itself.
    void framing_values(const char* key, std::vector<std::int32_t>& out) {
        const json* v = find_key(descriptor_, key);
        if (!v || v->is_null()) return;
        if (v->is_array() || v->is_object()) {
            for (const json& e : *v) out.push_back(checked(e, quoted(key)));
        } else {
            out.push_back(checked(*v, quoted(key)));
        }
    }

    std::int32_t in_row(std::int32_t c, const std::string& what) const {
        if (c < 0 || c >= num_rows_)
            throw LayoutError("column " + std::to_string(c) + " of " + what +
                              " lies outside the row of " + std::to_string(num_rows_));
        return c;
    }

private:
    std::int32_t checked(const json& v, const std::string& what) const {
        std::int32_t c = 0;
        if (!read_int32(v, c)) throw LayoutError(what + " must be a column number");
        return in_row(c, what);
    }

    const json& descriptor_;
    std::int32_t num_rows_;
};

// What the MES families and WUA2 share: ExG, battery, the first other
// column, accelerometer and gyroscope. Returns "other_channels".
const json& compile_motion_boards(Compiler& c, Layout& l) {
    l.exg = c.list<8>("exg_channels");
    l.battery = c.column("battery_channel");
    const json& other = c.array("other_channels");
    l.other[0] = c.entry(other, 0, "other_channels");
    l.accel = c.list<3>("accel_channels");
    l.gyro = c.list<3>("gyro_channels");
    return other;
}

void compile_mes(COMM_TYPE family, Compiler& c, Layout& l) {
    const json& other = compile_motion_boards(c, l);
    if (family == MES_4) l.ppg = c.list<2>("ppg_channels");
    if (family == MES_5) l.ppg_raw = c.list<3>("ppg_raw_channels");
    l.package_num_channel = c.column("package_num_channel");
    l.has_nibbles = other.size() > 3;
    if (l.has_nibbles) {
        l.other[2] = c.entry(other, 2, "other_channels");
        l.other[3] = c.entry(other, 3, "other_channels");
    }
    l.other[1] = c.entry(other, 1, "other_channels");
}

void compile_wua2(Compiler& c, Layout& l) {
    const json& other = compile_motion_boards(c, l);
    l.resistance = c.list<10>("resistance_channels");
    l.package_num_channel = c.column("package_num_channel");
    l.other[1] = c.entry(other, 1, "other_channels");
}

void compile_imp3(Compiler& c, Layout& l) {
    l.resistance = c.list<10>("resistance_channels");
    l.battery = c.column("battery_channel");
    l.package_num_channel = c.column("package_num_channel");
    l.other[1] = c.entry(c.array("other_channels"), 1, "other_channels");
}

// The filler mark tells rows apart only in a column nothing else writes:
// over a packet number, the valid mark or a channel it would turn decoded
// rows into wrong ones.
void check_filler_column(COMM_TYPE family, const Layout& l) {
    const std::int32_t f = l.filler;
    const auto clash = [&](const char* what) {
        throw LayoutError("\"filler_channel\" column " + std::to_string(f) + " is also " + what);
    };
    const auto in = [&](const auto& group) {
        for (std::size_t i = 0; i < group.n; ++i)
            if (group.col[i] == f) return true;
        return false;
    };
    if (f == l.package_num_channel) clash("the \"package_num_channel\" column");
    if (f == valid_row_column) clash("column 29, the valid mark");
    // Every PPG column is set to -1 before each sample, whatever the family.
    for (const std::int32_t c : l.framing_ppg)
        if (c == f) clash("a \"ppg_channels\" or \"ppg_raw_channels\" column");
    // Groups a family does not read are empty here.
    if (in(l.exg)) clash("an \"exg_channels\" column");
    if (in(l.accel)) clash("an \"accel_channels\" column");
    if (in(l.gyro)) clash("a \"gyro_channels\" column");
    if (in(l.resistance)) clash("a \"resistance_channels\" column");
    if (f == l.battery) clash("the \"battery_channel\" column");
    const bool writes_first_other = family != IMP_3;
    if ((writes_first_other && f == l.other[0]) || f == l.other[1] ||
        (l.has_nibbles && (f == l.other[2] || f == l.other[3])))
        clash("an \"other_channels\" column");
}

}  // namespace

bool read_int32(const json& value, std::int32_t& out) {
    switch (value.type()) {
        case json::value_t::number_integer:
            out = static_cast<std::int32_t>(static_cast<std::uint32_t>(
                static_cast<std::uint64_t>(value.get<std::int64_t>())));
            return true;
        case json::value_t::number_unsigned:
            out = static_cast<std::int32_t>(static_cast<std::uint32_t>(value.get<std::uint64_t>()));
            return true;
        case json::value_t::number_float: {
            const double d = std::trunc(value.get<double>());
            if (!(d >= -2147483648.0 && d <= 2147483647.0)) return false;
            out = static_cast<std::int32_t>(d);
            return true;
        }
        case json::value_t::boolean:
            out = value.get<bool>() ? 1 : 0;
            return true;
        default:
            return false;
    }
}

BaseFields read_base_fields(const json& descriptor) {
    if (!descriptor.is_object() && !descriptor.is_null())
        throw DescriptorError("the board descriptor is not a JSON object");
    BaseFields base{};
    const char* keys[] = {"num_rows", "package_num_channel"};
    std::int32_t* fields[] = {&base.num_rows, &base.package_num_channel};
    for (int i = 0; i < 2; ++i) {
        const json* v = find_key(descriptor, keys[i]);
        if (!v) throw DescriptorError(quoted(keys[i]) + " is missing");
        if (!read_int32(*v, *fields[i])) throw DescriptorError(quoted(keys[i]) + " is not a number");
    }
    if (base.num_rows < 1) throw DescriptorError("\"num_rows\" must be at least 1");
    if (base.num_rows > PALVEX_MAX_ROW_LENGTH)
        throw DescriptorError("\"num_rows\" exceeds " + std::to_string(PALVEX_MAX_ROW_LENGTH));
    return base;
}

std::string compile_layout(COMM_TYPE family, const json& descriptor, const BaseFields& base,
                           Layout& layout) {
    layout = Layout{};
    layout.num_rows = base.num_rows;
    try {
        Compiler c(descriptor, base.num_rows);
        if (base.num_rows <= valid_row_column)
            throw LayoutError("\"num_rows\" must be at least 30: column 29 is set in every row");
        c.in_row(base.package_num_channel, quoted("package_num_channel"));
        layout.filler = c.optional_column("filler_channel");
        c.framing_values("ppg_channels", layout.framing_ppg);
        c.framing_values("ppg_raw_channels", layout.framing_ppg);
        switch (family) {
            case WUA2: compile_wua2(c, layout); break;
            case IMP_3: compile_imp3(c, layout); break;
            case MES_2:
            case MES_4:
            case MES_5: compile_mes(family, c, layout); break;
        }
        if (layout.filler != no_column) check_filler_column(family, layout);
    } catch (const LayoutError& e) {
        return e.what();
    }
    return {};
}

}  // namespace palvex

// bdf-dump: reads a BDF+ file with EDFlib's reader and prints it as JSON
// (header, signals with their digital and physical samples, annotations)
// for the tool tests to compare with palvex-decode's CSV.
#include <edflib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
std::string quoted(const char* s) {
    std::string out = "\"";
    for (; *s; ++s) {
        if (*s == '"' || *s == '\\') out += '\\';
        out += *s;
    }
    return out + "\"";
}
std::string trimmed(const char* s) {
    std::string t = s;
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bdf-dump FILE\n");
        return 2;
    }
    static edf_hdr_struct hdr;
    if (edfopen_file_readonly(argv[1], &hdr, EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
        std::fprintf(stderr, "bdf-dump: EDFlib cannot read %s (error %d)\n", argv[1], hdr.filetype);
        return 1;
    }
    std::printf("{\"filetype\": %d, \"datarecords\": %lld, \"datarecord_duration\": %lld, \"equipment\": %s,\n",
                hdr.filetype, hdr.datarecords_in_file, hdr.datarecord_duration, quoted(trimmed(hdr.equipment).c_str()).c_str());
    std::printf("\"start\": \"%04d-%02d-%02dT%02d:%02d:%02d\", \"start_subsecond\": %lld,\n", hdr.startdate_year,
                hdr.startdate_month, hdr.startdate_day, hdr.starttime_hour, hdr.starttime_minute, hdr.starttime_second,
                hdr.starttime_subsecond);
    std::printf("\"signals\": [\n");
    for (int s = 0; s < hdr.edfsignals; ++s) {
        const edf_param_struct& p = hdr.signalparam[s];
        const auto n = static_cast<int>(p.smp_in_file);
        std::vector<int> dig(static_cast<std::size_t>(n));
        std::vector<double> phys(static_cast<std::size_t>(n));
        edfseek(hdr.handle, s, 0, EDFSEEK_SET);
        if (edfread_digital_samples(hdr.handle, s, n, dig.data()) != n) return 1;
        edfseek(hdr.handle, s, 0, EDFSEEK_SET);
        if (edfread_physical_samples(hdr.handle, s, n, phys.data()) != n) return 1;
        std::printf("%s{\"label\": %s, \"unit\": %s, \"smp_in_datarecord\": %d, \"phys_min\": %.17g, \"phys_max\": %.17g, "
                    "\"dig_min\": %d, \"dig_max\": %d,\n \"digital\": [",
                    s ? "," : "", quoted(trimmed(p.label).c_str()).c_str(), quoted(trimmed(p.physdimension).c_str()).c_str(),
                    p.smp_in_datarecord, p.phys_min, p.phys_max, p.dig_min, p.dig_max);
        for (int i = 0; i < n; ++i) std::printf("%s%d", i ? "," : "", dig[i]);
        std::printf("],\n \"physical\": [");
        for (int i = 0; i < n; ++i) std::printf("%s%.17g", i ? "," : "", phys[i]);
        std::printf("]}\n");
    }
    std::printf("],\n\"annotations\": [");
    for (long long a = 0; a < hdr.annotations_in_file; ++a) {
        edf_annotation_struct an;
        if (edf_get_annotation(hdr.handle, static_cast<int>(a), &an) != 0) return 1;
        std::printf("%s{\"onset\": %lld, \"duration\": %s, \"text\": %s}", a ? "," : "", an.onset,
                    quoted(an.duration).c_str(), quoted(an.annotation).c_str());
    }
    std::printf("]}\n");
    edfclose_file(hdr.handle);
    return 0;
}

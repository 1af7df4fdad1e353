#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "hub/hub.h"
#include "hub/hub_state.h"

namespace palvex {
namespace {

bool is_all_boards_context(void* context) {
    return std::find(corvel.all_board_vec.begin(), corvel.all_board_vec.end(), context) !=
           corvel.all_board_vec.end();
}

// Handed to the host: the characters and a terminating zero, so the host can
// find the end of an SSID shorter than six characters.
char* copy_for_host(const std::string& ssid) {
    char* out = new char[ssid.size() + 1];
    std::memcpy(out, ssid.data(), ssid.size());
    out[ssid.size()] = '\0';
    return out;
}

}  // namespace

std::int32_t set_board(void* context, const char* ssid) {
    const std::string key = ssid != nullptr ? ssid : "";
    std::lock_guard<std::mutex> lock(corvel.board_check_mutex);
    if (is_all_boards_context(context)) return PALVEX_ERR_DUPLICATE;
    if (key.empty()) {
        corvel.all_board_vec.push_back(context);
        return 0;
    }
    corvel.registrations.reserve(corvel.registrations.size() + 1);  // nothing can fail after the map took it
    if (!corvel.board_map.try_emplace(key, context).second) return PALVEX_ERR_DUPLICATE;
    corvel.registrations.emplace_back(key, context);
    return 0;
}

std::int32_t list_ssids(char*** list, int* count) {
    // Written first, so a host never reads what it left uninitialised.
    if (list != nullptr) *list = nullptr;
    if (count != nullptr) *count = 0;
    if (list == nullptr || count == nullptr) return 0;
    std::vector<std::string> ssids;
    {
        std::lock_guard<std::mutex> lock(corvel.board_check_mutex);
        ssids = corvel.ssids;
    }
    auto out = std::make_unique<char*[]>(ssids.size());
    std::size_t made = 0;
    try {
        for (; made < ssids.size(); ++made) out[made] = copy_for_host(ssids[made]);
    } catch (...) {
        for (std::size_t i = 0; i < made; ++i) delete[] out[i];
        throw;
    }
    *count = static_cast<int>(ssids.size());
    *list = out.release();
    return 0;
}

std::int32_t ssid_by_index(int index, char** ssid) {
    if (ssid == nullptr) return 0;
    *ssid = nullptr;  // written first, so a failure below leaves the host a null
    std::string found;
    {
        std::lock_guard<std::mutex> lock(corvel.board_check_mutex);
        if (index >= 1 && static_cast<std::size_t>(index) <= corvel.ssids.size())
            found = corvel.ssids[static_cast<std::size_t>(index) - 1];
    }
    *ssid = found.empty() ? nullptr : copy_for_host(found);
    return 0;
}

void free_ssid_list(char** list, int count) {
    if (list == nullptr) return;
    for (int i = 0; i < count; ++i) delete[] list[i];
    delete[] list;
}

void free_ssid(char* ssid) { delete[] ssid; }

}  // namespace palvex

// The exports. Each one is a single guarded call into the library; the
// second argument of guarded() is what the host gets if the body fails.
#include "palvex/palvex.h"

#include "hub/hub.h"
#include "interface/guarded.h"
#include "packets/descriptor_store.h"
#include "interface/single_board.h"

using namespace palvex;

extern "C" {

PALVEX_API void set_board_json(const char* text) {
    guarded("set_board_json", [&] { set_descriptor_text(text); });
}

PALVEX_API int32_t interpret_data_fn(const unsigned char* buffer, size_t length,
                                     data_callback_fn callback, void* host_context) {
    return guarded("interpret_data_fn", int32_t{PALVEX_ERR_NO_DESCRIPTOR},
                   [&] { return interpret_buffer(buffer, length, callback, host_context); });
}

PALVEX_API int32_t release(void) {
    return guarded("release", int32_t{0}, [] { return release_decoder(); });
}

PALVEX_API int32_t data_write(const unsigned char* command, size_t length,
                              write_callback_fn callback, void* host_context) {
    return guarded("data_write", int32_t{PALVEX_ERR_NO_INSTRUCTION},
                   [&] { return write_command(command, length, callback, host_context); });
}

PALVEX_API void set_logger(palvex_logger* log) {
    guarded("set_logger", [&] { bind_logger(log); });
}

PALVEX_API int32_t corvel_open_connection(const char* host, palvex_logger* log) {
    return guarded("corvel_open_connection", int32_t{PALVEX_ERR_NO_CONNECTION},
                   [&] { return open_connection(host, log); });
}

PALVEX_API int32_t corvel_set_pcallback(data_callback_fn callback) {
    return guarded("corvel_set_pcallback", int32_t{0}, [&] { return set_pcallback(callback); });
}

PALVEX_API int32_t corvel_release(void) {
    return guarded("corvel_release", int32_t{0}, [] { return release_hub(); });
}

PALVEX_API int32_t corvel_get_connection_state(int32_t* state, uint32_t* reconnections) {
    return guarded("corvel_get_connection_state", int32_t{0},
                   [&] { return connection_state(state, reconnections); });
}

PALVEX_API void corvel_read_thread(void) {
    guarded("corvel_read_thread", [] { read_loop(); });
}

PALVEX_API int32_t corvel_set_board(void* context, const char* ssid) {
    return guarded("corvel_set_board", int32_t{PALVEX_ERR_DUPLICATE}, [&] { return set_board(context, ssid); });
}

PALVEX_API int32_t corvel_get_list_of_ssids(char*** list, int* count) {
    return guarded("corvel_get_list_of_ssids", int32_t{0}, [&] { return list_ssids(list, count); });
}

PALVEX_API void corvel_free_ssid_list(char** list, int count) {
    guarded("corvel_free_ssid_list", [&] { free_ssid_list(list, count); });
}

PALVEX_API int32_t corvel_get_ssid_by_idx(int index, char** ssid) {
    return guarded("corvel_get_ssid_by_idx", int32_t{0}, [&] { return ssid_by_index(index, ssid); });
}

PALVEX_API void corvel_free_ssid(char* ssid) {
    guarded("corvel_free_ssid", [&] { free_ssid(ssid); });
}

PALVEX_API int32_t corvel_write_data(const unsigned char* data, size_t length, void* context) {
    return guarded("corvel_write_data", int32_t{PALVEX_ERR_NO_CONNECTION},
                   [&] { return write_to_boards(data, length, context); });
}

}  // extern "C"

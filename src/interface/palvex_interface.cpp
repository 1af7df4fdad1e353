// The exports. Each one is a single guarded call into the library; the
// second argument of guarded() is what the host gets if the body fails.
#include "palvex/palvex.h"

#include "interface/guarded.h"
#include "interface/library_state.h"
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

}  // extern "C"

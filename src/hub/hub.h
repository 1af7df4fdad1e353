// Hub mode behind the exports: connection, read loop, board registry and
// write path. Each function is the body of the export of the same name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "palvex/palvex.h"

namespace palvex {

// hub_connection.cpp
std::int32_t open_connection(const char* host, spdlog::logger* log);
std::int32_t set_pcallback(data_callback_fn callback);
std::int32_t release_hub();
std::int32_t connection_state(std::int32_t* state, std::uint32_t* reconnections);

// read_loop.cpp
void read_loop();

// board_registry.cpp
std::int32_t set_board(void* context, const char* ssid);
std::int32_t list_ssids(char*** list, int* count);
std::int32_t ssid_by_index(int index, char** ssid);
void free_ssid_list(char** list, int count);
void free_ssid(char* ssid);

// write_path.cpp
std::int32_t write_to_boards(const unsigned char* data, std::size_t length, void* context);

}  // namespace palvex

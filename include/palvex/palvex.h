/*
 * PalvexWrapper — decoder for the byte streams of Palvex biosignal boards.
 *
 * Public C interface. The same exports exist in libPalvexWrapper.so (Linux)
 * and PalvexWrapper.dll (Windows x64). This header compiles as C and as C++.
 *
 * Ownership in one paragraph: rows handed to a data callback belong to the
 * library and are valid only during the call; instruction bytes handed to a
 * write callback are valid only during the call as well (the library frees
 * them when the callback returns). SSID arrays returned by the two list
 * exports belong to the host and are released with corvel_free_ssid_list()
 * and corvel_free_ssid(). A logger passed in is used, never owned.
 *
 * No export lets a C++ exception escape: internal failures are logged once
 * through the library's current logger and reported by the documented code.
 */
#ifndef PALVEX_PALVEX_H
#define PALVEX_PALVEX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(PALVEX_BUILDING_LIBRARY)
#    define PALVEX_API __declspec(dllexport)
#  else
#    define PALVEX_API __declspec(dllimport)
#  endif
#else
#  define PALVEX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
/* C++ hosts pass a spdlog::logger* directly. It must come from the same
 * spdlog build the library uses (Debian's libspdlog 1.10 with external fmt
 * on Linux, the header-only build inside the DLL on Windows): the library
 * calls that object's member functions as they are laid out in its own
 * build. */
namespace spdlog { class logger; }
typedef spdlog::logger palvex_logger;
extern "C" {
#else
/* Opaque to C hosts: only ever a pointer to a spdlog::logger. */
typedef struct palvex_logger palvex_logger;
#endif

/* Packet families; the value is also the type word in front of the packet. */
typedef enum COMM_TYPE {
    WUA2 = 1,  /* 216-byte buffer, no type word   */
    MES_2 = 2, /* 75-byte buffer: type word + 73  */
    IMP_3 = 3, /* 91-byte buffer: type word + 89  */
    MES_4 = 4, /* 77-byte buffer: type word + 75  */
    MES_5 = 5  /* 81-byte buffer: type word + 79  */
} COMM_TYPE;

/* Result codes. 0 is success; no other value is ever returned. */
enum {
    PALVEX_OK = 0,
    PALVEX_ERR_PACKET_SIZE = 1,      /* buffer length does not match the family's packet size */
    PALVEX_ERR_NO_CONTEXT = 2,       /* null host context or null data callback: nothing can be delivered */
    PALVEX_ERR_NO_INSTRUCTION = 3,   /* no instruction bytes could be produced */
    PALVEX_ERR_NO_WRITE_CALLBACK = 4,/* there is no write callback to deliver to */
    PALVEX_ERR_NO_CONNECTION = 5,    /* no hub connection */
    PALVEX_ERR_NO_DESCRIPTOR = 6,    /* no usable board descriptor */
    PALVEX_ERR_NOT_REGISTERED = 7,   /* context registered neither under an SSID nor for all boards */
    PALVEX_ERR_DUPLICATE = 9,        /* registration is a duplicate */
    PALVEX_ERR_NO_HUB_ADAPTER = 10,  /* Windows only: no host given and no hub adapter present */
    PALVEX_ERR_UNKNOWN_TYPE = 11     /* unrecognised packet type word, null or too short buffer */
};

/* The longest row a board descriptor may ask for ("num_rows"). Longer rows
 * are refused with PALVEX_ERR_NO_DESCRIPTOR rather than allocated. */
#define PALVEX_MAX_ROW_LENGTH 65536

/* Loss accounting. Every packet that arrives is decoded and delivered: when
 * a row's packet number jumps forward, one filler row per missing number
 * comes first (a copy of the last row delivered carrying that number), then
 * the row itself. Numbers are compared modulo 2^32; a repeated number, one
 * that goes back and a counter that restarts fill nothing, nor does the row
 * after a row numbered 0. A forward jump that would need more than
 * PALVEX_MAX_FILLED_ROWS filler rows is not a loss but a counter
 * discontinuity (a corrupted packet number): no fillers, the row becomes the
 * new reference, and one warning naming both numbers is logged. */
#define PALVEX_MAX_FILLED_ROWS 1048576

/* Telling filler rows from decoded ones. Filler rows are copies of the last
 * row delivered, so a board whose channels do not change (disabled channels,
 * a board at rest) cannot be told apart from a loss by comparing values. A
 * descriptor may name a "filler_channel" column: the library sets it to 1.0
 * in every filler row and to 0.0 in every decoded row, in single-board and
 * hub mode alike. It must be a column of its own, inside the row: not the
 * packet-number column, not column 29 and none a family writes (else that
 * family is refused with PALVEX_ERR_NO_DESCRIPTOR). Without the key rows are
 * unchanged. The packet number of every row, filler or not, is in
 * the descriptor's "package_num_channel" column, for every family. */

/* Receives one row of `count` doubles (always the descriptor's "num_rows").
 * The row is valid only during the call. */
typedef void (*data_callback_fn)(void* host_context, const double* row, size_t count);

/* Receives one device instruction (5 bytes). The bytes are valid only during
 * the call. */
typedef void (*write_callback_fn)(void* host_context, const unsigned char* bytes, size_t length);

/* ---- single-board mode ------------------------------------------------ */

/* Parses `text` as one JSON value and makes it the board descriptor. Text
 * that does not parse keeps the previous descriptor (and is logged). Existing
 * decoders keep the descriptor they were created with. NULL reads as "". */
PALVEX_API void set_board_json(const char* text);

/* Decodes one received buffer and calls `callback` once per row.
 * 0: decoded, or consumed without rows (5-byte confirmation, type word 0);
 * 1: wrong length for the family, whatever came before; 2: null host
 * context or null callback; 6: no usable descriptor; 11: unknown type word,
 * null buffer or a buffer shorter than 2 bytes. The decoder keeps the
 * callback and context it was created with. */
PALVEX_API int32_t interpret_data_fn(const unsigned char* buffer, size_t length,
                                     data_callback_fn callback, void* host_context);

/* Destroys the single-board decoder, if any. Always 0. */
PALVEX_API int32_t release(void);

/* Turns `command` into the 5-byte instruction a board takes (the first five
 * command bytes, zero-padded) and hands it to the write callback.
 * With a decoder: the first non-null callback given becomes the decoder's and
 * receives the decoder's host context; 0, or 4 if there is still none.
 * Without a decoder: `callback` receives `host_context`; 0, or 4 if it is
 * NULL. 3 when `command` is NULL but `length` is not 0. */
PALVEX_API int32_t data_write(const unsigned char* command, size_t length,
                              write_callback_fn callback, void* host_context);

/* Binds the logger the library writes through; NULL selects the library's
 * own logger "palvex_api" on standard error. */
PALVEX_API void set_logger(palvex_logger* log);

/* ---- hub mode ---------------------------------------------------------- */

/* A hub session, in one paragraph. corvel_open_connection connects and
 * greets the hub, with up to five attempts spread over about two seconds;
 * if all fail it returns 5 and hub mode stays not opened, so the next call
 * tries again: a host that wants to wait longer for a hub that is booting
 * calls it again. Once connected, the read loop keeps the connection: when
 * the hub closes it or the socket fails (a receive time-out is no failure),
 * it logs one warning, connects and greets again on its own with a growing
 * pause between attempts (up to 3 s) until it succeeds or corvel_release()
 * is called, and goes on reading. Registrations, decoders and the SSID list
 * stay; each board's packet numbers simply continue, so an outage shows as
 * the packets it lost (filler rows, as for any gap). corvel_write_data
 * returns 5 while there is no connection and sends nothing. After
 * corvel_release() and the loop's return, corvel_open_connection arms hub
 * mode again (connecting again if the connection is gone) and a new
 * corvel_read_thread() reads on: a new session, whose loss accounting starts
 * afresh. A host may return from main or call exit while the loop runs. */

/* Connects to the hub on TCP port 5005 (empty host: the hub's default name)
 * and greets it. 0 connected (also when already connected: no new
 * connection is made); 5 no connection after the attempts, or a running
 * read loop is reconnecting, or a loop asked to end has not ended within
 * 3 s; 10 (Windows only) no host given and no hub adapter present. While a
 * read loop runs, the call changes nothing. */
PALVEX_API int32_t corvel_open_connection(const char* host, palvex_logger* log);

/* Stores the data callback for every hub board; only the first non-null one
 * counts. Always 0. */
PALVEX_API int32_t corvel_set_pcallback(data_callback_fn callback);

/* Asks the read loop to end. Always 0. */
PALVEX_API int32_t corvel_release(void);

/* Runs the hub read loop on the calling thread until corvel_release(),
 * reconnecting on its own when the connection is lost (see above). It
 * returns at once when hub mode is not opened or another loop runs.
 * The hub streams whether or not the loop runs, so the loop throws its first
 * receive (and the first of every new connection) away and then finds the chunk boundaries in the bytes that follow
 * (losing at most the chunk that receive cut; skipped bytes are logged as a
 * warning). Each chunk is decoded once; its rows, filler rows included, go
 * to the board's registered context and then to every all-boards context in
 * registration order, one row at a time, the same rows for each. A chunk
 * that cannot be decoded (wrong length, a family the descriptor cannot
 * decode, an unknown type word, a descriptor no decoder can be made from)
 * is dropped and logged once per board and cause; the loop goes on.
 * Data callbacks run on this thread and may call the other hub exports. */
PALVEX_API void corvel_read_thread(void);

/* Registers `context` for the board `ssid`, or for all boards when `ssid` is
 * "" (NULL reads as ""). 0 registered; 9 duplicate. A NULL context is
 * registered like any other but receives no rows: a host that only writes
 * to all boards registers NULL for all boards and costs the read loop
 * nothing. */
PALVEX_API int32_t corvel_set_board(void* context, const char* ssid);

/* Hands out the SSIDs met so far, in the order first met: `*list` receives an
 * array of `*count` character arrays, each holding the SSID's 0 to 6
 * characters followed by a terminating zero (so a host can find the end of
 * an SSID shorter than 6). Release with corvel_free_ssid_list(*list, *count).
 * Both outputs are set (NULL and 0) before anything can fail. Always 0. */
PALVEX_API int32_t corvel_get_list_of_ssids(char*** list, int* count);

/* Releases what corvel_get_list_of_ssids() handed out. NULL is ignored. */
PALVEX_API void corvel_free_ssid_list(char** list, int count);

/* Hands out the index-th SSID (counting from 1) as a zero-terminated
 * character array, or NULL when there is none or it is empty (also set
 * before anything can fail). Release with corvel_free_ssid(). Always 0. */
PALVEX_API int32_t corvel_get_ssid_by_idx(int index, char** ssid);

/* Releases what corvel_get_ssid_by_idx() handed out. NULL is ignored. */
PALVEX_API void corvel_free_ssid(char* ssid);

/* States of a hub session, as corvel_get_connection_state() reports them. */
enum {
    PALVEX_HUB_NOT_OPENED = 0,   /* never connected, or the last open found no hub */
    PALVEX_HUB_CONNECTED = 1,    /* connected and greeted */
    PALVEX_HUB_RECONNECTING = 2, /* the connection was lost; the read loop connects again */
    PALVEX_HUB_RELEASED = 3      /* corvel_release() was called; open again to go on */
};

/* Writes the session's state (PALVEX_HUB_*) through `state` and the number
 * of times the read loop connected again after a loss, in this process,
 * through `reconnections`. Either may be NULL. Always 0. */
PALVEX_API int32_t corvel_get_connection_state(int32_t* state, uint32_t* reconnections);

/* Sends `data` as an instruction to the board(s) addressed by `context`: a
 * context registered under SSIDs addresses each of them, in registration
 * order; one registered for all boards addresses every board met so far.
 * One frame for all of them, sent whole or not at all: 0 sent; 3 `data` is
 * NULL but `length` is not 0; 7 `context` is not registered; 5 no
 * connection, or the send failed or stopped part-way (the connection is
 * then taken as lost and the read loop connects again; a trigger byte the
 * frame carried stays pending for the next frame). Nothing is sent unless
 * the result is 0. */
PALVEX_API int32_t corvel_write_data(const unsigned char* data, size_t length, void* context);

#ifdef __cplusplus
}
#endif

#endif /* PALVEX_PALVEX_H */

/* A host that knows PalvexWrapper only as an installed package: decodes one
 * hand-built MES_4 buffer (type word 4, packet numbers 7 and 8, ExG channel
 * 0 of sample 0 = 1000) and checks the two rows it gets back, once through
 * its own callback and once through a row buffer of PalvexRows; then reads
 * the buffer back from a capture of two chunks with junk between them
 * through PalvexCapture. */
#include <palvex/capture.h>
#include <palvex/palvex.h>
#include <palvex/rows.h>
#include <stdio.h>
#include <string.h>

static int rows;
static double numbers[2];
static double exg0;

static void on_row(void* context, const double* row, size_t count) {
    (void)context;
    if (count == 32 && rows < 2) numbers[rows] = row[26];
    if (rows == 0) exg0 = row[0];
    ++rows;
}

static void put_le32(unsigned char* at, unsigned v) {
    for (int i = 0; i < 4; ++i) at[i] = (unsigned char)(v >> (8 * i));
}

int main(void) {
    unsigned char buffer[77];
    memset(buffer, 0, sizeof buffer);
    buffer[0] = MES_4;
    buffer[2 + 2] = 0xE8; /* 24-bit big-endian 1000 = 00 03 E8 */
    buffer[2 + 1] = 0x03;
    put_le32(buffer + 2 + 67, 7);
    put_le32(buffer + 2 + 71, 8);
    set_board_json("{\"num_rows\": 32, \"exg_channels\": [0,1,2,3,4,5,6,7], \"accel_channels\": [8,9,10],"
                   " \"gyro_channels\": [11,12,13], \"ppg_channels\": [24,25], \"package_num_channel\": 26,"
                   " \"battery_channel\": 27, \"other_channels\": [28,30]}");
    int context = 0;
    const int rc = interpret_data_fn(buffer, sizeof buffer, on_row, &context);
    release();
    printf("consumer: result %d, %d rows, packet numbers %g %g, exg_0 %g\n", rc, rows, numbers[0], numbers[1], exg0);

    palvex_rows* ring = palvex_rows_create(32, 8);
    const int ring_rc = interpret_data_fn(buffer, sizeof buffer, palvex_rows_callback, ring);
    release();
    double taken[3 * 32];
    const size_t n = palvex_rows_take(ring, taken, 3);
    palvex_rows_destroy(ring);
    printf("consumer: row buffer result %d, %zu rows taken, packet numbers %g %g, exg_0 %g\n", ring_rc, n,
           taken[26], taken[32 + 26], taken[0]);

    unsigned char capture[2 * 87 + 5];
    memset(capture, 0xEE, sizeof capture);
    for (int k = 0; k < 2; ++k) {
        unsigned char* chunk = capture + k * (87 + 5);
        memset(chunk, 0, 6);
        memcpy(chunk, "A1", 2);
        put_le32(chunk + 6, sizeof buffer);
        memcpy(chunk + 10, buffer, sizeof buffer);
    }
    palvex_capture* reader = palvex_capture_open_memory(capture, sizeof capture);
    palvex_capture_chunk chunk;
    int chunks = 0;
    unsigned long long skipped = 0;
    while (palvex_capture_next(reader, &chunk) == PALVEX_CAPTURE_CHUNK) {
        chunks += strcmp(chunk.ssid, "A1") == 0 && chunk.length == sizeof buffer;
        skipped += chunk.skipped;
    }
    palvex_capture_close(reader);
    printf("consumer: capture of %d chunks, %llu bytes skipped\n", chunks, skipped);

    return chunks == 2 && skipped == 5 && rc == PALVEX_OK && rows == 2 && numbers[0] == 7 && numbers[1] == 8 && exg0 == 45 && ring_rc == PALVEX_OK &&
                   n == 2 && taken[26] == 7 && taken[32 + 26] == 8 && taken[0] == 45
               ? 0
               : 1;
}

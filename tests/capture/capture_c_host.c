/* A host of the capture reader written in C: capture.h compiles as C, and a
 * clean and a damaged capture, written to a file and read back as the
 * header's example reads one, give the chunks and the damage they should.
 * Exits 0 when every check holds, else 1 with the failed checks on stderr. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <palvex/capture.h>

static int failures = 0;

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

/* A MES_4 chunk (type word 4, 75 packet bytes) of board `ssid`. */
static size_t put_chunk(unsigned char* at, const char* ssid, unsigned char fill) {
    memset(at, 0, 6);
    memcpy(at, ssid, strlen(ssid));
    at[6] = 77; at[7] = 0; at[8] = 0; at[9] = 0;
    at[10] = 4; at[11] = 0;
    memset(at + 12, fill, 75);
    return 87;
}

struct seen {
    int chunks;
    unsigned long long skipped, skipped_at, last_offset;
    char last_ssid[7];
};

static struct seen read_file(const char* path, palvex_capture_tail* tail) {
    struct seen s;
    palvex_capture_chunk chunk;
    palvex_capture* c = palvex_capture_open_file(path);
    memset(&s, 0, sizeof s);
    CHECK(c != NULL);
    if (c == NULL) return s;
    while (palvex_capture_next(c, &chunk) == PALVEX_CAPTURE_CHUNK) {
        ++s.chunks;
        CHECK(chunk.length == 77 && chunk.payload[0] == 4);
        if (chunk.skipped) {
            s.skipped += chunk.skipped;
            s.skipped_at = chunk.offset - chunk.skipped;
        }
        s.last_offset = chunk.offset;
        memcpy(s.last_ssid, chunk.ssid, sizeof s.last_ssid);
    }
    CHECK(palvex_capture_tail_of(c, tail) == 1);
    palvex_capture_close(c);
    return s;
}

int main(int argc, char** argv) {
    unsigned char bytes[4096];
    size_t n = 0;
    int i;
    const char* path = argc > 1 ? argv[1] : "palvex_capture_c_host.cap";
    FILE* f;
    struct seen s;
    palvex_capture_tail tail;

    /* Clean: ten chunks of two boards. */
    for (i = 0; i < 10; ++i) n += put_chunk(bytes + n, i % 2 ? "B2" : "A1", (unsigned char)i);
    f = fopen(path, "wb");
    CHECK(f != NULL && fwrite(bytes, 1, n, f) == n);
    if (f) fclose(f);
    s = read_file(path, &tail);
    CHECK(s.chunks == 10 && s.skipped == 0 && strcmp(s.last_ssid, "B2") == 0);
    CHECK(tail.skipped == 0 && tail.cut_size == 0);

    /* Damaged: 30 bytes of junk after the third chunk, the seventh chunk's
     * length flipped, and the end cut 20 bytes into the last chunk. */
    memmove(bytes + 3 * 87 + 30, bytes + 3 * 87, n - 3 * 87);
    memset(bytes + 3 * 87, 0xEE, 30);
    n += 30;
    bytes[30 + 6 * 87 + 8] = 0x5A;
    n -= 87 - 20;
    f = fopen(path, "wb");
    CHECK(f != NULL && fwrite(bytes, 1, n, f) == n);
    if (f) fclose(f);
    s = read_file(path, &tail);
    CHECK(s.chunks == 8);                     /* ten, less the flipped one and the cut one */
    CHECK(s.skipped == 30 + 87);              /* the junk and the flipped chunk passed over */
    CHECK(s.skipped_at == 30 + 6 * 87);       /* the flipped chunk's stretch is the later one */
    CHECK(tail.cut_offset == 30 + 9 * 87 && tail.cut_size == 20);
    remove(path);

    /* The same bytes in memory read alike, and a NULL reader is refused. */
    {
        palvex_capture* c = palvex_capture_open_memory(bytes, n);
        palvex_capture_chunk chunk;
        int count = 0;
        while (palvex_capture_next(c, &chunk) == PALVEX_CAPTURE_CHUNK) ++count;
        CHECK(count == 8);
        palvex_capture_close(c);
        CHECK(palvex_capture_next(NULL, &chunk) == PALVEX_CAPTURE_REFUSED);
    }
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}

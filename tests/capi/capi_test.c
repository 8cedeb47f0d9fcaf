/* The C interface from C: listing, reading (into a buffer and block by block, with and
 * without the password), extraction and the failures a caller meets, over corpus
 * archives made by Info-ZIP. Arguments: the corpus folder and a scratch folder. */
#include "unspool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;
#define CHECK(cond)                                                                          \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);        \
            ++failures;                                                                      \
        }                                                                                    \
    } while (0)

static char corpus[1024], scratch[1024];
static const char* Path(char* buf, const char* dir, const char* name)
{
    int n = snprintf(buf, 1024, "%s/%s", dir, name);
    if (n < 0 || n >= 1024) abort(); /* a scratch path this long is a setup fault */
    return buf;
}

static uint32_t Crc32(uint32_t crc, const unsigned char* p, size_t n)
{
    crc = ~crc;
    while (n--) {
        crc ^= *p++;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

/* The size of a file, -1 when it is missing. */
static long FileSize(const char* path)
{
    FILE* f = fopen(path, "rb");
    if (!f) return -1;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

struct Sum {
    size_t Bytes;
    uint32_t Crc;
    size_t StopAfter; /* 0: never */
};
static int Summed(void* user, const void* data, size_t n)
{
    struct Sum* s = (struct Sum*)user;
    s->Bytes += n;
    s->Crc = Crc32(s->Crc, (const unsigned char*)data, n);
    return s->StopAfter != 0 && s->Bytes >= s->StopAfter;
}

static const struct {
    const char* Name;
    uint64_t Size;
    uint32_t Method, Crc, Mode;
    int Dir, Encrypted;
} Listing[] = {
    {"readme.txt", 35149, 8, 0x97673d00u, 0100644, 0, 1},
    {"random.bin", 50000, 8, 0x23509696u, 0100644, 0, 1},
    {"empty.dat", 0, 0, 0, 0100644, 0, 1},
    {"small.txt", 18, 0, 0x4d19b717u, 0100644, 0, 1},
    {"sub/", 0, 0, 0, 040755, 1, 0},
    {"sub/dir/", 0, 0, 0, 040755, 1, 0},
    {"sub/dir/nested.txt", 20063, 8, 0xd3595cbcu, 0100644, 0, 1},
};

static void Lists(unspool_archive* a)
{
    size_t count = sizeof Listing / sizeof Listing[0];
    CHECK(unspool_entry_count(a) == count);
    for (size_t i = 0; i < count && i < unspool_entry_count(a); ++i) {
        unspool_entry_info e;
        CHECK(unspool_entry(a, i, &e) == UNSPOOL_OK);
        CHECK(strcmp(e.name, Listing[i].Name) == 0);
        CHECK(e.size == Listing[i].Size && e.method == Listing[i].Method);
        CHECK(e.crc32 == Listing[i].Crc && e.unix_mode == Listing[i].Mode);
        CHECK(e.is_dir == Listing[i].Dir && e.is_encrypted == Listing[i].Encrypted);
        CHECK(e.dos_time == 0x526428C4u && e.mtime_utc == 1614834368);
    }
    unspool_entry_info e;
    CHECK(unspool_entry(a, count, &e) == UNSPOOL_E_RANGE);
}

static void ReadsWithPasswords(unspool_archive* a)
{
    char buf[64];
    size_t written = 99;
    /* No password, then a wrong one: refused with the component's code; then the right one. */
    const char* wrong[] = {"corpus-PW"};
    const char* right[] = {"corpus-PW", "corpus-pw"};
    CHECK(unspool_read(a, "small.txt", buf, sizeof buf, &written) == 26517);
    CHECK(unspool_last_error(a) == 26517 &&
          strcmp(unspool_last_error_text(a), "Invalid password (small.txt)") == 0);
    CHECK(unspool_set_passwords(a, wrong, 1) == UNSPOOL_OK);
    CHECK(unspool_read(a, "small.txt", buf, sizeof buf, &written) == 26517 && written == 0);
    CHECK(unspool_set_passwords(a, right, 2) == UNSPOOL_OK);
    CHECK(unspool_read(a, "small.txt", buf, sizeof buf, &written) == UNSPOOL_OK);
    CHECK(written == 18 && memcmp(buf, "Hello, ZIP world!\n", 18) == 0);
    CHECK(unspool_last_error(a) == 0 && *unspool_last_error_text(a) == 0);

    /* Too small: the size needed comes back. */
    CHECK(unspool_read(a, "small.txt", buf, 17, &written) == UNSPOOL_E_BUFFER_TOO_SMALL);
    CHECK(written == 18 && unspool_last_error(a) == UNSPOOL_E_BUFFER_TOO_SMALL);
    CHECK(unspool_read(a, "no/such.txt", buf, sizeof buf, &written) == UNSPOOL_E_NOT_FOUND);
    CHECK(unspool_read(a, "sub/dir/", buf, sizeof buf, &written) == UNSPOOL_E_NOT_FOUND);

    /* Block by block, over every byte; and stopped by the callback. */
    struct Sum s = {0, 0, 0};
    CHECK(unspool_read_cb(a, "sub/dir/nested.txt", Summed, &s) == UNSPOOL_OK);
    CHECK(s.Bytes == 20063 && s.Crc == 0xd3595cbcu);
    struct Sum stop = {0, 0, 1};
    CHECK(unspool_read_cb(a, "random.bin", Summed, &stop) == UNSPOOL_E_ABORTED);
    CHECK(stop.Bytes > 0 && stop.Bytes < 50000);
    s.Bytes = 0, s.Crc = 0;
    CHECK(unspool_read_cb(a, "readme.txt", Summed, &s) == UNSPOOL_OK);
    CHECK(s.Bytes == 35149 && s.Crc == 0x97673d00u);
}

static void Extracts(unspool_archive* a)
{
    char dir[1024], flat[1024], file[1024];
    Path(dir, scratch, "tree");
    Path(flat, scratch, "flat");
    CHECK(unspool_extract(a, dir, UNSPOOL_EXTRACT_OVERWRITE | UNSPOOL_EXTRACT_NEVER_OVERWRITE) ==
          UNSPOOL_E_ARGUMENT);
    CHECK(unspool_extract(a, dir, 0) == UNSPOOL_OK);
    CHECK(FileSize(Path(file, dir, "sub/dir/nested.txt")) == 20063);
    CHECK(FileSize(Path(file, dir, "readme.txt")) == 35149);
    /* An existing file is kept unless overwriting is asked for. */
    FILE* f = fopen(Path(file, dir, "small.txt"), "wb");
    CHECK(f && fputs("kept", f) >= 0);
    if (f) fclose(f);
    CHECK(unspool_extract(a, dir, UNSPOOL_EXTRACT_NEVER_OVERWRITE) == UNSPOOL_OK);
    CHECK(FileSize(file) == 4);
    CHECK(unspool_extract(a, dir, UNSPOOL_EXTRACT_OVERWRITE) == UNSPOOL_OK);
    CHECK(FileSize(file) == 18);
    CHECK(unspool_extract(a, flat, UNSPOOL_EXTRACT_NO_FOLDERS) == UNSPOOL_OK);
    CHECK(FileSize(Path(file, flat, "nested.txt")) == 20063);
    CHECK(FileSize(Path(file, flat, "sub/dir/nested.txt")) == -1);
}

/* A CRC error, from an archive held in memory whose bytes the caller frees at once. */
static void ReportsBadEntry(void)
{
    char path[1024];
    FILE* f = fopen(Path(path, corpus, "bad_crc.zip"), "rb");
    CHECK(f != NULL);
    if (!f) return;
    unsigned char* bytes = malloc(200000);
    size_t n = fread(bytes, 1, 200000, f);
    fclose(f);
    int error = -100;
    unspool_archive* a = unspool_open_memory(bytes, n, &error);
    memset(bytes, 0, n);
    free(bytes);
    CHECK(a != NULL && error == UNSPOOL_OK);
    if (!a) return;
    char buf[64];
    size_t written = 0;
    struct Sum s = {0, 0, 0};
    CHECK(unspool_read(a, "small.txt", buf, sizeof buf, &written) == 25151);
    CHECK(unspool_last_error(a) == 25151);
    CHECK(strcmp(unspool_last_error_text(a), "File fails CRC check (small.txt)") == 0);
    CHECK(unspool_read_cb(a, "sub/dir/nested.txt", Summed, &s) == UNSPOOL_OK && s.Crc == 0xd3595cbcu);
    CHECK(unspool_extract(a, Path(path, scratch, "bad"), 0) == 25151);
    CHECK(strstr(unspool_last_error_text(a), "small.txt") != NULL);
    unspool_close(a);
}

int main(int argc, char** argv)
{
    if (argc != 3) return 2;
    snprintf(corpus, sizeof corpus, "%s", argv[1]);
    snprintf(scratch, sizeof scratch, "%s", argv[2]);
    char path[1024];
    int error = 0;
    CHECK(unspool_open(Path(path, corpus, "no-such.zip"), &error) == NULL && error > 0);
    CHECK(strcmp(unspool_error_text(error), "unknown error code") != 0);
    CHECK(unspool_open(NULL, &error) == NULL && error == UNSPOOL_E_ARGUMENT);

    unspool_archive* a = unspool_open(Path(path, corpus, "c07_infozip_zipcrypto.zip"), &error);
    CHECK(a != NULL && error == UNSPOOL_OK);
    if (a) {
        Lists(a);
        ReadsWithPasswords(a);
        Extracts(a);
        unspool_close(a);
    }
    ReportsBadEntry();
    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}

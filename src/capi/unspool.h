/* The C interface of Unspool: listing, reading and extracting ZIP archives from C and
 * from any language with a C foreign-function interface (Python's ctypes, Rust, Go).
 *
 * An archive is an opaque handle, driven by one thread at a time; two handles on two
 * threads share nothing. Every function returns 0 on success, a message code of the
 * extraction component (a positive number such as 25151 for a CRC error, whose text
 * unspool_last_error_text gives) when the archive's bytes failed, or one of the
 * negative UNSPOOL_E_ codes below when the call itself could not be carried out. No
 * C++ exception leaves this interface.
 *
 * Names are UTF-8 with '/' between folders, in both directions. */
#ifndef UNSPOOL_H
#define UNSPOOL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(UNSPOOL_BUILDING_CAPI)
#    define UNSPOOL_API __declspec(dllexport)
#  else
#    define UNSPOOL_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define UNSPOOL_API __attribute__((visibility("default")))
#else
#  define UNSPOOL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
    UNSPOOL_OK = 0,
    UNSPOOL_E_ARGUMENT = -1,         /* a null handle, name or buffer, or clashing flags */
    UNSPOOL_E_NOT_FOUND = -2,        /* the archive holds no file entry of that name */
    UNSPOOL_E_BUFFER_TOO_SMALL = -3, /* *written holds the size the entry needs */
    UNSPOOL_E_RANGE = -4,            /* an entry index at or past unspool_entry_count */
    UNSPOOL_E_NO_MEMORY = -5,
    UNSPOOL_E_ABORTED = -6,          /* the read callback returned non-zero */
    UNSPOOL_E_INTERNAL = -7          /* an unexpected failure; the text says what */
};

/* unspool_extract: existing files are kept unless UNSPOOL_EXTRACT_OVERWRITE is given
 * (UNSPOOL_EXTRACT_NEVER_OVERWRITE says so explicitly; the two together are refused);
 * UNSPOOL_EXTRACT_NO_FOLDERS writes every file straight into the destination. */
#define UNSPOOL_EXTRACT_OVERWRITE 0x1u
#define UNSPOOL_EXTRACT_NEVER_OVERWRITE 0x2u
#define UNSPOOL_EXTRACT_NO_FOLDERS 0x4u

typedef struct unspool_archive unspool_archive;

typedef struct unspool_entry_info {
    const char* name;      /* UTF-8, '/' separated; owned by the handle until close */
    uint64_t size;         /* uncompressed bytes */
    uint64_t packed;       /* compressed bytes, an encryption header included */
    uint32_t method;       /* the ZIP compression method (0 stored, 8 deflate, ...) */
    uint32_t crc32;
    uint32_t dos_time;     /* MS-DOS date in the high 16 bits, time in the low */
    uint32_t unix_mode;    /* type and permission bits from a Unix writer, else 0 */
    int is_dir;
    int is_encrypted;
    int64_t mtime_utc;     /* seconds since 1970 from an extended-time field, else -1 */
} unspool_entry_info;

/* Opens the archive at path (UTF-8) and reads its directory. Returns NULL when it
 * cannot, with the reason in *error when error is not NULL. */
UNSPOOL_API unspool_archive* unspool_open(const char* path, int* error);
/* The same for an archive held in memory. The bytes are copied: the caller's buffer
 * may be freed as soon as the call returns. */
UNSPOOL_API unspool_archive* unspool_open_memory(const void* data, size_t size, int* error);
UNSPOOL_API void unspool_close(unspool_archive* archive);

/* The passwords tried on encrypted entries, in order; replaces the previous list (a
 * count of 0 clears it). The strings are copied. */
UNSPOOL_API int unspool_set_passwords(unspool_archive* archive, const char* const* passwords,
                                      size_t count);

UNSPOOL_API size_t unspool_entry_count(unspool_archive* archive);
UNSPOOL_API int unspool_entry(unspool_archive* archive, size_t index, unspool_entry_info* out);

/* Decodes the file entry stored under name into buffer, through the same ciphers and
 * CRC and size checks as extraction. *written gets the bytes written; when capacity is
 * too small nothing usable is left in buffer, UNSPOOL_E_BUFFER_TOO_SMALL is returned
 * and *written holds the size needed. */
UNSPOOL_API int unspool_read(unspool_archive* archive, const char* name, void* buffer,
                             size_t capacity, size_t* written);
/* The same, handing the bytes to cb block by block; a non-zero return from cb stops
 * the read with UNSPOOL_E_ABORTED. A failed check (a CRC error) is known only after
 * the last block: the caller keeps the bytes only when the call returns 0. */
UNSPOOL_API int unspool_read_cb(unspool_archive* archive, const char* name,
                                int (*cb)(void* user, const void* data, size_t n), void* user);

/* Extracts every entry into dest_dir (UTF-8; made when missing). Returns 0 when no
 * entry failed; otherwise the first failure, whose text unspool_last_error_text gives. */
UNSPOOL_API int unspool_extract(unspool_archive* archive, const char* dest_dir, unsigned flags);

/* The code and text of the first failure of the last call that failed on this handle
 * (0 and "" after a success); the text is owned by the handle until its next call. */
UNSPOOL_API int unspool_last_error(unspool_archive* archive);
UNSPOOL_API const char* unspool_last_error_text(unspool_archive* archive);
/* The text of any code these functions return (the reason of a failed open): static
 * storage, without the file name and details unspool_last_error_text adds. */
UNSPOOL_API const char* unspool_error_text(int code);

#ifdef __cplusplus
}
#endif

#endif

# The C interface from Python through ctypes: open an archive, list it, read one entry.
# Arguments: the path of libunspool.so and the corpus folder.
import ctypes, sys, zlib

class EntryInfo(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("size", ctypes.c_uint64), ("packed", ctypes.c_uint64),
                ("method", ctypes.c_uint32), ("crc32", ctypes.c_uint32), ("dos_time", ctypes.c_uint32),
                ("unix_mode", ctypes.c_uint32), ("is_dir", ctypes.c_int), ("is_encrypted", ctypes.c_int),
                ("mtime_utc", ctypes.c_int64)]

lib = ctypes.CDLL(sys.argv[1])
lib.unspool_open.restype = ctypes.c_void_p
lib.unspool_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)]
for f in ("unspool_entry_count", "unspool_entry", "unspool_read", "unspool_close"):
    getattr(lib, f).argtypes = [ctypes.c_void_p] + {"unspool_entry": [ctypes.c_size_t, ctypes.POINTER(EntryInfo)],
        "unspool_read": [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]}.get(f, [])
lib.unspool_entry_count.restype = ctypes.c_size_t

error = ctypes.c_int()
zip = lib.unspool_open((sys.argv[2] + "/c02_infozip_deflate9_comments.zip").encode(), ctypes.byref(error))
assert zip and error.value == 0, error.value
info = EntryInfo()
entries = {}
for i in range(lib.unspool_entry_count(zip)):
    assert lib.unspool_entry(zip, i, ctypes.byref(info)) == 0
    entries[info.name.decode()] = (info.size, info.crc32)
size, crc = entries["readme.txt"]
buf, written = ctypes.create_string_buffer(size), ctypes.c_size_t()
assert lib.unspool_read(zip, b"readme.txt", buf, size, ctypes.byref(written)) == 0
assert written.value == size > 0 and zlib.crc32(buf.raw) == crc
lib.unspool_close(zip)
print(sorted(entries))

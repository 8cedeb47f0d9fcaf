# The C interface from Python through ctypes: open an archive, list it, read one entry.
# Arguments: the path of libunspool.so and the corpus folder.
import ctypes, sys, zlib
from ctypes import POINTER, byref, c_char_p, c_int, c_int64, c_size_t, c_uint32, c_uint64, c_void_p

class EntryInfo(ctypes.Structure):
    _fields_ = [("name", c_char_p), ("size", c_uint64), ("packed", c_uint64), ("method", c_uint32),
                ("crc32", c_uint32), ("dos_time", c_uint32), ("unix_mode", c_uint32),
                ("is_dir", c_int), ("is_encrypted", c_int), ("mtime_utc", c_int64)]

lib = ctypes.CDLL(sys.argv[1])
lib.unspool_open.restype = c_void_p
lib.unspool_open.argtypes = [c_char_p, POINTER(c_int)]
lib.unspool_entry_count.restype = c_size_t
lib.unspool_entry_count.argtypes = [c_void_p]
lib.unspool_entry.argtypes = [c_void_p, c_size_t, POINTER(EntryInfo)]
lib.unspool_read.argtypes = [c_void_p, c_char_p, c_void_p, c_size_t, POINTER(c_size_t)]
lib.unspool_close.argtypes = [c_void_p]

error = c_int()
archive = lib.unspool_open((sys.argv[2] + "/c02_infozip_deflate9_comments.zip").encode(), byref(error))
assert archive, error.value
info, entries = EntryInfo(), {}
for i in range(lib.unspool_entry_count(archive)):
    assert lib.unspool_entry(archive, i, byref(info)) == 0
    entries[info.name.decode()] = (info.size, info.crc32)
assert sorted(entries) == ["random.bin", "readme.txt", "small.txt", "table.bin"], entries
size, crc = entries["readme.txt"]
buf, written = ctypes.create_string_buffer(size), c_size_t()
assert lib.unspool_read(archive, b"readme.txt", buf, size, byref(written)) == 0
assert written.value == size > 0 and zlib.crc32(buf.raw) == crc
lib.unspool_close(archive)

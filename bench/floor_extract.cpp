// The floor for extraction on one thread: how fast this machine extracts an archive of
// Stored and Deflate entries when nothing stands between the archive's bytes and the
// files but the work every extractor has to do.
//
//   floor_extract [--read] ARCHIVE DESTDIR
//
// The whole archive is read into memory first, untimed. The timed part then reads the
// central directory and, for every entry in order, makes the folders its name needs
// (each one once: the folders made are remembered), decodes the entry with libdeflate's
// whole-buffer decoder into a buffer of its declared size (a Stored entry is written
// straight from the archive's buffer), checks its CRC-32, writes the file with one
// open, one write and one close, and sets its modification time on the open file.
// The seconds of that part are the only thing printed on stdout, e.g. 0.123.
//
// With --read the timed part begins by reading the whole archive once more, 256 KB at a
// time into one small buffer: the copy out of the page cache that an extractor which
// reads its archive, instead of mapping it, cannot avoid. The floor with it is the floor
// of such an extractor.
//
// What it leaves out, so that it stays a floor: no temporary file and rename, no check
// for existing files, no folder times, no progress or events, and names are taken as
// the bytes stored (the benchmark archives come from Unix writers with ASCII names).
// What it does not cover it refuses: methods other than Stored and Deflate, encrypted
// entries, links, and names that would leave DESTDIR.
//
// This is a benchmark program outside the library; it calls POSIX directly.
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& What)
{
    std::fprintf(stderr, "floor_extract: %s\n", What.c_str());
    std::exit(1);
}

[[noreturn]] void FailErrno(const std::string& What) { Fail(What + ": " + std::strerror(errno)); }

uint16_t U16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | P[1] << 8); }
uint32_t U32(const uint8_t* P) { return U16(P) | static_cast<uint32_t>(U16(P + 2)) << 16; }
uint64_t U64(const uint8_t* P) { return U32(P) | static_cast<uint64_t>(U32(P + 4)) << 32; }

// A file descriptor closed when it goes out of scope.
class TFd {
public:
    explicit TFd(int Fd) : FFd(Fd) {}
    ~TFd()
    {
        if (FFd >= 0) ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    // Closes now, so that a failure to close is seen (the last write may fail there).
    int Close() { return ::close(std::exchange(FFd, -1)); }

private:
    int FFd;
};

// The archive in memory. Every offset and length used on it comes from the archive
// itself, so every access goes through At, which refuses what lies outside.
class TArchive {
public:
    explicit TArchive(const char* Path)
    {
        TFd fd(::open(Path, O_RDONLY | O_CLOEXEC));
        struct stat st;
        if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) FailErrno(Path);
        FData.resize(static_cast<size_t>(st.st_size));
        for (size_t done = 0; done < FData.size();) {
            const ssize_t n = ::read(fd.Get(), FData.data() + done, FData.size() - done);
            if (n <= 0) FailErrno(std::string(Path) + ": short read");
            done += static_cast<size_t>(n);
        }
    }
    // Reads the whole file again, through a buffer of 256 KB.
    void Reread(const char* Path) const
    {
        TFd fd(::open(Path, O_RDONLY | O_CLOEXEC));
        if (fd.Get() < 0) FailErrno(Path);
        std::vector<uint8_t> buf(256 << 10);
        for (size_t done = 0; done < FData.size();) {
            const ssize_t n = ::read(fd.Get(), buf.data(), buf.size());
            if (n <= 0) FailErrno(std::string(Path) + ": short read");
            done += static_cast<size_t>(n);
        }
    }
    uint64_t Size() const { return FData.size(); }
    const uint8_t* At(uint64_t Pos, uint64_t Len) const
    {
        if (Pos > FData.size() || Len > FData.size() - Pos) Fail("the archive is damaged");
        return FData.data() + Pos;
    }

private:
    std::vector<uint8_t> FData;
};

struct TEntry {
    std::string Name; // as stored, '/' between folders
    uint16_t Method;
    uint32_t Crc;
    uint64_t Packed, Size;
    const uint8_t* Data; // the packed bytes, inside the archive's buffer
    mode_t Mode;         // the permission bits the file is created with
    timespec Modified;
    bool IsFolder() const { return !Name.empty() && Name.back() == '/'; }
};

constexpr uint16_t Stored = 0, Deflated = 8;
constexpr uint8_t HostUnix = 3, HostOsx = 19;

// Where the central directory lies and how many records it holds, from the end record,
// or from the ZIP64 end record when a locator stands right before it.
struct TDirectory {
    uint64_t Offset, Size, Count;
};

TDirectory FindDirectory(const TArchive& A)
{
    // The end record is 22 bytes and may be followed by a comment of up to 65535 bytes.
    if (A.Size() < 22) Fail("not a ZIP archive");
    const uint64_t lowest = A.Size() > 22 + 65535 ? A.Size() - 22 - 65535 : 0;
    for (uint64_t pos = A.Size() - 22 + 1; pos-- > lowest;) {
        const uint8_t* end = A.At(pos, 22);
        if (U32(end) != 0x06054b50) continue;
        if (pos >= 20 && U32(A.At(pos - 20, 20)) == 0x07064b50) {
            const uint8_t* end64 = A.At(U64(A.At(pos - 20 + 8, 8)), 56);
            if (U32(end64) != 0x06064b50) Fail("the ZIP64 end record is missing");
            return {U64(end64 + 48), U64(end64 + 40), U64(end64 + 32)};
        }
        return {U32(end + 16), U32(end + 12), U16(end + 10)};
    }
    Fail("no end record: not a ZIP archive");
}

// The modification time in UTC from the extended timestamp (0x5455) or NTFS (0x000A)
// extra field, the finer NTFS one first; false when neither carries one.
bool ExtraTime(const uint8_t* P, size_t Size, timespec& T)
{
    bool found = false;
    for (size_t pos = 0; pos + 4 <= Size;) {
        const uint16_t tag = U16(P + pos), len = U16(P + pos + 2);
        const uint8_t* field = P + pos + 4;
        if (pos + 4 + len > Size) break;
        if (tag == 0x000A) {
            // Four reserved bytes, then tagged attributes; tag 1 starts with the
            // modification time in 100 ns steps since 1601.
            constexpr uint64_t To1970 = 116444736000000000ull;
            for (size_t i = 4; i + 4 <= len;) {
                const uint16_t atag = U16(field + i), alen = U16(field + i + 2);
                i += 4;
                if (atag == 1 && alen >= 8 && i + 8 <= len && U64(field + i) >= To1970) {
                    const uint64_t since = U64(field + i) - To1970;
                    T = {static_cast<time_t>(since / 10000000u),
                         static_cast<long>(since % 10000000u * 100u)};
                    return true;
                }
                i += alen;
            }
        } else if (tag == 0x5455 && !found && len >= 5 && (field[0] & 1)) {
            T = {static_cast<time_t>(U32(field + 1)), 0};
            found = true;
        }
        pos += 4 + len;
    }
    return found;
}

// The DOS date and time, which are local time in 2-second steps.
timespec DosTime(uint16_t Time, uint16_t Date)
{
    std::tm tm{};
    tm.tm_year = (Date >> 9) + 80;
    tm.tm_mon = ((Date >> 5) & 15) - 1;
    tm.tm_mday = Date & 31;
    tm.tm_hour = Time >> 11;
    tm.tm_min = (Time >> 5) & 63;
    tm.tm_sec = (Time & 31) * 2;
    tm.tm_isdst = -1;
    return {std::mktime(&tm), 0};
}

// A name that stays inside DESTDIR: relative, with no "." or ".." step, no empty step
// and no byte that POSIX paths cannot hold or that Windows writers use between folders.
bool SafeName(std::string_view Name)
{
    if (Name.empty() || Name.front() == '/' || Name.find('\0') != Name.npos ||
        Name.find('\\') != Name.npos)
        return false;
    size_t start = 0;
    while (start < Name.size()) {
        size_t slash = Name.find('/', start);
        if (slash == Name.npos) slash = Name.size();
        const std::string_view step = Name.substr(start, slash - start);
        if (step.empty() || step == "." || step == "..") return false;
        start = slash + 1;
    }
    return true;
}

// Reads the central directory into the entries to extract, in their order there.
std::vector<TEntry> ReadEntries(const TArchive& A)
{
    const TDirectory dir = FindDirectory(A);
    std::vector<TEntry> entries;
    uint64_t pos = dir.Offset;
    for (uint64_t i = 0; i < dir.Count; ++i) {
        const uint8_t* h = A.At(pos, 46);
        if (U32(h) != 0x02014b50) Fail("a central header is missing");
        const uint16_t flags = U16(h + 8), nameLen = U16(h + 28), extraLen = U16(h + 30);
        const uint8_t host = h[5];
        const uint32_t external = U32(h + 38);
        TEntry e;
        e.Method = U16(h + 10);
        e.Crc = U32(h + 16);
        e.Packed = U32(h + 20);
        e.Size = U32(h + 24);
        e.Name.assign(reinterpret_cast<const char*>(A.At(pos + 46, nameLen)), nameLen);
        const uint8_t* extra = A.At(pos + 46 + nameLen, extraLen);
        uint64_t local = U32(h + 42);

        // The ZIP64 field holds only the saturated 32-bit fields, in the header's order.
        for (size_t x = 0; x + 4 <= extraLen;) {
            const uint16_t tag = U16(extra + x), len = U16(extra + x + 2);
            if (tag == 0x0001) {
                size_t used = 0;
                for (uint64_t* field : {&e.Size, &e.Packed, &local}) {
                    if (*field != 0xFFFFFFFFu) continue;
                    if (used + 8 > len || x + 4 + used + 8 > extraLen) Fail("bad ZIP64 field");
                    *field = U64(extra + x + 4 + used);
                    used += 8;
                }
            }
            x += 4 + size_t{len};
        }

        if (flags & 1) Fail(e.Name + ": encrypted entries are not covered");
        if (e.Method != Stored && e.Method != Deflated)
            Fail(e.Name + ": method " + std::to_string(e.Method) + " is not covered");
        if (!SafeName(e.Name)) Fail(e.Name + ": the name would leave the destination");
        const bool fromUnix = host == HostUnix || host == HostOsx;
        const uint32_t mode = fromUnix ? external >> 16 : 0;
        if ((mode & S_IFMT) == S_IFLNK) Fail(e.Name + ": links are not covered");
        if (e.Method == Stored && e.Packed != e.Size) Fail(e.Name + ": stored sizes differ");
        // The rwx bits a Unix writer stored; otherwise read-write, or read-only when the
        // DOS attribute says so.
        e.Mode = (mode & 0777) ? (mode & 0777) : (external & 1) ? 0444 : 0644;
        if (!ExtraTime(extra, extraLen, e.Modified)) e.Modified = DosTime(U16(h + 12), U16(h + 14));

        const uint8_t* lh = A.At(local, 30);
        if (U32(lh) != 0x04034b50) Fail(e.Name + ": the local header is missing");
        e.Data = A.At(local + 30 + U16(lh + 26) + U16(lh + 28), e.Packed);
        entries.push_back(std::move(e));
        pos += 46 + uint64_t{nameLen} + extraLen + U16(h + 32);
    }
    return entries;
}

// Makes the folders below DESTDIR that a path needs, each at most once: a folder made or
// found before is remembered, so a tree of many files in few folders costs one mkdir
// per folder.
class TFolders {
public:
    explicit TFolders(int Dest) : FDest(Dest) {}
    // Makes every folder of Path up to (not including) its last step.
    void MakeParents(const std::string& Path)
    {
        const size_t slash = Path.rfind('/');
        if (slash != Path.npos) Make(Path.substr(0, slash));
    }
    void Make(const std::string& Folder)
    {
        if (Folder.empty() || FMade.count(Folder)) return;
        MakeParents(Folder);
        if (::mkdirat(FDest, Folder.c_str(), 0755) != 0 && errno != EEXIST) FailErrno(Folder);
        FMade.insert(Folder);
    }

private:
    int FDest;
    std::unordered_set<std::string> FMade;
};

// The buffer a Deflate entry is decoded into, grown to the largest entry so far and
// reused. It is mapped rather than taken from a vector: nothing is spent filling it with
// zeros the decoder overwrites, and on a large entry transparent huge pages cut the page
// faults of its first use by 512.
class TOutBuffer {
public:
    TOutBuffer() = default;
    ~TOutBuffer() { Release(); }
    TOutBuffer(const TOutBuffer&) = delete;
    TOutBuffer& operator=(const TOutBuffer&) = delete;
    uint8_t* Reserve(uint64_t Size)
    {
        if (Size > FSize) {
            Release();
            constexpr uint64_t Huge = 2 << 20;
            const uint64_t size = (Size + Huge - 1) / Huge * Huge;
            void* p =
                ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) FailErrno("output buffer");
            ::madvise(p, size, MADV_HUGEPAGE); // advice only: small pages work too
            FData = static_cast<uint8_t*>(p);
            FSize = size;
        }
        return FData;
    }

private:
    void Release()
    {
        if (FData) ::munmap(FData, FSize);
        FData = nullptr;
        FSize = 0;
    }
    uint8_t* FData = nullptr;
    uint64_t FSize = 0;
};

struct TDecompressorFree {
    void operator()(libdeflate_decompressor* D) const { libdeflate_free_decompressor(D); }
};

// Writes one file with one open, one write (more only for a size one write cannot take)
// and one close, setting its modification time on the open file.
void WriteFile(int Dest, const TEntry& E, const uint8_t* Bytes)
{
    TFd fd(::openat(Dest, E.Name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                    E.Mode));
    if (fd.Get() < 0) FailErrno(E.Name);
    for (uint64_t done = 0; done < E.Size;) {
        const ssize_t n = ::write(fd.Get(), Bytes + done, E.Size - done);
        if (n <= 0) FailErrno(E.Name);
        done += static_cast<uint64_t>(n);
    }
    const timespec times[2] = {{0, UTIME_OMIT}, E.Modified};
    if (::futimens(fd.Get(), times) != 0) FailErrno(E.Name);
    if (fd.Close() != 0) FailErrno(E.Name);
}

} // namespace

int main(int argc, char** argv)
{
    const bool reread = argc == 4 && std::string_view(argv[1]) == "--read";
    if (argc != 3 + reread) {
        std::fprintf(stderr, "usage: floor_extract [--read] ARCHIVE DESTDIR\n");
        return 2;
    }
    const char* const path = argv[1 + reread];
    const char* const destPath = argv[2 + reread];
    const TArchive archive(path);
    if (::mkdir(destPath, 0755) != 0 && errno != EEXIST) FailErrno(destPath);
    TFd dest(::open(destPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dest.Get() < 0) FailErrno(destPath);
    std::unique_ptr<libdeflate_decompressor, TDecompressorFree> inflater(
        libdeflate_alloc_decompressor());
    if (!inflater) Fail("out of memory");

    const auto start = std::chrono::steady_clock::now();
    if (reread) archive.Reread(path);
    TFolders folders(dest.Get());
    TOutBuffer out;
    for (const TEntry& e : ReadEntries(archive)) {
        if (e.IsFolder()) {
            folders.Make(e.Name.substr(0, e.Name.size() - 1));
            continue;
        }
        folders.MakeParents(e.Name);
        const uint8_t* bytes = e.Data;
        if (e.Method == Deflated) {
            uint8_t* buf = out.Reserve(e.Size);
            // Without a count to return, the decoder fails unless the entry fills
            // exactly its declared size.
            if (libdeflate_deflate_decompress(inflater.get(), e.Data, e.Packed, buf, e.Size,
                                              nullptr) != LIBDEFLATE_SUCCESS)
                Fail(e.Name + ": bad Deflate data or size");
            bytes = buf;
        }
        if (libdeflate_crc32(0, bytes, e.Size) != e.Crc) Fail(e.Name + ": CRC error");
        WriteFile(dest.Get(), e, bytes);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.6f\n", took.count());
    return 0;
}

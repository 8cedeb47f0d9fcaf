#include "OutputFaults.h"

#ifdef _WIN32

#include <stdexcept>

// The faults stand in for C library functions by interposing them, which a Windows
// program cannot do: the suites skip the tests that make them there (SKIP_ON_WINDOWS), and
// making one anyway is refused instead of passing without a fault.
namespace test {

namespace {
[[noreturn]] void NoInterposition()
{
    throw std::logic_error("output faults interpose POSIX calls; a Windows build has none");
}
} // namespace

TLinkSwapAtChmod::TLinkSwapAtChmod(const fs::path&, const fs::path&) { NoInterposition(); }
TLinkSwapAtChmod::~TLinkSwapAtChmod() = default;
bool TLinkSwapAtChmod::Swapped() const { return false; }
TFileCalls::TFileCalls() { NoInterposition(); }
TFileCalls::~TFileCalls() = default;
int TFileCalls::Opens() const { return 0; }
int TFileCalls::OpensMissing() const { return 0; }
int TFileCalls::Mkdirs() const { return 0; }
int TFileCalls::Preads() const { return 0; }
TFullDisk::TFullDisk(int64_t) { NoInterposition(); }
TFullDisk::~TFullDisk() = default;
void TFullDisk::Reset() {}

} // namespace test

#else

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <map>
#include <mutex>
#include <string>

namespace {

// The armed swap. Test-only state: the functions below stand in for the C library's
// for the whole test program, and must know whether a test asked for the race.
struct TSwap {
    std::atomic<bool> Armed{false};
    std::atomic<bool> Done{false};
    std::string Name, Target;
};
TSwap& Swap()
{
    static TSwap s;
    return s;
}

void SwapNow()
{
    TSwap& s = Swap();
    bool armed = true;
    if (!s.Armed.compare_exchange_strong(armed, false)) return;
    ::unlink(s.Name.c_str());
    if (::symlink(s.Target.c_str(), s.Name.c_str()) == 0) s.Done = true;
}

template <class Fn> Fn Next(const char* Symbol)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, Symbol));
}

// The counts of the thread that armed them; other threads' calls go uncounted.
struct TCalls {
    bool Armed = false;
    int Opens = 0, OpensMissing = 0, Mkdirs = 0, Preads = 0;
};
TCalls& Calls()
{
    static thread_local TCalls c;
    return c;
}

} // namespace

namespace {

// The volume a TFullDisk stands for: the bytes each file written holds, by inode, and
// their sum. Writes come from workers and from threads writing behind, hence the lock.
struct TVolume {
    std::mutex Lock;
    int64_t Size = -1; // no volume
    int64_t Used = 0;
    std::map<ino_t, int64_t> Held;
};
TVolume& Volume()
{
    static TVolume v;
    return v;
}

} // namespace

extern "C" ssize_t write(int Fd, const void* Buf, size_t Count)
{
    static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
    TVolume& v = Volume();
    struct stat st {};
    std::unique_lock<std::mutex> lock(v.Lock);
    if (v.Size < 0 || Fd <= 2 || ::fstat(Fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        lock.unlock();
        return next(Fd, Buf, Count);
    }
    const int64_t room = std::max<int64_t>(v.Size - v.Used, 0);
    if (room == 0 && Count > 0) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t n = next(Fd, Buf, std::min<size_t>(Count, static_cast<size_t>(room)));
    if (n > 0) {
        v.Used += n;
        v.Held[st.st_ino] += n;
    }
    return n;
}

extern "C" int unlinkat(int Dir, const char* Name, int Flags)
{
    static const auto next = Next<int (*)(int, const char*, int)>("unlinkat");
    TVolume& v = Volume();
    std::lock_guard<std::mutex> lock(v.Lock);
    struct stat st {};
    const bool known = v.Size >= 0 && ::fstatat(Dir, Name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       st.st_nlink == 1;
    const int r = next(Dir, Name, Flags);
    if (r == 0 && known) {
        if (auto it = v.Held.find(st.st_ino); it != v.Held.end()) {
            v.Used -= it->second;
            v.Held.erase(it);
        }
    }
    return r;
}

extern "C" int openat(int Dir, const char* Name, int Flags, ...)
{
    static const auto next = Next<int (*)(int, const char*, int, ...)>("openat");
    mode_t mode = 0;
    if (Flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, Flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    const int fd = next(Dir, Name, Flags, mode);
    if (TCalls& c = Calls(); c.Armed) {
        const int e = errno;
        ++c.Opens;
        if (fd < 0 && e == ENOENT) ++c.OpensMissing;
        errno = e;
    }
    return fd;
}

extern "C" int mkdirat(int Dir, const char* Name, mode_t Mode)
{
    static const auto next = Next<int (*)(int, const char*, mode_t)>("mkdirat");
    if (TCalls& c = Calls(); c.Armed) ++c.Mkdirs;
    return next(Dir, Name, Mode);
}

extern "C" ssize_t pread(int Fd, void* Buf, size_t Count, off_t Offset)
{
    static const auto next = Next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    if (TCalls& c = Calls(); c.Armed) ++c.Preads;
    return next(Fd, Buf, Count, Offset);
}

extern "C" ssize_t pread64(int Fd, void* Buf, size_t Count, off_t Offset)
{
    static const auto next = Next<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
    if (TCalls& c = Calls(); c.Armed) ++c.Preads;
    return next(Fd, Buf, Count, Offset);
}

extern "C" int fchmod(int Fd, mode_t Mode)
{
    static const auto next = Next<int (*)(int, mode_t)>("fchmod");
    SwapNow();
    return next(Fd, Mode);
}

extern "C" int fchmodat(int Dir, const char* Name, mode_t Mode, int Flags)
{
    static const auto next = Next<int (*)(int, const char*, mode_t, int)>("fchmodat");
    SwapNow();
    return next(Dir, Name, Mode, Flags);
}

namespace test {

TLinkSwapAtChmod::TLinkSwapAtChmod(const fs::path& Name, const fs::path& Target)
{
    TSwap& s = Swap();
    s.Name = Name.string();
    s.Target = Target.string();
    s.Done = false;
    s.Armed = true;
}

TLinkSwapAtChmod::~TLinkSwapAtChmod() { Swap().Armed = false; }

bool TLinkSwapAtChmod::Swapped() const { return Swap().Done; }

TFileCalls::TFileCalls() { Calls() = {true}; }
TFileCalls::~TFileCalls() { Calls().Armed = false; }
int TFileCalls::Opens() const { return Calls().Opens; }
int TFileCalls::OpensMissing() const { return Calls().OpensMissing; }
int TFileCalls::Mkdirs() const { return Calls().Mkdirs; }
int TFileCalls::Preads() const { return Calls().Preads; }

TFullDisk::TFullDisk(int64_t Bytes)
{
    TVolume& v = Volume();
    std::lock_guard<std::mutex> lock(v.Lock);
    v.Held.clear();
    v.Used = 0;
    v.Size = Bytes;
}

TFullDisk::~TFullDisk()
{
    TVolume& v = Volume();
    std::lock_guard<std::mutex> lock(v.Lock);
    v.Size = -1;
}

void TFullDisk::Reset()
{
    TVolume& v = Volume();
    std::lock_guard<std::mutex> lock(v.Lock);
    v.Held.clear();
    v.Used = 0;
}

} // namespace test

#endif

#include "OutputFaults.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
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

TSmallVolume::TSmallVolume(const fs::path& Dir, size_t Bytes) : FDir(Dir)
{
    fs::create_directories(Dir);
    const std::string options = "size=" + std::to_string(Bytes);
    FMounted = ::mount("unspool-test", Dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

TSmallVolume::~TSmallVolume()
{
    if (FMounted) ::umount2(FDir.c_str(), MNT_DETACH);
}

} // namespace test

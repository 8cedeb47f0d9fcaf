#include "OutputFaults.h"

#include <atomic>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

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

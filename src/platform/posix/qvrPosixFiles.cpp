// POSIX implementation of the platform interface.
//
// The component speaks Win32: "\" separators, attribute bits, DOS times and Win32 error
// numbers. This file translates at the edge: separators become "/", read-only maps to
// the absence of every write permission bit, errno values that the component tests are
// turned into their Win32 numbers, and DOS times are taken as local time, since a DOS
// date-time records the wall clock of the machine that wrote it and carries no zone.
#include "qvrPlatform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <iconv.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <string>

namespace qvrOS {

namespace {

thread_local uint32_t tLastError = 0;
// The errno behind tLastError, when one is: several errno values share one Win32 code,
// and the system's text for the error is the errno's.
thread_local int tLastErrno = 0;

uint32_t MapErrno(int e)
{
    switch (e) {
    case 0: return 0;
    case ENOENT:
    case ENOTDIR: return ErrorFileNotFound;
    case EACCES:
    case EPERM: return ErrorAccessDenied;
    case EROFS: return ErrorWriteProtect;
    case ENOSPC:
    case EDQUOT: return ErrorDiskFull;
    default: return 0x20000000u | static_cast<uint32_t>(e);
    }
}

void Fail(int Errno)
{
    tLastErrno = Errno;
    tLastError = MapErrno(Errno);
}

void Fail() { Fail(errno); }

// A failure the system did not report through errno, in the Win32 numbering.
void FailCode(uint32_t Code)
{
    tLastErrno = 0;
    tLastError = Code;
}

std::string ToNative(const std::string& Name)
{
    std::string s = Name;
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}

std::string FromNative(const std::string& Name)
{
    std::string s = Name;
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

int Fd(THandle H) { return static_cast<int>(H); }

// Local broken-down time <-> DOS packed date-time.
uint32_t TmToDos(const std::tm& t)
{
    if (t.tm_year < 80) return (0u << 25) | (1u << 21) | (1u << 16);
    uint32_t date = (static_cast<uint32_t>(t.tm_year - 80) << 9) |
                    (static_cast<uint32_t>(t.tm_mon + 1) << 5) | static_cast<uint32_t>(t.tm_mday);
    uint32_t time = (static_cast<uint32_t>(t.tm_hour) << 11) |
                    (static_cast<uint32_t>(t.tm_min) << 5) | static_cast<uint32_t>(t.tm_sec / 2);
    return (date << 16) | time;
}

uint32_t TimeToDos(time_t when)
{
    std::tm t{};
    if (!localtime_r(&when, &t)) return 0;
    return TmToDos(t);
}

// Code page 437 upper half: the OEM code page of US-English DOS, in which most DOS-era
// archives store their entry names.
constexpr std::array<char16_t, 128> Cp437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8,
    0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2,
    0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1,
    0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD,
    0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562,
    0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534,
    0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560,
    0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393,
    0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6,
    0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0,
    0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

THandle FileOpen(const std::string& Name, TAccess Access, TShare)
{
    int flags = Access == TAccess::Read ? O_RDONLY : Access == TAccess::Write ? O_WRONLY : O_RDWR;
    // Opening a FIFO blocks until a writer comes, and a device is no file to read an
    // archive from: the open does not wait, and only regular files are accepted.
    int fd = ::open(ToNative(Name).c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        Fail();
        return InvalidHandle;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        FailCode(ErrorAccessDenied);
        return InvalidHandle;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

THandle FileCreate(const std::string& Name)
{
    int fd = ::open(ToNative(Name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        Fail();
        return InvalidHandle;
    }
    return fd;
}

int32_t FileRead(THandle H, void* Buf, int32_t Count)
{
    if (Count < 0) return -1;
    ssize_t n;
    do n = ::read(Fd(H), Buf, static_cast<size_t>(Count));
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        Fail();
        return -1;
    }
    return static_cast<int32_t>(n);
}

int32_t FileWrite(THandle H, const void* Buf, int32_t Count)
{
    if (Count < 0) return -1;
    // One logical write: a partial write on a regular file means the disk filled up,
    // so retrying the rest is what surfaces the real error code.
    const char* p = static_cast<const char*>(Buf);
    int32_t done = 0;
    while (done < Count) {
        ssize_t n = ::write(Fd(H), p + done, static_cast<size_t>(Count - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail();
            return done > 0 ? done : -1;
        }
        if (n == 0) break;
        done += static_cast<int32_t>(n);
    }
    FailCode(0);
    return done;
}

int32_t FileReadAt(THandle H, void* Buf, int32_t Count, int64_t Offset)
{
    if (Count < 0 || Offset < 0) return -1;
    ssize_t n;
    do n = ::pread(Fd(H), Buf, static_cast<size_t>(Count), static_cast<off_t>(Offset));
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        Fail();
        return -1;
    }
    return static_cast<int32_t>(n);
}

int64_t FileSeek(THandle H, int64_t Offset, int Origin)
{
    int whence = Origin == 0 ? SEEK_SET : Origin == 1 ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(Fd(H), static_cast<off_t>(Offset), whence);
    if (r < 0) {
        Fail();
        return -1;
    }
    return static_cast<int64_t>(r);
}

bool FileSetEnd(THandle H)
{
    off_t pos = ::lseek(Fd(H), 0, SEEK_CUR);
    if (pos < 0 || ::ftruncate(Fd(H), pos) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool FileClose(THandle H)
{
    if (::close(Fd(H)) != 0) {
        Fail();
        return false;
    }
    return true;
}

namespace {

// Each conversion of a local time looks its offset up twice; extracting
// thousands of files dated the same day needs that once. The cache holds the local
// midnight of the last date converted, valid only while that day has no clock change.
struct TDayCache {
    uint32_t DosDate = 0xFFFFFFFFu;
    time_t Midnight = 0;
    bool Uniform = false;
};
thread_local TDayCache tDay;

time_t LocalMktime(int Y, int Mo, int D, int H, int Mi, int S)
{
    std::tm t{};
    t.tm_year = Y;
    t.tm_mon = Mo;
    t.tm_mday = D;
    t.tm_hour = H;
    t.tm_min = Mi;
    t.tm_sec = S;
    // mktime reloads the time-zone rules on every call, rewriting state the C library
    // shares between threads. The local time is worked out from the UTC reading of the
    // same fields instead: its offset is looked up with localtime_r, which loads the
    // rules once, and checked again at the result, since the offset may differ there
    // (a daylight-saving change between the two instants).
    t.tm_isdst = 0;
    const time_t asUtc = timegm(&t);
    if (asUtc == static_cast<time_t>(-1)) return asUtc;
    std::tm local{};
    if (!localtime_r(&asUtc, &local)) return static_cast<time_t>(-1);
    time_t when = asUtc - local.tm_gmtoff;
    if (localtime_r(&when, &local) && asUtc - local.tm_gmtoff != when) when = asUtc - local.tm_gmtoff;
    return when;
}

} // namespace

namespace {

bool SetTimes(int Fd, time_t Seconds, long Nanos)
{
    struct timespec ts[2];
    ts[0].tv_sec = Seconds;
    ts[0].tv_nsec = Nanos;
    ts[1] = ts[0];
    if (futimens(Fd, ts) != 0) {
        Fail();
        return false;
    }
    return true;
}

// The instant a local DOS date-time names in this process's time zone.
bool DosToTime(uint32_t DosTime, time_t& When)
{
    const int year = static_cast<int>((DosTime >> 25) & 0x7F) + 80;
    const int mon = static_cast<int>((DosTime >> 21) & 0x0F) - 1;
    const int day = static_cast<int>((DosTime >> 16) & 0x1F);
    const int hour = static_cast<int>((DosTime >> 11) & 0x1F);
    const int min = static_cast<int>((DosTime >> 5) & 0x3F);
    const int sec = static_cast<int>((DosTime & 0x1F) * 2);
    if (mon < 0 || mon > 11 || day < 1 || hour > 23 || min > 59 || sec > 59) {
        FailCode(87); // invalid parameter
        return false;
    }
    time_t when;
    const uint32_t date = DosTime >> 16;
    if (tDay.DosDate != date) {
        tDay.DosDate = date;
        tDay.Midnight = LocalMktime(year, mon, day, 0, 0, 0);
        const time_t next = LocalMktime(year, mon, day + 1, 0, 0, 0);
        tDay.Uniform = tDay.Midnight != static_cast<time_t>(-1) && next - tDay.Midnight == 86400;
    }
    if (tDay.Uniform)
        when = tDay.Midnight + hour * 3600 + min * 60 + sec;
    else
        when = LocalMktime(year, mon, day, hour, min, sec);
    if (when == static_cast<time_t>(-1)) {
        FailCode(87);
        return false;
    }
    When = when;
    return true;
}

bool SetFileTimeFd(int Fd, const TFileTime& Time)
{
    if (Time.Utc) return SetTimes(Fd, static_cast<time_t>(Time.Seconds), Time.Nanos % 1000000000u);
    time_t when;
    return DosToTime(Time.Dos, when) && SetTimes(Fd, when, 0);
}

} // namespace

bool FileSetDosTime(THandle H, uint32_t DosTime)
{
    time_t when;
    return DosToTime(DosTime, when) && SetTimes(Fd(H), when, 0);
}

bool FileSetTime(THandle H, const TFileTime& Time) { return SetFileTimeFd(Fd(H), Time); }

bool MakesSymbolicLinks() { return true; }

uint32_t FileGetDosTime(THandle H, int Kind)
{
    struct stat st {};
    if (fstat(Fd(H), &st) != 0) {
        Fail();
        return 0;
    }
    time_t when = Kind == 2 ? st.st_atime : Kind == 0 ? st.st_ctime : st.st_mtime;
    return TimeToDos(when);
}

namespace {

uint32_t AttributesOf(const struct stat& St)
{
    if (S_ISLNK(St.st_mode)) return faReparsePoint;
    uint32_t a = 0;
    if (S_ISDIR(St.st_mode)) a |= faDirectory;
    if ((St.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) a |= faReadOnly;
    if (a == 0) a = faArchive;
    return a;
}

} // namespace

int64_t GetAttributes(const std::string& Name)
{
    struct stat st {};
    if (::stat(ToNative(Name).c_str(), &st) != 0) {
        Fail();
        return -1;
    }
    return AttributesOf(st);
}

namespace {

// The process umask, read without changing it. umask() reports the mask only by
// setting a new one, and while that is in force a file another thread creates gets
// permission bits the user never allowed. Linux shows the mask in /proc/self/status;
// where that line cannot be read the answer is 077, so that no write bit beyond the
// owner's is ever granted on a guess.
bool ReadUmask(mode_t& Mask)
{
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    ::close(fd);
    const size_t at = text.find("\nUmask:");
    if (at == std::string::npos) return false;
    const char* first = text.c_str() + at + 7;
    char* end = nullptr;
    const unsigned long value = std::strtoul(first, &end, 8);
    if (end == first) return false;
    Mask = static_cast<mode_t>(value & 0777);
    return true;
}

mode_t CurrentUmask()
{
    mode_t mask = 077;
    return ReadUmask(mask) ? mask : 077;
}

// The permission bits of a file whose bits are Mode once Attr is applied: read-only
// takes every write bit away; clearing it gives back the owner's write bit and, where
// the group or others may read, theirs as the umask allows.
mode_t ModeWith(mode_t Mode, uint32_t Attr)
{
    mode_t mode = Mode & 07777;
    if (Attr & faReadOnly) {
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        const mode_t mask = CurrentUmask();
        mode_t w = S_IWUSR;
        if (mode & S_IRGRP) w |= S_IWGRP;
        if (mode & S_IROTH) w |= S_IWOTH;
        mode |= w & ~mask;
        mode |= S_IWUSR;
    }
    return mode;
}

} // namespace

bool SetAttributes(const std::string& Name, uint32_t Attr)
{
    std::string n = ToNative(Name);
    struct stat st {};
    if (::stat(n.c_str(), &st) != 0 || ::chmod(n.c_str(), ModeWith(st.st_mode, Attr)) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool FindFirstExists(const std::string& Name)
{
    std::string n = ToNative(Name);
    if (n.find_first_of("*?") == std::string::npos) {
        struct stat st {};
        if (::lstat(n.c_str(), &st) == 0) return true;
        Fail();
        return false;
    }
    std::string dir = ".", pat = n;
    if (auto p = n.rfind('/'); p != std::string::npos) {
        dir = p == 0 ? "/" : n.substr(0, p);
        pat = n.substr(p + 1);
    }
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        Fail();
        return false;
    }
    bool found = false;
    while (dirent* e = ::readdir(d)) {
        if (fnmatch(pat.c_str(), e->d_name, 0) == 0) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

bool NameAllowed(const std::string& Step, bool /*Folder*/)
{
    if (Step.empty() || Step.find('/') != std::string::npos ||
        Step.find('\0') != std::string::npos) {
        Fail(EINVAL);
        return false;
    }
    // The file systems of POSIX systems keep at most 255 bytes in one name (NAME_MAX).
    if (Step.size() > 255) {
        Fail(ENAMETOOLONG);
        return false;
    }
    return true;
}

std::string FileNameKey(const std::string& Path) { return Path; }

bool FileNamesExact() { return true; }

bool DeviceNamesReserved() { return false; }

bool SameFile(const std::string& A, const std::string& B)
{
    struct stat a {}, b {};
    return stat(ToNative(A).c_str(), &a) == 0 && stat(ToNative(B).c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool DeleteFileName(const std::string& Name)
{
    if (::unlink(ToNative(Name).c_str()) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool MoveFileName(const std::string& From, const std::string& To)
{
    std::string t = ToNative(To);
    struct stat st {};
    if (::lstat(t.c_str(), &st) == 0) {
        // Win32 MoveFile does not replace an existing target.
        FailCode(183);
        return false;
    }
    if (::rename(ToNative(From).c_str(), t.c_str()) != 0) {
        Fail();
        return false;
    }
    return true;
}

std::string CurrentDir()
{
    std::string buf(4096, '\0');
    if (!::getcwd(buf.data(), buf.size())) {
        Fail();
        return {};
    }
    buf.resize(std::strlen(buf.c_str()));
    if (buf.size() > 1 && buf.back() == '/') buf.pop_back();
    return FromNative(buf);
}

std::string FullPath(const std::string& Name)
{
    std::string n = ToNative(Name);
    if (n.empty()) return CurrentDir();
    if (n[0] != '/') {
        std::string cwd = ToNative(CurrentDir());
        n = (cwd == "/" ? "" : cwd) + "/" + n;
    }
    // Fold "." and ".." lexically, as the Win32 call does; the file need not exist.
    std::string out;
    size_t i = 0;
    bool trailing = n.size() > 1 && n.back() == '/';
    while (i < n.size()) {
        size_t j = n.find('/', i);
        if (j == std::string::npos) j = n.size();
        std::string part = n.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (auto p = out.rfind('/'); p != std::string::npos) out.erase(p);
            continue;
        }
        out += '/';
        out += part;
    }
    if (out.empty()) out = "/";
    if (trailing && out != "/") out += '/';
    return FromNative(out);
}

bool CreateDir(const std::string& Name)
{
    if (::mkdir(ToNative(Name).c_str(), 0777) != 0) {
        Fail();
        return false;
    }
    return true;
}

namespace {

#ifdef O_PATH
// A folder handle that only anchors the names below it needs no read permission.
constexpr int FolderOpen = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int FolderOpen = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

bool IsLinkAt(int Dir, const char* Name)
{
    struct stat st {};
    return ::fstatat(Dir, Name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Opens the folder Name in the folder Dir without following a link, making it first
// when it is missing and Make is set.
TFolderState OpenStep(int Dir, const std::string& Name, bool Make, int& Out)
{
    Out = ::openat(Dir, Name.c_str(), FolderOpen | O_NOFOLLOW);
    // Another run may make the same folder at the same time: EEXIST is as good.
    if (Out < 0 && errno == ENOENT && Make &&
        (::mkdirat(Dir, Name.c_str(), 0777) == 0 || errno == EEXIST))
        Out = ::openat(Dir, Name.c_str(), FolderOpen | O_NOFOLLOW);
    if (Out >= 0) return TFolderState::Ready;
    const int e = errno;
    Fail();
    if (e == ENOENT) return TFolderState::Missing;
    return IsLinkAt(Dir, Name.c_str()) ? TFolderState::Link : TFolderState::Failed;
}

// A leaf is one name: a "/" in it would let the system walk folders unchecked.
bool OneName(const std::string& Leaf)
{
    if (!Leaf.empty() && Leaf.find('/') == std::string::npos) return true;
    FailCode(ErrorFileNotFound);
    return false;
}

} // namespace

struct TSharedHandleBody {
    int Fd;
    explicit TSharedHandleBody(int F) : Fd(F) {}
    ~TSharedHandleBody() { ::close(Fd); }
    TSharedHandleBody(const TSharedHandleBody&) = delete;
    TSharedHandleBody& operator=(const TSharedHandleBody&) = delete;
};

namespace {

TSharedHandle Share(int Fd) { return std::make_shared<const TSharedHandleBody>(Fd); }

} // namespace

TOutputTree::~TOutputTree() { Close(); }

void TOutputTree::Close()
{
    FFolderHandle.reset();
    FRootHandle.reset();
    // The umask may change between runs: the next run reads it again.
    FCreatedMode = -1;
    FReady = false;
    FFolder.clear();
}

TFolderState TOutputTree::Folder(const std::string& Rel, bool Make)
{
    if (FReady && Rel == FFolder) return TFolderState::Ready;
    FReady = false;
    FFolderHandle.reset();
    if (!FRootHandle) {
        // The destination is the user's choice: a link there is followed.
        const int fd = ::open(ToNative(FRoot).c_str(), FolderOpen);
        if (fd < 0) {
            const int e = errno;
            Fail();
            return e == ENOENT ? TFolderState::Missing : TFolderState::Failed;
        }
        FRootHandle = Share(fd);
    }
    // Each step is opened relative to the one before, so that no step can be swapped
    // for a link between its check and its use; only two handles are open at a time.
    const std::string rel = ToNative(Rel);
    const int root = FRootHandle->Fd;
    int dir = root;
    for (size_t i = 0; i < rel.size();) {
        size_t j = rel.find('/', i);
        if (j == std::string::npos) j = rel.size();
        const std::string step = rel.substr(i, j - i);
        i = j + 1;
        if (step.empty()) continue;
        int next = -1;
        const TFolderState s = OpenStep(dir, step, Make, next);
        if (dir != root) ::close(dir);
        if (s != TFolderState::Ready) return s;
        dir = next;
    }
    if (dir != root) FFolderHandle = Share(dir);
    FFolder = Rel;
    FReady = true;
    return TFolderState::Ready;
}

bool TOutputTree::Begin(const std::string& Leaf, bool ReplaceReadOnly, TOutputFile& File)
{
    File.Discard();
    if (!FReady || !OneName(Leaf)) return false;
    const TSharedHandle& folder = FFolderHandle ? FFolderHandle : FRootHandle;
    const int dir = folder->Fd;
    constexpr int Flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    // A free name takes the file at once: made exclusively, it can be neither a link nor
    // a hard link, and it replaces nothing, so a rename would buy nothing but a second
    // system call per file. A run over an earlier one's files looks before it makes one.
    struct stat st {};
    const bool taken = FTaken && ::fstatat(dir, Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!taken) {
        const int fd = ::openat(dir, Leaf.c_str(), Flags, 0666);
        if (fd >= 0) {
            FTaken = false;
            File.FHandle = fd;
            File.FCreatedMode = CreatedMode();
            return true;
        }
        if (errno != EEXIST || ::fstatat(dir, Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            Fail();
            return false;
        }
    }
    FTaken = true;
    // A folder cannot be replaced by a file; a device or a pipe is no file to put an
    // entry in, and replacing one is not an extraction's business.
    const bool file = S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
    const bool readOnly = S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (!file || (readOnly && !ReplaceReadOnly)) {
        Fail(S_ISDIR(st.st_mode) ? EISDIR : EACCES);
        return false;
    }
    // A taken name is replaced: the entry goes into a new file of its own, whose name
    // only has to be free and short (it lives for one entry), and takes the final name
    // by a rename once complete. O_EXCL with O_NOFOLLOW makes sure the file opened is the
    // one just made, whatever else appears in the folder meanwhile.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
        temp = ReplacementName();
        fd = ::openat(dir, temp.c_str(), Flags, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        Fail();
        return false;
    }
    // The file holds the folder too: the tree may move on to another folder before the
    // file is committed.
    File.FHandle = fd;
    File.FCreatedMode = CreatedMode();
    File.FFolder = folder;
    File.FTemp = temp;
    File.FFinal = Leaf;
    File.FReplaces = true;
    File.FReplaceReadOnly = ReplaceReadOnly;
    return true;
}

std::string TOutputTree::ReplacementName()
{
    if (FSerial == 0) {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        FSerial = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(::getpid()) << 16;
    }
    char name[32];
    std::snprintf(name, sizeof name, ".qvr%08x.tmp", ++FSerial * 0x9E3779B9u);
    return name;
}

bool TOutputTree::Link(const std::string& Leaf, const std::string& Target, bool ReplaceReadOnly)
{
    if (!FReady || !OneName(Leaf) || Target.empty() || Target.find('\0') != std::string::npos) {
        tLastError = ErrorAccessDenied;
        return false;
    }
    const int dir = (FFolderHandle ? FFolderHandle : FRootHandle)->Fd;
    if (::symlinkat(Target.c_str(), dir, Leaf.c_str()) == 0) return true;
    struct stat st {};
    if (errno != EEXIST || ::fstatat(dir, Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        Fail();
        return false;
    }
    // The same rules as a file's: only a file or a link is replaced, a read-only file
    // only when the user has said so.
    const bool readOnly = S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (!(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) || (readOnly && !ReplaceReadOnly)) {
        tLastError = ErrorAccessDenied;
        return false;
    }
    // The link is made under a name of its own and renamed over the taken one, which is
    // replaced as it stands and never followed.
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::string temp = ReplacementName();
        if (::symlinkat(Target.c_str(), dir, temp.c_str()) != 0) {
            if (errno == EEXIST) continue;
            break;
        }
        if (::renameat(dir, temp.c_str(), dir, Leaf.c_str()) == 0) return true;
        Fail();
        ::unlinkat(dir, temp.c_str(), 0);
        return false;
    }
    Fail();
    return false;
}

bool TOutputTree::SetFolder(const std::string& Leaf, uint32_t Mode, const TFileTime& Time)
{
    if (!FReady || !OneName(Leaf)) return false;
    const int dir = (FFolderHandle ? FFolderHandle : FRootHandle)->Fd;
    // Opened for reading, not as a path: fchmod and futimens need a real handle.
    const int fd = ::openat(dir, Leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        Fail();
        return false;
    }
    bool ok = SetFileTimeFd(fd, Time);
    if (Mode != 0 && ::fchmod(fd, static_cast<mode_t>(Mode & 07777)) != 0) {
        Fail();
        ok = false;
    }
    ::close(fd);
    return ok;
}

bool TOutputFile::SetAttributes(uint32_t Attr)
{
    struct stat st {};
    if (FHandle == InvalidHandle || ::fstat(Fd(FHandle), &st) != 0 ||
        ::fchmod(Fd(FHandle), ModeWith(st.st_mode, Attr)) != 0) {
        Fail();
        return false;
    }
    return true;
}

uint32_t TOutputTree::CreatedMode()
{
    if (FCreatedMode < 0) {
        mode_t mask = 0;
        FCreatedMode = ReadUmask(mask) ? static_cast<int32_t>(0666 & ~mask) : 0;
    }
    return static_cast<uint32_t>(FCreatedMode);
}

bool TOutputFile::SetMode(uint32_t Mode)
{
    // Most files want the mode they were made with: that costs no system call.
    if (FCreatedMode != 0 && (Mode & 07777) == FCreatedMode) return true;
    if (FHandle == InvalidHandle || ::fchmod(Fd(FHandle), static_cast<mode_t>(Mode & 07777)) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool TOutputFile::Rename()
{
    // renameat replaces a link or a hard link in the final name's place as it is: the
    // name is moved, nothing is opened through it.
    if (::renameat(FFolder->Fd, FTemp.c_str(), FFolder->Fd, FFinal.c_str()) == 0) return true;
    Fail();
    return false;
}

void TOutputFile::Remove() { ::unlinkat(FFolder->Fd, FTemp.c_str(), 0); }

int64_t TOutputTree::Attributes(const std::string& Leaf)
{
    if (!FReady || !OneName(Leaf)) return -1;
    struct stat st {};
    const int dir = (FFolderHandle ? FFolderHandle : FRootHandle)->Fd;
    if (::fstatat(dir, Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        Fail();
        return -1;
    }
    return AttributesOf(st);
}

std::string TempPath()
{
    const char* t = std::getenv("TMPDIR");
    std::string s = (t && *t) ? t : "/tmp";
    if (s.back() != '/') s += '/';
    return FromNative(s);
}

std::string TempFileName(const std::string& Dir, const std::string& Prefix)
{
    std::string d = ToNative(Dir);
    if (d.empty()) d = ".";
    if (d.back() != '/') d += '/';
    std::string tmpl = d + Prefix + "XXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) {
        Fail();
        return {};
    }
    ::close(fd);
    return FromNative(tmpl);
}

bool DiskSpace(const std::string& Path, int64_t& Free, int64_t& Total)
{
    struct statvfs s {};
    std::string p = ToNative(Path);
    if (p.empty()) p = ".";
    if (::statvfs(p.c_str(), &s) != 0) {
        Fail();
        return false;
    }
    Free = static_cast<int64_t>(s.f_bavail) * static_cast<int64_t>(s.f_frsize);
    Total = static_cast<int64_t>(s.f_blocks) * static_cast<int64_t>(s.f_frsize);
    return true;
}

uint32_t TickCount()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint32_t LocalDosTime() { return TimeToDos(::time(nullptr)); }

int32_t TimeZoneBias()
{
    time_t now = ::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    return static_cast<int32_t>(-t.tm_gmtoff / 60);
}

uint32_t LastError() { return tLastError; }

std::string ErrorText(uint32_t Code)
{
    // The text is the system's: the errno of the last failure when it gave this code,
    // else the errno the code stands for.
    if (tLastErrno != 0 && MapErrno(tLastErrno) == Code) return std::strerror(tLastErrno);
    switch (Code) {
    case ErrorFileNotFound: return std::strerror(ENOENT);
    case ErrorAccessDenied: return std::strerror(EACCES);
    case ErrorWriteProtect: return std::strerror(EROFS);
    case ErrorDiskFull: return std::strerror(ENOSPC);
    default: break;
    }
    if (Code & 0x20000000u) return std::strerror(static_cast<int>(Code & 0xFFFF));
    return "Error " + std::to_string(Code);
}

bool IsTerminal(int Stream) { return ::isatty(Stream) == 1; }

void BinaryStandardOutput() {}

int TerminalWidth()
{
    struct winsize ws {};
    if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

std::string OemToUtf8(std::string_view Name)
{
    std::string out;
    out.reserve(Name.size());
    for (unsigned char c : Name) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else
            AppendUtf8(out, Cp437High[c - 0x80]);
    }
    return out;
}

namespace {

// The iconv name of a code page as users give it.
std::string IconvName(const std::string& Name)
{
    std::string n;
    for (const char c : Name) n += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (n == "936") return "GBK";
    if (n == "950") return "BIG5";
    if (n == "932" || n == "SJIS") return "CP932";
    if (n == "65001" || n == "UTF8") return "UTF-8";
    if (!n.empty() && n.find_first_not_of("0123456789") == std::string::npos) return "CP" + n;
    return n;
}

// An iconv conversion descriptor, closed on every path.
class TIconv {
public:
    explicit TIconv(const std::string& From) : FCd(iconv_open("UTF-8", From.c_str())) {}
    ~TIconv()
    {
        if (Valid()) iconv_close(FCd);
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    bool Valid() const { return FCd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return FCd; }

private:
    iconv_t FCd;
};

// A byte that does not convert, kept visible as "%XX".
void AppendEscaped(std::string& Out, unsigned char C)
{
    char esc[4];
    std::snprintf(esc, sizeof esc, "%%%02X", C);
    Out += esc;
}

} // namespace

bool CodePageKnown(const std::string& Name) { return !Name.empty() && TIconv(IconvName(Name)).Valid(); }

std::string CodePageToUtf8(std::string_view Text, const std::string& CodePage)
{
    TIconv cd(IconvName(CodePage));
    std::string out;
    if (!cd.Valid()) {
        for (const unsigned char c : Text) {
            if (c < 0x80)
                out += static_cast<char>(c);
            else
                AppendEscaped(out, c);
        }
        return out;
    }
    std::string in(Text);
    char* src = in.data();
    size_t left = in.size();
    char buf[256];
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        const size_t r = iconv(cd.Get(), &src, &left, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // A byte that is not (the start of) a character of the code page. Some
            // converters (glibc's ISO-2022-CN-EXT after a stray SO) report it having
            // already taken it, even as the last byte: then nothing is left to keep.
            if (left == 0) break;
            AppendEscaped(out, static_cast<unsigned char>(*src));
            ++src;
            --left;
            iconv(cd.Get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view Text)
{
    std::string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        const char16_t c = Text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 &&
            Text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                                (static_cast<char32_t>(Text[i + 1]) - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

// POSIX has no ANSI code page, and the command and the component take POSIX
// arguments as UTF-8 already.
std::string AnsiToUtf8(std::string_view Text) { return std::string(Text); }

TUtf8ConsoleGuard::TUtf8ConsoleGuard() : FOutput(0), FInput(0) {}
TUtf8ConsoleGuard::~TUtf8ConsoleGuard() = default;

// Only the local-mode flags change, so they are all that needs keeping.
TEchoOffGuard::TEchoOffGuard()
{
    struct termios t {};
    if (::tcgetattr(0, &t) != 0) return;
    FMode = t.c_lflag;
    FSaved = true;
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(0, TCSANOW, &t);
}

TEchoOffGuard::~TEchoOffGuard()
{
    struct termios t {};
    if (!FSaved || ::tcgetattr(0, &t) != 0) return;
    t.c_lflag = static_cast<tcflag_t>(FMode);
    ::tcsetattr(0, TCSANOW, &t);
}

TCriticalErrorGuard::TCriticalErrorGuard() : FPrevious(0) {}
TCriticalErrorGuard::~TCriticalErrorGuard() = default;

// ---------------------------------------------------------------------------------
// Drive and volume facts. There are no drive letters: the "root" of a path is the mount
// point of the file system that holds it. The drive type comes from the file system's
// kind (network, optical, memory) and, for block devices, from the kernel's removable
// flag; the label from the udev links under /dev/disk/by-label, the only label source
// that needs no privileges. There is no Retry/Cancel box and no floppy BIOS to ask.
namespace {

// A root as a native path; the current folder when empty.
std::string NativeRoot(const std::string& S) { return S.empty() ? std::string(".") : ToNative(S); }

// File system magic numbers (statfs f_type) that decide the drive type.
struct TFsKind {
    unsigned long Magic;
    const char* Name;
    uint8_t Type;
};
constexpr TFsKind FsKinds[] = {
    {0x6969, "nfs", DriveRemote},          {0x517B, "smb", DriveRemote},
    {0xFF534D42, "cifs", DriveRemote},     {0xFE534D42, "smb2", DriveRemote},
    {0x01021997, "9p", DriveRemote},       {0x5346414F, "afs", DriveRemote},
    {0x73757245, "coda", DriveRemote},     {0x9660, "iso9660", DriveCdRom},
    {0x15013346, "udf", DriveCdRom},       {0x01021994, "tmpfs", DriveRamDisk},
    {0x858458F6, "ramfs", DriveRamDisk},   {0xEF53, "ext4", DriveFixed},
    {0x58465342, "xfs", DriveFixed},       {0x9123683E, "btrfs", DriveFixed},
    {0x4D44, "vfat", DriveFixed},          {0x2011BAB0, "exfat", DriveFixed},
    {0x5346544E, "ntfs", DriveFixed},      {0x794C7630, "overlay", DriveFixed},
    {0x65735546, "fuse", DriveFixed},
};

const TFsKind* KindOf(const std::string& Native)
{
    struct statfs s {};
    if (::statfs(Native.c_str(), &s) != 0) return nullptr;
    for (const TFsKind& k : FsKinds)
        if (static_cast<unsigned long>(s.f_type) == k.Magic) return &k;
    return nullptr;
}

// The kernel's removable flag of the block device behind Dev (a partition takes its
// disk's flag).
bool RemovableDevice(dev_t Dev)
{
    const std::string base =
        "/sys/dev/block/" + std::to_string(major(Dev)) + ":" + std::to_string(minor(Dev));
    for (const char* rel : {"/removable", "/../removable"}) {
        if (FILE* f = std::fopen((base + rel).c_str(), "r")) {
            const int c = std::fgetc(f);
            std::fclose(f);
            return c == '1';
        }
    }
    return false;
}

// udev escapes the characters of a label that do not belong in a file name as \xHH.
std::string UnescapeLabel(const std::string& S)
{
    std::string out;
    for (size_t i = 0; i < S.size(); ++i) {
        if (S[i] == '\\' && i + 3 < S.size() && S[i + 1] == 'x') {
            const std::string hex = S.substr(i + 2, 2);
            char* end = nullptr;
            const long v = std::strtol(hex.c_str(), &end, 16);
            if (end == hex.c_str() + 2) {
                out += static_cast<char>(v);
                i += 3;
                continue;
            }
        }
        out += S[i];
    }
    return out;
}

std::string LabelOf(dev_t Dev)
{
    DIR* d = ::opendir("/dev/disk/by-label");
    if (!d) return {};
    std::string label;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        struct stat st {};
        const std::string link = std::string("/dev/disk/by-label/") + e->d_name;
        if (::stat(link.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == Dev) {
            label = UnescapeLabel(e->d_name);
            break;
        }
    }
    ::closedir(d);
    return label;
}

} // namespace

std::string VolumeRoot(const std::string& Path)
{
    // Climb from the path's folder while the device stays the same: the last folder on
    // it is the mount point.
    std::string p = NativeRoot(FullPath(Path.empty() ? std::string(".") : Path));
    struct stat st {};
    while (::stat(p.c_str(), &st) != 0 && p != "/") {
        const size_t cut = p.find_last_of('/');
        p = cut == 0 || cut == std::string::npos ? "/" : p.substr(0, cut);
    }
    const dev_t dev = st.st_dev;
    while (p != "/") {
        const size_t cut = p.find_last_of('/');
        const std::string up = cut == 0 || cut == std::string::npos ? "/" : p.substr(0, cut);
        struct stat ust {};
        if (::stat(up.c_str(), &ust) != 0 || ust.st_dev != dev) break;
        p = up;
    }
    return FromNative(p);
}

uint8_t DriveType(const std::string& Root)
{
    if (Root.empty()) return DriveNoRoot;
    const std::string native = NativeRoot(Root);
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) return DriveNoRoot;
    if (const TFsKind* k = KindOf(native); k && k->Type != DriveFixed) return k->Type;
    return RemovableDevice(st.st_dev) ? DriveRemovable : DriveFixed;
}

bool DriveReady(const std::string& Root)
{
    struct statvfs s {};
    return !Root.empty() && ::statvfs(NativeRoot(Root).c_str(), &s) == 0;
}

bool DriveWriteProtected(const std::string& Root)
{
    struct statvfs s {};
    return !Root.empty() && ::statvfs(NativeRoot(Root).c_str(), &s) == 0 && (s.f_flag & ST_RDONLY);
}

bool VolumeInformation(const std::string& Root, TVolumeFacts& Facts)
{
    const std::string native = NativeRoot(Root);
    struct statvfs v {};
    struct stat st {};
    if (Root.empty() || ::statvfs(native.c_str(), &v) != 0 || ::stat(native.c_str(), &st) != 0)
        return false;
    Facts = {};
    Facts.Serial = static_cast<uint32_t>(v.f_fsid);
    Facts.MaxComponentLength = static_cast<uint32_t>(v.f_namemax);
    if (const TFsKind* k = KindOf(native)) Facts.FileSystem = k->Name;
    Facts.Label = LabelOf(st.st_dev);
    return true;
}

uint8_t FloppyBiosType(char) { return 0; }

bool AskRetry(const std::string&, const std::string&) { return false; }


} // namespace qvrOS

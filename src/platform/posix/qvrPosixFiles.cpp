// POSIX platform layer: files by name and by handle, their times and attributes, paths,
// and temporary files.
//
// Times: a DOS date-time is taken as local time in this process's zone, worked out
// without mktime (see LocalMktime). Attributes: read-only is the absence of every write
// permission bit.
#include "qvrPosixInternal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

namespace qvrOS {

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

namespace {

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

} // namespace

uint32_t TimeToDos(time_t when)
{
    std::tm t{};
    if (!localtime_r(&when, &t)) return 0;
    return TmToDos(t);
}

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

THandle FileReopenForReading(THandle H)
{
    // A duplicate shares the file offset, which FileReadAt never uses.
    const int fd = ::fcntl(Fd(H), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) Fail();
    return fd < 0 ? InvalidHandle : fd;
}

void FileAdviseSequential(THandle H)
{
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(Fd(H), 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    (void)H;
#endif
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

} // namespace

bool PosixTimeOf(const TFileTime& Time, struct timespec& Out)
{
    Out = {};
    if (Time.Utc) {
        Out.tv_sec = static_cast<time_t>(Time.Seconds);
        Out.tv_nsec = static_cast<long>(Time.Nanos % 1000000000u);
        return true;
    }
    return DosToTime(Time.Dos, Out.tv_sec);
}

bool SetFileTimeFd(int Fd, const TFileTime& Time)
{
    struct timespec ts[2];
    if (!PosixTimeOf(Time, ts[0])) return false;
    ts[1] = ts[0];
    if (futimens(Fd, ts) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool FileSetDosTime(THandle H, uint32_t DosTime)
{
    TFileTime t;
    t.Dos = DosTime;
    return SetFileTimeFd(Fd(H), t);
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

uint32_t AttributesOf(const struct stat& St)
{
    if (S_ISLNK(St.st_mode)) return faReparsePoint;
    uint32_t a = 0;
    if (S_ISDIR(St.st_mode)) a |= faDirectory;
    if ((St.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) a |= faReadOnly;
    if (a == 0) a = faArchive;
    return a;
}

int64_t GetAttributes(const std::string& Name)
{
    struct stat st {};
    if (::stat(ToNative(Name).c_str(), &st) != 0) {
        Fail();
        return -1;
    }
    return AttributesOf(st);
}

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

namespace {

mode_t CurrentUmask()
{
    mode_t mask = 077;
    return ReadUmask(mask) ? mask : 077;
}

} // namespace

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
    // "*" and "?" are characters of a name like any other here: a name that exists is
    // found as it is before it is taken for a pattern.
    struct stat st {};
    if (::lstat(n.c_str(), &st) == 0) return true;
    if (n.find_first_of("*?") == std::string::npos) {
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

bool NameAllowed(std::string_view Step, bool /*Folder*/)
{
    if (Step.empty() || Step.find('/') != std::string_view::npos ||
        Step.find('\0') != std::string_view::npos) {
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

void MakeHostPath(std::string& Path) { std::replace(Path.begin(), Path.end(), '\\', '/'); }

std::string HostPath(std::string Path)
{
    MakeHostPath(Path);
    return Path;
}

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

} // namespace qvrOS

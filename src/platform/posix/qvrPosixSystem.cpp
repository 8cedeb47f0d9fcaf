// POSIX platform layer: the error state of each thread, the clock and the time zone.
//
// Errors are kept per thread in the Win32 numbering the component tests, beside the errno
// they came from, so that ErrorText can give the system's own text.
#include "qvrPosixInternal.h"

#include <cerrno>
#include <cstring>
#include <ctime>
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
    case ENAMETOOLONG: return ErrorNameTooLong;
    case ENOSPC:
    case EDQUOT: return ErrorDiskFull;
    default: return 0x20000000u | static_cast<uint32_t>(e);
    }
}

} // namespace

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

uint32_t TickCount()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint32_t LocalDosTime() { return TimeToDos(::time(nullptr)); }

uint32_t LocalDosTimeOf(int64_t Seconds) { return TimeToDos(static_cast<time_t>(Seconds)); }

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
    if (const char* own = OutputErrorText(Code)) return own;
    switch (Code) {
    case ErrorFileNotFound: return std::strerror(ENOENT);
    case ErrorAccessDenied: return std::strerror(EACCES);
    case ErrorWriteProtect: return std::strerror(EROFS);
    case ErrorDiskFull: return std::strerror(ENOSPC);
    case ErrorNameTooLong: return std::strerror(ENAMETOOLONG);
    default: break;
    }
    if (Code & 0x20000000u) return std::strerror(static_cast<int>(Code & 0xFFFF));
    return "Error " + std::to_string(Code);
}

} // namespace qvrOS

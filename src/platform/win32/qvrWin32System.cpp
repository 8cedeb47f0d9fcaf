// Win32 platform layer: the error state of each thread, the clock and the time zone.
//
// The error code of the last failed call is kept per thread, apart from the system's own
// value, which any later call (even a successful one) may overwrite.
#include "qvrWin32Internal.h"

#include <iterator>
#include <string>

namespace qvrOS {

namespace {

// Error code of the last failed call of this interface on this thread. Kept apart from
// the system's own value, which any later call (even a successful one) may overwrite.
thread_local uint32_t tLastError = 0;

} // namespace

void Fail() { tLastError = static_cast<uint32_t>(GetLastError()); }
void Fail(DWORD Code) { tLastError = static_cast<uint32_t>(Code); }

namespace {

uint32_t PackDos(WORD Year, WORD Month, WORD Day, WORD Hour, WORD Minute, WORD Second)
{
    // DOS dates begin in 1980; an earlier clock gives its first day, as the writers of
    // archives do.
    if (Year < 1980) return (1u << 21) | (1u << 16);
    const uint32_t date = (static_cast<uint32_t>(Year - 1980) << 9) |
                          (static_cast<uint32_t>(Month) << 5) | Day;
    const uint32_t time = (static_cast<uint32_t>(Hour) << 11) |
                          (static_cast<uint32_t>(Minute) << 5) | (Second / 2u);
    return (date << 16) | time;
}

} // namespace

uint32_t TickCount() { return GetTickCount(); }

uint32_t LocalDosTime()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    return PackDos(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

uint32_t LocalDosTimeOf(int64_t Seconds)
{
    // 100 ns steps after 1601-01-01.
    const uint64_t ticks = static_cast<uint64_t>(Seconds + 11644473600LL) * 10000000ULL;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}, local;
    WORD date = 0, time = 0;
    if (Seconds < -11644473600LL || !FileTimeToLocalFileTime(&utc, &local) ||
        !FileTimeToDosDateTime(&local, &date, &time))
        return 0;
    return (static_cast<uint32_t>(date) << 16) | time;
}

int32_t TimeZoneBias()
{
    TIME_ZONE_INFORMATION tz;
    switch (GetTimeZoneInformation(&tz)) {
    case TIME_ZONE_ID_STANDARD: return tz.Bias + tz.StandardBias;
    case TIME_ZONE_ID_DAYLIGHT: return tz.Bias + tz.DaylightBias;
    case TIME_ZONE_ID_INVALID: Fail(); return 0;
    default: return tz.Bias;
    }
}

uint32_t LastError() { return tLastError; }

std::string ErrorText(uint32_t Code)
{
    if (const char* own = OutputErrorText(Code)) return own;
    wchar_t buf[1024];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             Code, 0, buf, static_cast<DWORD>(std::size(buf)), nullptr);
    // The system's texts end in a line break.
    while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' '))
        --n;
    if (n == 0) return "Error " + std::to_string(Code);
    return Narrow(std::wstring_view(buf, n));
}

} // namespace qvrOS

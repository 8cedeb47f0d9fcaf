#include "CliJson.h"

#include <chrono>
#include <cstdio>

std::string JsonUnixMode(uint32_t Mode)
{
    if (Mode == 0) return "null";
    char text[16];
    std::snprintf(text, sizeof text, "\"%04o\"", static_cast<unsigned>(Mode & 07777));
    return text;
}

std::string JsonUtcTime(const TUtcTime& Time)
{
    if (!Time.Set) return "null";
    // Calendar arithmetic alone: the host's time zone plays no part in a UTC time.
    using namespace std::chrono;
    const sys_seconds at{seconds{Time.Seconds}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{at - day};
    char text[48];
    std::snprintf(text, sizeof text, "\"%04d-%02u-%02uT%02d:%02d:%02dZ\"",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

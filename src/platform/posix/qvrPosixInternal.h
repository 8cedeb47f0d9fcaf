// What the POSIX files of the platform layer share, and nothing above them sees.
//
// The component speaks Win32: "\" separators, attribute bits, DOS times and Win32 error
// numbers. These files translate at the edge: separators become "/", read-only maps to
// the absence of every write permission bit, errno values that the component tests are
// turned into their Win32 numbers, and DOS times are taken as local time, since a DOS
// date-time records the wall clock of the machine that wrote it and carries no zone.
// Each helper is defined in the file of its concern (named beside it) and declared here
// once, so that no file keeps a copy of another's.
#pragma once

#include "qvrPlatform.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <string>

namespace qvrOS {

// The error state of this thread, kept for LastError and ErrorText (qvrPosixSystem.cpp).
// Fail records an errno (the current one when none is given); FailCode records a
// failure the system did not report through errno, in the Win32 numbering.
void Fail(int Errno);
void Fail();
void FailCode(uint32_t Code);

// Names between the component's "\" form and the system's "/" form (qvrPosixFiles.cpp).
std::string ToNative(const std::string& Name);
std::string FromNative(const std::string& Name);

inline int Fd(THandle H) { return static_cast<int>(H); }

// Times, attributes and permission bits (qvrPosixFiles.cpp).
// An instant as a local DOS date-time; 0 when it has none.
uint32_t TimeToDos(time_t when);
// Time as the system's time stamp; false (with LastError) when it names no instant.
bool PosixTimeOf(const TFileTime& Time, struct timespec& Out);
// Gives the open file or folder Fd its last-write and last-access time.
bool SetFileTimeFd(int Fd, const TFileTime& Time);
// The attribute bits of a file the system described in St.
uint32_t AttributesOf(const struct stat& St);
// The process umask, read without changing it; false when it cannot be read.
bool ReadUmask(mode_t& Mask);
// The permission bits Mode once the attribute bits Attr are applied.
mode_t ModeWith(mode_t Mode, uint32_t Attr);

} // namespace qvrOS

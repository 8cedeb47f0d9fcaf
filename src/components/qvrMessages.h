// The component's message table: every code it reports, with its exact text, so that
// a host can show the text for a code it receives through OnError.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int32_t E_BADHEADER = 25114;
inline constexpr int32_t E_BADBLOCK = 25116;
inline constexpr int32_t E_WRITEERR = 25136;
inline constexpr int32_t E_CLOSEERR = 25138;
inline constexpr int32_t E_CRCERR = 25151;
inline constexpr int32_t E_DISKFULL = 25160;
inline constexpr int32_t E_NOTACCESSIBLE = 25170;
inline constexpr int32_t E_WRITEPROTECTED = 25171;
inline constexpr int32_t E_FILENOTFOUND = 25192;
inline constexpr int32_t E_OPENERR = 25235;
// A second entry of the archive lands on a file that an earlier one wrote in the same
// run (names that differ in case on Windows, or only in trailing dots and spaces); the
// report's extended message names the earlier entry.
inline constexpr int32_t E_SAMEFILE = 25236;
inline constexpr int32_t E_REQUIREDEVENT = 25270;
inline constexpr int32_t E_AMBIGUOUSTREE = 25293;
inline constexpr int32_t E_STACKOVERFLOW = 25299;
inline constexpr int32_t E_UNSUPPORTEDMETHOD = 25326;
inline constexpr int32_t E_USERCANCELED = 25443;
inline constexpr int32_t E_INVALIDPASSWORD = 26517;
// A call that would start a run, or change the archive, while a run of the same
// object is under way (from inside one of its events, or from another thread): refused,
// with no effect. The extended message names the call.
inline constexpr int32_t E_BUSY = 26601;
// A handler of the host's threw an exception, which ended the run; the extended message
// names the handler and gives the exception's text ("OnBegin: disk quota").
inline constexpr int32_t E_HANDLERFAILED = 26602;
// A notice, not a failure: an entry whose name Windows reserves for a device was
// extracted under a changed name (the report names both).
inline constexpr int32_t E_RESERVEDNAME = 26901;
// A notice after an entry failed: the file it would have replaced is left as it was.
inline constexpr int32_t E_KEPTEXISTING = 26902;
// A notice: the archive's records disagree, and the walk went by what it found (data put
// in front of the archive, a directory size that does not fit); the extended message
// says what. Nothing is missing by it: where entries may be, the report is 25114.
inline constexpr int32_t E_RECOVERED = 26903;
// A notice after a cancel: the entry under way had no earlier file, and its own file is
// left under its name as far as it was written, without the entry's date and mode.
inline constexpr int32_t E_CUTSHORT = 26904;

// Codes from 26900 up are notices: they tell what was done, and no entry failed by them.
inline bool IsNotice(int32_t Code) { return Code >= 26900 && Code < 27000; }

// The text of a message code; empty for a code the table does not hold.
std::string MessageText(int32_t Code);
// The same text in static storage, for hosts that hand it on as a C string; null for a
// code the table does not hold.
const char* MessageTextOf(int32_t Code);

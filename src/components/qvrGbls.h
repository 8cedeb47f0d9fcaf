// Shared enumerations, the component's exception class and the path, date and
// percentage helpers used throughout the component library.
//
// Paths inside the component are UTF-8 strings with "\" as the separator; the platform
// layer maps them to the operating system's form.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using TStringList = std::vector<std::string>;

enum TArcType : uint8_t {
    atNA, atUnsupported, atFileOpenErr, atUnknown, atAce, atAceExe, atArc, atArcExe, atArj,
    atArjExe, atBh, atBhExe, atCab, atCabExe, atGZip, atHA, atJar, atJarExe, atLha, atLhaExe,
    atLzh, atLzhExe, atMsGZ, atPak, atPakExe, atRar, atRarExe, atTar, atTarGZip, atUUE, atZip,
    atZipExe, atZipDS, atZipMV, atZoo
};
inline constexpr int ArcTypeCount = atZoo + 1;

// The enumerator's identifier as text ("atZip"), the form the command prints.
const char* ArcTypeName(TArcType T);
// The ZIP family: the types whose entries the traditional cipher protects.
bool IsZipFamily(TArcType T);
// The types the ZIP walk extracts.
bool IsZipWalkType(TArcType T);

enum THeaderType : uint8_t { htLocal, htCentral, htEnding, htLocator, htEnding64, htNone };

// A set of THeaderType in one byte.
struct THeaderTypeState {
    uint8_t Bits = 0;
    bool Has(THeaderType T) const { return (Bits >> T) & 1u; }
    void Add(THeaderType T) { Bits = static_cast<uint8_t>(Bits | (1u << T)); }
    void Clear() { Bits = 0; }
    bool Only(THeaderType T) const { return Bits == (1u << T); }
    bool Empty() const { return Bits == 0; }
    bool operator==(const THeaderTypeState&) const = default;
};

enum TOverwriteMode : uint8_t { omOverwrite, omSkip };
enum TDateAttribute : uint8_t { daFileDate, daSysDate, daMaxFileDate };
enum TCpuType : uint8_t { cptAuto, cpt80286, cpt80386, cpt80486 };

// Raised by RaiseError; its message is the message table's text for the code.
class E_RAISE : public std::runtime_error {
public:
    E_RAISE(const std::string& Msg, int32_t Code) : std::runtime_error(Msg), FCode(Code) {}
    int32_t Code() const { return FCode; }

private:
    int32_t FCode;
};

// Date-time values are days since 30 December 1899, the time of day as the fraction.
using TDateTime = double;
// 1 January 1980, about 00:01: what every impossible DOS date falls back to.
inline constexpr TDateTime FallbackDateTime = 29221.000694;

std::string AppendDirTail(const std::string& Path);
bool DirExists(const std::string& Path);
bool FileExistsAny(const std::string& Name);
bool ForceDirs(const std::string& Dir);
// The same; Error, when the folder could not be made, the system's reason the first
// missing folder on the way could not be made (0 when none was refused).
bool ForceDirs(const std::string& Dir, uint32_t& Error);
std::string TempDir();
std::string SlashToBackslash(std::string Name);
// ASCII case folding, the same under every locale a host may set: the names, drive
// letters and labels the component compares are ASCII, and a locale's own tables may
// fold ASCII letters to other bytes (a Turkish one lower-cases 'I' to a dotless i) or
// other bytes to ASCII.
inline char AsciiToLower(char C)
{
    return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}
inline char AsciiToUpper(char C)
{
    return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C;
}
// Text meant to be UTF-8 with every byte that is not part of a well-formed character (a
// stray or missing continuation byte, an overlong form, a surrogate, a value above
// U+10FFFF) as "%XX", its value in upper-case hex: the rule CodePageToUtf8 applies to
// bytes that do not convert. The result is always valid UTF-8.
std::string EscapeInvalidUtf8(std::string_view Text);
// Whether every byte of Text belongs to a well-formed UTF-8 character (the same rule).
bool IsValidUtf8(std::string_view Text);
// Entry names as read from an archive: converted to UTF-8 when Oem is set (from
// CodePage, or the system's OEM code page when it is empty), otherwise taken as UTF-8
// with EscapeInvalidUtf8; then "/" to "\".
std::string NormalizeName(const std::string& Name, bool Oem, const std::string& CodePage = {});
// NormalizeName into Out, whose memory is reused: a walk reads names one after the other.
void NormalizeNameInto(std::string_view Name, bool Oem, const std::string& CodePage,
                       std::string& Out);
// Name with "\\" for "/" into Out when it is valid UTF-8 (what NormalizeName makes of it
// without Oem); false when it is not, with Out left unspecified.
bool Utf8NameInto(std::string_view Name, std::string& Out);
// Text an archive stores (its comment) as UTF-8: kept when it is UTF-8 already,
// otherwise converted as names without the UTF-8 flag are (from CodePage when Oem is
// set, bytes that do not convert as "%XX"), or with EscapeInvalidUtf8 when Oem is clear.
std::string ArchiveText(std::string_view Bytes, bool Oem, const std::string& CodePage = {});
// Whether names can be read in CodePage without gaining folders: "/" reads as "/", and
// no single byte, no two bytes led by one of 0x80 or above, and none of the shift and
// escape sequences of stateful encodings gives "/" or "\" unless it holds one (UTF-7
// reads "+AC8-" as "/"). Decided by converting those probes with CodePageToUtf8, so the
// answer is the platform's own.
bool NameCodePageSafe(const std::string& CodePage);
bool IsUNCPath(const std::string& Path);
std::string SplitAt(std::string& S, const std::string& Delim);
uint8_t NameStemLength(const char* Name);
int Percent(int64_t Total, int64_t Part);
bool TryEncodeDay(int Year, int Month, int Day, TDateTime& Out);
TDateTime EncodeDay(int Year, int Month, int Day);
TDateTime DosDateTimeToDateTime(uint32_t V);

// Folder part of a "\" path, with its trailing "\" (empty when there is none).
std::string ExtractFilePath(const std::string& Name);
// Name part of a "\" path (after the last "\", or after the colon of a leading drive).
std::string ExtractFileName(const std::string& Name);
// ExtractFileName as a view into Name.
std::string_view ExtractFileNameView(std::string_view Name);
// True for "C:..." style names.
bool HasDrive(std::string_view Name);

// Whether Windows takes Step (one name, no separators) for a device in any folder:
// CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9 (also with the superscript digits 1, 2
// and 3), in any case, with any extension, and with the blanks before the extension or
// the dots and blanks at the end that Windows drops.
bool IsDeviceName(std::string_view Step);
// Path ("\" separated) with a "_" put in front of every step that is a device name.
std::string AvoidDeviceNames(const std::string& Path);

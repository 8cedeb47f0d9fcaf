// What an entry's headers say beyond its bytes: the system that made it, the POSIX mode
// a Unix writer keeps in the high word of the external attributes (a file, a folder or
// a symbolic link, and its permission bits), the true modification time of the extra
// fields, and the Unicode name a writer adds beside a name it stored in another form.
#pragma once

#include "qvrZipRecords.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The high byte of "version made by". Only Unix and OS X writers keep a POSIX mode in
// the external attributes; the other hosts' high words are not modes.
inline constexpr uint8_t HostDos = 0;
inline constexpr uint8_t HostUnix = 3;
inline constexpr uint8_t HostOsx = 19;
// A local header carries no "version made by": the scan knows no host.
inline constexpr uint8_t HostUnknown = 0xFF;

// The longest link target taken from an archive: PATH_MAX on Linux. The target is read
// into memory whole, so a larger claim is refused before anything is decoded.
inline constexpr int64_t MaxLinkTarget = 4096;

// The POSIX mode the external attributes carry, with its file type; 0 for an entry
// from another host or one that keeps no mode.
uint32_t UnixModeOf(uint8_t Host, uint32_t ExternalAttr);
inline bool IsLinkMode(uint32_t Mode) { return (Mode & 0170000) == 0120000; }
inline bool IsFolderMode(uint32_t Mode) { return (Mode & 0170000) == 0040000; }
// The permission bits to restore: rwx for owner, group and others, and the setuid,
// setgid and sticky bits only when Special is set.
inline uint32_t PermissionBits(uint32_t Mode, bool Special)
{
    return Mode & (Special ? 07777u : 0777u);
}

// The WinZip AES field (0x9901) of an entry encrypted with AES (method 99).
struct TAesFacts {
    bool Present = false;   // the header has the field
    bool Malformed = false; // its size is not 7 or its vendor is not "AE"
    uint16_t Version = 0;   // 1: AE-1, checked by CRC too; 2: AE-2, whose CRC is 0
    uint8_t Strength = 0;   // 1, 2, 3: AES-128, AES-192, AES-256
    uint16_t Method = 0;    // the compression method beneath the cipher
};

// What the extra fields of one header tell about names, times and AES encryption.
struct TExtraFacts {
    TUtcTime Modified;
    // The Info-ZIP Unicode Path field (0x7075): the CRC-32 of the header's own name it
    // was written for, and the name in UTF-8.
    bool HasUnicodePath = false;
    uint32_t UnicodePathCrc = 0;
    std::string UnicodePath;
    TAesFacts Aes;
};

// Takes one extra field (Tag, and Size bytes at P) into Facts when it is one of the
// time or name fields: extended timestamp (0x5455), NTFS times (0x000A), the old
// Info-ZIP Unix field (0x5855), Unicode Path (0x7075), or the WinZip AES field (0x9901).
// Fields cut short are ignored, except an AES field, which is kept as malformed.
void ReadExtraFacts(uint16_t Tag, const uint8_t* P, size_t Size, TExtraFacts& Facts);

// How one entry's stored name is read.
struct TNameRules {
    bool Utf8Flag = false;       // general purpose bit 11
    uint8_t Host = HostUnknown;  // who made the entry
    bool TranslateOem = true;    // names without a mark are in a code page
    std::string CodePage;        // the one the user named; empty: the OEM code page
};

// The name an entry is extracted under, "\" separated: the Unicode Path field when it
// was written for this very name (RawCrc is the CRC-32 of the whole stored name), else
// the stored name Raw as UTF-8 when the flag says so, in the code page the user named,
// as UTF-8 when a Unix host wrote it in valid UTF-8, else in the OEM code page. Written
// into Name, whose memory is reused from one entry to the next.
void EntryNameOf(std::string_view Raw, uint32_t RawCrc, const TExtraFacts& Facts,
                 const TNameRules& Rules, std::string& Name);

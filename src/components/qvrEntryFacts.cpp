#include "qvrEntryFacts.h"

#include "qvrGbls.h"

namespace {

// NTFS times count 100 ns steps from 1601-01-01 UTC; this many lie before 1970.
constexpr uint64_t NtfsTo1970 = 116444736000000000ull;

void TakeUnixSeconds(uint32_t Seconds, TExtraFacts& Facts)
{
    // The NTFS field is finer; the first field that gave a time keeps it otherwise.
    if (Facts.Modified.Set) return;
    Facts.Modified = {true, static_cast<int64_t>(Seconds), 0};
}

} // namespace

uint32_t UnixModeOf(uint8_t Host, uint32_t ExternalAttr)
{
    if (Host != HostUnix && Host != HostOsx) return 0;
    return ExternalAttr >> 16;
}

void ReadExtraFacts(uint16_t Tag, const uint8_t* P, size_t Size, TExtraFacts& Facts)
{
    switch (Tag) {
    case 0x5455:
        // Extended timestamp: a flags byte, then the times it flags, the modification
        // time first. A directory record keeps only that one.
        if (Size >= 5 && (P[0] & 1)) TakeUnixSeconds(GetU32(P + 1), Facts);
        break;
    case 0x5855:
        // The old Info-ZIP Unix field: access time, then modification time.
        if (Size >= 8) TakeUnixSeconds(GetU32(P + 4), Facts);
        break;
    case 0x000A:
        // Four reserved bytes, then tagged attributes; tag 1 holds modification, access
        // and creation times.
        for (size_t i = 4; i + 4 <= Size;) {
            const uint16_t tag = GetU16(P + i), size = GetU16(P + i + 2);
            i += 4;
            if (tag == 1 && size >= 8 && i + 8 <= Size) {
                const uint64_t ticks = GetU64(P + i);
                if (ticks >= NtfsTo1970) {
                    const uint64_t since = ticks - NtfsTo1970;
                    Facts.Modified = {true, static_cast<int64_t>(since / 10000000u),
                                      static_cast<uint32_t>(since % 10000000u) * 100u};
                }
                break;
            }
            i += size;
        }
        break;
    case 0x7075:
        // Version 1, the CRC-32 of the header's name, the name in UTF-8.
        if (Size >= 5 && P[0] == 1) {
            Facts.HasUnicodePath = true;
            Facts.UnicodePathCrc = GetU32(P + 1);
            Facts.UnicodePath.assign(reinterpret_cast<const char*>(P + 5), Size - 5);
        }
        break;
    case 0x9901:
        // Vendor version, vendor id "AE", strength, the method beneath the cipher.
        Facts.Aes = {};
        Facts.Aes.Present = true;
        Facts.Aes.Malformed = Size != 7 || P[2] != 'A' || P[3] != 'E';
        if (Size >= 7) {
            Facts.Aes.Version = GetU16(P);
            Facts.Aes.Strength = P[4];
            Facts.Aes.Method = GetU16(P + 5);
        }
        break;
    default: break;
    }
}

void EntryNameOf(std::string_view Raw, uint32_t RawCrc, const TExtraFacts& Facts,
                 const TNameRules& Rules, std::string& Name)
{
    // A Unicode Path written for another name (the name was changed by a tool that did
    // not know the field) describes nothing here.
    if (Facts.HasUnicodePath && Facts.UnicodePathCrc == RawCrc && !Facts.UnicodePath.empty()) {
        const std::string name(Facts.UnicodePath.c_str());
        if (!name.empty()) {
            NormalizeNameInto(std::string_view(name).substr(0, 255), false, {}, Name);
            return;
        }
    }
    const bool oem = Rules.TranslateOem && !Rules.Utf8Flag;
    // Unix writers store the names the system gave them, nowadays UTF-8; a code page the
    // user named still rules.
    if (oem && Rules.CodePage.empty() && (Rules.Host == HostUnix || Rules.Host == HostOsx) &&
        Utf8NameInto(Raw, Name))
        return;
    NormalizeNameInto(Raw, oem, Rules.CodePage, Name);
}

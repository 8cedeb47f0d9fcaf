// What the walk does with what the entry checks find, and with a walk that runs out of
// memory: each finding is reported with the entry it concerns, and an entry whose bytes
// belong to another one is left out before anything is extracted.
#include "qvrEntryChecks.h"
#include "qvrUnZip.h"

#include <cstring>

void TUnZip::VetEntries(const TArchiveSpan* Directory)
{
    if (Directory) {
        // Entries of a single file all lie on it, whatever disk numbers they claim.
        const bool perDisk = FArcType == atZipDS || FArcType == atZipMV;
        const std::vector<bool> overlaps = FindOverlappingEntries(*FHeader, *Directory, perDisk);
        bool any = false;
        for (int32_t i = 0; i < FHeader->FCount; ++i) {
            if (!overlaps[static_cast<size_t>(i)]) continue;
            const TDirEntry& e = FHeader->GetEntry(i);
            FTotalPacked -= PackedBytes(e);
            FTotalUnpacked -= e.UncompressedSize;
            ReportError(std::string(FHeader->GetName(i)), "", E_BADHEADER, "0", rsEntry);
            any = true;
        }
        if (any) FHeader->Remove(overlaps);
    }
}

void TUnZip::CheckLocalName(const TZipEntry& Entry, const std::string& LocalName)
{
    // The directory's name is the one the entry was selected by, so it is the one it is
    // written under; a local header that names another file is damaged or hostile.
    if (Entry.Name != LocalName)
        ReportError(Entry.Name, "the local header names " + LocalName, E_BADHEADER, "0", rsEntry);
}

uint32_t TUnZip::LocalHeaderLength(bool Enciphered)
{
    TLocalHeader h = FLocalHdr;
    if (Enciphered) DecipherHeader(h.Data(), htLocal);
    return 30u + h.NameLength() + h.ExtraLength();
}

bool TUnZip::LocalHeaderPlain(const uint8_t* Rest, const TDirEntry& Entry,
                              const TRawName& Raw) const
{
    const TLocalHeader& h = FLocalHdr;
    // A Unicode Path field in the directory may name the entry otherwise than the local
    // header's bytes do; the full comparison settles that.
    if (!Rest || FExtraFacts.HasUnicodePath || h.Flags() != Entry.Flags ||
        h.DosDateTime() != Entry.DosDateTime || h.NameLength() != Raw.Bytes.size() ||
        std::memcmp(Rest, Raw.Bytes.data(), Raw.Bytes.size()) != 0)
        return false;
    // The CRC the entry is judged by must come out as the directory's (AddLocalHeader).
    const bool listed = Entry.CompressedSize != 0 && (h.Crc() == 0 || (h.Flags() & FlagDescriptor));
    if (!listed && h.Crc() != Entry.Crc) return false;
    // The extra field, read as extraction reads it, gives no sizes, cipher or name, and
    // no time the directory lacks.
    bool sizes = false;
    TExtraFacts facts;
    ForEachExtraField(Rest + h.NameLength(), h.ExtraLength(),
                      [&](uint16_t Tag, const uint8_t* P, size_t N) {
                          if (Tag == 0x0001 || Tag == 0x0064) sizes = true;
                          else ReadExtraFacts(Tag, P, N, facts);
                      });
    return !sizes && !facts.Aes.Present && !facts.HasUnicodePath &&
           (!facts.Modified.Set || Entry.ModifiedTicks != NoTicks);
}

void TUnZip::ReportOutOfMemory()
{
    // What the table held is given back first, so that the report itself has room.
    FHeader->Clear();
    ReportError(FArchiveFile, "", E_STACKOVERFLOW, "0", FCurEntry < 0 ? rsArchive : rsRun);
}

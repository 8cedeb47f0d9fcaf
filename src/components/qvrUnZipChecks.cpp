// What the walk does with what the entry checks find, and with a walk that runs out of
// memory: each finding is reported with the entry it concerns, and an entry whose bytes
// belong to another one is left out before anything is extracted.
#include "qvrEntryChecks.h"
#include "qvrUnZip.h"

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
    if (Entry.Name != LocalName) ReportError(Entry.Name, LocalName, E_BADHEADER, "0", rsEntry);
}

uint32_t TUnZip::LocalHeaderLength(bool Enciphered)
{
    TLocalHeader h = FLocalHdr;
    if (Enciphered) DecipherHeader(h.Data(), htLocal);
    return 30u + h.NameLength() + h.ExtraLength();
}

void TUnZip::ReportOutOfMemory()
{
    // What the table held is given back first, so that the report itself has room.
    FHeader->Clear();
    ReportError(FArchiveFile, "", E_STACKOVERFLOW, "0", FCurEntry < 0 ? rsArchive : rsRun);
}

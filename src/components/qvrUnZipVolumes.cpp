// Split sets in the walk: the set's parts read as one volume stream, and this component
// as the host the set asks for parts through (a disk in the drive, or the file of a
// numbered part).
#include "qvrTempFile.h"
#include "qvrUnZip.h"

#include <string>

bool TUnZip::OpenVolumeSet(std::unique_ptr<TStream32>& Stream)
{
    if (!FVolumeSet.Begin(FArcType, FEndHdr.Signature() != 0, Stream)) return false;
    const uint32_t last = EndDisk();
    if (last > TVolumeSet::MaxDisk || DirDisk() > last) {
        ReportError(FArchiveFile, "", E_BADHEADER, "0", rsArchive);
        return false;
    }
    const bool directory = FEndHdr.Signature() != 0;
    FVolumeSet.Join(last, directory, Stream);
    FVolumeNumber = static_cast<int32_t>(last + 1);
    // Records address parts by number: the directory starts where the end record says,
    // on its own part, whether or not the search found it from the last part (a
    // directory that starts on an earlier part, or a size that does not fit); without an
    // end record the local headers are scanned from the first part on.
    if (directory) {
        const bool wide =
            FEndHdr.DirOffset() == 0xFFFFFFFFu && FZip64EndHdr.Signature() == Zip64EndSig;
        const int64_t offset =
            wide ? static_cast<int64_t>(FZip64EndHdr.DirOffset() & 0xFFFFFFFFFFull)
                 : static_cast<int64_t>(FEndHdr.DirOffset());
        FWalkStart = VolumePos(DirDisk(), offset);
        FOffsetAdjust = 0;
        if (FHeaderState.Only(htLocal) || !FHeaderState.Has(htCentral)) FHeaderState.Add(htCentral);
    } else {
        FWalkStart = VolumePos(0, 0);
        FHeaderState = {};
        FHeaderState.Add(htLocal);
    }
    return true;
}

TVolumeHost::TEvents TUnZip::VolumeEvents()
{
    TEvents e;
    if (OnGetZipLastDisk) e.LastDisk = [this](bool& Cancel) { OnGetZipLastDisk(*this, Cancel); };
    if (OnGetZipFirstDisk) e.FirstDisk = [this](bool& Cancel) { OnGetZipFirstDisk(*this, Cancel); };
    if (OnGetZipNextDisk)
        e.NextDisk = [this](const std::string& Number, bool& Cancel) {
            OnGetZipNextDisk(*this, Number, Cancel);
        };
    if (OnNextVolume)
        e.NextVolume = [this](std::string& Name, const std::string& Number, bool Exists,
                              bool& Cancel) { OnNextVolume(*this, Name, Number, Exists, Cancel); };
    return e;
}

void TUnZip::VolumeReport(const std::string& File, const std::string& Ext, int32_t Code,
                          const std::string& Volume, bool Raise)
{
    if (Raise) RaiseError(File, Ext, Code, Volume, rsRun);
    else ReportError(File, Ext, Code, Volume, rsRun);
}

void TUnZip::CancelRun(bool Report)
{
    if (Report) SetCancel(true);
    else *FCancelPtr = true;
}

bool TUnZip::Reidentify(const std::string& Name)
{
    // Identification forgets the name of a file it cannot find: the set keeps it.
    FArcType = atNA;
    FHeaderState = {};
    SetArchiveFile(Name);
    FArchiveFile = Name;
    return FHeaderState.Has(htEnding);
}

TArcType TUnZip::IdentifiedType() const { return IsValidArcType(FArcType) ? FArcType : atNA; }

std::unique_ptr<TStream32> TUnZip::OpenPart(const std::string& Name)
{
    auto file = std::make_unique<TTempFileStream>(*this, fmOpenRead | fmShareDenyWrite, Name);
    if (!file->Valid()) return nullptr;
    file->EnableReadBuffer(64 * 1024);
    return file;
}

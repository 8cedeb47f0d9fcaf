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

TVolumeHost TUnZip::VolumeHost()
{
    TVolumeHost h;
    // The events as the host has assigned them at the time of the request.
    h.VolumeEvents = [this] {
        TVolumeHost::TEvents e;
        if (OnGetZipLastDisk)
            e.LastDisk = [this](bool& C) { CallHost("OnGetZipLastDisk", OnGetZipLastDisk, *this, C); };
        if (OnGetZipFirstDisk)
            e.FirstDisk = [this](bool& C) { CallHost("OnGetZipFirstDisk", OnGetZipFirstDisk, *this, C); };
        if (OnGetZipNextDisk)
            e.NextDisk = [this](const std::string& N, bool& C) {
                CallHost("OnGetZipNextDisk", OnGetZipNextDisk, *this, qvrOS::HostPath(N), C);
            };
        // The host reads and writes the part's path as its system writes paths.
        if (OnNextVolume)
            e.NextVolume = [this](std::string& Name, const std::string& N, bool Exists, bool& C) {
                std::string name = qvrOS::HostPath(Name);
                CallHost("OnNextVolume", OnNextVolume, *this, name, N, Exists, C);
                Name = SlashToBackslash(name);
            };
        return e;
    };
    h.VolumeReport = [this](const std::string& F, const std::string& X, int32_t C,
                            const std::string& V, bool Raise) {
        if (Raise) RaiseError(F, X, C, V, rsRun);
        else ReportError(F, X, C, V, rsRun);
    };
    h.CancelRun = [this](bool Report) {
        if (Report) SetCancel(true);
        else std::atomic_ref<bool>(*FCancelPtr).store(true);
    };
    h.RunCancelled = [this] { return GetCancel(); };
    h.OwnCancelFlag = [this] { SetCancelPtr(nullptr); };
    h.VolumeArchive = [this] { return FArchiveFile; };
    h.Reidentify = [this](const std::string& Name) {
        // Identification forgets the name of a file it cannot find: the set keeps it.
        FArcType = atNA;
        FHeaderState = {};
        // The run's own step to the next part: not the host's change of archive, which
        // a run refuses.
        TRegisterQuiver::SetArchiveFile(Name);
        FArchiveFile = Name;
        return FHeaderState.Has(htEnding);
    };
    h.IdentifiedType = [this] { return IsValidArcType(FArcType) ? FArcType : atNA; };
    h.OpenPart = [this](const std::string& Name) -> std::unique_ptr<TStream32> {
        auto file = std::make_unique<TTempFileStream>(*this, fmOpenRead | fmShareDenyWrite, Name);
        if (!file->Valid()) return nullptr;
        file->EnableReadBuffer(64 * 1024);
        return file;
    };
    h.VolumeDisks = [this]() -> TDiskManager& { return FDiskManager; };
    h.PartNamed = [this](const std::string& Name) { FVolumeName = Name; };
    h.PartNumbered = [this](int32_t Number) { FVolumeNumber = Number; };
    h.DiskSized = [this](int64_t Size) { FArchiveSize = Size; };
    return h;
}

// Split sets in the walk: the volume stream over the parts, and the requests for parts
// the host answers (a disk in the drive, or the file of a numbered part).
#include "qvrTempFile.h"
#include "qvrUnZip.h"

#include <algorithm>
#include <string>

namespace {

// A part of a set, opened for reading while others may read it too.
std::unique_ptr<TStream32> OpenPartFile(TZipCommon& Owner, const std::string& Name)
{
    auto file = std::make_unique<TTempFileStream>(Owner, fmOpenRead | fmShareDenyWrite, Name);
    if (!file->Valid()) return nullptr;
    file->EnableReadBuffer(64 * 1024);
    return file;
}

// ZIP64 disk numbers are 32 bits wide; a set of more parts than the plain record's
// 16-bit fields can count is not a real one.
constexpr uint32_t MaxDisk = 0xFFFE;

} // namespace

bool TUnZip::OpenVolumeSet(std::unique_ptr<TStream32>& Stream)
{
    if (FArcType == atZipDS) {
        FSpanObj.Init();
        if (!FSpanObj.SpanStep(Stream)) return false;
    }
    const uint32_t last = EndDisk();
    if (last > MaxDisk || DirDisk() > last) {
        ReportError(FArchiveFile, "", E_BADHEADER, "0", rsArchive);
        return false;
    }
    auto volumes = std::make_unique<TVolumeStream>(
        last, [this](uint32_t Disk) { return OpenVolumePart(Disk); }, std::move(Stream), last);
    FVolumes = volumes.get();
    Stream = std::move(volumes);
    FVolumeNumber = static_cast<int32_t>(last + 1);
    // Records address parts by number: the directory starts where the end record says,
    // on its own part, whether or not the search found it from the last part (a
    // directory that starts on an earlier part, or a size that does not fit); without an
    // end record the local headers are scanned from the first part on.
    if (FEndHdr.Signature() != 0) {
        const bool wide = FEndHdr.DirOffset() == 0xFFFFFFFFu && FZip64EndHdr.Signature() == Zip64EndSig;
        const int64_t offset = wide ? static_cast<int64_t>(FZip64EndHdr.DirOffset() & 0xFFFFFFFFFFull)
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

std::unique_ptr<TStream32> TUnZip::OpenVolumePart(uint32_t Disk)
{
    std::unique_ptr<TStream32> part;
    if (FArcType == atZipDS) {
        // The disk must show a record where the walk will read one: known only as an
        // offset on this disk when every disk before it has been seen.
        const int64_t at = FVolumes->Normalize(FRecordAt);
        FSpanObj.FRecordAt = VolumeDisk(at) == Disk ? VolumeOffset(at) : 0;
        FSpanObj.FDiskIndex = static_cast<uint16_t>(Disk + 1);
        if (!FSpanObj.SpanStep(part)) return nullptr;
        return part;
    }
    if (!NextZipVolume(part, Disk, FVolumes->LastDisk())) return nullptr;
    return part;
}

bool TUnZip::NextZipVolume(std::unique_ptr<TStream32>& Stream, uint32_t Index, uint32_t Last)
{
    if (!OnNextVolume) {
        SetCancel(true);
        ReportError(FVolumeName, "OnNextVolume", E_REQUIREDEVENT, std::to_string(Index + 1), rsRun);
        return false;
    }
    Stream.reset();
    FVolumeName = GetVolumeName(Index, Last);
    // The host is asked at least once, also for a part that exists: it may name
    // another file. Declining a part does not cancel the run: the entries wholly in
    // the other parts are still extracted.
    const std::string number = std::to_string(Index + 1);
    bool cancel = false;
    bool found = false;
    while (!found && !cancel && !GetCancel()) {
        OnNextVolume(*this, FVolumeName, number, FileExistsAny(FVolumeName), cancel);
        found = !cancel && FileExistsAny(FVolumeName);
    }
    if (!found) {
        ReportError(FVolumeName, "", E_USERCANCELED, number, rsRun);
        return false;
    }
    Stream = OpenPartFile(*this, FVolumeName);
    if (!Stream) {
        ReportError(FVolumeName, "", E_OPENERR, number, rsRun);
        return false;
    }
    FVolumeNumber = static_cast<int32_t>(Index + 1);
    return true;
}

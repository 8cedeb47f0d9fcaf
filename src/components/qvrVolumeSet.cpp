#include "qvrVolumeSet.h"

#include "qvrBase.h"
#include "qvrMessages.h"

#include <cstdio>

std::string TVolumeSet::PartName(const std::string& Name, uint32_t Number)
{
    // The extension is what follows the last dot of the file's own name.
    const size_t slash = Name.find_last_of('\\');
    const size_t dot = Name.find_last_of('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    char ext[16];
    std::snprintf(ext, sizeof ext, ".z%02u", static_cast<unsigned>(Number));
    return (hasExt ? Name.substr(0, dot) : Name) + ext;
}

std::string TZipCommon::GetVolumeName(uint32_t Index, uint32_t Last) const
{
    if (Index >= Last) return FArchiveFile;
    // Named after the part read last (the archive itself before a run).
    return TVolumeSet::PartName(FVolumeName.empty() ? FArchiveFile : FVolumeName, Index + 1);
}

uint32_t TVolumeSet::PartNumber(const std::string& Name)
{
    const size_t dot = Name.find_last_of('.');
    if (dot == std::string::npos || Name.find('\\', dot) != std::string::npos) return 0;
    const std::string ext = Name.substr(dot);
    if (ext.size() < 4 || ext.size() > 7 || (ext[1] != 'z' && ext[1] != 'Z') ||
        ext.find_first_not_of("0123456789", 2) != std::string::npos)
        return 0;
    return static_cast<uint32_t>(std::stoul(ext.substr(2)));
}

std::string TVolumeSet::LastPartBeside(const std::string& Name)
{
    if (PartNumber(Name) == 0) return {};
    const std::string last = Name.substr(0, Name.find_last_of('.')) + ".zip";
    return FileExistsAny(last) ? last : std::string();
}

std::vector<std::string> TVolumeSet::PieceNames(const std::string& First)
{
    std::vector<std::string> names;
    if (First.size() < 5 || First.compare(First.size() - 4, 4, ".001") != 0) return names;
    const std::string stem = First.substr(0, First.size() - 3);
    // Three digits at least, more once a set passes 999 pieces.
    for (unsigned n = 1;; ++n) {
        char num[16];
        std::snprintf(num, sizeof num, "%03u", n);
        const std::string name = stem + num;
        if (!FileExistsAny(name)) break;
        names.push_back(name);
    }
    return names;
}

bool TVolumeSet::Begin(TArcType Type, bool Directory, std::unique_ptr<TStream32>& Stream)
{
    FType = Type;
    FVolumes = nullptr;
    FRecordAt = 0;
    FFirst = 0;
    FToLast = true;
    FNamed.clear();
    FPartName = FHost.VolumeArchive();
    if (Type == atZipDS) {
        FSpan.Init();
        return FSpan.SpanStep(Stream);
    }
    const std::string last = Directory ? std::string() : LastPartBeside(FPartName);
    if (last.empty()) return true;
    // The directory is in the last part: the set is read from there, as if it had been
    // named, unless that file is no set's last part after all.
    FNamed = FPartName;
    std::unique_ptr<TStream32> part;
    if (FHost.Reidentify(last) && FHost.IdentifiedType() == atZipMV) part = FHost.OpenPart(last);
    if (!part) {
        FHost.Reidentify(FNamed);
        FNamed.clear();
        return true;
    }
    Stream = std::move(part);
    FPartName = last;
    FHost.PartNamed(last);
    return true;
}

void TVolumeSet::Join(uint32_t LastDisk, bool Directory, std::unique_ptr<TStream32>& Stream)
{
    uint32_t last = LastDisk;
    const uint32_t number = FType == atZipMV && !Directory ? PartNumber(FPartName) : 0;
    if (number > 0) {
        // No directory tells how many parts there are: the local headers run on into
        // the numbered parts that follow this one, as far as they go.
        FFirst = number - 1;
        FToLast = false;
        last = 0;
        while (last < MaxDisk && FileExistsAny(PartName(FPartName, number + last + 1))) ++last;
    }
    auto volumes = std::make_unique<TVolumeStream>(
        last, [this](uint32_t Disk) { return OpenDisk(Disk); }, std::move(Stream),
        number > 0 ? 0 : last);
    FVolumes = volumes.get();
    Stream = std::move(volumes);
}

void TVolumeSet::End()
{
    FVolumes = nullptr;
    if (FNamed.empty()) return;
    // The archive is again the one named, as identification found it.
    const std::string named = std::move(FNamed);
    FNamed.clear();
    try {
        FHost.Reidentify(named);
    } catch (...) {
        // Reported where it arose.
    }
}

std::unique_ptr<TStream32> TVolumeSet::OpenDisk(uint32_t Disk)
{
    if (FType != atZipDS) return NextVolume(Disk, FVolumes->LastDisk());
    // The disk must show a record where the walk will read one: known only as an
    // offset on this disk when every disk before it has been seen.
    const int64_t at = FVolumes->Normalize(FRecordAt);
    FSpan.FRecordAt = VolumeDisk(at) == Disk ? VolumeOffset(at) : 0;
    FSpan.FDiskIndex = static_cast<uint16_t>(Disk + 1);
    std::unique_ptr<TStream32> part;
    if (!FSpan.SpanStep(part)) return nullptr;
    return part;
}

std::string TVolumeSet::Proposed(uint32_t Index, uint32_t Last) const
{
    // The last part carries the archive's own name; the others are named after the
    // part read last, whose folder the host may have changed.
    if (FToLast && Index >= Last) return FHost.VolumeArchive();
    return PartName(FPartName, FFirst + Index + 1);
}

std::unique_ptr<TStream32> TVolumeSet::NextVolume(uint32_t Index, uint32_t Last)
{
    const std::string number = std::to_string(FFirst + Index + 1);
    const TVolumeHost::TEvents ask = FHost.VolumeEvents();
    const std::string proposed = Proposed(Index, Last);
    if (!ask.NextVolume) {
        // Without a handler the parts are taken where they lie under their usual names;
        // one that is not there ends the run, since nobody can be asked for it.
        if (!FileExistsAny(proposed)) {
            FHost.CancelRun(true);
            FHost.VolumeReport(FPartName, "OnNextVolume", E_REQUIREDEVENT, number, false);
            return nullptr;
        }
        FPartName = proposed;
        FHost.PartNamed(FPartName);
    } else {
        FPartName = proposed;
        FHost.PartNamed(FPartName);
        // The host is asked at least once, also for a part that exists: it may name
        // another file. Declining a part does not cancel the run: the entries wholly
        // in the other parts are still extracted.
        bool cancel = false;
        bool found = false;
        while (!found && !cancel && !FHost.RunCancelled()) {
            ask.NextVolume(FPartName, number, FileExistsAny(FPartName), cancel);
            FHost.PartNamed(FPartName);
            found = !cancel && FileExistsAny(FPartName);
        }
        if (!found) {
            FHost.VolumeReport(FPartName, "", E_USERCANCELED, number, false);
            return nullptr;
        }
    }
    std::unique_ptr<TStream32> part = FHost.OpenPart(FPartName);
    if (!part) {
        FHost.VolumeReport(FPartName, "", E_OPENERR, number, false);
        return nullptr;
    }
    FHost.PartNumbered(static_cast<int32_t>(FFirst + Index + 1));
    return part;
}

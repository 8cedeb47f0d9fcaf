#include "qvrSpan.h"

#include "qvrMessages.h"
#include "qvrVolumeHost.h"
#include "qvrZipRecords.h"

#include <string>

void TDiskSpannObj::Init()
{
    FDiskIndex = 0;
    FRecordAt = 0;
    FHost.OwnCancelFlag();
}

TDiskEvents TDiskSpannObj::Events()
{
    TDiskEvents e;
    e.OnReportError = [this](const std::string& F, const std::string& X, int32_t C,
                             const std::string& V) { FHost.VolumeReport(F, X, C, V, false); };
    e.OnRaiseError = [this](const std::string& F, const std::string& X, int32_t C,
                            const std::string& V) { FHost.VolumeReport(F, X, C, V, true); };
    return e;
}

bool TDiskSpannObj::SpanStep(std::unique_ptr<TStream32>& Stream)
{
    Stream.reset();
    const TVolumeHost::TEvents ask = FHost.VolumeEvents();
    const char* event = FDiskIndex == 0   ? "OnGetZipLastDisk"
                        : FDiskIndex == 1 ? "OnGetZipFirstDisk"
                                          : "OnGetZipNextDisk";
    const bool assigned = FDiskIndex == 0   ? bool(ask.LastDisk)
                          : FDiskIndex == 1 ? bool(ask.FirstDisk)
                                            : bool(ask.NextDisk);
    // Identification forgets the name of a file it cannot find: it is kept for the
    // next disk.
    const std::string name = FHost.VolumeArchive();
    bool ok = assigned;
    if (!assigned) {
        FHost.VolumeReport(name, event, E_REQUIREDEVENT, std::to_string(FDiskIndex), false);
    } else if (FDiskIndex == 0) {
        // The last disk is the one whose archive has the end records: identify the
        // file in the drive until it is that one.
        bool ending = FHost.Reidentify(name);
        while (ok && !ending) {
            bool cancel = true;
            ask.LastDisk(cancel);
            ok = !cancel;
            if (ok) ending = FHost.Reidentify(name);
        }
        ok = ok && FHost.IdentifiedType() != atNA;
        if (ok) FDiskIndex = 1;
    } else {
        bool cancel = false;
        while (!DiskHasData(FRecordAt)) {
            cancel = true;
            if (FDiskIndex == 1) ask.FirstDisk(cancel);
            else ask.NextDisk(std::to_string(FDiskIndex), cancel);
            if (cancel) break;
        }
        ok = !cancel;
        if (ok) ++FDiskIndex;
    }
    if (!ok) {
        FHost.CancelRun(false);
        return false;
    }
    Stream = FHost.OpenPart(name);
    if (!Stream) {
        FHost.VolumeReport(name, "", E_OPENERR, "0", false);
        return false;
    }
    FHost.DiskSized(Stream->Size());
    return true;
}

bool TDiskSpannObj::DiskHasData(int64_t Position)
{
    try {
        const std::string name = FHost.VolumeArchive();
        TDiskManager& disks = FHost.VolumeDisks();
        // Brings the drive to readiness; its facts are read again below if needed.
        disks.GetDiskInfo(name, Events());
        TFileStream32 file(name, fmOpenRead | fmShareDenyWrite);
        if (!file.Valid()) {
            FHost.VolumeReport(name, "", E_OPENERR, "0", false);
            return false;
        }
        if (file.Size() < Position + 30) {
            const TArcType type = FHost.IdentifiedType();
            if (type == atZipMV) return true;
            return type == atZipDS && disks.GetDiskInfo(name, Events()) &&
                   disks.FPkBackNumber == FDiskIndex;
        }
        uint8_t sig[4] = {};
        if (Position < 0 || file.Seek(Position, 0) != Position || file.ReadFull(sig, 4) != 4)
            return false;
        const uint32_t s = GetU32(sig);
        return s == CentralSig || s == LocalSig || s == SpanMarkerSig;
    } catch (...) {
        return false;
    }
}

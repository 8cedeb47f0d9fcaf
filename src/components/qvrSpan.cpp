#include "qvrSpan.h"

#include "qvrTempFile.h"
#include "qvrUnZip.h"

#include <string>

void TDiskSpannObj::Init()
{
    FDiskIndex = 0;
    FRecordAt = 0;
    FOwner.SetCancelPtr(nullptr);
}

TDiskEvents TDiskSpannObj::Events()
{
    TDiskEvents e;
    e.OnReportError = [this](const std::string& F, const std::string& X, int32_t C,
                             const std::string& V) { FOwner.ReportError(F, X, C, V, rsRun); };
    e.OnRaiseError = [this](const std::string& F, const std::string& X, int32_t C,
                            const std::string& V) { FOwner.RaiseError(F, X, C, V, rsRun); };
    return e;
}

bool TDiskSpannObj::AskForDisk(bool& Cancel)
{
    Cancel = true;
    if (FDiskIndex == 1)
        FOwner.OnGetZipFirstDisk(FOwner, Cancel);
    else
        FOwner.OnGetZipNextDisk(FOwner, std::to_string(FDiskIndex), Cancel);
    return !Cancel;
}

bool TDiskSpannObj::SpanStep(std::unique_ptr<TStream32>& Stream)
{
    Stream.reset();
    const char* event = FDiskIndex == 0   ? "OnGetZipLastDisk"
                        : FDiskIndex == 1 ? "OnGetZipFirstDisk"
                                          : "OnGetZipNextDisk";
    const bool assigned = FDiskIndex == 0   ? bool(FOwner.OnGetZipLastDisk)
                          : FDiskIndex == 1 ? bool(FOwner.OnGetZipFirstDisk)
                                            : bool(FOwner.OnGetZipNextDisk);
    bool ok = assigned;
    if (!assigned) {
        FOwner.ReportError(FOwner.FArchiveFile, event, E_REQUIREDEVENT,
                           std::to_string(FDiskIndex), rsRun);
    } else if (FDiskIndex == 0) {
        // The last disk is the one whose archive has the end records: identify the
        // file in the drive until it is that one.
        // Identification forgets the name of a file it cannot find: keep it for the
        // next disk.
        const std::string name = FOwner.FArchiveFile;
        auto identify = [this, name] {
            FOwner.FArcType = atNA;
            FOwner.FHeaderState = {};
            FOwner.SetArchiveFile(name);
            FOwner.FArchiveFile = name;
        };
        identify();
        while (ok && !FOwner.FHeaderState.Has(htEnding)) {
            bool cancel = true;
            FOwner.OnGetZipLastDisk(FOwner, cancel);
            ok = !cancel;
            if (ok) identify();
        }
        ok = ok && TUnZip::IsValidArcType(FOwner.FArcType);
        if (ok) FDiskIndex = 1;
    } else {
        bool cancel = false;
        while (!DiskHasData(FRecordAt) && AskForDisk(cancel)) {
        }
        ok = !cancel;
        if (ok) ++FDiskIndex;
    }
    if (!ok) {
        *FOwner.FCancelPtr = true;
        return false;
    }
    auto file = std::make_unique<TTempFileStream>(FOwner, fmOpenRead | fmShareDenyWrite,
                                                  FOwner.FArchiveFile);
    if (!file->Valid()) {
        FOwner.ReportError(FOwner.FArchiveFile, "", E_OPENERR, "0", rsRun);
        return false;
    }
    file->EnableReadBuffer(64 * 1024);
    FOwner.FArchiveSize = file->Size();
    Stream = std::move(file);
    return true;
}

bool TDiskSpannObj::DiskHasData(int64_t Position)
{
    try {
        // Brings the drive to readiness; its facts are read again below if needed.
        FOwner.FDiskManager.GetDiskInfo(FOwner.FArchiveFile, Events());
        TFileStream32 file(FOwner.FArchiveFile, fmOpenRead | fmShareDenyWrite);
        if (!file.Valid()) {
            FOwner.ReportError(FOwner.FArchiveFile, "", E_OPENERR, "0", rsRun);
            return false;
        }
        if (file.Size() < Position + 30) {
            if (FOwner.FArcType == atZipMV) return true;
            return FOwner.FArcType == atZipDS &&
                   FOwner.FDiskManager.GetDiskInfo(FOwner.FArchiveFile, Events()) &&
                   FOwner.FDiskManager.FPkBackNumber == FDiskIndex;
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

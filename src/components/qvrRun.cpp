// The run: opening the archive, resetting the run state, the activation events and
// the exception boundary around the type-specific walk.
#include "qvrBase.h"
#include "qvrJoinedStream.h"
#include "qvrVolumeSet.h"

#include <algorithm>
#include <exception>

// ---------------------------------------------------------------------------------
// TUnBase

TUnBase::TUnBase() = default;

void TUnBase::SetArchiveFile(const std::string& V)
{
    // The first of pieces cut from one file (x.zip.001, x.zip.002, ...) stands for the
    // file they were cut from.
    const std::vector<std::string> pieces = TVolumeSet::PieceNames(SlashToBackslash(V));
    if (pieces.size() > 1) {
        ArchiveSource(pieces[0], [pieces] { return TJoinedStream::Open(pieces); });
        return;
    }
    FSource = nullptr;
    TRegisterQuiver::SetArchiveFile(V);
}

void TUnBase::ArchiveSource(const std::string& Name,
                            std::function<std::unique_ptr<TStream32>()> Source)
{
    FSource = std::move(Source);
    FArchiveFile = Name;
    FArcType = atNA;
    std::unique_ptr<TStream32> stream = FSource ? FSource() : nullptr;
    if (!stream) return;
    FArcType = IdentifyArchive(*stream);
    if (IsValidArcType(FArcType)) SetVolumeScheme();
}

int32_t TUnBase::ExtractFiles() { return Run(rmExtract); }

int32_t TUnBase::TestFiles() { return Run(rmTest); }

int32_t TUnBase::ListFiles() { return Run(rmList); }

namespace {

// Puts a value in place for one call and the old one back however the call ends.
template <class T> class TSwapScope {
public:
    TSwapScope(T& Slot, T Value) : FSlot(Slot), FOld(std::move(Slot)) { FSlot = std::move(Value); }
    ~TSwapScope() { FSlot = std::move(FOld); }
    TSwapScope(const TSwapScope&) = delete;
    TSwapScope& operator=(const TSwapScope&) = delete;

private:
    T& FSlot;
    T FOld;
};

} // namespace

// A program that reads an archive without naming a FileSpec means all of it.
TStringList TUnBase::ReaderSpec() const { return FFileSpec.empty() ? TStringList{"*.*"} : FFileSpec; }

std::vector<TEntryListing> TUnBase::Entries()
{
    std::vector<TEntryListing> list;
    TSwapScope<TStringList> selection(FFileSpec, ReaderSpec());
    TSwapScope<TOnListEntry> handler(
        OnListEntry, [&list](TZipCommon&, const TEntryListing& E) { list.push_back(E); });
    Run(rmList);
    return list;
}

int32_t TUnBase::ReadFiles(TStream32& Out)
{
    TSwapScope<TStream32*> target(FReadTarget, &Out);
    TSwapScope<TStringList> selection(FFileSpec, ReaderSpec());
    Run(rmRead);
    return FPassedCount;
}

bool TUnBase::ReadEntry(const std::string& Name, TStream32& Out)
{
    std::string name = Name;
    std::replace(name.begin(), name.end(), '/', '\\');
    if (name.empty()) return false;
    TSwapScope<std::string> only(FReadName, name);
    return ReadFiles(Out) == 1;
}

bool TUnBase::ReadEntry(const std::string& Name, const TBlockStream::TBlock& Block)
{
    TBlockStream out(Block);
    return ReadEntry(Name, out);
}

int32_t TUnBase::Run(TRunMode Mode)
{
    // The mode holds for this run only, whichever way it ends.
    TSwapScope<TRunMode> mode(FRunMode, Mode);
    std::unique_ptr<TStream32> stream;
    if (!OpenArchive(stream)) return 0;
    int32_t result = 0;
    try {
        result = ProcessArchive(stream);
    } catch (...) {
        CloseArchive(stream);
        throw;
    }
    CloseArchive(stream);
    return result;
}

bool TUnBase::OpenArchive(std::unique_ptr<TStream32>& Stream)
{
    if (FArchiveFile.empty()) {
        ReportError("", "", E_FILENOTFOUND, "0", rsArchive);
        return false;
    }
    if ((FArcType == atZipDS || FArcType == atZipMV) && !PrepareVolumeSet()) return false;
    Stream.reset();
    if (FArcType == atAce || FArcType == atAceExe || FArcType == atCab || FArcType == atCabExe ||
        FArcType == atRar || FArcType == atRarExe)
        return true;
    if (FSource) {
        Stream = FSource();
    } else {
        auto file = std::make_unique<TFileStream32>(FArchiveFile, fmOpenRead | fmShareDenyWrite);
        // The walk reads headers a few bytes at a time: read ahead in large blocks.
        if (file->Valid()) {
            file->EnableReadBuffer(64 * 1024);
            Stream = std::move(file);
        }
    }
    if (!Stream) {
        ReportError(FArchiveFile, "", E_OPENERR, "0", rsArchive);
        return false;
    }
    FArchiveSize = Stream->Size();
    return true;
}

bool TUnBase::PrepareVolumeSet()
{
    TDiskEvents events;
    events.OnReportError = [this](const std::string& F, const std::string& X, int32_t C,
                                  const std::string& V) { ReportError(F, X, C, V, rsArchive); };
    events.OnRaiseError = [this](const std::string& F, const std::string& X, int32_t C,
                                 const std::string& V) { RaiseError(F, X, C, V, rsArchive); };
    return FDiskManager.GetDiskInfo(FArchiveFile, events);
}

void TUnBase::CloseArchive(std::unique_ptr<TStream32>& Stream) { Stream.reset(); }

void TUnBase::ResetRunState()
{
    *FCancelPtr = false;
    FFileCount = 0;
    FPassedCount = 0;
    FProgressProc = [this](uint8_t f, uint8_t a) { DoProgress(f, a); };
    FBadPassword = false;
    FPasswordSkips = 0;
    FMaxFileDate = 0;
    FTotalPacked = 0;
    FTotalUnpacked = 0;
    FProgressByArchive = 0;
    FProgressByFile = 0;
    FBytesLeft = 0;
    FFolderFacts.clear();
    FAheadFolders.Clear();
    FOutputTree.Close();
    FChangedName.clear();
    FChangedFrom.clear();
    if (FCpuType == cpt80486) FCpuType = cptAuto;
    FVolumeName = FArchiveFile;
    FExcludeList = FExcludeSpec;
}

int32_t TUnBase::ProcessArchive(std::unique_ptr<TStream32>& Stream)
{
    // Each "finally" step runs whatever happened before it; an exception it raises
    // replaces the one in flight, and none of them leaves the run.
    const std::string archive = FArchiveFile;
    try {
        ResetRunState();
        if (OnActivate) OnActivate(*this);
        std::exception_ptr pending;
        try {
            if (OnElapsedTime) FTimer.Start();
            std::exception_ptr inner;
            try {
                FPassword.clear();
                FFileName.clear();
                ExtractArchive(Stream);
            } catch (...) {
                inner = std::current_exception();
            }
            // Folders made for files that never had their turn go again when empty.
            SweepAhead();
            // Folders close last, over whatever the walk managed to write in them.
            ApplyFolderFacts();
            if (OnElapsedTime) {
                FTimer.Stop();
                OnElapsedTime(*this, FTimer.Elapsed());
            }
            if (inner) std::rethrow_exception(inner);
        } catch (...) {
            pending = std::current_exception();
        }
        if (OnDeactivate) OnDeactivate(*this);
        if (pending) std::rethrow_exception(pending);
    } catch (...) {
        // The run's exception boundary: everything was reported where it arose.
    }
    // No folder of the destination stays open between runs.
    FOutputTree.Close();
    FArchiveFile = archive;
    return FFileCount;
}

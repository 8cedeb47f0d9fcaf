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
    if (RefusedInRun("ArchiveFile")) return;
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
    if (RefusedInRun("ArchiveSource")) return;
    FSource = std::move(Source);
    FArchiveFile = Name;
    FArcType = atNA;
    std::unique_ptr<TStream32> stream = OpenSource();
    if (!stream) return;
    FArcType = IdentifyArchive(*stream);
    if (IsValidArcType(FArcType)) SetVolumeScheme();
    // What the source threw while it was read goes to the caller as it is.
    if (FSetupException) std::rethrow_exception(std::exchange(FSetupException, nullptr));
}

int32_t TUnBase::ExtractFiles() { return RefusedInRun("ExtractFiles") ? 0 : Run(rmExtract); }

int32_t TUnBase::TestFiles() { return RefusedInRun("TestFiles") ? 0 : Run(rmTest); }

int32_t TUnBase::ListFiles() { return RefusedInRun("ListFiles") ? 0 : Run(rmList); }

std::unique_ptr<TStream32> TUnBase::OpenSource()
{
    if (!FSource) return nullptr;
    std::unique_ptr<TStream32> stream = CallHost("ArchiveSource", FSource);
    if (!stream) return nullptr;
    // The host's stream is checked at every call; what it does wrong is reported once,
    // and an exception it throws ends the run as one from a handler does.
    TGuardedStream::THooks hooks;
    hooks.Failed = [this](const std::string& What) {
        ReportError(FArchiveFile, "the archive source failed: " + What, E_NOTACCESSIBLE, "0",
                    rsArchive);
    };
    hooks.Threw = [this](std::exception_ptr E) {
        if (Running()) KeepHostException("ArchiveSource", std::move(E));
        else if (!FSetupException) FSetupException = std::move(E);
    };
    return std::make_unique<TGuardedStream>(std::move(stream), std::move(hooks));
}

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

// The run's exception boundary: runs Stage, and an exception it raises ends the stage
// there and goes no further, since everything was reported where it arose (a host's
// exception is kept for the run's end). False when Stage did not finish.
template <class F> bool Contained(const F& Stage)
{
    try {
        Stage();
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

std::vector<TEntryListing> TUnBase::Entries()
{
    std::vector<TEntryListing> list;
    if (RefusedInRun("Entries")) return list;
    TSwapScope<TOnListEntry> handler(
        OnListEntry, [&list](TZipCommon&, const TEntryListing& E) { list.push_back(E); });
    Run(rmList);
    return list;
}

int32_t TUnBase::ReadFiles(TStream32& Out)
{
    if (RefusedInRun("ReadFiles")) return 0;
    TSwapScope<TStream32*> target(FReadTarget, &Out);
    Run(rmRead);
    return FPassedCount;
}

bool TUnBase::ReadEntry(const std::string& Name, TStream32& Out)
{
    std::string name = Name;
    std::replace(name.begin(), name.end(), '/', '\\');
    if (name.empty() || RefusedInRun("ReadEntry")) return false;
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
    int32_t result = 0;
    {
        // The mode holds for this run only, whichever way it ends; so does the mark that
        // a run is under way, and on which thread.
        TSwapScope<TRunMode> mode(FRunMode, Mode);
        struct TRunning {
            std::atomic<bool>& Flag;
            TRunning(std::atomic<bool>& F, std::atomic<std::thread::id>& T) : Flag(F)
            {
                T.store(std::this_thread::get_id());
                Flag.store(true, std::memory_order_release);
            }
            ~TRunning() { Flag.store(false, std::memory_order_release); }
        } running(FRunning, FRunThread);
        FHostException = nullptr;
        FHostFaulted = false;
        std::unique_ptr<TStream32> stream;
        if (OpenArchive(stream)) {
            try {
                result = ProcessArchive(stream);
            } catch (...) {
                CloseArchive(stream);
                throw;
            }
            CloseArchive(stream);
        }
    }
    // What a handler threw before the walk began (OnActivate, the archive source).
    ReportHandlerFailure();
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
        Stream = OpenSource();
        if (FHostFaulted) return false;
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
    // An archive source that gives no size has been reported by its guard.
    FArchiveSize = Stream->Size();
    if (FArchiveSize < 0) {
        Stream.reset();
        return false;
    }
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
    std::atomic_ref<bool>(*FCancelPtr).store(false);
    FFileCount = 0;
    FDiskFull = false;
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
    FCancelFromAfar = false;
    FReadTaken = false;
    TakeWalkSettings();
}

int32_t TUnBase::ProcessArchive(std::unique_ptr<TStream32>& Stream)
{
    const std::string archive = FArchiveFile;
    // The run in stages, each inside the run's exception boundary (Contained): an
    // exception ends the stage it arose in, and the stages after it still run, so the
    // folders are closed, the clock read and the run's end reported however the walk
    // ended. A run that could not start (the reset, OnActivate) goes no further.
    const bool started = Contained([&] {
        ResetRunState();
        if (OnActivate) CallHost("OnActivate", OnActivate, *this);
    });
    if (started) {
        Contained([&] {
            if (OnElapsedTime) FTimer.Start();
            Contained([&] {
                FPassword.clear();
                FFileName.clear();
                ExtractArchive(Stream);
            });
            // Folders made for files that never had their turn go again when empty.
            SweepAhead();
            // Folders close last, over whatever the walk managed to write in them.
            ApplyFolderFacts();
            if (OnElapsedTime) {
                FTimer.Stop();
                CallHost("OnElapsedTime", OnElapsedTime, *this, FTimer.Elapsed());
            }
        });
        Contained([&] {
            // A cancel from another thread that nothing has reported yet, or what a
            // handler threw, once the files begun are withdrawn. What OnError threw
            // stays kept for Run, which hands it to the caller.
            NoticeCancel();
            if (FHostThrower != "OnError") ReportHandlerFailure();
            if (OnDeactivate) CallHost("OnDeactivate", OnDeactivate, *this);
        });
    }
    // No folder of the destination stays open between runs.
    FOutputTree.Close();
    FArchiveFile = archive;
    return FFileCount;
}

// The component's side of the entry workers: which entries go to them, and each
// entry's events and verdict once it is back, in the walk's order.
#include "qvrUnZip.h"

#include "qvrEntryLayers.h"

#include "qvrPlatform.h"

namespace {

constexpr uint32_t AttrDirectory = 0x10;

} // namespace

std::unique_ptr<TEntryWorkers> TUnZip::StartWorkers(TStream32& Stream)
{
    // The workers read the archive file by a handle of their own; a host's own source,
    // a split set and a test or a listing stay on the calling thread.
    auto* file = dynamic_cast<THandleStream32*>(&Stream);
    if (FThreads < 2 || FRunMode != rmExtract || FSource || FVolumeSet.Reading() || !file ||
        !file->Valid())
        return nullptr;
    auto workers = std::make_unique<TEntryWorkers>(file->Handle(), FArchiveSize, FThreads);
    if (!workers->Ready()) return nullptr;
    return workers;
}

bool TUnZip::GiveToWorkers(TStream32& Stream, TZipEntry& Entry)
{
    if (!FWorkers) return false;
    const TEntryInfo& info = Entry.Info;
    const uint32_t attr = Entry.ExternalAttr;
    const uint32_t mode = UnixModeOf(info.Host, attr);
    // Whatever asks the host something, or may make the host change the entry's name,
    // waits for its turn: links, names changed for the file system, a host that renames
    // files, names already taken, and encrypted entries without a password to try
    // (the one that opened the last entry, else the list's first).
    const std::string& password = FirstPassword();
    if (IsLinkMode(mode) || FArcType == atJar || FArcType == atJarExe || OnRenameFile ||
        FFileName.empty() || !FChangedName.empty() ||
        (Entry.Encrypted() && (FBadPassword || password.empty())))
        return false;
    // A folder has nothing to decode and asks nothing: it keeps its place among the
    // jobs and is made when its turn comes (the files below it make it if need be). So
    // does a file too large for a job: the workers go on with the entries after it.
    // An entry its records refuse is refused in its turn, with its report.
    const bool folder = Entry.IsDirectory() || (attr & AttrDirectory) || IsFolderMode(mode);
    const TMethodRow* method = folder ? nullptr : PlanEntry(Entry).Method;
    if (!folder &&
        (!method || info.UncompressedSize < 0 || FWritten.Find(FFileName) >= 0 ||
         FWorkers->Awaits(FFileName) ||
         (FConfirmOverwrites ? OutputAttributes(FFileName) >= 0 : FOverwriteMode != omOverwrite)))
        return false;
    const bool large = !folder && info.UncompressedSize > TEntryWorkers::MaxJobBytes(*method);
    while (!FWorkers->Room(folder ? 0 : info.UncompressedSize)) TakeBack(false);
    auto job = std::make_unique<TEntryJob>();
    // The begin step runs when the entry's turn comes; a file is begun now, replacing
    // what holds its name as DecideOverwrite would (with questions asked, nothing does:
    // a name taken meanwhile sends the entry back to its turn, AheadHolds).
    FReplaceReadOnly = true;
    std::string reason;
    if (!folder && !large && !OpenOutputAhead(job->Out, FFileName, reason, job->AheadFolder))
        return false;
    job->Entry = Entry;
    job->Index = FCurEntry;
    job->Method = method;
    job->DataAt = Stream.Position();
    job->Attributes = attr;
    job->FileName = FFileName;
    job->Deferred = folder || large;
    job->Large = large;
    if (!job->Deferred) {
        job->Stamp = StampFor(OutputFacts(Entry, attr));
        job->StampBy = StampSettings();
    }
    if (Entry.Encrypted()) job->Password = password;
    FWorkers->Give(std::move(job));
    return true;
}

void TUnZip::TakeBack(bool All)
{
    if (!FWorkers || FWorkers->Idle() || FTakingBack) return;
    // The entry of the walk under way keeps its name and its place.
    const std::string name = FFileName, changedName = FChangedName, changedFrom = FChangedFrom;
    const int32_t index = FCurEntry;
    TZipEntry* current = FEntry;
    do {
        std::unique_ptr<TEntryJob> job = FWorkers->TakeOldest();
        try {
            FinishJob(*job);
        } catch (...) {
            // A handler threw in the entry's turn (or the disk filled): what was begun
            // ahead for it and not yet committed goes, as on one thread it was never made.
            if (job->Out) WithdrawAhead(*job);
            throw;
        }
    } while (All && !FWorkers->Idle());
    FFileName = name;
    FChangedName = changedName;
    FChangedFrom = changedFrom;
    FCurEntry = index;
    FEntry = current;
}

void TUnZip::FinishJob(TEntryJob& Job)
{
    struct TTakingBack {
        bool& Flag;
        ~TTakingBack() { Flag = false; }
    } takingBack{FTakingBack = true};
    FFileName = Job.FileName;
    FChangedName.clear();
    FChangedFrom.clear();
    FCurEntry = Job.Index;
    FEntry = &Job.Entry;
    // After a cancel the entries still in flight were never the host's: their files go,
    // and so do the folders made for them alone.
    if (GetCancel()) {
        if (Job.Out) WithdrawAhead(Job);
        return;
    }
    // Once no password was found, the entries after are skipped whatever a worker made
    // of them, as on one thread.
    if (Job.Entry.Encrypted() && FBadPassword && !FPasswordPerEntry) Job.Redo = true;
    // A folder is made in its turn, and a file too large for a job is extracted. A write
    // that failed beside other entries (a disk they filled at once) may succeed in turn,
    // the entries before it done; an encrypted entry the password did not open is the
    // password search's. Each is extracted as on one thread, from its begin step on.
    // What was begun ahead of the turn goes first: the entry starts afresh.
    if (Job.Deferred || Job.Redo || Job.Sink->WriteFailed()) {
        // The entries begun after a failed write give back the room they took: the entry
        // meets the disk as on one thread, with the entries before it done and none after.
        if (!Job.Deferred && !Job.Redo)
            FWorkers->Recall([this](TEntryJob& Later) {
                if (Later.Out) WithdrawAhead(Later);
                Later.Sealed = false;
            });
        if (Job.Out) WithdrawAhead(Job);
        ExtractInTurn(Job, false);
        return;
    }
    // When the host declines the entry (or cancels), its file was never there, nor were
    // the folders made for it alone.
    FReplaceReadOnly = false;
    if (!AskBegin(true)) {
        WithdrawAhead(Job);
        if (!GetCancel()) SkipProgress(Job.Entry.Info);
        return;
    }
    // The host's begin step may have changed what an existing file's fate is decided
    // by: the entry is then decided, and extracted, in its turn after all.
    if (!AheadHolds(Job)) {
        WithdrawAhead(Job);
        ExtractInTurn(Job, true);
        return;
    }
    if (FConfirmOverwrites) FOverwriteMode = omOverwrite;
    ++FFileCount;
    SettleAhead(Job.AheadFolder, true);
    // The password that opened it opens the next ones first, as after a search.
    if (Job.Entry.Encrypted()) FPassword = Job.Password;
    TEntrySink& sink = *Job.Sink;
    sink.Adopt(this);
    const bool pass =
        sink.Passes(Job.Entry.ChecksCrc() ? Job.Entry.Crc : sink.Crc()) && !GetCancel();
    EntryVerdict(Job.Entry, Job.Attributes, sink, pass, Job.Out, false,
                 Job.Sealed ? &Job.Seal : nullptr);
}

bool TUnZip::AheadHolds(const TEntryJob& Job)
{
    // A file was begun ahead under a free name, or over one replaced unasked.
    const bool replaces = Job.Out->File().Replaces();
    if (FConfirmOverwrites ? replaces : FOverwriteMode != omOverwrite) return false;
    // An encrypted entry was opened with the password its turn would try first.
    if (Job.Entry.Encrypted() && FirstPassword() != Job.Password) return false;
    // A sealed file has its stamp already, made by the settings of its giving.
    return !Job.Sealed || StampSettings() == Job.StampBy;
}

const std::string& TUnZip::FirstPassword() const
{
    return !FPassword.empty() || FPasswords.empty() ? FPassword : FPasswords.front();
}

void TUnZip::ExtractInTurn(TEntryJob& Job, bool Begun)
{
    TStream32& walk = **FWalkStream;
    const int64_t at = walk.Position();
    std::unique_ptr<TOutputStream> out;
    if (walk.Seek(Job.DataAt, 0) == Job.DataAt) ExtractEntry(*FWalkStream, out, Job.Entry, Begun);
    walk.Seek(at, 0);
}

void TUnZip::WithdrawAhead(TEntryJob& Job)
{
    Job.Out->File().Withdraw();
    // Gone with its file: a failure in the entry's turn finds nothing left to withdraw.
    Job.Out.reset();
    FWritten.Forget(Job.FileName, Job.Index);
    SettleAhead(Job.AheadFolder, false);
}

void TUnZip::ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                         int32_t ECode, const std::string& VolumeID, TReportSubject Subject)
{
    // The entries before the one reported have their turn first. When one of them ends
    // the run, the walk would never have come this far on one thread: no report.
    const bool cancelled = GetCancel();
    TakeBack(true);
    if (!cancelled && GetCancel()) return;
    TUnBase::ReportError(FileName, ExtendedMsg, ECode, VolumeID, Subject);
}

#include "qvrBase.h"

#include "qvrCrc.h"
#include "qvrPlatform.h"

#include <cstdio>

// ---------------------------------------------------------------------------------
// TqvrTimer

TqvrTimer::TqvrTimer(std::function<uint32_t()> Ticks) : FTicks(std::move(Ticks)) {}

uint32_t TqvrTimer::Now() const { return FTicks ? FTicks() : qvrOS::TickCount(); }

void TqvrTimer::Start()
{
    FElapsed = 0;
    FPausedMs = 0;
    FStartTick = Now();
    FRunning = true;
}

void TqvrTimer::Stop()
{
    if (!FRunning) return;
    // Unsigned subtraction is modulo 2^32, so it is right across the wrap.
    const uint32_t span = Now() - FStartTick;
    FElapsed = static_cast<float>(static_cast<double>(int64_t{span} - FPausedMs) / 1000.0);
    FRunning = false;
}

void TqvrTimer::Pause()
{
    if (!FRunning) return;
    FPauseTick = Now();
    FPaused = true;
}

void TqvrTimer::Resume()
{
    // Only the latest pause is remembered: a nested pause takes out the time since the
    // inner pause again when the outer one resumes.
    if (FRunning && FPaused) FPausedMs += static_cast<uint32_t>(Now() - FPauseTick);
}

// ---------------------------------------------------------------------------------
// TZipCommon

TZipCommon::TZipCommon() : FRunThread(std::this_thread::get_id())
{
    FProgressProc = [this](uint8_t f, uint8_t a) { DoProgress(f, a); };
}

TZipCommon::~TZipCommon() = default;

namespace {

// Thrown through the component's own code once a handler of the host's has thrown: it
// is no std::exception, so that nothing takes it for one of the component's failures.
struct THostFault {};

} // namespace

bool TZipCommon::GetCancel() const
{
    return FHostFaulted || std::atomic_ref<bool>(*FCancelPtr).load(std::memory_order_acquire);
}

void TZipCommon::SetCancel(bool Value)
{
    std::atomic_ref<bool>(*FCancelPtr).store(Value, std::memory_order_release);
    if (!Value) return;
    // Another thread than the one that drives the object (the last run's, or its
    // maker's) only raises the flag: the report, and what follows it (taking back the
    // workers' jobs), belong to the run's thread.
    if (FRunThread.load() != std::this_thread::get_id()) {
        FCancelFromAfar.store(true, std::memory_order_release);
        return;
    }
    ReportError(FArchiveFile, FFileName, E_USERCANCELED, "0", rsRun);
}

void TZipCommon::NoticeCancel()
{
    if (FCancelFromAfar.load(std::memory_order_acquire) && FCancelFromAfar.exchange(false) &&
        GetCancel())
        ReportError(FArchiveFile, FFileName, E_USERCANCELED, "0", rsRun);
}

void TZipCommon::HostThrew(const char* Name, std::exception_ptr E)
{
    if (!Running()) std::rethrow_exception(E);
    KeepHostException(Name, std::move(E));
    throw THostFault{};
}

void TZipCommon::KeepHostException(const char* Name, std::exception_ptr E)
{
    if (!FHostException) {
        FHostException = std::move(E);
        FHostThrower = Name;
    }
    FHostFaulted = true;
}

void TZipCommon::ReportHandlerFailure()
{
    if (!FHostException) return;
    std::exception_ptr e = std::exchange(FHostException, nullptr);
    FHostFaulted = false;
    if (FHostThrower == "OnError") std::rethrow_exception(e);
    std::string text = "an exception";
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        text = x.what();
    } catch (...) {
    }
    // The report goes out whatever the cancel flag says: it is the run's end.
    const bool cancelled = std::atomic_ref<bool>(*FCancelPtr).exchange(false);
    ReportError(FArchiveFile, FHostThrower + ": " + text, E_HANDLERFAILED, "0", rsRun);
    std::atomic_ref<bool>(*FCancelPtr).store(cancelled);
}

bool TZipCommon::RefusedInRun(const char* What)
{
    if (!Running()) return false;
    // From inside an event: reported as it is, without the take-back a report of the
    // walk's makes first. From another thread (one object is driven by one thread at a
    // time) only refused: events belong to the run's thread.
    if (FRunThread.load() == std::this_thread::get_id())
        TZipCommon::ReportError(FArchiveFile, std::string(What) + " while a run is under way",
                                E_BUSY, "0", rsRun);
    return true;
}

void TZipCommon::TakeWalkSettings()
{
    FWalk.FileSpec = FFileSpec.empty() ? TStringList{"*.*"} : FFileSpec;
    FWalk.ExcludeSpec = FExcludeSpec;
    FWalk.RecurseDirs = FRecurseDirs;
    FWalk.ExtractDir = FExtractDir;
    FWalk.UseStoredDirs = FUseStoredDirs;
    FWalk.TranslateOem = FTranslateOemChar;
    FWalk.CodePage = FNameCodePage;
}

const std::string& TZipCommon::TempFolder()
{
    if (FTempFolder.empty() || !DirExists(FTempFolder)) FTempFolder = TempDir();
    return FTempFolder;
}

void TZipCommon::SaveStreamToFile(TStream32& Stream, const std::string& FinalName, int64_t Size,
                                  bool SameDrive, const std::string& TempName)
{
    if (SameDrive && qvrOS::MoveFileName(TempName, FinalName)) return;
    // A closed stream has nothing left to copy from: read the file again.
    std::unique_ptr<TFileStream32> reopened;
    TStream32* source = &Stream;
    if (auto* h = dynamic_cast<THandleStream32*>(&Stream); h && !h->Valid()) {
        reopened = std::make_unique<TFileStream32>(TempName, fmOpenRead | fmShareDenyWrite);
        source = reopened.get();
    }
    TFileStream32 out(FinalName, fmCreate);
    if (!out.Valid()) throw EStreamError("cannot create " + FinalName);
    source->SetPosition(0);
    out.CopyFrom(*source, Size);
}

void TZipCommon::ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                             int32_t ECode, const std::string& VolumeID, TReportSubject Subject)
{
    // Once a handler threw, the run ends without another word: the exception is its
    // report.
    if (FHostFaulted) return;
    TTimerPause pause(FTimer);
    // While cancelled every failure reported is the cancel, which concerns the run; a
    // notice still tells what was done with a file.
    if (GetCancel() && !IsNotice(ECode)) {
        ECode = E_USERCANCELED;
        Subject = rsRun;
    }
    FReportSubject = Subject;
    if (OnError)
        CallHost("OnError", OnError, *this, qvrOS::HostPath(FileName), ExtendedMsg, VolumeID, ECode);
    FReportSubject = rsEntry;
}

void TZipCommon::RaiseError(const std::string& FileName, const std::string& ExtendedMsg,
                            int32_t ECode, const std::string& VolumeID, TReportSubject Subject)
{
    ReportError(FileName, ExtendedMsg, ECode, VolumeID, Subject);
    // The handler may have cancelled the run: a cancel is a flag, never an exception.
    if (!GetCancel()) throw E_RAISE(MessageText(ECode), ECode);
}

TDateTime TZipCommon::DosDateToDateTime(uint32_t D)
{
    return DosDateTimeToDateTime(D == 0 ? 0x210020u : D);
}

void TZipCommon::SetExtractDir(const std::string& V)
{
    if (!V.empty())
        FExtractDir = ExtractFilePath(AppendDirTail(SlashToBackslash(V)));
    else if (!FArchiveFile.empty())
        FExtractDir = ExtractFilePath(FArchiveFile);
    else
        FExtractDir.clear();
}

std::string TZipCommon::ArchiveComment() const
{
    return ArchiveText(FCommentBytes, FTranslateOemChar, FNameCodePage);
}

void TZipCommon::NameCodePage(const std::string& V)
{
    // A code page nobody knows would turn every name into escapes: kept out as well.
    if (V.empty() || (qvrOS::CodePageKnown(V) && NameCodePageSafe(V))) FNameCodePage = V;
}

void TZipCommon::UpdateProgress(int64_t ArchiveTotal, int64_t FileTotal, int64_t FileDone)
{
    try {
        FProgressByFile = static_cast<uint8_t>(Percent(FileTotal, FileDone));
        FProgressByArchive = static_cast<uint8_t>(Percent(ArchiveTotal, ArchiveTotal - FBytesLeft));
        if (FProgressProc) FProgressProc(FProgressByFile, FProgressByArchive);
    } catch (...) {
        // A handler's exception is kept by CallHost and ends the run; the entry stops
        // where it is.
    }
}

void TZipCommon::EntryProgress(int64_t Produced, int64_t FileTotal, int64_t FileDone)
{
    FBytesLeft -= Produced;
    UpdateProgress(FTotalUnpacked, FileTotal, FileDone);
}

void TZipCommon::DoProgress(uint8_t ByFile, uint8_t ByArchive)
{
    NoticeCancel();
    if (ProcessMessages) CallHost("ProcessMessages", ProcessMessages);
    if (OnProgress) CallHost("OnProgress", OnProgress, *this, ByFile, ByArchive);
}

void TZipCommon::SkipProgress(const TEntryInfo& Entry)
{
    FBytesLeft -= Entry.UncompressedSize;
    UpdateProgress(FTotalUnpacked, Entry.UncompressedSize, Entry.UncompressedSize);
}

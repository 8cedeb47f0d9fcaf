#include "qvrBase.h"

#include "qvrCrc.h"
#include "qvrPlatform.h"

#include <algorithm>
#include <exception>

// ---------------------------------------------------------------------------------
// TqvrTimer

TqvrTimer::TqvrTimer(std::function<uint32_t()> Ticks) : FTicks(std::move(Ticks)) {}

int64_t TqvrTimer::Now() const { return FTicks ? FTicks() : qvrOS::TickCount(); }

void TqvrTimer::Start()
{
    FElapsed = 0;
    FStartTick = Now();
    FRunning = true;
}

void TqvrTimer::Stop()
{
    if (!FRunning) return;
    FStopTick = Now();
    FElapsed = static_cast<float>(static_cast<double>(FStopTick - FStartTick) / 1000.0);
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
    // Only the latest pause is remembered: a nested pause shifts the start by the time
    // since the inner pause when the outer one resumes.
    if (FRunning && FPaused) FStartTick = Now() + FStartTick - FPauseTick;
}

// ---------------------------------------------------------------------------------
// THeaderObj

void THeaderObj::Add(const TDirEntry& Entry, const TCentralHeader* Header)
{
    FEntries.push_back(Entry);
    if (Header) FHeaders.push_back(*Header);
    ++FCount;
}

void THeaderObj::Clear()
{
    FEntries.clear();
    FHeaders.clear();
    FCount = 0;
}

// ---------------------------------------------------------------------------------
// TZipCommon

TZipCommon::TZipCommon()
{
    FProgressProc = [this](uint8_t f, uint8_t a) { DoProgress(f, a); };
}

TZipCommon::~TZipCommon() = default;

void TZipCommon::SetCancel(bool Value)
{
    *FCancelPtr = Value;
    if (Value) ReportError(FArchiveFile, FFileName, E_USERCANCELED, "0");
}

void TZipCommon::ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                             int32_t ECode, const std::string& VolumeID)
{
    TTimerPause pause(FTimer);
    if (GetCancel()) ECode = E_USERCANCELED;
    if (OnError) OnError(*this, FileName, ExtendedMsg, VolumeID, ECode);
}

void TZipCommon::RaiseError(const std::string& FileName, int32_t ECode,
                            const std::string& VolumeID, const std::string& ExtendedMsg)
{
    TTimerPause pause(FTimer);
    if (GetCancel()) ECode = E_USERCANCELED;
    if (OnError) OnError(*this, FileName, ExtendedMsg, VolumeID, ECode);
    // The handler may have cancelled the run: a cancel is a flag, never an exception.
    if (!GetCancel()) throw E_RAISE(MessageText(ECode), ECode);
}

void TZipCommon::UpdateCrc(uint8_t CrcKind, const void* Buffer, int32_t Count)
{
    if (CrcKind == 32)
        UpdateCrc32(Buffer, Count, Crc32Acc);
    else if (CrcKind == 16)
        UpdateCrc16(Buffer, Count, Crc16Acc);
}

int32_t TZipCommon::ReadBlock(TStream32& Stream, uint8_t* Buf, int32_t Count, uint8_t CrcKind,
                              bool Decrypt)
{
    int32_t n = Count > 0 ? Stream.Read(Buf, Count) : 0;
    if (n < 0) n = 0;
    DecryptBuffer(Decrypt, Buf, n);
    UpdateCrc(CrcKind, Buf, n);
    return n;
}

void TZipCommon::DecryptBuffer(bool Decrypt, uint8_t* Buf, int32_t Count)
{
    if (!Decrypt || Count <= 0) return;
    if (FArcType == atArj || FArcType == atArjExe) {
        if (FPassword.empty()) return;
        for (int32_t i = 0; i < Count; ++i)
            Buf[i] ^= static_cast<uint8_t>(FPassword[static_cast<size_t>(i) % FPassword.size()]);
    } else if (IsZipFamily(FArcType)) {
        FCipher.DecipherBuffer(Buf, Count);
    }
}

int32_t TZipCommon::WriteBlock(TStream32* Out, uint8_t* Buf, int Mode, int32_t Count,
                               uint8_t CrcKind, bool Decrypt)
{
    if (Decrypt && Mode == 1 && IsZipFamily(FArcType) && Count > 0)
        FCipher.DecipherBuffer(Buf, Count);
    return WriteOutput(Out, Buf, Mode, Count, CrcKind);
}

int32_t TZipCommon::WriteBlock2(TStream32* Out, uint8_t* Buf, int Mode, int32_t Count,
                                uint8_t CrcKind, bool Decrypt)
{
    if (Decrypt && Mode == 1 && IsZipFamily(FArcType))
        for (int32_t i = 0; i < Count; ++i) FCipher.DecipherBuffer(Buf + i, 1);
    return WriteOutput(Out, Buf, Mode, Count, CrcKind);
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

namespace {

// Turns a stored folder part ("a\b\..\c\") into one that cannot climb out of the
// destination: empty, "." and ".." steps are dropped. Archives from hostile or broken
// writers are confined under ExtractDir instead of being refused, as the other
// extractors of the field do.
std::string ConfineFolder(const std::string& Folder)
{
    std::string out;
    size_t i = 0;
    while (i < Folder.size()) {
        size_t j = Folder.find('\\', i);
        if (j == std::string::npos) j = Folder.size();
        const std::string part = Folder.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == "." || part == "..") continue;
        out += part;
        out += '\\';
    }
    return out;
}

bool IsRelativeDir(const std::string& Dir)
{
    return Dir.find(':') == std::string::npos && (Dir.empty() || Dir[0] != '\\');
}

} // namespace

void TZipCommon::SetFileName(const std::string& EntryName)
{
    if (EntryName.empty()) {
        FFileName.clear();
        return;
    }
    std::string name = EntryName;
    if (FExtractDir.empty()) {
        SetExtractDir({});
        if (FExtractDir.empty()) SetExtractDir(qvrOS::CurrentDir());
    }
    std::string dir;
    if (FUseStoredDirs) {
        // A rooted stored name (drive, drive and "\", or "\") lands under ExtractDir.
        if (name.find(':') != std::string::npos) {
            const size_t bs = name.find('\\');
            name.erase(0, bs == 2 ? 3 : 2);
        } else if (!name.empty() && name[0] == '\\') {
            name.erase(0, 1);
        }
        dir = AppendDirTail(FExtractDir) + ConfineFolder(ExtractFilePath(name));
    } else {
        dir = FExtractDir;
    }
    // A relative destination is taken from the current directory, never from the root.
    if (IsRelativeDir(dir)) dir = AppendDirTail(qvrOS::CurrentDir()) + dir;
    std::string leaf = ExtractFileName(name);
    if (leaf == "." || leaf == "..") leaf.clear();
    FFileName = AppendDirTail(dir) + leaf;
}

void TZipCommon::UpdateProgress(int64_t ArchiveTotal, int64_t FileTotal, int64_t FileDone)
{
    try {
        FProgressByFile = static_cast<uint8_t>(Percent(FileTotal, FileDone));
        FProgressByArchive = static_cast<uint8_t>(Percent(ArchiveTotal, ArchiveTotal - FBytesLeft));
        if (FProgressProc) FProgressProc(FProgressByFile, FProgressByArchive);
    } catch (...) {
        // Progress is advisory: a failing handler must not end the entry.
    }
}

void TZipCommon::DoProgress(uint8_t ByFile, uint8_t ByArchive)
{
    if (ProcessMessages) ProcessMessages();
    if (OnProgress) OnProgress(*this, ByFile, ByArchive);
}

void TZipCommon::SkipProgress(const TEntryInfo& Entry)
{
    FBytesLeft -= Entry.UncompressedSize;
    UpdateProgress(FTotalUnpacked, Entry.UncompressedSize, Entry.UncompressedSize);
}

int32_t TZipCommon::WriteOutput(TStream32* Out, const uint8_t* Buf, int Mode, int32_t Count,
                                uint8_t CrcKind)
{
    int32_t written = 0;
    if (Count > 0 && Out) written = Out->Write(Buf, Count);
    if (written != Count) {
        // The write's own result decides; the system's error code only tells a full
        // disk from any other failure.
        if (qvrOS::LastError() == qvrOS::ErrorDiskFull) {
            FFileCount = 0;
            RaiseError(FArchiveFile, E_DISKFULL, "0", FFileName);
            return written;
        }
        if (FFileCount > 0) --FFileCount;
        ReportError(FArchiveFile, FFileName, E_WRITEERR, "0");
        return written;
    }
    if (Mode == 1) UpdateCrc(CrcKind, Buf, written);
    return written;
}

// ---------------------------------------------------------------------------------
// TUnBase

TUnBase::TUnBase() = default;

void TUnBase::SetArchiveFile(const std::string& V) { TRegisterQuiver::SetArchiveFile(V); }

int32_t TUnBase::ExtractFiles()
{
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
        ReportError("", "", E_FILENOTFOUND, "0");
        return false;
    }
    if ((FArcType == atZipDS || FArcType == atZipMV) && !PrepareVolumeSet()) return false;
    Stream.reset();
    if (FArcType == atAce || FArcType == atAceExe || FArcType == atCab || FArcType == atCabExe ||
        FArcType == atRar || FArcType == atRarExe)
        return true;
    auto file = std::make_unique<TFileStream32>(FArchiveFile, fmOpenRead | fmShareDenyWrite);
    if (!file->Valid()) {
        ReportError(FArchiveFile, "", E_OPENERR, "0");
        return false;
    }
    // The walk reads headers a few bytes at a time: read ahead in large blocks.
    file->EnableReadBuffer(64 * 1024);
    FArchiveSize = file->Size();
    Stream = std::move(file);
    return true;
}

bool TUnBase::PrepareVolumeSet()
{
    // Reading a set volume by volume is not available: refuse it cleanly rather than
    // read one volume as though it held the others' data.
    ReportError(FArchiveFile, "multi-volume set", E_OPENERR, "0");
    return false;
}

void TUnBase::CloseArchive(std::unique_ptr<TStream32>& Stream) { Stream.reset(); }

void TUnBase::ResetRunState()
{
    *FCancelPtr = false;
    FFileCount = 0;
    FProgressProc = [this](uint8_t f, uint8_t a) { DoProgress(f, a); };
    FEncrypted = false;
    FBadPassword = false;
    FMaxFileDate = 0;
    FTotalPacked = 0;
    FTotalUnpacked = 0;
    FProgressByArchive = 0;
    FProgressByFile = 0;
    FBytesLeft = 0;
    FEntryName.clear();
    FLastOutputDir.clear();
    if (FCpuType == cpt80486) FCpuType = cptAuto;
    FVolumeName = FArchiveFile;
    FExcludeList.clear();
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
    FArchiveFile = archive;
    return FFileCount;
}

bool TUnBase::BeginFile(bool IsDirectory)
{
    if (IsDirectory) return true;
    TTimerPause pause(FTimer);
    bool extract = true;
    if (OnBegin) {
        if (OnRenameFile) {
            std::string newName = FFileName;
            OnRenameFile(*this, FFileName, newName);
            if (!newName.empty()) {
                ForceDirs(ExtractFilePath(newName));
                FFileName = newName;
            }
        }
        OnBegin(*this, FFileName, FFileCount + 1, extract);
    }
    if (GetCancel() || !extract) return false;
    if (!FConfirmOverwrites) {
        if (FOverwriteMode != omOverwrite) return false;
        ++FFileCount;
        return true;
    }
    FOverwriteMode = omOverwrite;
    if (FileExistsAny(FFileName)) {
        if (!OnFileExists) {
            ReportError(FFileName, "OnFileExists", E_REQUIREDEVENT, "0");
            FOverwriteMode = omSkip;
        } else {
            do {
                std::string newName;
                OnFileExists(*this, FFileName, newName, FOverwriteMode);
                if (newName.empty()) newName = FFileName;
                ForceDirs(ExtractFilePath(newName));
                if (FOverwriteMode == omOverwrite && !newName.empty()) {
                    auto lower = [](std::string s) {
                        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
                            return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
                        });
                        return s;
                    };
                    if (lower(newName) == lower(FFileName)) break;
                    FFileName = newName;
                }
            } while (!GetCancel() && FOverwriteMode != omSkip && FileExistsAny(FFileName));
        }
        if (!GetCancel() && FOverwriteMode != omSkip) {
            const int64_t attr = qvrOS::GetAttributes(FFileName);
            if (attr >= 0 && (attr & qvrOS::faReadOnly)) {
                if (attr & (qvrOS::faSysFile | qvrOS::faDirectory)) {
                    ReportError(FFileName, "", E_WRITEERR, "0");
                    return false;
                }
                qvrOS::SetAttributes(FFileName, qvrOS::faNormal);
            }
        }
    }
    if (!GetCancel() && FOverwriteMode == omOverwrite && !FFileName.empty()) {
        ++FFileCount;
        return true;
    }
    return false;
}

bool TUnBase::OpenOutput(std::unique_ptr<TFileStream32>& Stream, const std::string& FileName,
                         const std::string& /*EntryName*/)
{
    if (FEncrypted && FBadPassword) return true;
    if (FileName.empty()) return false;
    // Entries of one folder usually follow each other: the folder made for the last
    // file need not be looked up again.
    const std::string dir = ExtractFilePath(FileName);
    if (dir != FLastOutputDir) FLastOutputDir = ForceDirs(dir) ? dir : std::string();
    Stream = std::make_unique<TFileStream32>(FileName, fmCreate);
    return Stream->Valid();
}

uint32_t TUnBase::DateFor(uint32_t FileDate) const
{
    switch (FDateAttribute) {
    case daSysDate: return qvrOS::LocalDosTime();
    case daMaxFileDate: return FMaxFileDate;
    default: return FileDate;
    }
}

void TUnBase::CloseOutput(std::unique_ptr<TFileStream32>& Stream, const std::string& FileName,
                          uint32_t Attributes, uint32_t FileDate)
{
    if (Stream) {
        if (Stream->Valid()) qvrOS::FileSetDosTime(Stream->Handle(), DateFor(FileDate));
        const bool closed = Stream->Close();
        Stream.reset();
        if (!closed) ReportError(FileName, "", E_CLOSEERR, "0");
    }
    // Only the DOS attribute byte is meaningful here; writers on other systems keep
    // their own mode bits in the high word. The file was just created, so it already has
    // every attribute but read-only, hidden and system: only those need a system call.
    constexpr uint32_t Settable = qvrOS::faReadOnly | qvrOS::faHidden | qvrOS::faSysFile;
    if (FRestoreFileAttr && Attributes != qvrOS::faArchive && (Attributes & Settable))
        qvrOS::SetAttributes(FileName, Attributes & 0xFFu);
}

bool TUnBase::EndFile(uint8_t CrcKind, uint32_t StoredCrc)
{
    bool pass = false;
    if (!GetCancel()) {
        const uint32_t c = CrcKind == 16 ? Crc16Acc : Crc32Acc;
        pass = StoredCrc == c || StoredCrc == (c ^ 0xFFFFFFFFu);
    }
    if (OnEnd)
        OnEnd(*this, FFileName, pass);
    else if (!pass)
        ReportError(FFileName, "", E_CRCERR, "0");
    return pass;
}

// Output files: the path of each entry under ExtractDir, the begin step with its events
// and the overwrite protocol, creating, writing (with the CRC), closing with date and
// attributes, and the CRC verdict.
#include "qvrBase.h"

#include "qvrMask.h"
#include "qvrPlatform.h"

#include <algorithm>

namespace {

// Turns a stored folder part ("a\b\..\c\") into one that cannot climb out of the
// destination: empty, "." and ".." steps are dropped. Entries of hostile or broken
// archives are confined under ExtractDir rather than refused, so that the rest of what
// they hold is still extracted.
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
    // Only "\" separates the folders of a stored name. A name that starts with a drive
    // and "\" (C:\x\a.txt) or with "\" is rooted and lands under ExtractDir; any other
    // colon is part of a name ("notes 12:30.txt", "a:1.txt"), never a split point, so two
    // such entries never become one file.
    if (name.size() >= 3 && HasDrive(name) && name[2] == '\\')
        name.erase(0, 3);
    else if (name[0] == '\\')
        name.erase(0, 1);
    const size_t cut = name.find_last_of('\\');
    const std::string folder = cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
    std::string leaf = cut == std::string::npos ? name : name.substr(cut + 1);
    std::string dir = FUseStoredDirs ? AppendDirTail(FExtractDir) + ConfineFolder(folder)
                                     : FExtractDir;
    // A relative destination is taken from the current directory, never from the root.
    if (IsRelativeDir(dir)) dir = AppendDirTail(qvrOS::CurrentDir()) + dir;
    if (leaf == "." || leaf == "..") leaf.clear();
    FFileName = AppendDirTail(dir) + leaf;
}

int32_t TZipCommon::WriteOutput(TStream32* Out, const uint8_t* Buf, int Mode, int32_t Count,
                                uint8_t CrcKind)
{
    int32_t written = 0;
    if (Count > 0 && Out) written = Out->Write(Buf, Count);
    if (written != Count) {
        // The write's own result decides; the operating system's error code only tells
        // a full disk from any other failure.
        if (qvrOS::LastError() == qvrOS::ErrorDiskFull) {
            FFileCount = 0;
            RaiseError(FArchiveFile, FFileName, E_DISKFULL, "0", rsRun);
            return written;
        }
        if (FFileCount > 0) --FFileCount;
        ReportError(FArchiveFile, FFileName, E_WRITEERR, "0", rsEntry);
        return written;
    }
    if (Mode == 1) UpdateCrc(CrcKind, Buf, written);
    return written;
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
                    if (EqualsIgnoringAsciiCase(newName, FFileName)) break;
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

bool TUnBase::BeginTest(bool IsDirectory)
{
    if (IsDirectory) return true;
    TTimerPause pause(FTimer);
    bool test = true;
    if (OnBegin) OnBegin(*this, FFileName, FFileCount + 1, test);
    if (GetCancel() || !test) return false;
    ++FFileCount;
    return true;
}

bool TUnBase::OpenOutput(std::unique_ptr<TFileStream32>& Stream, const std::string& FileName,
                         const std::string& /*EntryName*/)
{
    if (FEncrypted && FBadPassword) return true;
    // A name the file system cannot hold (on Windows a colon would open an alternate
    // data stream of another file) is refused rather than changed into another name.
    const std::string leaf = ExtractFileName(FileName);
    if (leaf.empty() || !qvrOS::NameAllowed(leaf)) return false;
    // An entry named like the archive, extracted into the archive's own folder, would
    // truncate the archive being read. Only a file of the same name can be it (links
    // are the destination's business), so only then are the two compared.
    if (EqualsIgnoringAsciiCase(leaf, ExtractFileName(FArchiveFile)) &&
        qvrOS::SameFile(FileName, FArchiveFile))
        return false;
    // Entries of one folder usually follow each other: the folder made for the last
    // file is not looked up again unless the file cannot be created in it, since a host
    // may have removed it between two entries.
    const std::string dir = ExtractFilePath(FileName);
    const bool known = dir == FLastOutputDir;
    if (!known) FLastOutputDir = ForceDirs(dir) ? dir : std::string();
    Stream = std::make_unique<TFileStream32>(FileName, fmCreate);
    if (!Stream->Valid() && known && !DirExists(dir) && ForceDirs(dir))
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
    const uint32_t c = CrcKind == 16 ? Crc16Acc : Crc32Acc;
    return EndEntry(StoredCrc == c || StoredCrc == (c ^ 0xFFFFFFFFu));
}

bool TUnBase::EndEntry(bool Pass)
{
    // A cancelled entry is incomplete whatever its bytes so far say.
    Pass = Pass && !GetCancel();
    if (OnEnd)
        OnEnd(*this, FFileName, Pass);
    else if (!Pass)
        ReportError(FFileName, "", E_CRCERR, "0");
    return Pass;
}

// Output files: the path of each entry under ExtractDir, the begin step with its events
// and the overwrite protocol, creating, writing (with the CRC), closing with date and
// attributes, and the CRC verdict.
#include "qvrBase.h"

#include "qvrMask.h"
#include "qvrPlatform.h"

#include <algorithm>

namespace {

// Appends a stored folder part ("a\b\..\c\") to Out as one that cannot climb out of
// the destination: empty, "." and ".." steps are dropped. Entries of hostile or broken
// archives are confined under ExtractDir rather than refused, so that the rest of what
// they hold is still extracted.
void AppendConfinedFolder(std::string_view Folder, std::string& Out)
{
    size_t i = 0;
    while (i < Folder.size()) {
        size_t j = Folder.find('\\', i);
        if (j == std::string_view::npos) j = Folder.size();
        const std::string_view part = Folder.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == "." || part == "..") continue;
        Out += part;
        Out += '\\';
    }
}

// Whether every step of Rel ("a\b\leaf", folders and the file's name below the
// destination; a trailing "\" names a folder) is a name the file system can hold. It
// is asked before anything is made, so that an entry refused at its last step leaves no
// folders behind; LastError says why a step was refused.
bool StepsAllowed(std::string_view Rel)
{
    for (size_t i = 0; i < Rel.size();) {
        size_t j = Rel.find('\\', i);
        const bool folder = j != std::string_view::npos;
        if (!folder) j = Rel.size();
        if (j > i && !qvrOS::NameAllowed(Rel.substr(i, j - i), folder)) return false;
        i = j + 1;
    }
    return true;
}

// Whether Leaf is the last step of Path, letters compared without case. Only the end of
// Path is looked at until it matches.
bool IsLeafOf(std::string_view Leaf, std::string_view Path)
{
    return Leaf.size() <= Path.size() &&
           EqualsIgnoringAsciiCase(Leaf, Path.substr(Path.size() - Leaf.size())) &&
           ExtractFileNameView(Path).size() == Leaf.size();
}

bool IsRelativeDir(const std::string& Dir)
{
    return Dir.find(':') == std::string::npos && (Dir.empty() || Dir[0] != '\\');
}

} // namespace

const std::string& TZipCommon::DestinationRoot()
{
    // Every entry's name begins with it: it is made again only when ExtractDir changed,
    // or when it is relative, since the current directory may have changed.
    const std::string& dir = FWalk.ExtractDir;
    if (!FDestinationRelative && FDestinationRootOf == dir && !FDestinationRoot.empty())
        return FDestinationRoot;
    FDestinationRootOf = dir;
    FDestinationRoot = AppendDirTail(dir);
    FDestinationRelative = IsRelativeDir(FDestinationRoot);
    // A relative destination is taken from the current directory, never from the root.
    if (FDestinationRelative) FDestinationRoot.insert(0, AppendDirTail(qvrOS::CurrentDir()));
    return FDestinationRoot;
}

void TZipCommon::SetFileName(const std::string& EntryName)
{
    FChangedName.clear();
    FChangedFrom.clear();
    if (EntryName.empty()) {
        FFileName.clear();
        return;
    }
    std::string_view name = EntryName;
    if (FWalk.ExtractDir.empty()) {
        SetExtractDir({});
        if (FExtractDir.empty()) SetExtractDir(qvrOS::CurrentDir());
        FWalk.ExtractDir = FExtractDir;
    }
    // Only "\" separates the folders of a stored name. A name that starts with a drive
    // and "\" (C:\x\a.txt) or with "\" is rooted and lands under ExtractDir; any other
    // colon is part of a name ("notes 12:30.txt", "a:1.txt"), never a split point, so two
    // such entries never become one file.
    if (name.size() >= 3 && HasDrive(name) && name[2] == '\\')
        name.remove_prefix(3);
    else if (name[0] == '\\')
        name.remove_prefix(1);
    const size_t cut = name.find_last_of('\\');
    const std::string_view folder =
        cut == std::string_view::npos ? std::string_view() : name.substr(0, cut + 1);
    std::string_view leaf = cut == std::string_view::npos ? name : name.substr(cut + 1);
    if (leaf == "." || leaf == "..") leaf = {};
    // The name is made in memory kept from entry to entry, and only then becomes
    // FFileName: EntryName may be FFileName itself.
    std::string& out = FNextFileName;
    out.assign(DestinationRoot());
    const size_t below = out.size();
    if (FWalk.UseStoredDirs) AppendConfinedFolder(folder, out);
    out += leaf;
    // Windows opens a device for a name such as NUL or com1.txt in any folder, and the
    // entry's bytes would go there: such a step is written with a "_" in front.
    if (qvrOS::DeviceNamesReserved()) {
        const std::string safe = AvoidDeviceNames(out.substr(below));
        if (out.compare(below, std::string::npos, safe) != 0) {
            out.replace(below, std::string::npos, safe);
            FChangedName = out;
            FChangedFrom = EntryName;
        }
    }
    FFileName.swap(out);
}

int32_t TZipCommon::WriteEntryBytes(TStream32* Out, const uint8_t* Buf, int32_t Count,
                                    std::string_view FileName)
{
    int32_t written = 0;
    if (Count > 0 && Out) written = Out->Write(Buf, Count);
    if (written == Count) return written;
    // A file's write failed with the system's error; a host's stream may fail without
    // the system saying anything, and its count is then all there is to tell.
    if (dynamic_cast<THandleStream32*>(Out)) {
        ReportWriteFailure(qvrOS::LastError(), FileName);
    } else {
        if (FFileCount > 0) --FFileCount;
        ReportError(std::string(FileName),
                    "the output stream took " + std::to_string(std::max(written, 0)) + " of " +
                        std::to_string(Count) + " bytes",
                    E_WRITEERR, "0", rsEntry);
    }
    return written;
}

void TZipCommon::ReportWriteFailure(uint32_t Error, std::string_view FileName)
{
    // The write's own result decides; the operating system's error code only tells a
    // full disk from any other failure. The files written before still count.
    if (FFileCount > 0) --FFileCount;
    const bool full = Error == qvrOS::ErrorDiskFull;
    if (full) FDiskFull = true;
    ReportError(std::string(FileName), qvrOS::ErrorText(Error), E_WRITEERR, "0",
                full ? rsRun : rsEntry);
}

bool TUnBase::BeginFile(bool IsDirectory)
{
    FReplaceReadOnly = false;
    if (IsDirectory) return true;
    return AskBegin(false) && DecideOverwrite();
}

bool TUnBase::AskBegin(bool Begun)
{
    TTimerPause pause(FTimer);
    bool extract = true;
    if (OnBegin) {
        if (OnRenameFile && !Begun) {
            // The host reads and writes names as its system writes them.
            std::string newName = qvrOS::HostPath(FFileName);
            CallHost("OnRenameFile", OnRenameFile, *this, qvrOS::HostPath(FFileName), newName);
            newName = SlashToBackslash(newName);
            if (!newName.empty()) {
                MakeOutputFolder(newName);
                FFileName = newName;
            }
        }
        CallHost("OnBegin", OnBegin, *this, HostName(FBeginName, FFileName), FFileCount + 1,
                 extract);
    }
    return !GetCancel() && extract;
}

bool TUnBase::DecideOverwrite()
{
    TTimerPause pause(FTimer);
    // A file this run wrote already is an existing file like any other to the overwrite
    // protocol below, but the entry that meets it is reported: its name looked like
    // another file's, and one of the two is lost whatever the answer.
    NoteSameFile();
    if (FConfirmOverwrites) FOverwriteMode = omOverwrite;
    if (FConfirmOverwrites && OutputAttributes(FFileName) >= 0) {
        if (!OnFileExists) {
            ReportError(FFileName, "OnFileExists", E_REQUIREDEVENT, "0");
            FOverwriteMode = omSkip;
        } else {
            do {
                std::string newName;
                CallHost("OnFileExists", OnFileExists, *this, qvrOS::HostPath(FFileName), newName,
                         FOverwriteMode);
                newName = newName.empty() ? FFileName : SlashToBackslash(newName);
                MakeOutputFolder(newName);
                if (FOverwriteMode == omOverwrite && !newName.empty()) {
                    if (EqualsIgnoringAsciiCase(newName, FFileName)) break;
                    FFileName = newName;
                }
            } while (!GetCancel() && FOverwriteMode != omSkip &&
                     OutputAttributes(FFileName) >= 0);
        }
    }
    if (GetCancel() || FOverwriteMode != omOverwrite || FFileName.empty()) return false;
    // Whatever holds the name once the user has said to overwrite (a question answered,
    // or overwriting asked for the whole run) is replaced the same way: a new file takes
    // its name by a rename, so a read-only file goes like any other and is never changed
    // itself (a hard link may share it with a folder outside the destination), and a
    // link is replaced, never followed. What is no file (a folder, a device) is refused
    // when the file is begun.
    FReplaceReadOnly = true;
    ++FFileCount;
    return true;
}

bool TUnBase::BeginTest(bool IsDirectory)
{
    if (IsDirectory) return true;
    TTimerPause pause(FTimer);
    bool test = true;
    if (OnBegin)
        CallHost("OnBegin", OnBegin, *this, HostName(FBeginName, FFileName), FFileCount + 1, test);
    if (GetCancel() || !test) return false;
    ++FFileCount;
    return true;
}

bool TUnBase::OpenOutputAhead(std::unique_ptr<TOutputStream>& Stream,
                              const std::string& FileName, std::string& Reason,
                              std::string& Folder)
{
    Folder.clear();
    if (!OpenOutput(Stream, FileName, Reason, true)) return false;
    if (FOutputTree.IsOpen(DestinationRoot(), FOutputTree.Opened()) &&
        FAheadFolders.Enter(FOutputTree.Opened(), FOutputTree.MadeFrom()))
        Folder = FOutputTree.Opened();
    return true;
}

bool TUnBase::RemoveAheadLevel(std::string_view Level)
{
    FOutputTree.Root(DestinationRoot());
    return FOutputTree.RemoveEmpty(Level);
}

void TUnBase::SettleAhead(const std::string& Folder, bool Kept)
{
    if (Folder.empty()) return;
    FAheadFolders.Settle(Folder, Kept, [this](std::string_view L) { return RemoveAheadLevel(L); });
}

void TUnBase::SweepAhead()
{
    FAheadFolders.Sweep([this](std::string_view L) { return RemoveAheadLevel(L); });
}

bool TUnBase::OpenOutput(std::unique_ptr<TOutputStream>& Stream, const std::string& FileName,
                         std::string& Reason, bool Ahead)
{
    Reason.clear();
    // A name the file system cannot hold (on Windows a colon would open an alternate
    // data stream of another file) is refused rather than changed into another name;
    // OutputFolder asks the same of every folder step before it makes any of them.
    const std::string_view leaf = ExtractFileNameView(FileName);
    if (!qvrOS::NameAllowed(leaf, false)) {
        Reason = qvrOS::ErrorText(qvrOS::LastError());
        return false;
    }
    // An entry named like the archive, extracted into the archive's own folder, would
    // replace the archive being read. Only a file of the same name can be it (links
    // are the destination's business), so only then are the two compared.
    if (IsLeafOf(leaf, FArchiveFile) && qvrOS::SameFile(FileName, FArchiveFile)) return false;
    // The folders below the destination are opened one by one, never through a link
    // (a link where a folder is needed fails the entry), and the file is begun in the
    // last one as a new file of its own, which takes its final name only once written.
    std::string name;
    qvrOS::TOutputFile file;
    if (OutputFolder(FileName, true, name, Ahead) == qvrOS::TFolderState::Ready)
        FOutputTree.Begin(name, FReplaceReadOnly, file);
    // The folder of the last file stays open, but a host may have removed it between
    // two entries: after a failure it is looked up (and made) once more.
    if (!file.Valid()) {
        FOutputTree.Close();
        if (OutputFolder(FileName, true, name, Ahead) == qvrOS::TFolderState::Ready)
            FOutputTree.Begin(name, FReplaceReadOnly, file);
    }
    if (!file.Valid()) {
        Reason = qvrOS::ErrorText(qvrOS::LastError());
        return false;
    }
    Stream = std::make_unique<TOutputStream>(std::move(file));
    FWritten.Add(FileName, FCurEntry);
    return true;
}

bool TUnBase::MakeOutputFolder(const std::string& Name)
{
    std::string leaf;
    return OutputFolder(Name, true, leaf) == qvrOS::TFolderState::Ready;
}

qvrOS::TFolderState TUnBase::OutputFolder(const std::string& Name, bool Make, std::string& Leaf,
                                          bool Ahead)
{
    // Names below the destination are walked from it. A name a host chose elsewhere
    // (OnRenameFile, OnFileExists) starts from its own folder: that is the host's choice.
    const std::string& destination = DestinationRoot();
    const bool below = Name.compare(0, destination.size(), destination) == 0;
    std::string elsewhere;
    std::string_view rel = Name;
    if (below) {
        rel.remove_prefix(destination.size());
    } else {
        elsewhere = ExtractFilePath(Name);
        rel.remove_prefix(elsewhere.size());
        if (elsewhere.empty()) elsewhere = AppendDirTail(qvrOS::CurrentDir());
    }
    const std::string& root = below ? destination : elsewhere;
    const size_t cut = rel.find_last_of('\\');
    const std::string_view folder = rel.substr(0, cut == std::string_view::npos ? 0 : cut + 1);
    const std::string_view leaf = rel.substr(folder.size());
    // The steps of the folder opened last passed when it was opened: the entries of one
    // folder usually follow each other, and only their own names are new.
    if (!StepsAllowed(FOutputTree.IsOpen(root, folder) ? leaf : rel))
        return qvrOS::TFolderState::Failed;
    Leaf.assign(leaf);
    rel = folder;
    FOutputTree.Root(root);
    qvrOS::TFolderState s = FOutputTree.Folder(rel, Make);
    // The destination itself is made on first use, as the user named it, in an entry's
    // own turn: a file begun ahead that the host then declines must not leave it made.
    // Such a file waits for its turn instead.
    if (s == qvrOS::TFolderState::Missing && Make && !Ahead && ForceDirs(root))
        s = FOutputTree.Folder(rel, Make);
    // What the tree made is private until the end of the run.
    if (s == qvrOS::TFolderState::Ready && FOutputTree.MadeFrom() != std::string_view::npos)
        NoteMadeFolders(root, FOutputTree.Opened(), FOutputTree.MadeFrom());
    // A folder an entry needs in its own turn stays, whoever made it.
    if (s == qvrOS::TFolderState::Ready && Make && !Ahead && below) FAheadFolders.Keep(rel);
    return s;
}

int64_t TUnBase::OutputAttributes(const std::string& Name)
{
    std::string leaf;
    if (OutputFolder(Name, false, leaf) != qvrOS::TFolderState::Ready || leaf.empty()) return -1;
    return FOutputTree.Attributes(leaf);
}

void TUnBase::NoteSameFile()
{
    // The entry itself may be there already: one begun on a worker, taken up again.
    const int32_t earlier = FWritten.Find(FFileName);
    if (earlier < 0 || earlier == FCurEntry || !FHeader || earlier >= FHeader->FCount) return;
    ReportError(FFileName, std::string(FHeader->GetName(earlier)), E_SAMEFILE, "0");
}

void TUnBase::NoteChangedName(const std::string& Written)
{
    if (!FChangedName.empty() && Written == FChangedName)
        ReportError(Written, FChangedFrom, E_RESERVEDNAME, "0");
}

uint32_t TUnBase::DateFor(uint32_t FileDate) const
{
    switch (FDateAttribute) {
    case daSysDate: return qvrOS::LocalDosTime();
    case daMaxFileDate: return FMaxFileDate;
    default: return FileDate;
    }
}

bool TUnBase::CloseOutput(std::unique_ptr<TOutputStream>& Stream, const std::string& FileName,
                          const TOutputFacts& Facts, bool Pass, bool& Kept,
                          const TOutputSeal* Sealed, TFailedOutput Failed)
{
    Kept = false;
    if (!Stream) return Pass;
    qvrOS::TOutputFile& file = Stream->File();
    if (!Pass && (file.Replaces() || Failed == foDrop)) {
        // Half an entry is worth less than the file it would have replaced.
        Kept = file.Replaces();
        if (Kept) file.Discard();
        else file.Withdraw();
        Stream.reset();
        return false;
    }
    // Date and mode or attributes go on the open file, before it has a name anyone else
    // could swap for a link. A file cut short has neither: it would look complete.
    const bool cut = !Pass && Failed == foCut;
    TOutputSeal seal;
    if (Sealed) {
        seal = *Sealed;
    } else {
        if (!cut) StampFor(Facts).Apply(file);
        if (!file.Close()) seal = {false, qvrOS::LastError()};
    }
    bool done = true;
    if (!seal.Closed) {
        ReportError(FileName, qvrOS::ErrorText(seal.Error), E_CLOSEERR, "0");
        done = false;
    }
    // A file that failed to close may hold less than was written: it only takes the
    // final name when nothing stands there.
    if (!done && file.Replaces()) {
        file.Discard();
        Kept = true;
    } else if (!file.Commit()) {
        ReportError(FileName, qvrOS::ErrorText(qvrOS::LastError()), E_CLOSEERR, "0");
        done = false;
    } else {
        NoteChangedName(FileName);
        if (cut) ReportError(FileName, "", E_CUTSHORT, "0");
    }
    Stream.reset();
    return Pass && done;
}

bool TUnBase::EndEntry(bool Pass, bool Reported)
{
    // A cancelled entry is incomplete whatever its bytes so far say.
    Pass = Pass && !GetCancel();
    if (Pass) ++FPassedCount;
    if (OnEnd)
        CallHost("OnEnd", OnEnd, *this, HostName(FEndName, FFileName), Pass);
    else if (!Pass && !Reported)
        ReportError(FFileName, "", E_CRCERR, "0");
    return Pass;
}

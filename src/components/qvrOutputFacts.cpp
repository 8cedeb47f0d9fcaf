// What an output file or folder keeps of its entry besides its bytes: its time (the DOS
// date, or the true UTC time of an extra field), and its mode (a Unix writer's POSIX
// bits) or DOS attributes. Files get theirs on the open handle before they take their
// names; folders get theirs at the end of the run, once what they hold is written.
#include "qvrBase.h"

#include "qvrEntryFacts.h"
#include "qvrPlatform.h"

#include <algorithm>

qvrOS::TFileTime TUnBase::TimeFor(const TOutputFacts& Facts) const
{
    qvrOS::TFileTime t;
    if (FDateAttribute == daFileDate && FUseExtendedTimes && Facts.Modified.Set) {
        t.Utc = true;
        t.Seconds = Facts.Modified.Seconds;
        t.Nanos = Facts.Modified.Nanos;
    } else {
        t.Dos = DateFor(Facts.DosDate);
    }
    return t;
}

TOutputStamp TUnBase::StampFor(const TOutputFacts& Facts) const
{
    TOutputStamp s;
    s.Time = TimeFor(Facts);
    if (!FRestoreFileAttr) return s;
    if (FRestoreUnixModes && Facts.Mode != 0) {
        s.SetMode = true;
        s.Mode = PermissionBits(Facts.Mode, FRestoreSpecialModes);
        return s;
    }
    // Only the DOS attribute byte is meaningful here. The file was just made, so it
    // already has every attribute but read-only, hidden and system: only those need a
    // system call.
    constexpr uint32_t Settable = qvrOS::faReadOnly | qvrOS::faHidden | qvrOS::faSysFile;
    if (Facts.Attributes != qvrOS::faArchive && (Facts.Attributes & Settable)) {
        s.SetAttributes = true;
        s.Attributes = Facts.Attributes & 0xFFu;
    }
    return s;
}

void TOutputStamp::Apply(qvrOS::TOutputFile& File) const
{
    qvrOS::FileSetTime(File.Handle(), Time);
    if (SetMode) File.SetMode(Mode);
    if (SetAttributes) File.SetAttributes(Attributes);
}

void TUnBase::NoteMadeFolders(const std::string& Root, std::string_view Folder, size_t From)
{
    // Noted before any stored facts of the same folder, which therefore come later and
    // win: the sort below keeps the order of one depth.
    for (size_t i = Folder.find('\\', From); i != std::string_view::npos;
         i = Folder.find('\\', i + 1)) {
        TFolderFacts f;
        f.Name = Root;
        f.Name.append(Folder.substr(0, i + 1));
        f.Made = true;
        FFolderFacts.push_back(std::move(f));
    }
}

void TUnBase::NoteFolder(const std::string& FolderName, const TOutputFacts& Facts)
{
    // The destination is the user's: a folder entry that comes to name it changes nothing.
    if (AppendDirTail(FolderName) == DestinationRoot()) return;
    TFolderFacts f;
    f.Name = FolderName;
    // The type bits stay, so that a stored mode without any permission is still one.
    if (FRestoreFileAttr && FRestoreUnixModes && Facts.Mode != 0)
        f.Mode = (Facts.Mode & 0170000) | PermissionBits(Facts.Mode, FRestoreSpecialModes);
    f.Time = TimeFor(Facts);
    FFolderFacts.push_back(std::move(f));
}

void TUnBase::ApplyFolderFacts()
{
    std::vector<TFolderFacts> folders;
    folders.swap(FFolderFacts);
    const auto depth = [](const std::string& Name) {
        return std::count(Name.begin(), Name.end(), '\\');
    };
    std::stable_sort(folders.begin(), folders.end(),
                     [&](const TFolderFacts& A, const TFolderFacts& B) {
                         return depth(A.Name) > depth(B.Name);
                     });
    for (const TFolderFacts& f : folders) {
        // The folder is reached like any output name, never through a link; the
        // destination itself is the user's and keeps what it has.
        std::string name = f.Name;
        while (!name.empty() && name.back() == '\\') name.pop_back();
        std::string leaf;
        const bool ready =
            OutputFolder(name, false, leaf) == qvrOS::TFolderState::Ready && !leaf.empty();
        // A folder made on the way may have gone again (made for a file begun ahead that
        // was then declined): nothing of it is left to tell.
        if (f.Made) {
            if (ready) FOutputTree.SetFolder(leaf, qvrOS::SystemFolderMode, nullptr);
            continue;
        }
        if (!ready || !FOutputTree.SetFolder(leaf, f.Mode, &f.Time))
            ReportError(f.Name, qvrOS::ErrorText(qvrOS::LastError()), E_WRITEERR, "0");
    }
}

// POSIX platform layer: the link-safe output tree (TOutputTree, TOutputFile).
//
// Every folder below the destination is opened relative to the one before with
// O_NOFOLLOW, and files and links are made relative to the folder's handle, so that no
// step can be swapped for a link between its check and its use. A taken name is
// replaced by a new file or link of its own, renamed over it once complete.
//
// Files and folders are made with their owner's bits only (MadeFileMode, MadeFolderMode):
// an entry stored private must not be readable by anyone else while it is written, and
// its final mode is not known to be private until it is set. Each gets its final mode
// through its handle: a file when it is closed, a folder at the end of the run.
#include "qvrPosixInternal.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace qvrOS {

namespace {

#ifdef O_PATH
// A folder handle that only anchors the names below it needs no read permission.
constexpr int FolderOpen = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int FolderOpen = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

constexpr mode_t MadeFileMode = 0600;
constexpr mode_t MadeFolderMode = 0700;

bool IsLinkAt(int Dir, const char* Name)
{
    struct stat st {};
    return ::fstatat(Dir, Name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Opens the folder Name in the folder Dir without following a link, making it first
// when it is missing and Make is set. Fresh says it is surely missing (its folder was
// made by this tree, which has not made it yet): it is made without a look first.
// Made tells whether this call made it.
TFolderState OpenStep(int Dir, const std::string& Name, bool Make, bool Fresh, int& Out, bool& Made)
{
    Made = false;
    Out = -1;
    // mkdirat never follows a link in the name's place; EEXIST leaves it to the open,
    // which does not follow one either.
    if (Make && Fresh) Made = ::mkdirat(Dir, Name.c_str(), MadeFolderMode) == 0;
    Out = ::openat(Dir, Name.c_str(), FolderOpen | O_NOFOLLOW);
    // Another run may make the same folder at the same time: EEXIST is as good.
    if (Out < 0 && errno == ENOENT && Make && !Made) {
        Made = ::mkdirat(Dir, Name.c_str(), MadeFolderMode) == 0;
        if (Made || errno == EEXIST) Out = ::openat(Dir, Name.c_str(), FolderOpen | O_NOFOLLOW);
    }
    if (Out >= 0) return TFolderState::Ready;
    const int e = errno;
    Fail();
    if (e == ENOENT) return TFolderState::Missing;
    return IsLinkAt(Dir, Name.c_str()) ? TFolderState::Link : TFolderState::Failed;
}

// Whether what St describes may be replaced by a file or a link: a file or a link only,
// a read-only file only when the user has said so. A folder cannot be replaced by a
// file; a device or a pipe is no file to put an entry in, and replacing one is not an
// extraction's business. LastError says why not.
bool Replaceable(const struct stat& St, bool ReplaceReadOnly)
{
    if (S_ISDIR(St.st_mode)) {
        FailCode(ErrorFolderInTheWay);
        return false;
    }
    if (!S_ISREG(St.st_mode) && !S_ISLNK(St.st_mode)) {
        FailCode(ErrorNotAFile);
        return false;
    }
    if (S_ISREG(St.st_mode) && (St.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 &&
        !ReplaceReadOnly) {
        Fail(EACCES);
        return false;
    }
    return true;
}

// Gives the link Name in the folder Dir its own time; the link is never followed.
bool SetLinkTime(int Dir, const char* Name, const TFileTime& Time)
{
    struct timespec ts[2];
    if (!PosixTimeOf(Time, ts[1])) return false;
    ts[0] = ts[1];
    if (::utimensat(Dir, Name, ts, AT_SYMLINK_NOFOLLOW) == 0) return true;
    Fail();
    return false;
}

// A leaf is one name: a "/" in it would let the system walk folders unchecked.
bool OneName(const std::string& Leaf)
{
    if (!Leaf.empty() && Leaf.find('/') == std::string::npos) return true;
    FailCode(ErrorFileNotFound);
    return false;
}

} // namespace

struct TSharedHandleBody {
    int Fd;
    explicit TSharedHandleBody(int F) : Fd(F) {}
    ~TSharedHandleBody() { ::close(Fd); }
    TSharedHandleBody(const TSharedHandleBody&) = delete;
    TSharedHandleBody& operator=(const TSharedHandleBody&) = delete;
};

namespace {

TSharedHandle Share(int Fd) { return std::make_shared<const TSharedHandleBody>(Fd); }

} // namespace

TOutputTree::~TOutputTree() { Close(); }

void TOutputTree::Close()
{
    FSteps.clear();
    FMade.clear();
    FFolderHandle.reset();
    FRootHandle.reset();
    // The umask may change between runs: the next run reads it again.
    FUmask = -1;
    FReady = false;
    FFolder.clear();
}

TFolderState TOutputTree::Folder(std::string_view Rel, bool Make)
{
    FMadeFrom = std::string_view::npos;
    if (FReady && Rel == FFolder) return TFolderState::Ready;
    FReady = false;
    FFolderHandle.reset();
    if (!FRootHandle) {
        // The destination is the user's choice: a link there is followed.
        const int fd = ::open(ToNative(FRoot).c_str(), FolderOpen);
        if (fd < 0) {
            const int e = errno;
            Fail();
            return e == ENOENT ? TFolderState::Missing : TFolderState::Failed;
        }
        FRootHandle = Share(fd);
        FSteps.clear();
    }
    // Each step is opened relative to the one before, so that no step can be swapped
    // for a link between its check and its use. The steps the last folder shares with
    // this one are still open from its walk: a handle stays the folder it was opened
    // as, whatever is renamed or linked in its name's place meanwhile, so walking on
    // from it follows no link either. The chain is held to MaxKept handles; deeper
    // steps are walked with two handles open at a time.
    constexpr size_t MaxKept = 32;
    const std::string rel = ToNative(std::string(Rel));
    size_t step = 0; // of the steps of rel
    TSharedHandle dir = FRootHandle;
    bool made = false; // dir was made by this tree
    for (size_t i = 0; i < rel.size();) {
        size_t j = rel.find('/', i);
        if (j == std::string::npos) j = rel.size();
        const std::string name = rel.substr(i, j - i);
        const size_t at = i;
        i = j + 1;
        if (name.empty()) continue;
        if (step < FSteps.size() && FSteps[step].Name == name) {
            dir = FSteps[step].Handle;
            made = FSteps[step].Made;
            ++step;
            continue;
        }
        if (step < FSteps.size()) FSteps.resize(step);
        const std::string path = rel.substr(0, j);
        const bool fresh = made && FMade.find(path) == FMade.end();
        int next = -1;
        const TFolderState s = OpenStep(dir->Fd, name, Make, fresh, next, made);
        if (s != TFolderState::Ready) return s;
        if (made) {
            FMade.insert(path);
            if (FMadeFrom == std::string_view::npos) FMadeFrom = at;
        }
        dir = Share(next);
        if (FSteps.size() < MaxKept && step == FSteps.size()) FSteps.push_back({name, dir, made});
        ++step;
    }
    if (step < FSteps.size()) FSteps.resize(step);
    if (dir != FRootHandle) FFolderHandle = dir;
    FFolder = Rel;
    FReady = true;
    return TFolderState::Ready;
}

bool TOutputTree::RemoveEmpty(std::string_view Rel)
{
    while (!Rel.empty() && Rel.back() == '\\') Rel.remove_suffix(1);
    const size_t cut = Rel.find_last_of('\\');
    const std::string_view parent = Rel.substr(0, cut == std::string_view::npos ? 0 : cut + 1);
    const std::string leaf(Rel.substr(parent.size()));
    if (leaf.empty() || Folder(parent, false) != TFolderState::Ready) return false;
    // AT_REMOVEDIR removes an empty folder only: a link in its place fails with
    // ENOTDIR, and nothing is followed.
    const int dir = (FFolderHandle ? FFolderHandle : FRootHandle)->Fd;
    if (::unlinkat(dir, leaf.c_str(), AT_REMOVEDIR) != 0) {
        Fail();
        return false;
    }
    FMade.erase(ToNative(std::string(Rel)));
    return true;
}

bool TOutputTree::Begin(const std::string& Leaf, bool ReplaceReadOnly, TOutputFile& File)
{
    File.Discard();
    if (!FReady || !OneName(Leaf)) return false;
    const TSharedHandle& folder = FFolderHandle ? FFolderHandle : FRootHandle;
    const int dir = folder->Fd;
    constexpr int Flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    // A free name takes the file at once: made exclusively, it can be neither a link nor
    // a hard link, and it replaces nothing, so a rename would buy nothing but a second
    // system call per file. A run over an earlier one's files looks before it makes one.
    struct stat st {};
    const bool taken = FTaken && ::fstatat(dir, Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!taken) {
        const int fd = ::openat(dir, Leaf.c_str(), Flags, MadeFileMode);
        if (fd >= 0) {
            FTaken = false;
            File.FHandle = fd;
            File.FSystemMode = SystemMode(0666);
            File.FFolder = folder;
            File.FFinal = Leaf;
            return true;
        }
        if (errno != EEXIST || ::fstatat(dir, Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            Fail();
            return false;
        }
    }
    FTaken = true;
    // A folder cannot be replaced by a file; a device or a pipe is no file to put an
    // entry in, and replacing one is not an extraction's business.
    if (!Replaceable(st, ReplaceReadOnly)) return false;
    // A taken name is replaced: the entry goes into a new file of its own, whose name
    // only has to be free and short (it lives for one entry), and takes the final name
    // by a rename once complete. O_EXCL with O_NOFOLLOW makes sure the file opened is the
    // one just made, whatever else appears in the folder meanwhile.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
        temp = ReplacementName();
        fd = ::openat(dir, temp.c_str(), Flags, MadeFileMode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        Fail();
        return false;
    }
    // The file holds the folder too: the tree may move on to another folder before the
    // file is committed.
    File.FHandle = fd;
    File.FSystemMode = SystemMode(0666);
    File.FFolder = folder;
    File.FTemp = temp;
    File.FFinal = Leaf;
    File.FReplaces = true;
    File.FReplaceReadOnly = ReplaceReadOnly;
    return true;
}

std::string TOutputTree::ReplacementName()
{
    if (FSerial == 0) {
        struct timespec now {};
        clock_gettime(CLOCK_REALTIME, &now);
        FSerial = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(::getpid()) << 16;
    }
    char name[32];
    std::snprintf(name, sizeof name, ".qvr%08x.tmp", ++FSerial * 0x9E3779B9u);
    return name;
}

bool TOutputTree::Link(const std::string& Leaf, const std::string& Target, bool ReplaceReadOnly,
                       const TFileTime& Time)
{
    if (!FReady || !OneName(Leaf) || Target.empty() || Target.find('\0') != std::string::npos) {
        FailCode(ErrorAccessDenied);
        return false;
    }
    const int dir = (FFolderHandle ? FFolderHandle : FRootHandle)->Fd;
    // symlinkat's errno, 0 once the link is made.
    const auto link = [&](const char* Name) {
        return ::symlinkat(Target.c_str(), dir, Name) == 0 ? 0 : errno;
    };
    const auto failed = [](int E) {
        Fail(E);
        return false;
    };
    int e = link(Leaf.c_str());
    if (e == 0) return SetLinkTime(dir, Leaf.c_str(), Time);
    struct stat st {};
    if (e != EEXIST) return failed(e);
    if (::fstatat(dir, Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return failed(errno);
    // The same rules as a file's.
    if (!Replaceable(st, ReplaceReadOnly)) return false;
    // The link is made under a name of its own and renamed over the taken one, which is
    // replaced as it stands and never followed. Its time is given while it is still only
    // this run's.
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::string temp = ReplacementName();
        e = link(temp.c_str());
        if (e == EEXIST) continue;
        if (e != 0) return failed(e);
        const bool ok = SetLinkTime(dir, temp.c_str(), Time) &&
                        (::renameat(dir, temp.c_str(), dir, Leaf.c_str()) == 0 || failed(errno));
        if (!ok) ::unlinkat(dir, temp.c_str(), 0);
        return ok;
    }
    return failed(EEXIST);
}

bool TOutputTree::SetFolder(const std::string& Leaf, uint32_t Mode, const TFileTime* Time)
{
    if (!FReady || !OneName(Leaf)) return false;
    const int dir = (FFolderHandle ? FFolderHandle : FRootHandle)->Fd;
    // Opened for reading, not as a path: fchmod and futimens need a real handle.
    const int fd = ::openat(dir, Leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        Fail();
        return false;
    }
    bool ok = !Time || SetFileTimeFd(fd, *Time);
    if (Mode == SystemFolderMode) Mode = SystemMode(0777);
    if (Mode != 0 && ::fchmod(fd, static_cast<mode_t>(Mode & 07777)) != 0) {
        Fail();
        ok = false;
    }
    ::close(fd);
    return ok;
}

bool TOutputFile::SetAttributes(uint32_t Attr)
{
    // The attributes apply to the mode the file would have had without them.
    return SetMode(ModeWith(static_cast<mode_t>(FSystemMode), Attr));
}

uint32_t TOutputTree::SystemMode(uint32_t Bits)
{
    if (FUmask < 0) {
        // An umask that cannot be read grants nothing beyond the owner's bits.
        mode_t mask = 077;
        FUmask = ReadUmask(mask) ? static_cast<int32_t>(mask) : 077;
    }
    return Bits & ~static_cast<uint32_t>(FUmask);
}

bool TOutputFile::SetMode(uint32_t Mode)
{
    FModeSet = true;
    // A file that wants the mode it was made with costs no system call.
    if ((Mode & 07777) == MadeFileMode) return true;
    if (FHandle == InvalidHandle || ::fchmod(Fd(FHandle), static_cast<mode_t>(Mode & 07777)) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool TOutputFile::Settle() { return FModeSet || SetMode(FSystemMode); }

bool TOutputFile::Rename()
{
    // renameat replaces a link or a hard link in the final name's place as it is: the
    // name is moved, nothing is opened through it.
    if (::renameat(FFolder->Fd, FTemp.c_str(), FFolder->Fd, FFinal.c_str()) == 0) return true;
    Fail();
    return false;
}

void TOutputFile::Remove() { ::unlinkat(FFolder->Fd, FTemp.c_str(), 0); }

int64_t TOutputTree::Attributes(const std::string& Leaf)
{
    if (!FReady || !OneName(Leaf)) return -1;
    struct stat st {};
    const int dir = (FFolderHandle ? FFolderHandle : FRootHandle)->Fd;
    if (::fstatat(dir, Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        Fail();
        return -1;
    }
    return AttributesOf(st);
}

} // namespace qvrOS

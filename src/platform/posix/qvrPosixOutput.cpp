// POSIX platform layer: the link-safe output tree (TOutputTree, TOutputFile).
//
// Every folder below the destination is opened relative to the one before with
// O_NOFOLLOW, and files and links are made relative to the folder's handle, so that no
// step can be swapped for a link between its check and its use. A taken name is
// replaced by a new file or link of its own, renamed over it once complete.
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
    if (Make && Fresh) Made = ::mkdirat(Dir, Name.c_str(), 0777) == 0;
    Out = ::openat(Dir, Name.c_str(), FolderOpen | O_NOFOLLOW);
    // Another run may make the same folder at the same time: EEXIST is as good.
    if (Out < 0 && errno == ENOENT && Make && !Made) {
        Made = ::mkdirat(Dir, Name.c_str(), 0777) == 0;
        if (Made || errno == EEXIST) Out = ::openat(Dir, Name.c_str(), FolderOpen | O_NOFOLLOW);
    }
    if (Out >= 0) return TFolderState::Ready;
    const int e = errno;
    Fail();
    if (e == ENOENT) return TFolderState::Missing;
    return IsLinkAt(Dir, Name.c_str()) ? TFolderState::Link : TFolderState::Failed;
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
    FCreatedMode = -1;
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
        const int fd = ::openat(dir, Leaf.c_str(), Flags, 0666);
        if (fd >= 0) {
            FTaken = false;
            File.FHandle = fd;
            File.FCreatedMode = CreatedMode();
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
    const bool file = S_ISREG(st.st_mode) || S_ISLNK(st.st_mode);
    const bool readOnly = S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (!file || (readOnly && !ReplaceReadOnly)) {
        Fail(S_ISDIR(st.st_mode) ? EISDIR : EACCES);
        return false;
    }
    // A taken name is replaced: the entry goes into a new file of its own, whose name
    // only has to be free and short (it lives for one entry), and takes the final name
    // by a rename once complete. O_EXCL with O_NOFOLLOW makes sure the file opened is the
    // one just made, whatever else appears in the folder meanwhile.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
        temp = ReplacementName();
        fd = ::openat(dir, temp.c_str(), Flags, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        Fail();
        return false;
    }
    // The file holds the folder too: the tree may move on to another folder before the
    // file is committed.
    File.FHandle = fd;
    File.FCreatedMode = CreatedMode();
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

bool TOutputTree::Link(const std::string& Leaf, const std::string& Target, bool ReplaceReadOnly)
{
    if (!FReady || !OneName(Leaf) || Target.empty() || Target.find('\0') != std::string::npos) {
        FailCode(ErrorAccessDenied);
        return false;
    }
    const int dir = (FFolderHandle ? FFolderHandle : FRootHandle)->Fd;
    if (::symlinkat(Target.c_str(), dir, Leaf.c_str()) == 0) return true;
    struct stat st {};
    if (errno != EEXIST || ::fstatat(dir, Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        Fail();
        return false;
    }
    // The same rules as a file's: only a file or a link is replaced, a read-only file
    // only when the user has said so.
    const bool readOnly = S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (!(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) || (readOnly && !ReplaceReadOnly)) {
        FailCode(ErrorAccessDenied);
        return false;
    }
    // The link is made under a name of its own and renamed over the taken one, which is
    // replaced as it stands and never followed.
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::string temp = ReplacementName();
        if (::symlinkat(Target.c_str(), dir, temp.c_str()) != 0) {
            if (errno == EEXIST) continue;
            break;
        }
        if (::renameat(dir, temp.c_str(), dir, Leaf.c_str()) == 0) return true;
        Fail();
        ::unlinkat(dir, temp.c_str(), 0);
        return false;
    }
    Fail();
    return false;
}

bool TOutputTree::SetFolder(const std::string& Leaf, uint32_t Mode, const TFileTime& Time)
{
    if (!FReady || !OneName(Leaf)) return false;
    const int dir = (FFolderHandle ? FFolderHandle : FRootHandle)->Fd;
    // Opened for reading, not as a path: fchmod and futimens need a real handle.
    const int fd = ::openat(dir, Leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        Fail();
        return false;
    }
    bool ok = SetFileTimeFd(fd, Time);
    if (Mode != 0 && ::fchmod(fd, static_cast<mode_t>(Mode & 07777)) != 0) {
        Fail();
        ok = false;
    }
    ::close(fd);
    return ok;
}

bool TOutputFile::SetAttributes(uint32_t Attr)
{
    struct stat st {};
    if (FHandle == InvalidHandle || ::fstat(Fd(FHandle), &st) != 0 ||
        ::fchmod(Fd(FHandle), ModeWith(st.st_mode, Attr)) != 0) {
        Fail();
        return false;
    }
    return true;
}

uint32_t TOutputTree::CreatedMode()
{
    if (FCreatedMode < 0) {
        mode_t mask = 0;
        FCreatedMode = ReadUmask(mask) ? static_cast<int32_t>(0666 & ~mask) : 0;
    }
    return static_cast<uint32_t>(FCreatedMode);
}

bool TOutputFile::SetMode(uint32_t Mode)
{
    // Most files want the mode they were made with: that costs no system call.
    if (FCreatedMode != 0 && (Mode & 07777) == FCreatedMode) return true;
    if (FHandle == InvalidHandle || ::fchmod(Fd(FHandle), static_cast<mode_t>(Mode & 07777)) != 0) {
        Fail();
        return false;
    }
    return true;
}

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

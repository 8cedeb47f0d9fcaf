// Win32 platform layer: the link-safe output tree (TOutputTree, TOutputFile).
//
// Each folder step is looked at by itself and a reparse point is never entered; a new
// file is made with CREATE_NEW, so a handle it gives is the new file's, and a taken name
// is replaced by a file of its own moved over it once complete. Links are not made here.
#include "qvrWin32Internal.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace qvrOS {

namespace {

bool NotFound(uint32_t Code)
{
    return Code == ERROR_FILE_NOT_FOUND || Code == ERROR_PATH_NOT_FOUND;
}

} // namespace

TOutputTree::~TOutputTree() = default;

void TOutputTree::Close()
{
    FReady = false;
    FFolder.clear();
}

// GetFileAttributesW does not follow a reparse point at the last step of a name, so
// each step is looked at by itself. The folder that passed stays known by its name
// only: unlike POSIX there is no creating relative to an open folder here.
TFolderState TOutputTree::Folder(std::string_view Rel, bool Make)
{
    FMadeFrom = std::string_view::npos;
    if (FReady && Rel == FFolder) return TFolderState::Ready;
    FReady = false;
    // The destination is the user's choice: a reparse point there is followed.
    const int64_t root = GetAttributes(FRoot);
    if (root < 0) return NotFound(LastError()) ? TFolderState::Missing : TFolderState::Failed;
    if (!(root & faDirectory)) {
        Fail(ERROR_DIRECTORY);
        return TFolderState::Failed;
    }
    std::string path = FRoot;
    for (size_t i = 0; i < Rel.size();) {
        const size_t j = std::min(Rel.find_first_of("\\/", i), Rel.size());
        const std::string_view step = Rel.substr(i, j - i);
        const size_t at = i;
        i = j + 1;
        if (step.empty()) continue;
        path += step;
        int64_t a = GetAttributes(path);
        if (a < 0 && Make && NotFound(LastError())) {
            const bool made = CreateDir(path);
            if (made && FMadeFrom == std::string_view::npos) FMadeFrom = at;
            if (made || LastError() == ERROR_ALREADY_EXISTS) a = GetAttributes(path);
        }
        if (a < 0) return NotFound(LastError()) ? TFolderState::Missing : TFolderState::Failed;
        if (a & faReparsePoint) {
            Fail(ERROR_ACCESS_DENIED);
            return TFolderState::Link;
        }
        if (!(a & faDirectory)) {
            Fail(ERROR_DIRECTORY);
            return TFolderState::Failed;
        }
        path += '\\';
    }
    FFolder = Rel;
    FReady = true;
    return TFolderState::Ready;
}

bool TOutputTree::RemoveEmpty(std::string_view Rel)
{
    while (!Rel.empty() && Rel.back() == '\\') Rel.remove_suffix(1);
    const size_t cut = Rel.find_last_of('\\');
    const std::string_view parent = Rel.substr(0, cut == std::string_view::npos ? 0 : cut + 1);
    if (Rel.size() == parent.size() || Folder(parent, false) != TFolderState::Ready) return false;
    // The steps above it were looked at one by one; a reparse point in its own place is
    // left alone (RemoveDirectoryW would remove the link, never what it leads to, but
    // the link was not this run's).
    const std::string path = FRoot + std::string(Rel);
    const int64_t a = GetAttributes(path);
    if (a < 0 || (a & faReparsePoint) || !(a & faDirectory)) {
        if (a >= 0) Fail(ERROR_ACCESS_DENIED);
        return false;
    }
    const auto w = PathW(path);
    if (!w) return false;
    if (!RemoveDirectoryW(w->c_str())) {
        Fail();
        return false;
    }
    return true;
}

bool TOutputTree::Begin(const std::string& Leaf, bool ReplaceReadOnly, TOutputFile& File)
{
    File.Discard();
    if (!FReady || Leaf.empty()) {
        Fail(ERROR_INVALID_NAME);
        return false;
    }
    const std::string folder = FRoot + FFolder;
    auto w = PathW(folder + Leaf);
    if (!w) return false;
    // CREATE_NEW fails on any name that exists, a reparse point too, so a handle it
    // gives is the new file's: a free name takes the file at once.
    const auto create = [](const std::wstring& Name) {
        return CreateFileW(Name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    HANDLE h = create(*w);
    if (h != INVALID_HANDLE_VALUE) {
        File.FHandle = reinterpret_cast<THandle>(h);
        File.FFolderPath = folder;
        File.FFinal = Leaf;
        return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
        Fail();
        return false;
    }
    // GetFileAttributesW looks at a reparse point in the name's place itself. A name
    // that is taken but shows no attributes (a link to nothing, as Wine shows one) is
    // replaced like a link.
    // A folder is never replaced, nor is a link to one (a junction, a directory
    // symbolic link): removing such a link is a call that some systems (Wine) carry out
    // on the folder it leads to, which is not the run's to remove.
    const DWORD a = GetFileAttributesW(w->c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        Fail(ErrorFolderInTheWay);
        return false;
    }
    if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (a & FILE_ATTRIBUTE_READONLY) && !ReplaceReadOnly) {
        Fail(ERROR_ACCESS_DENIED);
        return false;
    }
    // The entry goes into a new file of its own beside the taken name; its name only has
    // to be free and short, since it lives for one entry.
    std::string temp;
    for (int attempt = 0; attempt < 64 && h == INVALID_HANDLE_VALUE; ++attempt) {
        temp = ReplacementName();
        auto t = PathW(folder + temp);
        if (!t) return false;
        h = create(*t);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        Fail();
        return false;
    }
    File.FHandle = reinterpret_cast<THandle>(h);
    File.FFolderPath = folder;
    File.FTemp = temp;
    File.FFinal = Leaf;
    File.FReplaces = true;
    File.FReplaceReadOnly = ReplaceReadOnly;
    return true;
}

namespace {

bool SetHandleAttributes(HANDLE H, DWORD Attr)
{
    FILE_BASIC_INFO info {};
    // Zero leaves a field alone, so a file with no attribute left says so by "normal".
    info.FileAttributes = Attr ? Attr : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(H, FileBasicInfo, &info, sizeof info) != 0;
}

// Moves From over To. A read-only file under To refuses to be replaced; when that is
// allowed, its attribute is cleared through a handle of its own (never through a
// reparse point). A name that is the file's only one lets that handle go before the move,
// since a file still open under To cannot be replaced (Wine, and Windows without POSIX
// rename semantics, refuse the move), and gets its attribute back only if the move fails.
// A file that also has other names (a hard link) keeps the handle through the move, so
// that its other names keep its attributes. A folder or a link to one that took To since
// Begin looked makes the move fail: nothing is removed to make room.
bool ReplaceName(const std::wstring& From, const std::wstring& To, bool ReplaceReadOnly)
{
    const DWORD a = GetFileAttributesW(To.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ErrorFolderInTheWay);
        return false;
    }
    const auto open = [&] {
        return CreateFileW(To.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    };
    HANDLE old = INVALID_HANDLE_VALUE;
    bool cleared = false;
    if (a != INVALID_FILE_ATTRIBUTES && ReplaceReadOnly && (a & FILE_ATTRIBUTE_READONLY) &&
        !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        old = open();
        if (old != INVALID_HANDLE_VALUE) {
            cleared = SetHandleAttributes(old, a & ~FILE_ATTRIBUTE_READONLY);
            BY_HANDLE_FILE_INFORMATION info {};
            if (GetFileInformationByHandle(old, &info) && info.nNumberOfLinks <= 1) {
                CloseHandle(old);
                old = INVALID_HANDLE_VALUE;
            }
        }
    }
    const bool moved = MoveFileExW(From.c_str(), To.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    const DWORD e = GetLastError();
    if (old == INVALID_HANDLE_VALUE && cleared && !moved) old = open();
    if (old != INVALID_HANDLE_VALUE) {
        SetHandleAttributes(old, a & 0xFFFFu);
        CloseHandle(old);
    }
    SetLastError(e);
    return moved;
}

} // namespace

bool TOutputFile::SetAttributes(uint32_t Attr)
{
    constexpr DWORD Settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    if (FHandle == InvalidHandle || !SetHandleAttributes(Native(FHandle), Attr & Settable)) {
        Fail();
        return false;
    }
    return true;
}

bool TOutputFile::SetMode(uint32_t Mode)
{
    // Only the owner's write bit has a meaning here: without it the file is read-only.
    if (Mode & 0200) return true;
    return SetAttributes(faReadOnly);
}

bool TOutputFile::Rename()
{
    auto from = PathW(FFolderPath + FTemp), to = PathW(FFolderPath + FFinal);
    if (!from || !to) return false;
    if (ReplaceName(*from, *to, FReplaceReadOnly)) return true;
    Fail();
    return false;
}

void TOutputFile::Remove()
{
    if (auto w = PathW(FFolderPath + FTemp)) {
        // A file made read-only before a failed rename must still go.
        SetFileAttributesW(w->c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(w->c_str());
    }
}

std::string TOutputTree::ReplacementName()
{
    if (FSerial == 0) FSerial = (GetTickCount() * 0x10001u) ^ (GetCurrentProcessId() << 16);
    char name[32];
    std::snprintf(name, sizeof name, ".qvr%08x.tmp", static_cast<unsigned>(++FSerial * 0x9E3779B9u));
    return name;
}

bool TOutputFile::Settle() { return true; }

bool TOutputTree::Link(const std::string&, const std::string&, bool, const TFileTime&)
{
    Fail(ERROR_ACCESS_DENIED);
    return false;
}

bool TOutputTree::SetFolder(const std::string& Leaf, uint32_t /*Mode*/, const TFileTime* Time)
{
    // Folders are made with the system's rights here: without a time there is nothing
    // to give.
    if (!Time) return true;
    if (!FReady || Leaf.empty()) {
        Fail(ERROR_INVALID_NAME);
        return false;
    }
    auto w = PathW(FRoot + FFolder + Leaf);
    if (!w) return false;
    // A folder opens only with backup semantics; a reparse point in its place is opened
    // as itself and then left alone.
    HANDLE h = CreateFileW(w->c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Fail();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    bool ok = GetFileInformationByHandle(h, &info) &&
              (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
              !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (!ok) Fail(ERROR_ACCESS_DENIED);
    ok = ok && FileSetTime(reinterpret_cast<THandle>(h), *Time);
    CloseHandle(h);
    return ok;
}

int64_t TOutputTree::Attributes(const std::string& Leaf)
{
    if (!FReady || Leaf.empty()) {
        Fail(ERROR_INVALID_NAME);
        return -1;
    }
    return GetAttributes(FRoot + FFolder + Leaf);
}

} // namespace qvrOS

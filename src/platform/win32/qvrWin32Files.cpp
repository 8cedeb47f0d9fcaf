// Win32 implementation of the platform interface.
//
// The component already speaks this system's language ("\" separators, attribute bits,
// DOS times, Win32 error numbers), so the work here is the string edge: names arrive as
// UTF-8 and go to the "W" entry points as UTF-16, and whatever the system hands back is
// turned into UTF-8 again. Nothing else in the library converts.
#include "qvrPlatform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <optional>
#include <string>

namespace qvrOS {

namespace {

// Error code of the last failed call of this interface on this thread. Kept apart from
// the system's own value, which any later call (even a successful one) may overwrite.
thread_local uint32_t tLastError = 0;

void Fail() { tLastError = static_cast<uint32_t>(GetLastError()); }
void Fail(DWORD Code) { tLastError = static_cast<uint32_t>(Code); }

HANDLE Native(THandle H) { return reinterpret_cast<HANDLE>(H); }

// Names come from archives: an embedded NUL would silently cut a UTF-16 name short and
// open a different file than the one the component checked, so it is refused.
std::optional<std::wstring> Widen(std::string_view S)
{
    if (S.find('\0') != std::string_view::npos || S.size() > INT_MAX) return std::nullopt;
    std::wstring w;
    if (S.empty()) return w;
    const int n = MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()),
                                      nullptr, 0);
    if (n <= 0) return std::nullopt;
    w.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), w.data(), n);
    return w;
}

std::string Narrow(std::wstring_view W)
{
    std::string s;
    if (W.empty() || W.size() > INT_MAX / 4) return s;
    const int n = WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0) return s;
    s.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

// Calls a "give me a buffer of this size" API until the answer fits. Such APIs return
// the length written, or the size needed (with its terminator) when the buffer was
// short, or 0 on failure.
template <class Fn> std::optional<std::wstring> Ask(Fn Call, DWORD Start = MAX_PATH + 1)
{
    std::wstring buf(Start, L'\0');
    for (int tries = 0; tries < 4; ++tries) {
        const DWORD n = Call(static_cast<DWORD>(buf.size()), buf.data());
        if (n == 0) return std::nullopt;
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        buf.assign(n, L'\0');
    }
    return std::nullopt;
}

std::optional<std::wstring> FullPathW(const std::wstring& W)
{
    return Ask([&](DWORD size, wchar_t* buf) {
        return GetFullPathNameW(W.c_str(), size, buf, nullptr);
    });
}

// The UTF-16 name handed to the file calls. Up to MAX_PATH the name goes as it is; a
// longer one only works in the extended "\\?\" form, which takes absolute names and
// skips the system's normalisation, so the name is expanded first (that folds "." and
// "..", turns "/" into "\" and drops trailing dots and blanks, as the short form would).
// The limit is the one of CreateDirectoryW, which is 12 below MAX_PATH.
std::optional<std::wstring> PathW(const std::string& Name)
{
    auto w = Widen(Name);
    if (!w) {
        Fail(ERROR_INVALID_NAME);
        return w;
    }
    if (w->size() < MAX_PATH - 12 || w->starts_with(L"\\\\?\\")) return w;
    auto full = FullPathW(*w);
    if (!full) {
        Fail();
        return full;
    }
    if (full->starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full->substr(2);
    return L"\\\\?\\" + *full;
}

uint32_t PackDos(WORD Year, WORD Month, WORD Day, WORD Hour, WORD Minute, WORD Second)
{
    // DOS dates begin in 1980; an earlier clock gives its first day, as the writers of
    // archives do.
    if (Year < 1980) return (1u << 21) | (1u << 16);
    const uint32_t date = (static_cast<uint32_t>(Year - 1980) << 9) |
                          (static_cast<uint32_t>(Month) << 5) | Day;
    const uint32_t time = (static_cast<uint32_t>(Hour) << 11) |
                          (static_cast<uint32_t>(Minute) << 5) | (Second / 2u);
    return (date << 16) | time;
}

HANDLE StdHandle(int Stream)
{
    switch (Stream) {
    case 0: return GetStdHandle(STD_INPUT_HANDLE);
    case 1: return GetStdHandle(STD_OUTPUT_HANDLE);
    case 2: return GetStdHandle(STD_ERROR_HANDLE);
    default: return INVALID_HANDLE_VALUE;
    }
}

} // namespace

THandle FileOpen(const std::string& Name, TAccess Access, TShare Share)
{
    auto w = PathW(Name);
    if (!w) return InvalidHandle;
    const DWORD access = Access == TAccess::Read    ? GENERIC_READ
                         : Access == TAccess::Write ? GENERIC_WRITE
                                                    : GENERIC_READ | GENERIC_WRITE;
    const DWORD share = Share == TShare::DenyWrite  ? FILE_SHARE_READ
                        : Share == TShare::DenyRead ? FILE_SHARE_WRITE
                        : Share == TShare::DenyNone ? FILE_SHARE_READ | FILE_SHARE_WRITE
                                                    : 0;
    // A folder cannot be opened without FILE_FLAG_BACKUP_SEMANTICS: it fails with
    // ERROR_ACCESS_DENIED, which is what callers expect of a folder.
    HANDLE h = CreateFileW(w->c_str(), access, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Fail();
        return InvalidHandle;
    }
    return reinterpret_cast<THandle>(h);
}

THandle FileCreate(const std::string& Name)
{
    auto w = PathW(Name);
    if (!w) return InvalidHandle;
    HANDLE h = CreateFileW(w->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Fail();
        return InvalidHandle;
    }
    return reinterpret_cast<THandle>(h);
}

int32_t FileRead(THandle H, void* Buf, int32_t Count)
{
    if (Count < 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return -1;
    }
    DWORD n = 0;
    if (!ReadFile(Native(H), Buf, static_cast<DWORD>(Count), &n, nullptr)) {
        Fail();
        return -1;
    }
    return static_cast<int32_t>(n);
}

int32_t FileWrite(THandle H, const void* Buf, int32_t Count)
{
    if (Count < 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return -1;
    }
    DWORD n = 0;
    if (!WriteFile(Native(H), Buf, static_cast<DWORD>(Count), &n, nullptr)) {
        Fail();
        return -1;
    }
    return static_cast<int32_t>(n);
}

int32_t FileReadAt(THandle H, void* Buf, int32_t Count, int64_t Offset)
{
    if (Count < 0 || Offset < 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // On a handle opened for synchronous use a positioned read still leaves the file
    // pointer after the bytes it read; it is put back, since the streams keep their own
    // account of where the pointer stands.
    LARGE_INTEGER zero{}, here;
    if (!SetFilePointerEx(Native(H), zero, &here, FILE_CURRENT)) {
        Fail();
        return -1;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(Offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(Offset) >> 32);
    DWORD n = 0;
    const BOOL ok = ReadFile(Native(H), Buf, static_cast<DWORD>(Count), &n, &at);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    SetFilePointerEx(Native(H), here, nullptr, FILE_BEGIN);
    if (!ok) {
        // At or past the end the positioned form fails where a plain read returns 0.
        if (error == ERROR_HANDLE_EOF) return 0;
        Fail(error);
        return -1;
    }
    return static_cast<int32_t>(n);
}

int64_t FileSeek(THandle H, int64_t Offset, int Origin)
{
    const DWORD method = Origin == 0 ? FILE_BEGIN : Origin == 1 ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER dist, pos;
    dist.QuadPart = Offset;
    if (!SetFilePointerEx(Native(H), dist, &pos, method)) {
        Fail();
        return -1;
    }
    return pos.QuadPart;
}

bool FileSetEnd(THandle H)
{
    if (!SetEndOfFile(Native(H))) {
        Fail();
        return false;
    }
    return true;
}

bool FileClose(THandle H)
{
    if (!CloseHandle(Native(H))) {
        Fail();
        return false;
    }
    return true;
}

bool FileSetDosTime(THandle H, uint32_t DosTime)
{
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(static_cast<WORD>(DosTime >> 16), static_cast<WORD>(DosTime),
                               &local) ||
        !LocalFileTimeToFileTime(&local, &utc) || !SetFileTime(Native(H), nullptr, nullptr, &utc)) {
        Fail();
        return false;
    }
    return true;
}

bool FileSetTime(THandle H, const TFileTime& Time)
{
    if (!Time.Utc) return FileSetDosTime(H, Time.Dos);
    // FILETIME counts 100 ns steps from 1601-01-01 UTC.
    constexpr int64_t From1601 = 11644473600LL;
    const uint64_t ticks = static_cast<uint64_t>(Time.Seconds + From1601) * 10000000u +
                           (Time.Nanos % 1000000000u) / 100u;
    FILETIME utc;
    utc.dwLowDateTime = static_cast<DWORD>(ticks);
    utc.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    if (Time.Seconds < -From1601 || !SetFileTime(Native(H), nullptr, nullptr, &utc)) {
        Fail();
        return false;
    }
    return true;
}

bool MakesSymbolicLinks() { return false; }

uint32_t FileGetDosTime(THandle H, int Kind)
{
    FILETIME created, accessed, written, local;
    WORD date = 0, time = 0;
    if (!GetFileTime(Native(H), &created, &accessed, &written)) {
        Fail();
        return 0;
    }
    const FILETIME& t = Kind == 0 ? created : Kind == 2 ? accessed : written;
    if (!FileTimeToLocalFileTime(&t, &local) || !FileTimeToDosDateTime(&local, &date, &time)) {
        Fail();
        return 0;
    }
    return (static_cast<uint32_t>(date) << 16) | time;
}

int64_t GetAttributes(const std::string& Name)
{
    auto w = PathW(Name);
    if (!w) return -1;
    const DWORD a = GetFileAttributesW(w->c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        Fail();
        return -1;
    }
    return a;
}

bool SetAttributes(const std::string& Name, uint32_t Attr)
{
    auto w = PathW(Name);
    if (!w) return false;
    if (!SetFileAttributesW(w->c_str(), Attr)) {
        Fail();
        return false;
    }
    return true;
}

bool FindFirstExists(const std::string& Name)
{
    auto w = PathW(Name);
    if (!w) return false;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(w->c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        Fail();
        return false;
    }
    FindClose(h);
    return true;
}

bool NameAllowed(const std::string& Step, bool Folder)
{
    const auto w = Widen(Step);
    if (!w || w->empty()) {
        Fail(ERROR_INVALID_NAME);
        return false;
    }
    for (const wchar_t c : *w) {
        if (c < 0x20 || std::wcschr(L"<>:\"|?*/\\", c)) {
            Fail(ERROR_INVALID_NAME);
            return false;
        }
    }
    // The system drops a file's trailing dots and spaces; a name that is nothing else
    // names no file, and a folder's name must stay as it was made.
    const size_t last = w->find_last_not_of(L". ");
    if (last == std::wstring::npos || (Folder && last + 1 != w->size())) {
        Fail(ERROR_INVALID_NAME);
        return false;
    }
    if (last + 1 > 255) {
        Fail(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

bool FileNamesExact() { return false; }

std::string FileNameKey(const std::string& Path)
{
    const auto w = Widen(Path);
    if (!w) return Path;
    std::wstring key;
    key.reserve(w->size());
    for (size_t i = 0; i <= w->size();) {
        const size_t j = std::min(w->find_first_of(L"\\/", i), w->size());
        std::wstring_view step(w->data() + i, j - i);
        const size_t last = step.find_last_not_of(L". ");
        if (last != std::wstring_view::npos) step = step.substr(0, last + 1);
        key.append(step);
        if (j < w->size()) key += L'\\';
        i = j + 1;
    }
    // The file systems of Windows compare names by their upper-case forms.
    if (!key.empty()) {
        const int n = static_cast<int>(key.size());
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, key.data(), n, key.data(), n);
    }
    return Narrow(key);
}

bool DeviceNamesReserved() { return true; }

namespace {

// The volume and file ID of an existing file or folder; false when it cannot be opened.
bool FileId(const std::string& Name, BY_HANDLE_FILE_INFORMATION& Info)
{
    auto w = PathW(Name);
    if (!w) return false;
    HANDLE h = CreateFileW(w->c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &Info) != 0;
    CloseHandle(h);
    return ok;
}

} // namespace

bool SameFile(const std::string& A, const std::string& B)
{
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    return FileId(A, a) && FileId(B, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool DeleteFileName(const std::string& Name)
{
    auto w = PathW(Name);
    if (!w) return false;
    if (!DeleteFileW(w->c_str())) {
        Fail();
        return false;
    }
    return true;
}

bool MoveFileName(const std::string& From, const std::string& To)
{
    auto from = PathW(From);
    if (!from) return false;
    auto to = PathW(To);
    if (!to) return false;
    if (!MoveFileW(from->c_str(), to->c_str())) {
        Fail();
        return false;
    }
    return true;
}

std::string FullPath(const std::string& Name)
{
    if (Name.empty()) return CurrentDir();
    auto w = Widen(Name);
    if (!w) {
        Fail(ERROR_INVALID_NAME);
        return {};
    }
    auto full = FullPathW(*w);
    if (!full) {
        Fail();
        return {};
    }
    return Narrow(*full);
}

bool CreateDir(const std::string& Name)
{
    auto w = PathW(Name);
    if (!w) return false;
    if (!CreateDirectoryW(w->c_str(), nullptr)) {
        Fail();
        return false;
    }
    return true;
}

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
TFolderState TOutputTree::Folder(const std::string& Rel, bool Make)
{
    if (FReady && Rel == FFolder) return TFolderState::Ready;
    FReady = false;
    // The destination is the user's choice: a reparse point there is followed.
    const int64_t root = GetAttributes(FRoot);
    if (root < 0) return NotFound(tLastError) ? TFolderState::Missing : TFolderState::Failed;
    if (!(root & faDirectory)) {
        Fail(ERROR_DIRECTORY);
        return TFolderState::Failed;
    }
    std::string path = FRoot;
    for (size_t i = 0; i < Rel.size();) {
        const size_t j = std::min(Rel.find_first_of("\\/", i), Rel.size());
        const std::string step = Rel.substr(i, j - i);
        i = j + 1;
        if (step.empty()) continue;
        path += step;
        int64_t a = GetAttributes(path);
        if (a < 0 && Make && NotFound(tLastError) &&
            (CreateDir(path) || tLastError == ERROR_ALREADY_EXISTS))
            a = GetAttributes(path);
        if (a < 0) return NotFound(tLastError) ? TFolderState::Missing : TFolderState::Failed;
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
        return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
        Fail();
        return false;
    }
    // GetFileAttributesW looks at a reparse point in the name's place itself. A name
    // that is taken but shows no attributes (a link to nothing, as Wine shows one) is
    // replaced like a link.
    const DWORD a = GetFileAttributesW(w->c_str());
    if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_REPARSE_POINT) &&
        ((a & FILE_ATTRIBUTE_DIRECTORY) || ((a & FILE_ATTRIBUTE_READONLY) && !ReplaceReadOnly))) {
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
// reparse point) and set again afterwards, so that a file this name shared with
// another folder (a hard link) keeps its attributes.
bool ReplaceName(const std::wstring& From, const std::wstring& To, bool ReplaceReadOnly)
{
    const DWORD a = GetFileAttributesW(To.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (a & FILE_ATTRIBUTE_DIRECTORY) && !RemoveDirectoryW(To.c_str()))
        return false;
    HANDLE old = INVALID_HANDLE_VALUE;
    if (a != INVALID_FILE_ATTRIBUTES && ReplaceReadOnly && (a & FILE_ATTRIBUTE_READONLY) &&
        !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        old = CreateFileW(To.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                          nullptr);
        if (old != INVALID_HANDLE_VALUE) SetHandleAttributes(old, a & ~FILE_ATTRIBUTE_READONLY);
    }
    const bool moved = MoveFileExW(From.c_str(), To.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    const DWORD e = GetLastError();
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

bool TOutputTree::Link(const std::string&, const std::string&, bool)
{
    Fail(ERROR_ACCESS_DENIED);
    return false;
}

bool TOutputTree::SetFolder(const std::string& Leaf, uint32_t /*Mode*/, const TFileTime& Time)
{
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
    ok = ok && FileSetTime(reinterpret_cast<THandle>(h), Time);
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

std::string CurrentDir()
{
    auto dir = Ask([](DWORD size, wchar_t* buf) { return GetCurrentDirectoryW(size, buf); });
    if (!dir) {
        Fail();
        return {};
    }
    // "C:\" keeps its separator: "C:" alone names the drive's current folder instead.
    if (dir->size() > 3 && dir->back() == L'\\') dir->pop_back();
    return Narrow(*dir);
}

std::string TempPath()
{
    auto dir = Ask([](DWORD size, wchar_t* buf) { return GetTempPathW(size, buf); });
    if (!dir) {
        Fail();
        return {};
    }
    return Narrow(*dir);
}

std::string TempFileName(const std::string& Dir, const std::string& Prefix)
{
    auto dir = Widen(Dir.empty() ? std::string(".") : Dir);
    auto prefix = Widen(Prefix);
    if (!dir || !prefix) {
        Fail(ERROR_INVALID_NAME);
        return {};
    }
    // The system takes the folder with room for the 14 characters it appends.
    wchar_t name[MAX_PATH];
    if (!GetTempFileNameW(dir->c_str(), prefix->c_str(), 0, name)) {
        Fail();
        return {};
    }
    return Narrow(name);
}

bool DiskSpace(const std::string& Path, int64_t& Free, int64_t& Total)
{
    // The call wants a folder; a share in particular needs its trailing separator.
    std::string dir = Path;
    if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
    std::optional<std::wstring> w;
    if (!dir.empty()) {
        w = PathW(dir);
        if (!w) return false;
    }
    ULARGE_INTEGER avail, total, totalFree;
    if (!GetDiskFreeSpaceExW(w ? w->c_str() : nullptr, &avail, &total, &totalFree)) {
        Fail();
        return false;
    }
    Free = static_cast<int64_t>(avail.QuadPart);
    Total = static_cast<int64_t>(total.QuadPart);
    return true;
}

uint32_t TickCount() { return GetTickCount(); }

uint32_t LocalDosTime()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    return PackDos(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

int32_t TimeZoneBias()
{
    TIME_ZONE_INFORMATION tz;
    switch (GetTimeZoneInformation(&tz)) {
    case TIME_ZONE_ID_STANDARD: return tz.Bias + tz.StandardBias;
    case TIME_ZONE_ID_DAYLIGHT: return tz.Bias + tz.DaylightBias;
    case TIME_ZONE_ID_INVALID: Fail(); return 0;
    default: return tz.Bias;
    }
}

uint32_t LastError() { return tLastError; }

std::string ErrorText(uint32_t Code)
{
    wchar_t buf[1024];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             Code, 0, buf, static_cast<DWORD>(std::size(buf)), nullptr);
    // The system's texts end in a line break.
    while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' '))
        --n;
    if (n == 0) return "Error " + std::to_string(Code);
    return Narrow(std::wstring_view(buf, n));
}

void BinaryStandardOutput()
{
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

bool IsTerminal(int Stream)
{
    // The runtime calls the NUL device a character device too; only a console answers
    // GetConsoleMode.
    DWORD mode;
    return Stream >= 0 && Stream <= 2 && _isatty(Stream) &&
           GetConsoleMode(StdHandle(Stream), &mode);
}

int TerminalWidth()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(StdHandle(2), &info)) {
        const int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width > 0) return width;
    }
    return 80;
}

namespace {

std::string CodePageToUtf8(UINT CodePage, std::string_view Text)
{
    if (Text.empty() || Text.size() > INT_MAX / 2) return {};
    const int size = static_cast<int>(Text.size());
    const int n = MultiByteToWideChar(CodePage, 0, Text.data(), size, nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CodePage, 0, Text.data(), size, w.data(), n);
    return Narrow(w);
}

} // namespace

std::string OemToUtf8(std::string_view Name) { return CodePageToUtf8(CP_OEMCP, Name); }

namespace {

// The number of a code page as users give it; 0 when the name is not one.
UINT CodePageNumber(const std::string& Name)
{
    std::string n;
    for (const char c : Name) n += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (n == "GBK") return 936;
    if (n == "BIG5") return 950;
    if (n == "SJIS" || n == "SHIFT_JIS") return 932;
    if (n == "UTF-8" || n == "UTF8") return CP_UTF8;
    if (n.rfind("CP", 0) == 0) n.erase(0, 2);
    if (n.empty() || n.size() > 5 || n.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return static_cast<UINT>(std::stoul(n));
}

} // namespace

bool CodePageKnown(const std::string& Name)
{
    const UINT cp = CodePageNumber(Name);
    return cp != 0 && IsValidCodePage(cp);
}

std::string CodePageToUtf8(std::string_view Text, const std::string& CodePage)
{
    const UINT cp = CodePageNumber(CodePage);
    if (Text.empty() || Text.size() > INT_MAX / 2) return {};
    const int size = static_cast<int>(Text.size());
    if (cp != 0 && MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, Text.data(), size, nullptr, 0) > 0)
        return CodePageToUtf8(cp, Text);
    // Not a valid text of that code page: the bytes outside ASCII are kept as "%XX".
    std::string out;
    for (const unsigned char c : Text) {
        char esc[4];
        std::snprintf(esc, sizeof esc, "%%%02X", c);
        out += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(esc);
    }
    return out;
}

std::string AnsiToUtf8(std::string_view Text) { return CodePageToUtf8(CP_ACP, Text); }

std::string Utf16ToUtf8(std::u16string_view Text)
{
    // wchar_t is UTF-16 here; the copy keeps the two character types apart. Without
    // WC_ERR_INVALID_CHARS the conversion turns a lone surrogate into U+FFFD.
    return Narrow(std::wstring(Text.begin(), Text.end()));
}

// Without a console (output redirected, started detached) both code pages read as 0
// and there is nothing to switch or restore.
TUtf8ConsoleGuard::TUtf8ConsoleGuard() : FOutput(GetConsoleOutputCP()), FInput(GetConsoleCP())
{
    if (FOutput) SetConsoleOutputCP(CP_UTF8);
    if (FInput) SetConsoleCP(CP_UTF8);
}

TUtf8ConsoleGuard::~TUtf8ConsoleGuard()
{
    if (FOutput) SetConsoleOutputCP(FOutput);
    if (FInput) SetConsoleCP(FInput);
}

TEchoOffGuard::TEchoOffGuard()
{
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;
    FMode = mode;
    FSaved = true;
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
}

TEchoOffGuard::~TEchoOffGuard()
{
    if (FSaved) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), static_cast<DWORD>(FMode));
}

// The thread's own error mode, not the process's: another thread extracting at the same
// time must not see its mode switched back under it. The flag is added to whatever the
// thread already had.
TCriticalErrorGuard::TCriticalErrorGuard() : FPrevious(0)
{
    DWORD previous = 0;
    if (SetThreadErrorMode(GetThreadErrorMode() | SEM_FAILCRITICALERRORS, &previous))
        FPrevious = previous;
    else
        FPrevious = GetThreadErrorMode();
}

TCriticalErrorGuard::~TCriticalErrorGuard() { SetThreadErrorMode(FPrevious, nullptr); }

// ---------------------------------------------------------------------------------
// Drive and volume facts, and the Retry/Cancel box shown when a volume cannot be queried.

namespace {

// "C:" and "\\server\share" name a volume; the APIs want them with a trailing "\".
std::wstring RootW(const std::string& Root)
{
    std::wstring w = Widen(Root).value_or(std::wstring());
    if (!w.empty() && w.back() != L'\\') w += L'\\';
    return w;
}

} // namespace

std::string VolumeRoot(const std::string& Path)
{
    if (Path.size() >= 2 && Path[1] == ':') return Path.substr(0, 2);
    if (Path.size() > 2 && Path[0] == '\\' && Path[1] == '\\') {
        // \\server\share: the share is the volume.
        const size_t server = Path.find('\\', 2);
        if (server == std::string::npos) return Path;
        const size_t share = Path.find('\\', server + 1);
        return share == std::string::npos ? Path : Path.substr(0, share);
    }
    const std::string cur = CurrentDir();
    return cur.size() >= 2 && cur[1] == ':' ? cur.substr(0, 2) : VolumeRoot(cur + "\\x");
}

uint8_t DriveType(const std::string& Root)
{
    if (Root.empty()) return DriveNoRoot;
    return static_cast<uint8_t>(GetDriveTypeW(RootW(Root).c_str()));
}

bool DriveReady(const std::string& Root)
{
    TCriticalErrorGuard quiet;
    ULARGE_INTEGER avail{}, total{}, free{};
    return !Root.empty() && GetDiskFreeSpaceExW(RootW(Root).c_str(), &avail, &total, &free) != 0;
}

bool DriveWriteProtected(const std::string& Root)
{
    // Only a real write tells: make a file in the root and remove it again.
    TCriticalErrorGuard quiet;
    wchar_t name[MAX_PATH + 1] = {};
    if (GetTempFileNameW(RootW(Root).c_str(), L"qvr", 0, name) == 0)
        return GetLastError() == ERROR_WRITE_PROTECT;
    return DeleteFileW(name) == 0;
}

bool VolumeInformation(const std::string& Root, TVolumeFacts& Facts)
{
    TCriticalErrorGuard quiet;
    wchar_t label[257] = {}, fs[257] = {};
    DWORD serial = 0, maxLen = 0, flags = 0;
    if (!GetVolumeInformationW(RootW(Root).c_str(), label, 256, &serial, &maxLen, &flags, fs, 256))
        return false;
    Facts.Label = Narrow(label);
    Facts.FileSystem = Narrow(fs);
    Facts.Serial = serial;
    Facts.MaxComponentLength = maxLen;
    Facts.FileSystemFlags = flags;
    return true;
}

uint8_t FloppyBiosType(char Letter)
{
    // The VWIN32 device exists only on the Windows 9x family; elsewhere the open fails
    // and the type is unknown. Interrupt 13h function 08h returns the drive type in BL.
    struct TDiocRegisters {
        DWORD Ebx, Edx, Ecx, Eax, Edi, Esi, Flags;
    };
    constexpr DWORD DiocDosInt13 = 4;
    HANDLE h = CreateFileW(L"\\\\.\\VWIN32", 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    TDiocRegisters regs{};
    regs.Eax = 0x0800;
    regs.Edx = static_cast<DWORD>((Letter & ~0x20) - 'A');
    DWORD got = 0;
    const BOOL ok = DeviceIoControl(h, DiocDosInt13, &regs, sizeof regs, &regs, sizeof regs, &got,
                                    nullptr);
    CloseHandle(h);
    if (!ok || (regs.Flags & 1)) return 0;
    return (regs.Ebx & 0xFF) >= 3 ? 7 : 8;
}

bool AskRetry(const std::string& Caption, const std::string& Text)
{
    return MessageBoxW(nullptr, Widen(Text).value_or(L"").c_str(), Widen(Caption).value_or(L"").c_str(),
                       MB_RETRYCANCEL | MB_ICONSTOP | MB_TASKMODAL) == IDRETRY;
}


} // namespace qvrOS

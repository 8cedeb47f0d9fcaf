// Win32 platform layer: files by name and by handle, their times and attributes, paths,
// and temporary files.
//
// Every name goes to the "W" entry points through PathW, which takes long names to the
// extended form; names refused there fail with ERROR_INVALID_NAME before any call.
#include "qvrWin32Internal.h"

#include <algorithm>
#include <cwchar>
#include <optional>
#include <string>

namespace qvrOS {

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

THandle FileReopenForReading(THandle H)
{
    // A handle of its own keeps its own file pointer, which FileReadAt moves and puts
    // back: no other thread's reads can meet it.
    HANDLE h = ReOpenFile(Native(H), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (h == INVALID_HANDLE_VALUE) {
        Fail();
        return InvalidHandle;
    }
    return reinterpret_cast<THandle>(h);
}

// The hint is given when a file is opened (FILE_FLAG_SEQUENTIAL_SCAN) or not at all.
void FileAdviseSequential(THandle) {}

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

bool NameAllowed(std::string_view Step, bool Folder)
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

std::string HostPath(std::string Path) { return Path; }

void MakeHostPath(std::string&) {}

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

} // namespace qvrOS

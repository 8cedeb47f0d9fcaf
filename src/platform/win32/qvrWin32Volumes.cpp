// Win32 platform layer: volumes and drives: disk space, the root of a path's volume, the
// drive type, label and file system of a volume, the floppy BIOS type, and the
// Retry/Cancel box shown when a volume cannot be queried. Critical errors are turned off
// around each query, so that a drive without a disk fails instead of asking the user.
#include "qvrWin32Internal.h"

#include <string>

namespace qvrOS {

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

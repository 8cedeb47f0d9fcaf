// Drive and volume facts on Windows: drive letters and shares, their type, label and
// readiness, and the Retry/Cancel box shown when a volume cannot be queried.
#include "qvrPlatform.h"

#include <windows.h>

#include <string>

namespace qvrOS {

namespace {

std::wstring Wide(const std::string& S)
{
    if (S.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), w.data(), n);
    return w;
}

std::string Utf8(const wchar_t* W)
{
    const std::wstring_view v(W);
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(v.data()), v.size()));
}

// "C:" and "\\server\share" name a volume; the APIs want them with a trailing "\".
std::wstring RootW(const std::string& Root)
{
    std::wstring w = Wide(Root);
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
    Facts.Label = Utf8(label);
    Facts.FileSystem = Utf8(fs);
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
    return MessageBoxW(nullptr, Wide(Text).c_str(), Wide(Caption).c_str(),
                       MB_RETRYCANCEL | MB_ICONSTOP | MB_TASKMODAL) == IDRETRY;
}

} // namespace qvrOS

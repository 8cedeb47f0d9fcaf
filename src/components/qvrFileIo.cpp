#include "qvrFileIo.h"

#include "qvrGbls.h"
#include "qvrMessages.h"
#include "qvrPlatform.h"

#include <cstdio>
#include <exception>

namespace {

// Short names of the drive types, indexed by type (7 and 8 are the floppy kinds); the
// fractions are single bytes of code page 1252, here in UTF-8.
const char* const DriveTypeNames[] = {"Unknown", "None", "Floppy", "Fixed", "Network",
                                      "CD-ROM", "RAM", "3\u00BD Floppy", "5\u00BC Floppy"};

} // namespace

std::string TDiskManager::DriveTypeName(uint8_t Type)
{
    return Type < std::size(DriveTypeNames) ? DriveTypeNames[Type] : DriveTypeNames[0];
}

bool TDiskManager::IsDriveReady(const std::string& Root) { return qvrOS::DriveReady(Root); }

bool TDiskManager::IsWriteProtected(const std::string& Root)
{
    return qvrOS::DriveWriteProtected(Root);
}

uint8_t TDiskManager::FloppyType(const std::string& Root)
{
    return Root.size() >= 2 && Root[1] == ':' ? qvrOS::FloppyBiosType(Root[0]) : 0;
}

void TDiskManager::Report(int32_t Code)
{
    if (FEvents.OnReportError) FEvents.OnReportError(FRoot, "0", Code, "0");
}

bool TDiskManager::WaitFor(const std::function<bool()>& Test, const TDiskQuery& Query,
                           int32_t NoHandlerCode)
{
    while (!Test()) {
        if (!Query) {
            Report(NoHandlerCode);
            return false;
        }
        bool cancel = true;
        Query(*this, cancel);
        if (cancel) {
            Report(E_USERCANCELED);
            return false;
        }
    }
    return true;
}

bool TDiskManager::GetDiskInfo(const std::string& Path, const TDiskEvents& Events)
{
    FEvents = Events;
    try {
        FRoot = qvrOS::VolumeRoot(Path);
        if (!IsUNCPath(Path)) {
            if (!WaitFor([&] { return IsDriveReady(FRoot); }, FEvents.OnNotReady,
                         E_NOTACCESSIBLE))
                return false;
            if (FEvents.OnWriteProtected &&
                !WaitFor([&] { return !IsWriteProtected(FRoot); }, FEvents.OnWriteProtected,
                         E_WRITEPROTECTED))
                return false;
        }
        qvrOS::TVolumeFacts facts;
        while (!qvrOS::VolumeInformation(FRoot, facts)) {
            std::string root = FRoot;
            for (char& c : root) c = AsciiToUpper(c);
            if (root.empty() || root.back() != '\\') root += '\\';
            const std::string text = root + MessageText(E_NOTACCESSIBLE) + "\n\n" +
                                     qvrOS::ErrorText(qvrOS::LastError());
            if (!qvrOS::AskRetry("Unspool", text)) {
                Report(E_NOTACCESSIBLE);
                return false;
            }
        }
        FVolumeLabel = facts.Label;
        if (!ParsePkBackNumber(FVolumeLabel, FPkBackNumber)) return false;
        FSerial = facts.Serial;
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(facts.Serial));
        FSerialHex = hex;
        FMaxComponentLength = facts.MaxComponentLength;
        FFileSystem = facts.FileSystem;
        FDriveType = FRoot.empty() ? qvrOS::DriveNoRoot : qvrOS::DriveType(FRoot);
        if (FDriveType == qvrOS::DriveNoRoot) {
            Report(E_NOTACCESSIBLE);
            return false;
        }
        // A share has no drive letter to ask for its space.
        if (!(FDriveType == qvrOS::DriveRemote && !HasDrive(FRoot)))
            qvrOS::DiskSpace(FRoot, FFreeBytes, FTotalBytes);
        FFloppyType = 0;
        FDriveTypeName = DriveTypeName(FDriveType);
        if (FDriveType == qvrOS::DriveRemovable) {
            FFloppyType = FloppyType(FRoot);
            FDriveTypeName = DriveTypeName(FFloppyType);
        }
        FFileSysFlags = facts.FileSystemFlags;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool ParsePkBackNumber(const std::string& Label, uint16_t& Number)
{
    Number = 0;
    const std::string delim = "PKBACK# ";
    const size_t at = Label.rfind(delim);
    if (at == std::string::npos) return true;
    const std::string text = Label.substr(at + delim.size());
    if (text.empty()) return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > 0xFFFF) return false;
    }
    Number = static_cast<uint16_t>(v);
    return true;
}

uint32_t FileDosTime(std::intptr_t Handle, int Kind) { return qvrOS::FileGetDosTime(Handle, Kind); }

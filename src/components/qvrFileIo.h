// Drive and volume facts about the place an archive lives: whether the drive is ready,
// its type, its volume label, and the disk number a spanned set's label carries
// ("PKBACK# nnn"). A set of disks spanned over removable media is told from a set of
// numbered files by these facts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TDiskCommon;

using TDiskQuery = std::function<void(TDiskCommon& Sender, bool& Cancel)>;
using TDiskReport = std::function<void(const std::string& FileName,
                                       const std::string& ExtendedMsg, int32_t ECode,
                                       const std::string& VolumeID)>;

// The handlers a disk query asks and reports through; each may be empty.
struct TDiskEvents {
    // The drive is not ready: set Cancel to false to test again.
    TDiskQuery OnNotReady;
    // The disk is write-protected: set Cancel to false to test again. Only a caller
    // that will write to the disk binds it; reading needs no write access, so without
    // it write protection is not tested at all.
    TDiskQuery OnWriteProtected;
    TDiskReport OnReportError;
    TDiskReport OnRaiseError;
};

class TDiskCommon {
public:
    virtual ~TDiskCommon() = default;

protected:
    TDiskEvents FEvents;
};

class TDiskManager : public TDiskCommon {
public:
    // Fills the facts for the drive holding Path (the current directory's drive when
    // Path names none), asking Events while the drive is not ready. False when the
    // facts cannot be had; every failure but a malformed disk label is reported.
    bool GetDiskInfo(const std::string& Path, const TDiskEvents& Events = {});

    static bool IsDriveReady(const std::string& Root);
    static bool IsWriteProtected(const std::string& Root);
    // 7 (3.5-inch) or 8 (5.25-inch) for a floppy drive whose BIOS type can be read, else 0.
    static uint8_t FloppyType(const std::string& Root);
    // The name of a drive type (or of a floppy type, 7 and 8).
    static std::string DriveTypeName(uint8_t Type);

    uint32_t FFileSysFlags = 0;
    std::string FDriveTypeName;
    std::string FSerialHex;
    uint32_t FSerial = 0;
    std::string FFileSystem;
    uint8_t FFloppyType = 0;
    uint16_t FPkBackNumber = 0;
    std::string FVolumeLabel;
    std::string FRoot;
    uint8_t FDriveType = 0; // 2 removable, 3 fixed, 4 remote, ...
    int64_t FFreeBytes = 0;
    int64_t FTotalBytes = 0;
    uint32_t FMaxComponentLength = 0;

private:
    // Repeats Test while it fails and Query lets it; reports NoHandlerCode when there is
    // no handler, and "User canceled" when the handler gives up.
    bool WaitFor(const std::function<bool()>& Test, const TDiskQuery& Query, int32_t NoHandlerCode);
    void Report(int32_t Code);
};

// The number after "PKBACK# " in a volume label: 0 when the label has no such part.
// False when the text after the last "PKBACK# " is not a number (empty, letters, or
// too large for 16 bits).
bool ParsePkBackNumber(const std::string& Label, uint16_t& Number);

// A creation (Kind 0), last-write (1) or last-access (2) time of an open file as a
// local DOS date-time; 0 when unknown.
uint32_t FileDosTime(std::intptr_t Handle, int Kind);

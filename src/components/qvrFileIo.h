// Drive and volume facts about the place an archive lives: whether a set of disks is
// spanned over removable media (volume labels "PKBACK# nnn") or split into numbered
// files on a fixed drive.
#pragma once

#include <cstdint>
#include <string>

class TDiskManager {
public:
    // Fills the facts for the drive holding Path; false when they cannot be had.
    bool GetDiskInfo(const std::string& Path);

    uint8_t FDriveType = 0;      // 2 removable, 3 fixed, 4 remote, ...
    std::string FDriveTypeName;
    std::string FVolumeLabel;
    uint16_t FPkBackNumber = 0;
    int64_t FFreeBytes = 0;
    int64_t FTotalBytes = 0;
};

// The number after "PKBACK# " in a volume label, 0 when there is none.
uint16_t PkBackNumber(const std::string& Label);

#include "qvrFileIo.h"

#include "qvrGbls.h"
#include "qvrPlatform.h"

bool TDiskManager::GetDiskInfo(const std::string& Path)
{
    // Removable media with volume labels are not reachable through the platform layer
    // yet: every archive lives on a fixed drive.
    FDriveType = 3;
    FDriveTypeName = "Fixed";
    FVolumeLabel.clear();
    FPkBackNumber = 0;
    qvrOS::DiskSpace(ExtractFilePath(Path), FFreeBytes, FTotalBytes);
    return true;
}

uint16_t PkBackNumber(const std::string& Label)
{
    const std::string delim = "PKBACK# ";
    if (Label.find(delim) == std::string::npos) return 0;
    std::string s = Label, last;
    while (!s.empty()) last = SplitAt(s, delim);
    if (last.empty()) return 0;
    unsigned v = 0;
    for (char c : last) {
        if (c < '0' || c > '9') return 0;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > 0xFFFF) return 0;
    }
    return static_cast<uint16_t>(v);
}

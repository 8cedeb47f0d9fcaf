// POSIX platform layer: volumes and drives: disk space, the root of a path's volume, the
// drive type, label and file system of a volume.
//
// There are no drive letters: the "root" of a path is the mount point of the file system
// that holds it. The drive type comes from the file system's kind (network, optical,
// memory) and, for block devices, from the kernel's removable flag; the label from the
// udev links under /dev/disk/by-label, the only label source that needs no privileges.
// There is no Retry/Cancel box, no floppy BIOS to ask and no critical-error mode.
#include "qvrPosixInternal.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <string>

namespace qvrOS {

bool DiskSpace(const std::string& Path, int64_t& Free, int64_t& Total)
{
    struct statvfs s {};
    std::string p = ToNative(Path);
    if (p.empty()) p = ".";
    if (::statvfs(p.c_str(), &s) != 0) {
        Fail();
        return false;
    }
    Free = static_cast<int64_t>(s.f_bavail) * static_cast<int64_t>(s.f_frsize);
    Total = static_cast<int64_t>(s.f_blocks) * static_cast<int64_t>(s.f_frsize);
    return true;
}

TCriticalErrorGuard::TCriticalErrorGuard() : FPrevious(0) {}
TCriticalErrorGuard::~TCriticalErrorGuard() = default;

namespace {

// A root as a native path; the current folder when empty.
std::string NativeRoot(const std::string& S) { return S.empty() ? std::string(".") : ToNative(S); }

// File system magic numbers (statfs f_type) that decide the drive type.
struct TFsKind {
    unsigned long Magic;
    const char* Name;
    uint8_t Type;
};
constexpr TFsKind FsKinds[] = {
    {0x6969, "nfs", DriveRemote},          {0x517B, "smb", DriveRemote},
    {0xFF534D42, "cifs", DriveRemote},     {0xFE534D42, "smb2", DriveRemote},
    {0x01021997, "9p", DriveRemote},       {0x5346414F, "afs", DriveRemote},
    {0x73757245, "coda", DriveRemote},     {0x9660, "iso9660", DriveCdRom},
    {0x15013346, "udf", DriveCdRom},       {0x01021994, "tmpfs", DriveRamDisk},
    {0x858458F6, "ramfs", DriveRamDisk},   {0xEF53, "ext4", DriveFixed},
    {0x58465342, "xfs", DriveFixed},       {0x9123683E, "btrfs", DriveFixed},
    {0x4D44, "vfat", DriveFixed},          {0x2011BAB0, "exfat", DriveFixed},
    {0x5346544E, "ntfs", DriveFixed},      {0x794C7630, "overlay", DriveFixed},
    {0x65735546, "fuse", DriveFixed},
};

const TFsKind* KindOf(const std::string& Native)
{
    struct statfs s {};
    if (::statfs(Native.c_str(), &s) != 0) return nullptr;
    for (const TFsKind& k : FsKinds)
        if (static_cast<unsigned long>(s.f_type) == k.Magic) return &k;
    return nullptr;
}

// The kernel's removable flag of the block device behind Dev (a partition takes its
// disk's flag).
bool RemovableDevice(dev_t Dev)
{
    const std::string base =
        "/sys/dev/block/" + std::to_string(major(Dev)) + ":" + std::to_string(minor(Dev));
    for (const char* rel : {"/removable", "/../removable"}) {
        if (FILE* f = std::fopen((base + rel).c_str(), "r")) {
            const int c = std::fgetc(f);
            std::fclose(f);
            return c == '1';
        }
    }
    return false;
}

// udev escapes the characters of a label that do not belong in a file name as \xHH.
std::string UnescapeLabel(const std::string& S)
{
    std::string out;
    for (size_t i = 0; i < S.size(); ++i) {
        if (S[i] == '\\' && i + 3 < S.size() && S[i + 1] == 'x') {
            const std::string hex = S.substr(i + 2, 2);
            char* end = nullptr;
            const long v = std::strtol(hex.c_str(), &end, 16);
            if (end == hex.c_str() + 2) {
                out += static_cast<char>(v);
                i += 3;
                continue;
            }
        }
        out += S[i];
    }
    return out;
}

std::string LabelOf(dev_t Dev)
{
    DIR* d = ::opendir("/dev/disk/by-label");
    if (!d) return {};
    std::string label;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        struct stat st {};
        const std::string link = std::string("/dev/disk/by-label/") + e->d_name;
        if (::stat(link.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == Dev) {
            label = UnescapeLabel(e->d_name);
            break;
        }
    }
    ::closedir(d);
    return label;
}

} // namespace

std::string VolumeRoot(const std::string& Path)
{
    // Climb from the path's folder while the device stays the same: the last folder on
    // it is the mount point.
    std::string p = NativeRoot(FullPath(Path.empty() ? std::string(".") : Path));
    struct stat st {};
    while (::stat(p.c_str(), &st) != 0 && p != "/") {
        const size_t cut = p.find_last_of('/');
        p = cut == 0 || cut == std::string::npos ? "/" : p.substr(0, cut);
    }
    const dev_t dev = st.st_dev;
    while (p != "/") {
        const size_t cut = p.find_last_of('/');
        const std::string up = cut == 0 || cut == std::string::npos ? "/" : p.substr(0, cut);
        struct stat ust {};
        if (::stat(up.c_str(), &ust) != 0 || ust.st_dev != dev) break;
        p = up;
    }
    return FromNative(p);
}

uint8_t DriveType(const std::string& Root)
{
    if (Root.empty()) return DriveNoRoot;
    const std::string native = NativeRoot(Root);
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) return DriveNoRoot;
    if (const TFsKind* k = KindOf(native); k && k->Type != DriveFixed) return k->Type;
    return RemovableDevice(st.st_dev) ? DriveRemovable : DriveFixed;
}

bool DriveReady(const std::string& Root)
{
    struct statvfs s {};
    return !Root.empty() && ::statvfs(NativeRoot(Root).c_str(), &s) == 0;
}

bool DriveWriteProtected(const std::string& Root)
{
    struct statvfs s {};
    return !Root.empty() && ::statvfs(NativeRoot(Root).c_str(), &s) == 0 && (s.f_flag & ST_RDONLY);
}

bool VolumeInformation(const std::string& Root, TVolumeFacts& Facts)
{
    const std::string native = NativeRoot(Root);
    struct statvfs v {};
    struct stat st {};
    if (Root.empty() || ::statvfs(native.c_str(), &v) != 0 || ::stat(native.c_str(), &st) != 0)
        return false;
    Facts = {};
    Facts.Serial = static_cast<uint32_t>(v.f_fsid);
    Facts.MaxComponentLength = static_cast<uint32_t>(v.f_namemax);
    if (const TFsKind* k = KindOf(native)) Facts.FileSystem = k->Name;
    Facts.Label = LabelOf(st.st_dev);
    return true;
}

uint8_t FloppyBiosType(char) { return 0; }

bool AskRetry(const std::string&, const std::string&) { return false; }

} // namespace qvrOS

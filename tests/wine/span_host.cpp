// A host that extracts a set spanned over removable disks, the way a user swaps disks
// in a drive: each disk image is a folder (disk1, disk2, ...) whose files the handlers
// copy onto the drive when the component asks for that disk.
//
//   span_host <archive on the drive> <folder of disk images> <destination>
//
// Prints the archive type, every disk request, every report and the file count.
#include "qvrPlatform.h"
#include "qvrUnZip.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Narrow(const std::wstring& W)
{
    return qvrOS::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(W.data()), W.size()));
}

// Empties the drive's root and copies the image's files onto it.
bool InsertDisk(const std::wstring& Root, const std::wstring& Image)
{
    WIN32_FIND_DATAW f;
    HANDLE h = FindFirstFileW((Root + L"*").c_str(), &f);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((Root + f.cFileName).c_str());
        } while (FindNextFileW(h, &f));
        FindClose(h);
    }
    h = FindFirstFileW((Image + L"\\*").c_str(), &f);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        if (!(f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ok &= CopyFileW((Image + L"\\" + f.cFileName).c_str(), (Root + f.cFileName).c_str(), FALSE) != 0;
    } while (FindNextFileW(h, &f));
    FindClose(h);
    return ok;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: span_host ARCHIVE IMAGES DEST\n");
        return 3;
    }
    const std::string archive = Narrow(argv[1]);
    const std::wstring root = std::wstring(argv[1]).substr(0, 3); // "R:\"
    const std::wstring images = argv[2];
    int disks = 0;
    while (GetFileAttributesW((images + L"\\disk" + std::to_wstring(disks + 1)).c_str()) !=
           INVALID_FILE_ATTRIBUTES)
        ++disks;
    // A disk asked for again right after it was inserted is not the one wanted: give up
    // rather than swap forever.
    int last = 0, repeats = 0;
    auto insert = [&](int Disk, bool& Cancel) {
        repeats = Disk == last ? repeats + 1 : 0;
        last = Disk;
        wchar_t label[64] = {};
        GetVolumeInformationW(root.c_str(), label, 64, nullptr, nullptr, nullptr, nullptr, 0);
        std::printf("disk %d (drive holds %s)\n", Disk, Narrow(label).c_str());
        Cancel = repeats > 2 || Disk < 1 || Disk > disks ||
                 !InsertDisk(root, images + L"\\disk" + std::to_wstring(Disk));
    };

    TUnZip z;
    z.ArchiveFile(archive);
    std::printf("type %s\n", ArcTypeName(z.ArcType()));
    z.ExtractDir(Narrow(argv[3]));
    z.FileSpec({"*.*"});
    z.OnGetZipLastDisk = [&](TZipCommon&, bool& Cancel) { insert(disks, Cancel); };
    z.OnGetZipFirstDisk = [&](TZipCommon&, bool& Cancel) { insert(1, Cancel); };
    z.OnGetZipNextDisk = [&](TZipCommon&, const std::string& N, bool& Cancel) {
        insert(std::atoi(N.c_str()), Cancel);
    };
    bool failed = false;
    z.OnError = [&](TZipCommon&, const std::string& F, const std::string&, const std::string&,
                    int32_t Code) {
        std::printf("error %d %s\n", Code, F.c_str());
        failed = true;
    };
    z.OnEnd = [&](TZipCommon&, const std::string& F, bool Pass) {
        if (!Pass) std::printf("fails %s\n", F.c_str());
        failed |= !Pass;
    };
    const int n = z.ExtractFiles();
    std::printf("files %d\n", n);
    return failed ? 1 : 0;
}

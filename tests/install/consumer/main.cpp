// Extracts one archive with an installed TUnZip and reports what its events said.
//
//   consumer <archive> <destination>
//
// Exit status 0 when every selected file was written and passed its CRC check and no
// error was reported; the caller compares the files themselves.
#include "qvrGbls.h"
#include "qvrMessages.h"
#include "qvrPlatform.h"
#include "qvrUnZip.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: consumer <archive> <destination>\n");
        return 2;
    }
    TUnZip unzip;
    int ended = 0, passed = 0, errors = 0;
    unzip.OnEnd = [&](TZipCommon&, const std::string&, bool Pass) {
        ++ended;
        if (Pass) ++passed;
    };
    unzip.OnError = [&](TZipCommon&, const std::string& Name, const std::string& Ext,
                        const std::string&, int32_t Code) {
        ++errors;
        std::fprintf(stderr, "consumer: %s: %s (%d) %s\n", Name.c_str(),
                     MessageText(Code).c_str(), Code, Ext.c_str());
    };
    unzip.ArchiveFile(argv[1]);
    if (!IsZipWalkType(unzip.ArcType())) {
        std::fprintf(stderr, "consumer: %s: not identified as a ZIP archive\n", argv[1]);
        return 1;
    }
    unzip.ExtractDir(qvrOS::FullPath(SlashToBackslash(argv[2])));
    // The selection starts empty: a host names what it wants.
    unzip.FileSpec({"*.*"});
    const int32_t count = unzip.ExtractFiles();
    std::printf("extracted %d, ended %d, passed %d, errors %d\n", count, ended, passed,
                errors);
    return count > 0 && passed == ended && ended == count && errors == 0 ? 0 : 1;
}

// The archive walk on arbitrary bytes: identification, the end-record search, both
// walks, every decoder the dispatch reaches, output files. Whatever the input, the
// run ends normally and writes nothing outside its destination.
#include "qvrUnZip.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static const fs::path root = [] {
        std::string tmpl = (fs::temp_directory_path() / "fuzz-walk-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        return fs::path(tmpl);
    }();
    const fs::path archive = root / "in.zip";
    const fs::path out = root / "out";
    {
        std::ofstream f(archive, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
    }
    TUnZip z;
    z.ArchiveFile(archive.string());
    z.ExtractDir(out.string());
    z.FileSpec({"*.*"});
    z.Passwords({"pw"});
    z.CreateStoredDirs(true);
    z.ExtractFiles();
    // Everything written must be under out/.
    for (const auto& e : fs::directory_iterator(root))
        if (e.path() != archive && e.path() != out) std::abort();
    std::error_code ec;
    fs::remove_all(out, ec);
    return 0;
}

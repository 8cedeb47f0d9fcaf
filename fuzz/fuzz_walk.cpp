// The archive walk on arbitrary bytes, read from memory: identification, the end-record
// search, both walks, every decoder the method table reaches, output files. Whatever
// the input, the run ends normally and writes nothing outside its destination. Inputs
// of odd length are read at most 31 bytes at a time, so short reads are fuzzed too; one
// input in four is read from a file by three threads.
#include "FuzzScratch.h"
#include "qvrUnZip.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static const TFuzzScratch scratch("fuzz-walk");
    if (scratch.Path().empty()) std::abort();
    const fs::path& root = scratch.Path();
    const fs::path out = root / "out";
    const std::vector<uint8_t> bytes(Data, Data + Size);
    const int32_t maxRead = Size % 2 ? 31 : 0;
    TUnZip z;
    // One input in four is read from a file by three threads, so the workers, the
    // entries kept for their turn and the writes beside a decoder meet the same bytes.
    const fs::path file = root / "in.zip";
    if (Size % 4 == 2) {
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(Data),
                                                    static_cast<std::streamsize>(Size));
        z.ArchiveFile(file.string());
        z.Threads(3);
    } else {
        z.ArchiveSource("in.zip",
                        [&] { return std::make_unique<TMemoryStream32>(bytes, maxRead); });
    }
    z.ExtractDir(out.string());
    z.FileSpec({"*.*"});
    z.Passwords({"pw"});
    z.CreateStoredDirs(true);
    z.ExtractFiles();
    // Everything written must be under out/.
    for (const auto& e : fs::directory_iterator(root))
        if (e.path() != out && e.path() != file) std::abort();
    std::error_code ec;
    fs::remove_all(out, ec);
    return 0;
}

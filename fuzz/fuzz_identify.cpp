// Archive type identification of arbitrary bytes. Identification works on a file, so the
// input is written to one; its first byte picks the file's extension (which turns ZIP
// into JAR and feeds the volume numbering), the rest is the file. Besides crashes, hangs
// and leaks it checks what holds for every input: a ZIP-family result starts its walk
// inside the file, the header state names only known records, and identifying the same
// file again gives the same answer.
//
// Seed it with the corpus (tests/data/corpus), whose files cover every path.
#include "FuzzScratch.h"
#include "qvrUnZip.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;

const char* const Names[] = {"a.zip", "a.jar", "a.JAR", "a.exe", "a.rar", "a.r00",
                             "a.a01", "a.a1b2", "a.arj", "a",     "a.c99", "a.r99999999999"};

bool IsZipType(TArcType T)
{
    return T == atZip || T == atZipExe || T == atJar || T == atJarExe || T == atZipDS ||
           T == atZipMV;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const TFuzzScratch scratch("fuzz-identify");
    if (scratch.Path().empty() || size == 0) return 0;
    const fs::path file = scratch.Path() / Names[data[0] % (sizeof Names / sizeof *Names)];
    {
        FILE* f = std::fopen(file.c_str(), "wb");
        if (!f) return 0;
        std::fwrite(data + 1, 1, size - 1, f);
        std::fclose(f);
    }
    const int64_t length = static_cast<int64_t>(size - 1);

    TUnZip z;
    z.ArchiveFile(file.string());
    const TArcType type = z.ArcType();
    const int64_t walk = z.WalkStart();
    if (IsZipType(type) && (walk < 0 || walk >= length)) __builtin_trap();
    if (z.HeaderState().Bits & ~0x1Fu) __builtin_trap();

    z.ArcType(atNA); // re-identifies the same file
    if (z.ArcType() != type || z.WalkStart() != walk) __builtin_trap();

    std::error_code ec;
    fs::remove(file, ec);
    return 0;
}

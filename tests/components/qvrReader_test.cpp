// Reading without extracting: entries as values, and an entry's bytes into the caller's
// stream through the same checks as extraction, with no file made.
#include "TestSupport.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

using namespace test;

namespace {

// Corpus archives of several makers and methods, an encrypted one among them.
const char* const ReadableArchives[] = {"c01_infozip_store.zip", "c07_infozip_zipcrypto.zip",
                                        "gh_pkzip110_implode.zip", "gh_pkzip090_reduce3.zip"};

} // namespace

TEST(Reader, EntriesAndTheirBytesMatchTheManifest)
{
    for (const char* file : ReadableArchives) {
        SCOPED_TRACE(file);
        const TManifestRecord* r = FindManifest(file);
        ASSERT_NE(r, nullptr);
        TTempDir tmp;
        fs::copy_file(CorpusDir() / file, tmp / file);
        TUnZip z;
        OpenArchive(z, tmp / file, true);
        if (!r->Password.empty()) z.Passwords({r->Password});
        std::vector<int32_t> codes;
        z.OnError = [&codes](TZipCommon&, const std::string&, const std::string&,
                             const std::string&, int32_t c) { codes.push_back(c); };

        const std::vector<TEntryListing> entries = z.Entries();
        ASSERT_EQ(entries.size(), r->Entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const TExpectedEntry& want = r->Entries[i];
            std::string name = want.Name;
            std::replace(name.begin(), name.end(), '/', '\\');
            if (want.IsDir && name.back() != '\\') name += '\\';
            EXPECT_EQ(entries[i].Name, name);
            EXPECT_EQ(entries[i].IsDirectory, want.IsDir) << want.Name;
            if (want.IsDir) continue;
            EXPECT_EQ(entries[i].Size, static_cast<int64_t>(want.Size)) << want.Name;
            // Each file by its name, as "/" names it, in blocks handed to a function.
            Bytes got;
            EXPECT_TRUE(z.ReadEntry(want.Name, [&got](const uint8_t* b, int32_t n) {
                got.insert(got.end(), b, b + n);
            })) << want.Name;
            EXPECT_EQ(got.size(), want.Size) << want.Name;
            EXPECT_EQ(Crc32Of(got), want.Crc) << want.Name;
        }
        EXPECT_EQ(codes, std::vector<int32_t>{});
        // Reading made nothing beside the archive.
        EXPECT_EQ(FilesBelow(tmp.Path()), std::vector<std::string>{file});
    }
}

TEST(Reader, ReadFilesFollowsFileSpecAndFailuresAreReported)
{
    TTempDir tmp;
    const Bytes a = TextBytes(3000, 1), bad = TextBytes(5000, 2), c = TextBytes(70, 3);
    TZipEntrySpec damaged = Entry("bad.txt", bad, 8);
    damaged.Crc ^= 1;
    WriteFile(tmp / "a.zip",
              BuildZip({Entry("a.txt", a, 8), damaged, Entry("dir/", {}), Entry("dir/c.dat", c)}));
    const auto join = [](std::vector<Bytes> Parts) {
        Bytes all;
        for (const Bytes& p : Parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    struct TCase {
        const char* Title;
        TStringList Masks;
        int32_t Passed;
        Bytes Out; // a damaged entry's bytes are handed over all the same, then reported
        std::vector<int32_t> Codes;
    };
    const TCase cases[] = {
        {"every file", {}, 2, join({a, bad, c}), {E_CRCERR}},
        {"one folder", {"dir\\*.*"}, 1, c, {}},
        {"text files", {"*.txt"}, 1, join({a, bad}), {E_CRCERR}},
    };
    for (const TCase& k : cases) {
        SCOPED_TRACE(k.Title);
        TUnZip z;
        z.ArchiveFile((tmp / "a.zip").string());
        if (!k.Masks.empty()) z.FileSpec(k.Masks);
        std::vector<int32_t> codes;
        z.OnError = [&codes](TZipCommon&, const std::string&, const std::string&,
                             const std::string&, int32_t code) { codes.push_back(code); };
        Bytes out;
        TBlockStream sink([&out](const uint8_t* b, int32_t n) { out.insert(out.end(), b, b + n); });
        EXPECT_EQ(z.ReadFiles(sink), k.Passed);
        EXPECT_EQ(codes, k.Codes);
        EXPECT_EQ(out, k.Out);
    }
    TUnZip z;
    z.ArchiveFile((tmp / "a.zip").string());
    Bytes out;
    const auto take = [&out](const uint8_t* b, int32_t n) { out.insert(out.end(), b, b + n); };
    EXPECT_FALSE(z.ReadEntry("missing.txt", take));
    EXPECT_FALSE(z.ReadEntry("dir/", take));
    EXPECT_FALSE(z.ReadEntry("*.txt", take)) << "a name is no mask";
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(z.ReadEntry("dir\\c.dat", take));
    EXPECT_EQ(out, c);
    EXPECT_EQ(FilesBelow(tmp.Path()), std::vector<std::string>{"a.zip"});
}

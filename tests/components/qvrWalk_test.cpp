// The archive walk on archives whose shape matters: comments, prepended data, ZIP64,
// data descriptors, long names and the library's enciphered header variants.
#include "OutputFaults.h"
#include "TestSupport.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace test;

namespace {

struct TResult {
    int32_t Count = 0;
    std::vector<std::pair<std::string, int32_t>> Errors;
    std::vector<std::string> Begun;
    THeaderTypeState State;
    int64_t WalkStart = -1;
};

TResult Extract(const fs::path& Archive, const fs::path& Out,
                const std::function<void(TUnZip&)>& Setup = {})
{
    TResult r;
    TUnZip z;
    z.ArchiveFile(Archive.string());
    r.State = z.HeaderState();
    r.WalkStart = z.WalkStart();
    z.ExtractDir(Out.string());
    z.FileSpec({"*.*"});
    z.OnError = [&](TZipCommon&, const std::string& f, const std::string&, const std::string&,
                    int32_t code) { r.Errors.emplace_back(f, code); };
    z.OnBegin = [&](TZipCommon&, const std::string& f, int32_t, bool&) { r.Begun.push_back(f); };
    if (Setup) Setup(z);
    r.Count = z.ExtractFiles();
    return r;
}

std::vector<TZipEntrySpec> ThreeFiles()
{
    return StoredFiles({{"a.txt", 3000}, {"sub/b.bin", 40000, true}, {"c.txt", 10}});
}

void ExpectThreeFiles(const fs::path& Out)
{
    for (const TZipEntrySpec& e : ThreeFiles()) EXPECT_EQ(ReadFile(Out / e.Name), e.Data) << e.Name;
}

} // namespace

TEST(EndRecord, CommentOf100BytesUsesTheDirectory)
{
    TTempDir tmp;
    TZipBuildOptions o;
    o.Comment = std::string(100, 'c');
    const Bytes zip = BuildZip(ThreeFiles(), o);
    WriteFile(tmp / "a.zip", zip);
    TUnZip z;
    z.ArchiveFile((tmp / "a.zip").string());
    EXPECT_EQ(z.EndRecordEnd(), static_cast<int64_t>(zip.size()) - 100);
    EXPECT_TRUE(z.HeaderState().Has(htCentral));
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_EQ(r.Count, 3);
    ExpectThreeFiles(tmp / "out");
}

TEST(EndRecord, TheRealRecordIsFoundBehindAnyComment)
{
    // A comment of any length up to the largest, and comments that hold the bytes of an
    // end record's signature (in the middle, and as their last four bytes): the
    // directory is found through the record whose comment ends the file, with nothing
    // to report.
    const std::string sig = "PK\x05\x06";
    for (const std::string& comment :
         {std::string(40000, 'x'), std::string(65535, 'y'),
          "abc " + sig + " middle and end " + sig, sig + std::string(30, '\0') + sig,
          // A comment ending in a whole record of an empty archive.
          "text " + sig + std::string(18, '\0')}) {
        SCOPED_TRACE(comment.size());
        TTempDir tmp;
        TZipBuildOptions o;
        o.Comment = comment;
        WriteFile(tmp / "a.zip", BuildZip(ThreeFiles(), o));
        const TResult r = Extract(tmp / "a.zip", tmp / "out");
        EXPECT_TRUE(r.State.Has(htCentral));
        EXPECT_TRUE(r.Errors.empty()) << r.Errors.front().second;
        EXPECT_EQ(r.Count, 3);
        ExpectThreeFiles(tmp / "out");
    }
}

TEST(EndRecord, AnArchiveWithoutEntriesIsValidAndEmpty)
{
    // The end record alone, as zip and Python's zipfile write an empty archive; and
    // with a comment.
    for (const std::string& comment : {std::string(), std::string("nothing here")}) {
        TTempDir tmp;
        Bytes zip(22, 0);
        PutU32(zip.data(), 0x06054B50u);
        PutU16(&zip[20], static_cast<uint16_t>(comment.size()));
        for (const char ch : comment) zip.push_back(static_cast<uint8_t>(ch));
        WriteFile(tmp / "e.zip", zip);
        const TResult r = Extract(tmp / "e.zip", tmp / "out");
        EXPECT_EQ(r.Count, 0);
        EXPECT_TRUE(r.Errors.empty()) << r.Errors.front().second;
    }
}

TEST(EndRecord, LocalScanAsksTheHostFirst)
{
    TTempDir tmp;
    TZipBuildOptions o;
    o.NoCentral = true;
    WriteFile(tmp / "a.zip", BuildZip(ThreeFiles(), o));
    THeaderTypeState seen;
    const TResult r = Extract(tmp / "a.zip", tmp / "out", [&](TUnZip& z) {
        z.OnCorruptZipHeader = [&](TZipCommon&, THeaderTypeState s, bool& cancel) {
            seen = s;
            EXPECT_TRUE(cancel);
        };
    });
    EXPECT_TRUE(seen.Only(htLocal));
    EXPECT_EQ(r.Count, 0);
    EXPECT_FALSE(fs::exists(tmp / "out/a.txt"));
    const TResult r2 = Extract(tmp / "a.zip", tmp / "out2", [&](TUnZip& z) {
        z.OnCorruptZipHeader = [&](TZipCommon&, THeaderTypeState, bool& cancel) { cancel = false; };
    });
    EXPECT_EQ(r2.Count, 3);
    ExpectThreeFiles(tmp / "out2");
}

TEST(EndRecord, SmallArchivesAreFound)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e(1);
    e[0].Name = "x";
    e[0].Data = {'1'};
    const Bytes zip = BuildZip(e);
    ASSERT_LT(zip.size(), 200u);
    WriteFile(tmp / "a.zip", zip);
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_EQ(r.Count, 1);
    EXPECT_EQ(ReadText(tmp / "out/x"), "1");
    // An empty file and a 3-byte file are not archives and do not crash.
    WriteFile(tmp / "empty.zip", {});
    WriteFile(tmp / "tiny.zip", {'P', 'K', 5});
    EXPECT_EQ(Extract(tmp / "empty.zip", tmp / "o2").Count, 0);
    EXPECT_EQ(Extract(tmp / "tiny.zip", tmp / "o3").Count, 0);
}

TEST(EndRecord, PrependedDataWithAdjustedOffsets)
{
    TTempDir tmp;
    TZipBuildOptions o;
    o.Prefix = RandomBytes(5000, 9);
    o.AdjustOffsets = true;
    WriteFile(tmp / "a.zip", BuildZip(ThreeFiles(), o));
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_EQ(r.Count, 3);
    EXPECT_TRUE(r.Errors.empty());
    ExpectThreeFiles(tmp / "out");
}

TEST(EndRecord, PrependedDataWithoutAdjustedOffsetsStillExtracts)
{
    // Offsets short by the prefix: the distance between where the directory is and
    // where the end record says it is repairs every one of them.
    TTempDir tmp;
    TZipBuildOptions o;
    o.Prefix = RandomBytes(3000, 9);
    o.AdjustOffsets = false;
    WriteFile(tmp / "a.zip", BuildZip(ThreeFiles(), o));
    TUnZip z;
    z.ArchiveFile((tmp / "a.zip").string());
    EXPECT_EQ(z.OffsetAdjust(), 3000);
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_EQ(r.Count, 3);
    // Said once, as a notice: nothing is missing.
    ASSERT_EQ(r.Errors.size(), 1u);
    EXPECT_EQ(r.Errors[0].second, E_RECOVERED);
    ExpectThreeFiles(tmp / "out");
}

TEST(EndRecord, SfxMadeByZipAOrCatBothExtract)
{
    if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
    TTempDir tmp;
    WriteFile(tmp / "src/f1.txt", TextBytes(5000, 4));
    WriteFile(tmp / "src/f2.bin", RandomBytes(7000, 5));
    ASSERT_EQ(Shell("cd " + Quote((tmp / "src").string()) + " && zip -q -0 ../plain.zip f1.txt f2.bin").Status, 0);
    WriteFile(tmp / "stub", RandomBytes(12345, 6));
    ASSERT_EQ(Shell("cd " + Quote(tmp.Path().string()) + " && cat stub plain.zip > cat.exe && cp cat.exe adj.exe && zip -q -A adj.exe").Status, 0);
    for (const char* name : {"cat.exe", "adj.exe"}) {
        const fs::path out = tmp / (std::string("out-") + name);
        const TResult r = Extract(tmp / name, out);
        EXPECT_EQ(r.Count, 2) << name;
        EXPECT_EQ(ReadFile(out / "f1.txt"), TextBytes(5000, 4)) << name;
        EXPECT_EQ(ReadFile(out / "f2.bin"), RandomBytes(7000, 5)) << name;
    }
}

TEST(Zip64, CraftedRecordsAreFollowed)
{
    TTempDir tmp;
    auto e = ThreeFiles();
    for (auto& x : e) x.Zip64 = true;
    TZipBuildOptions o;
    o.Zip64End = true;
    WriteFile(tmp / "a.zip", BuildZip(e, o));
    TUnZip z;
    z.ArchiveFile((tmp / "a.zip").string());
    EXPECT_TRUE(z.HeaderState().Has(htEnding64));
    EXPECT_TRUE(z.HeaderState().Has(htLocator));
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_EQ(r.Count, 3);
    EXPECT_TRUE(r.Errors.empty());
    ExpectThreeFiles(tmp / "out");
}

TEST(Zip64, PrependedZip64ArchiveFindsItsDirectory)
{
    TTempDir tmp;
    auto e = ThreeFiles();
    for (auto& x : e) x.Zip64 = true;
    TZipBuildOptions o;
    o.Zip64End = true;
    o.Prefix = RandomBytes(777, 1);
    o.AdjustOffsets = false;
    WriteFile(tmp / "a.zip", BuildZip(e, o));
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_EQ(r.Count, 3);
    ExpectThreeFiles(tmp / "out");
}

TEST(Zip64, LargeStoredEntryOverFourGigabytes)
{
    // A real >4 GiB entry of zeros, written by Python's zipfile to a sparse-friendly
    // file system; skipped when the disk cannot take it.
#ifdef UNSPOOL_SANITIZED
    GTEST_SKIP() << "4 GiB through the sanitizers takes too long; the native build runs it";
#endif
    TTempDir tmp;
    const fs::space_info space = fs::space(tmp.Path());
    if (space.available < (uint64_t{10} << 30)) GTEST_SKIP() << "needs 10 GiB free";
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 not installed";
    const std::string script =
        "import zipfile,sys\n"
        "z=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_STORED,allowZip64=True)\n"
        "with z.open('big.bin','w',force_zip64=True) as f:\n"
        "    b=bytes(1<<24)\n"
        "    for i in range(257): f.write(b)\n"
        "z.writestr('after.txt','tail')\n"
        "z.close()\n";
    WriteText(tmp / "mk.py", script);
    ASSERT_EQ(Shell("python3 " + Quote((tmp / "mk.py").string()) + " " + Quote((tmp / "big.zip").string())).Status, 0);
    fs::path out = tmp / "out";
    const TResult r = Extract(tmp / "big.zip", out);
    fs::remove(tmp / "big.zip");
    EXPECT_EQ(r.Count, 2);
    EXPECT_TRUE(r.Errors.empty());
    EXPECT_EQ(fs::file_size(out / "big.bin"), uint64_t{257} << 24);
    EXPECT_EQ(ReadText(out / "after.txt"), "tail");
}

TEST(LocalScan, DataDescriptorWithZeroSizesIsFollowedToTheNextHeader)
{
    TTempDir tmp;
    auto e = ThreeFiles();
    e[1].DataDescriptor = true;
    TZipBuildOptions o;
    o.NoCentral = true;
    WriteFile(tmp / "a.zip", BuildZip(e, o));
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_EQ(r.Begun.size(), 3u);
    EXPECT_EQ(ReadFile(tmp / "out/a.txt"), TextBytes(3000, 1));
    EXPECT_EQ(ReadFile(tmp / "out/sub/b.bin"), e[1].Data);
    EXPECT_TRUE(fs::exists(tmp / "out/c.txt"));
}

TEST(LocalScan, StreamedInfoZipArchivesWithoutTheirDirectoryExtractWhole)
{
    // Info-ZIP writing to a pipe gives every file a data descriptor, yet puts sizes in
    // its local header: for stored encrypted data they leave the 12-byte encryption
    // header out. An end record cut short, or a cut right after the last entry, leaves
    // the scan as the only walk: it finds every entry, and says once that it had to.
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    TTempDir tmp;
    const std::map<std::string, Bytes> files = {
        {"a.txt", TextBytes(3000, 1)},   {"b.bin", RandomBytes(2000, 2)},
        {"d/c.txt", TextBytes(9000, 3)}, {"d/e.bin", RandomBytes(500, 4)},
        {"d/f/g.txt", TextBytes(10, 5)}, {"h.txt", TextBytes(7000, 6)}};
    for (const auto& [name, data] : files) WriteFile(tmp / "in" / name, data);
    const struct {
        const char* Options;
        const char* Password;
    } cases[] = {{"-0", ""}, {"-0 -P pw", "pw"}, {"-6 -P pw", "pw"}};
    for (const auto& c : cases) {
        ASSERT_EQ(Shell("cd " + Quote((tmp / "in").string()) + " && zip -q -r " + c.Options +
                        " - . | cat > ../s.zip")
                      .Status,
                  0);
        const Bytes whole = ReadFile(tmp / "s.zip");
        const std::pair<const char*, Bytes> cuts[] = {
            {"end record cut short", Bytes(whole.begin(), whole.end() - 5)},
            {"cut after the last entry", WithoutDirectory(whole)}};
        for (const auto& [cut, bytes] : cuts) {
            SCOPED_TRACE(std::string(c.Options) + ", " + cut);
            WriteFile(tmp / "cut.zip", bytes);
            fs::remove_all(tmp / "out");
            const TRunLog log = ExtractLogged(tmp / "cut.zip", tmp / "out", false, {}, c.Password);
            EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_BADHEADER});
            EXPECT_EQ(log.Subjects, std::vector<TReportSubject>{rsRun});
            for (const auto& [name, pass] : log.Verdicts) EXPECT_TRUE(pass) << name;
            for (const auto& [name, data] : files)
                EXPECT_TRUE(ReadFile(tmp / "out" / name) == data) << name;
        }
    }
}

TEST(CentralWalk, DataDescriptorEntriesTakeTheDirectorysCrc)
{
    TTempDir tmp;
    auto e = ThreeFiles();
    for (auto& x : e) x.DataDescriptor = true;
    WriteFile(tmp / "a.zip", BuildZip(e));
    std::vector<bool> verdicts;
    const TResult r = Extract(tmp / "a.zip", tmp / "out", [&](TUnZip& z) {
        z.OnEnd = [&](TZipCommon&, const std::string&, bool p) { verdicts.push_back(p); };
    });
    EXPECT_EQ(r.Count, 3);
    EXPECT_EQ(verdicts, (std::vector<bool>{true, true, true}));
    ExpectThreeFiles(tmp / "out");
}

// The walk checks each entry's local header before extracting: behind small entries it
// reads a block that holds the next headers too, and still finds the one that is damaged.
TEST(CentralWalk, LocalHeadersOfSmallEntriesAreReadABlockAtATime)
{
    SKIP_ON_WINDOWS("the output faults interpose POSIX C library calls");
    TTempDir tmp;
    std::vector<TFileRow> rows;
    for (int i = 0; i < 40; ++i)
        rows.push_back({"f" + std::to_string(i) + ".txt", 100});
    Bytes zip = BuildZip(StoredFiles(rows));
    // The local header of f20 loses its signature.
    size_t at = 0;
    for (int found = 0; found <= 20; ++at)
        if (zip[at] == 'P' && zip[at + 1] == 'K' && zip[at + 2] == 3 && zip[at + 3] == 4) ++found;
    zip[at - 1] = 'X';
    WriteFile(tmp / "a.zip", zip);
    TFileCalls calls;
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_LE(calls.Preads(), 4);
    EXPECT_EQ(r.Count, 39);
    ASSERT_EQ(r.Errors.size(), 1u);
    EXPECT_EQ(r.Errors[0].second, E_BADHEADER);
    EXPECT_FALSE(fs::exists(tmp / "out/f20.txt"));
    EXPECT_EQ(ReadFile(tmp / "out/f39.txt"), StoredFiles(rows)[39].Data);
}

// The walk reads each local header before extraction, which skips reading again a
// header that says nothing the directory does not. Each row gives the first entry's local
// header (or its directory record) something of its own. The run over the file must come
// out as the run over the same bytes from a stream, which reads every header again, and
// unlike the run without the change: events, reports, files, contents and times.
TEST(CentralWalk, LocalHeadersThatSayMoreAreReadAgain)
{
    const std::string password = "pw";
    // Base makes the first entry of both archives; Change and Patch make the difference.
    struct TRow {
        const char* Name;
        std::function<void(TZipEntrySpec&)> Base, Change;
        std::function<void(Bytes&)> Patch; // of the archive; the first local header is at 0
    };
    auto encrypt = [&](TZipEntrySpec& e) {
        e.Raw = true;
        e.Crc = Crc32Of(e.Data);
        e.UncompressedSize = e.Data.size();
        Encrypt(e, password);
    };
    const TRow rows[] = {
        {"LocalCrc", {}, {}, [](Bytes& z) { z[14] ^= 1; }},
        {"LocalDate", {}, {}, [](Bytes& z) { z[13] ^= 2; }},
        // The check byte of an entry with a data descriptor comes from its time.
        {"LocalDescriptorFlag", encrypt, {}, [](Bytes& z) { z[6] |= 8; }},
        {"LocalTimeTheDirectoryLacks", {},
         [](TZipEntrySpec& e) { e.LocalExtra = Ut(1, 0x4CD05E00); }, {}},
        {"LocalHighWords", {},
         [](TZipEntrySpec& e) { e.LocalExtra = Field(0x0064, {0, 0, 1, 0}); }, {}},
        {"UnicodePathInTheDirectoryAlone", {},
         [](TZipEntrySpec& e) { e.CentralExtra = UnicodePath(e.Name, "u.txt"); }, {}},
        {"UnicodePathInTheLocalHeaderAlone", {},
         [](TZipEntrySpec& e) { e.LocalExtra = UnicodePath(e.Name, "u.txt"); }, {}},
    };
    auto outcome = [&](const Bytes& Zip, const fs::path& Dir, bool Stream) {
        WriteFile(Dir / "a.zip", Zip);
        const TRunLog log = ExtractLogged(Dir / "a.zip", Dir / "out", Stream, {}, password);
        std::vector<std::string> o = log.Events;
        for (const auto& [name, code] : log.Errors) o.push_back(name + " " + std::to_string(code));
        for (const std::string& f : FilesBelow(Dir / "out")) {
            const fs::path at = Dir / "out" / f;
            o.push_back(f + " " + std::to_string(Crc32Of(ReadFile(at))) + " " +
                        std::to_string(fs::last_write_time(at).time_since_epoch().count()));
        }
        return o;
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        std::vector<TZipEntrySpec> entries = StoredFiles({{"a.txt", 300}, {"b.txt", 200}});
        if (row.Base) row.Base(entries.front());
        TTempDir plain, file, stream;
        const auto before = outcome(BuildZip(entries), plain.Path(), false);
        if (row.Change) row.Change(entries.front());
        Bytes zip = BuildZip(entries);
        if (row.Patch) row.Patch(zip);
        const auto after = outcome(zip, file.Path(), false);
        EXPECT_EQ(after, outcome(zip, stream.Path(), true));
        EXPECT_NE(after, before);
    }
}

TEST(CentralWalk, LongNamesAreKeptWhole)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e(2);
    e[0].Name = std::string(200, 'd') + "/" + std::string(100, 'n') + ".txt";
    e[0].Data = TextBytes(10, 1);
    e[1].Name = "next.txt";
    e[1].Data = TextBytes(20, 2);
    WriteFile(tmp / "a.zip", BuildZip(e));
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    ASSERT_EQ(r.Begun.size(), 2u);
    EXPECT_TRUE(r.Errors.empty());
    EXPECT_EQ(ReadFile(tmp / "out" / e[0].Name), TextBytes(10, 1));
    EXPECT_EQ(ReadFile(tmp / "out/next.txt"), TextBytes(20, 2));
}

TEST(CentralWalk, NamesPastTheLimitStopTheWalkWithOneReport)
{
    // Five entries of 100-byte names against a bound of 250 bytes: the first two are
    // kept and extracted, the walk stops at the third with one report naming the
    // archive, through the directory and through the local headers alike.
    std::vector<TZipEntrySpec> e(5);
    for (size_t i = 0; i < e.size(); ++i) {
        e[i].Name = std::to_string(i) + std::string(99, 'n');
        e[i].Data = TextBytes(10 + i, static_cast<uint32_t>(i));
    }
    for (const bool scanned : {false, true}) {
        SCOPED_TRACE(scanned ? "local headers" : "directory");
        TTempDir tmp;
        TZipBuildOptions o;
        o.NoCentral = scanned;
        WriteFile(tmp / "a.zip", BuildZip(e, o));
        const TResult r = Extract(tmp / "a.zip", tmp / "out",
                                  [](TUnZip& z) { z.NameBytesLimit(250); });
        EXPECT_EQ(r.Count, 2);
        EXPECT_EQ(ReadFile(tmp / "out" / e[1].Name), TextBytes(11, 1));
        EXPECT_FALSE(fs::exists(tmp / "out" / e[2].Name));
        const auto limit = std::count_if(r.Errors.begin(), r.Errors.end(), [](const auto& x) {
            return x.second == E_BADHEADER && x.first.ends_with("a.zip");
        });
        // The scan also says once that it had no directory.
        EXPECT_EQ(limit, scanned ? 2 : 1);
        EXPECT_EQ(r.Errors.size(), static_cast<size_t>(limit));
    }
}

TEST(CentralWalk, EncipheredHeaderVariantsAreRead)
{
    TTempDir tmp;
    TZipBuildOptions o;
    o.EncipherRecords = true;
    o.Comment = "hidden";
    WriteFile(tmp / "a.zip", BuildZip(ThreeFiles(), o));
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_TRUE(r.State.Has(htCentral));
    EXPECT_EQ(r.Count, 3);
    EXPECT_TRUE(r.Errors.empty());
    ExpectThreeFiles(tmp / "out");
    // The same with the wide end record.
    o.WideEnd = true;
    WriteFile(tmp / "w.zip", BuildZip(ThreeFiles(), o));
    const TResult w = Extract(tmp / "w.zip", tmp / "outw");
    EXPECT_EQ(w.Count, 3);
    ExpectThreeFiles(tmp / "outw");
}

TEST(CentralWalk, FileSpecSelectsAndTotalsOnlyMatches)
{
    TTempDir tmp;
    WriteFile(tmp / "a.zip", BuildZip(ThreeFiles()));
    std::vector<int> archivePercents;
    const TResult r = Extract(tmp / "a.zip", tmp / "out", [&](TUnZip& z) {
        z.FileSpec({"*.txt"});
        z.OnProgress = [&](TZipCommon&, uint8_t, uint8_t a) { archivePercents.push_back(a); };
    });
    EXPECT_EQ(r.Count, 2);
    EXPECT_FALSE(fs::exists(tmp / "out/sub/b.bin"));
    // The totals hold only the selected entries: the run ends at 100 %.
    ASSERT_FALSE(archivePercents.empty());
    EXPECT_EQ(archivePercents.back(), 100);
}

TEST(CentralWalk, UnsupportedMethodIsReportedAndTheRestExtracts)
{
    TTempDir tmp;
    auto e = ThreeFiles();
    e[1].Method = 98; // PPMd
    WriteFile(tmp / "a.zip", BuildZip(e));
    const TResult r2 = Extract(tmp / "a.zip", tmp / "out2");
    ASSERT_EQ(r2.Errors.size(), 1u); // no CRC verdict for an entry never decoded
    EXPECT_EQ(r2.Errors[0].second, E_UNSUPPORTEDMETHOD);
    EXPECT_FALSE(fs::exists(tmp / "out2/sub/b.bin"));
    EXPECT_EQ(ReadFile(tmp / "out2/a.txt"), TextBytes(3000, 1));
    EXPECT_EQ(ReadFile(tmp / "out2/c.txt"), TextBytes(10, 3));
}

TEST(OutputPaths, StoredFoldersAndFlatExtraction)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e(1);
    e[0].Name = "docs/readme.txt";
    e[0].Data = TextBytes(50, 1);
    WriteFile(tmp / "a.zip", BuildZip(e));
    Extract(tmp / "a.zip", tmp / "out");
    EXPECT_TRUE(fs::exists(tmp / "out/docs/readme.txt"));
    Extract(tmp / "a.zip", tmp / "flat", [](TUnZip& z) { z.UseStoredDirs(false); });
    EXPECT_TRUE(fs::exists(tmp / "flat/readme.txt"));
    EXPECT_FALSE(fs::exists(tmp / "flat/docs"));
}

TEST(OutputPaths, RelativeDestinationResolvesAgainstTheCurrentDirectory)
{
    TTempDir tmp;
    WriteFile(tmp / "a.zip", BuildZip(ThreeFiles()));
    const fs::path old = fs::current_path();
    fs::current_path(tmp.Path());
    const TResult r = Extract("a.zip", "rel/out");
    fs::current_path(old);
    EXPECT_EQ(r.Count, 3);
    ExpectThreeFiles(tmp / "rel/out");
}

TEST(OutputPaths, EmptyExtractDirMeansTheArchivesFolder)
{
    TTempDir tmp;
    WriteFile(tmp / "arc/a.zip", BuildZip(ThreeFiles()));
    TUnZip z;
    z.ArchiveFile((tmp / "arc/a.zip").string());
    z.FileSpec({"*.*"});
    EXPECT_EQ(z.ExtractFiles(), 3);
    ExpectThreeFiles(tmp / "arc");
}

TEST(OutputPaths, Utf8FlaggedNamesSkipTheOemConversion)
{
    SKIP_ON_WINDOWS(Utf8PathsOnWindows);
    TTempDir tmp;
    std::vector<TZipEntrySpec> e(2);
    e[0].Name = "caf\xC3\xA9.txt"; // UTF-8, flagged
    e[0].Flags = 0x0800;
    e[0].Data = TextBytes(5, 1);
    e[1].Name = "na\x82ve.txt"; // CP437 e-acute, not flagged
    e[1].Data = TextBytes(6, 2);
    WriteFile(tmp / "a.zip", BuildZip(e));
    Extract(tmp / "a.zip", tmp / "out");
    EXPECT_EQ(ReadFile(tmp / "out/caf\xC3\xA9.txt"), TextBytes(5, 1));
    EXPECT_EQ(ReadFile(tmp / "out/na\xC3\xA9ve.txt"), TextBytes(6, 2));
}

TEST(OutputPaths, Utf8FlaggedNamesKeepBytesThatAreNotUtf8AsHex)
{
    SKIP_ON_WINDOWS(Utf8PathsOnWindows);
    TTempDir tmp;
    // Each name's bytes that are not UTF-8 become %XX, so no two of them meet in one
    // file and every name on disk is valid UTF-8.
    const std::vector<std::pair<std::string, std::string>> names = {
        {"a\xFF.txt", "a%FF.txt"},
        {"a\xFE.txt", "a%FE.txt"},
        {"\xC0\xAF.txt", "%C0%AF.txt"},              // an overlong "/" stays in the name
        {"sub/\xED\xA0\x80.txt", "sub/%ED%A0%80.txt"}, // a surrogate
        {"caf\xC3\xA9.txt", "caf\xC3\xA9.txt"},
    };
    std::vector<TZipEntrySpec> e;
    std::vector<std::string> expected;
    for (size_t i = 0; i < names.size(); ++i) {
        e.push_back(Entry(names[i].first, TextBytes(10 + i, static_cast<uint32_t>(i))));
        e.back().Flags = 0x0800;
        expected.push_back(names[i].second);
    }
    WriteFile(tmp / "a.zip", BuildZip(e));
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_TRUE(r.Errors.empty());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FilesBelow(tmp / "out"), expected);
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(ReadFile(tmp / "out" / names[i].second),
                  TextBytes(10 + i, static_cast<uint32_t>(i)));
}

TEST(OutputPaths, NameCodePageThatMakesSeparatorsIsRefused)
{
    TTempDir tmp;
    // Not flagged: UTF-7 would read "+AC8-" as "/" and put the file in a folder "a".
    WriteFile(tmp / "a.zip", BuildZip({Entry("a+AC8-b\xE9.txt", TextBytes(7, 1))}));
    struct TCase {
        const char* Set;
        const char* Kept; // what the property holds afterwards
        const char* File;
    };
    int n = 0;
    for (const TCase& c : std::vector<TCase>{
             {"UTF-7", "1252", "a+AC8-b\xC3\xA9.txt"},
             {"UTF-16", "1252", "a+AC8-b\xC3\xA9.txt"},
             {"UTF-8", "UTF-8", "a+AC8-b%E9.txt"},
             {"", "", "a+AC8-b\xCE\x98.txt"}, // CP437 0xE9 is a theta
         }) {
        const fs::path out = tmp / ("out" + std::to_string(n++));
        Extract(tmp / "a.zip", out, [&](TUnZip& z) {
            z.NameCodePage("1252");
            z.NameCodePage(c.Set);
            EXPECT_EQ(z.NameCodePage(), c.Kept) << c.Set;
        });
        EXPECT_EQ(FilesBelow(out), std::vector<std::string>{c.File}) << c.Set;
    }
}

TEST(CentralWalk, ADirectoryCutShortIsReported)
{
    TTempDir tmp;
    Bytes zip = BuildZip(ThreeFiles());
    // Break the signature of the second central header.
    size_t hit = 0, found = 0;
    for (size_t i = 0; i + 4 <= zip.size(); ++i)
        if (zip[i] == 'P' && zip[i + 1] == 'K' && zip[i + 2] == 1 && zip[i + 3] == 2 && ++found == 2) hit = i;
    ASSERT_NE(hit, 0u);
    zip[hit + 2] = 9;
    WriteFile(tmp / "a.zip", zip);
    const TResult r = Extract(tmp / "a.zip", tmp / "out");
    EXPECT_EQ(r.Count, 1);
    EXPECT_EQ(ReadFile(tmp / "out/a.txt"), TextBytes(3000, 1));
    ASSERT_EQ(r.Errors.size(), 1u);
    EXPECT_EQ(r.Errors[0].second, E_BADHEADER);
}

// ---------------------------------------------------------------------------------
// End records whose directory offset is wrong while the entries' offsets are right: a
// prefix added by a tool that adjusted only the entries, or an end record written with
// offset 0. The entries' offsets must be used as they stand.

namespace {

// Text in front of an archive, as a script or a message would be: no archive signature.
Bytes TextPrefix() { return TextBytes(2500, 77); }

// The directory offset the end record of Zip (without comment) holds; the ZIP64 end
// record's when the plain one defers to it.
uint64_t StoredDirOffset(const Bytes& Zip)
{
    const uint32_t plain = GetU32(&Zip[Zip.size() - 22 + 16]);
    return plain != 0xFFFFFFFFu ? plain : GetU64(&Zip[Zip.size() - 22 - 20 - 56 + 48]);
}

// ThreeFiles behind Prefix with every offset counting it but the end record's directory
// offset, which is Offset (-1: the offset the archive has without the prefix).
Bytes EntriesAdjustedOnly(const Bytes& Prefix, int64_t Offset, bool Zip64)
{
    auto e = ThreeFiles();
    for (auto& x : e) x.Zip64 = Zip64;
    TZipBuildOptions o;
    o.Zip64End = Zip64;
    const uint64_t unadjusted = StoredDirOffset(BuildZip(e, o));
    o.Prefix = Prefix;
    o.EndDirOffset = Offset < 0 ? static_cast<int64_t>(unadjusted) : Offset;
    return BuildZip(e, o);
}

struct TStoredOffsetCase {
    const char* Name;
    std::function<Bytes(const fs::path& Dir)> Make; // empty when its tool is missing
};

const TStoredOffsetCase StoredOffsetCases[] = {
    {"PrefixOnlyEntriesAdjusted",
     [](const fs::path&) { return EntriesAdjustedOnly(TextPrefix(), -1, false); }},
    {"EndOffsetZero", [](const fs::path&) { return EntriesAdjustedOnly({}, 0, false); }},
    {"PrefixAndEndOffsetZero",
     [](const fs::path&) { return EntriesAdjustedOnly(TextPrefix(), 0, false); }},
    // The first entry's offset is in its ZIP64 extra block.
    {"Zip64PrefixOnlyEntriesAdjusted",
     [](const fs::path&) { return EntriesAdjustedOnly(TextPrefix(), -1, true); }},
    {"Zip64EndOffsetZero", [](const fs::path&) { return EntriesAdjustedOnly({}, 0, true); }},
    // Python's zipfile writing behind a script counts the script in every offset; the end
    // record's is then put back to what it was before the script.
    {"PythonZipfileBehindScriptEndUnadjusted",
     [](const fs::path& Dir) {
         if (!HaveTool("python3")) return Bytes{};
         WriteFile(Dir / "src/a.txt", TextBytes(3000, 1));
         WriteFile(Dir / "src/sub/b.bin", RandomBytes(40000, 2));
         WriteFile(Dir / "src/c.txt", TextBytes(10, 3));
         WriteText(Dir / "src/stub.sh", "#!/bin/sh\necho 'a self-extracting script'\nexit 0\n");
         const TRunResult r = Shell(
             "cd " + Quote((Dir / "src").string()) +
             " && python3 -c \"import zipfile\nf = open('../p.zip', 'wb')\n"
             "f.write(open('stub.sh', 'rb').read())\n"
             "z = zipfile.ZipFile(f, 'w', zipfile.ZIP_DEFLATED)\n"
             "for n in ('a.txt', 'sub/b.bin', 'c.txt'): z.write(n)\nz.close()\nf.close()\"");
         EXPECT_EQ(r.Status, 0) << r.Err;
         Bytes zip = ReadFile(Dir / "p.zip");
         const uint32_t stub = static_cast<uint32_t>(fs::file_size(Dir / "src/stub.sh"));
         uint8_t* offset = &zip[zip.size() - 22 + 16];
         PutU32(offset, GetU32(offset) - stub);
         return zip;
     }},
};

} // namespace

TEST(EndRecord, WrongDirectoryOffsetWithRightEntryOffsetsExtractsEveryEntry)
{
    for (const auto& c : StoredOffsetCases) {
        SCOPED_TRACE(c.Name);
        TTempDir tmp;
        const Bytes zip = c.Make(tmp.Path());
        if (zip.empty()) {
            RecordProperty(c.Name, "not run: its tool is not installed");
            continue;
        }
        WriteFile(tmp / "a.zip", zip);
        TUnZip z;
        z.ArchiveFile((tmp / "a.zip").string());
        EXPECT_EQ(ArcTypeName(z.ArcType()), std::string("atZip"));
        EXPECT_TRUE(z.HeaderState().Has(htCentral));
        EXPECT_EQ(z.OffsetAdjust(), 0);
        std::vector<bool> verdicts;
        const TResult r = Extract(tmp / "a.zip", tmp / "out", [&](TUnZip& u) {
            u.OnEnd = [&](TZipCommon&, const std::string&, bool p) { verdicts.push_back(p); };
        });
        EXPECT_EQ(r.Count, 3);
        EXPECT_TRUE(r.Errors.empty()) << r.Errors.size() << " errors, first code "
                                      << (r.Errors.empty() ? 0 : r.Errors[0].second);
        EXPECT_EQ(verdicts, (std::vector<bool>{true, true, true}));
        ExpectThreeFiles(tmp / "out");
    }
}

// ---------------------------------------------------------------------------------
// A ZIP64 archive whose plain end record holds 0xFFFF in its disk numbers: the ZIP64
// end record has the real ones.

TEST(Zip64, SaturatedDiskNumbersAreTakenFromTheZip64EndRecord)
{
    const struct {
        const char* Name;
        bool Prefix;
        bool AdjustOffsets;
        uint32_t Disk; // this disk and the directory's, in the ZIP64 end record
        TArcType Type;
    } cases[] = {
        {"NoPrefix", false, true, 0, atZip},
        {"PrefixAdjusted", true, true, 0, atZip},
        {"PrefixNotAdjusted", true, false, 0, atZip},
        {"LaterDiskOfASet", true, true, 2, atZipMV},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir tmp;
        auto e = ThreeFiles();
        for (auto& x : e) x.Zip64 = true;
        TZipBuildOptions o;
        o.Zip64End = true;
        o.SaturatedEndDisks = true;
        if (c.Prefix) o.Prefix = TextPrefix();
        o.AdjustOffsets = c.AdjustOffsets;
        Bytes zip = BuildZip(e, o);
        const size_t end64 = zip.size() - 22 - 20 - 56;
        ASSERT_EQ(GetU32(&zip[end64]), Zip64EndSig);
        PutU32(&zip[end64 + 16], c.Disk);
        PutU32(&zip[end64 + 20], c.Disk);
        WriteFile(tmp / "a.zip", zip);
        TUnZip z;
        z.ArchiveFile((tmp / "a.zip").string());
        EXPECT_EQ(ArcTypeName(z.ArcType()), ArcTypeName(c.Type));
        EXPECT_EQ(z.EndDisk(), c.Disk);
        EXPECT_EQ(z.DirDisk(), c.Disk);
        if (c.Type != atZip) continue;
        const TResult r = Extract(tmp / "a.zip", tmp / "out");
        EXPECT_EQ(r.Count, 3);
        // Offsets left short by a prefix are read around, with a notice.
        std::vector<int32_t> codes;
        for (const auto& e : r.Errors) codes.push_back(e.second);
        EXPECT_EQ(codes, c.AdjustOffsets ? std::vector<int32_t>{} : std::vector<int32_t>{E_RECOVERED});
        ExpectThreeFiles(tmp / "out");
    }
}

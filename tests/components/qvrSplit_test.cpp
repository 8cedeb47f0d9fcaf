// Split sets: multi-volume sets of numbered files, read part by part through the
// volume stream, with the host asked for each part; the disk manager's facts and the
// temporary file stream they are opened with.
#include "TestSupport.h"
#include "qvrFileIo.h"
#include "qvrTempFile.h"
#include "qvrUnZip.h"
#include "qvrVolumeStream.h"

#include <gtest/gtest.h>

#include <array>

using namespace test;

namespace {

// Info-ZIP's split archive of Files (written into Dir) with the given zip options:
// Dir/Name.zip and its parts Name.z01, Name.z02, ...
fs::path ZipSplit(const TTempDir& Dir, const std::string& Name, const std::string& Options,
                  const std::vector<std::pair<std::string, Bytes>>& Files)
{
    for (const auto& [file, data] : Files) WriteFile(Dir / ("in/" + file), data);
    std::string names;
    for (const auto& f : Files) names += " " + Quote(f.first);
    const TRunResult r = Shell("cd " + Quote((Dir / "in").string()) + " && zip -q -s 64k " +
                               Options + " ../" + Name + ".zip" + names);
    EXPECT_EQ(r.Status, 0) << r.Err;
    return Dir / (Name + ".zip");
}

// Files that cross no, one and several 64 KB part boundaries.
const std::vector<std::pair<std::string, Bytes>>& SplitFiles()
{
    static const std::vector<std::pair<std::string, Bytes>> files = {
        {"small.txt", TextBytes(1000, 1)},
        {"one.bin", RandomBytes(70000, 2)},
        {"several.bin", RandomBytes(300000, 3)},
        {"text.txt", TextBytes(900000, 4)},
    };
    return files;
}

void ExpectFilesMatch(const fs::path& Out, const std::vector<std::pair<std::string, Bytes>>& Files)
{
    for (const auto& [name, data] : Files) {
        ASSERT_TRUE(fs::exists(Out / name)) << name;
        EXPECT_TRUE(ReadFile(Out / name) == data) << name;
    }
}

} // namespace

TEST(SplitCorpus, SetsExtractAsTheManifestSays)
{
    for (const char* name : {"c15_split.zip", "gh_winrar_split.zip"}) {
        const TManifestRecord* r = FindManifest(name);
        ASSERT_NE(r, nullptr) << name;
        for (bool shortReads : {false, true}) {
            TTempDir tmp;
            const TRunLog log = ExtractLogged(CorpusDir() / name, tmp / "out", shortReads);
            EXPECT_TRUE(log.Errors.empty()) << name;
            for (const auto& [file, pass] : log.Verdicts) EXPECT_TRUE(pass) << file;
            EXPECT_EQ(CompareWithManifest(*r, tmp / "out"), "") << name;
        }
    }
}

TEST(SplitCorpus, PartsAreAskedForInTheOrderTheEntriesNeedThem)
{
    TTempDir tmp;
    const TRunLog log = ExtractLogged(CorpusDir() / "c15_split.zip", tmp / "out");
    // The directory is read from the last part; the entries start in the first, the
    // one that spans all three parts goes on into the second and the last, and the
    // last entries lie in the last part.
    const std::vector<std::string> want = {"c15_split.z01", "c15_split.z02", "c15_split.zip"};
    EXPECT_EQ(log.Volumes, want);
}

TEST(SplitInfoZip, StoredDeflatedAndEncryptedSetsAreByteExact)
{
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    const struct {
        const char* Options;
        const char* Password;
    } cases[] = {{"-0", ""}, {"-6", ""}, {"-9 -P secret", "secret"}, {"-0 -P secret", "secret"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Options);
        TTempDir tmp;
        const fs::path zip = ZipSplit(tmp, "set", c.Options, SplitFiles());
        ASSERT_TRUE(fs::exists(tmp / "set.z05"));
        for (bool shortReads : {false, true}) {
            fs::remove_all(tmp / "out");
            const TRunLog log = ExtractLogged(zip, tmp / "out", shortReads, {}, c.Password);
            EXPECT_TRUE(log.Errors.empty()) << log.Errors.front().second;
            EXPECT_EQ(log.Count, 4);
            ExpectFilesMatch(tmp / "out", SplitFiles());
        }
    }
}

TEST(SplitInfoZip, ArchivesOfEveryMethodSplitAfterwardsExtractTheSame)
{
    // Info-ZIP splits an existing archive without recompressing it, so each method's
    // data crosses part boundaries: Deflate64 from 7-Zip, the legacy methods from the
    // benchmark set. Without that set the Deflate64 archive is still split before the test
    // is skipped.
    if (!HaveTool("zip") || !HaveTool("7z")) GTEST_SKIP() << "zip or 7z is not installed";
    const std::string benchMissing = LegacyBenchMissing();
    TTempDir tmp;
    WriteFile(tmp / "in/a.txt", TextBytes(400000, 9));
    WriteFile(tmp / "in/b.bin", RandomBytes(90000, 10));
    ASSERT_EQ(Shell("cd " + Quote((tmp / "in").string()) +
                    " && 7z a -tzip -mm=Deflate64 ../d64.zip a.txt b.bin >/dev/null").Status, 0);
    const struct {
        fs::path Source;
        const char* Size;
    } cases[] = {{tmp / "d64.zip", "64k"},
                 {LegacyBenchDir() / "shrink.zip", "1m"},
                 {LegacyBenchDir() / "reduce4.zip", "1m"},
                 {LegacyBenchDir() / "implode-8k3t.zip", "1m"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Source.string());
        if (!benchMissing.empty() && c.Source.parent_path() == LegacyBenchDir()) continue;
        const fs::path split = tmp / ("split-" + c.Source.filename().string());
        ASSERT_EQ(Shell("zip -q -s " + std::string(c.Size) + " " + Quote(c.Source.string()) +
                        " --out " + Quote(split.string())).Status, 0);
        fs::remove_all(tmp / "a");
        fs::remove_all(tmp / "b");
        const TRunLog whole = ExtractLogged(c.Source, tmp / "a");
        const TRunLog parts = ExtractLogged(split, tmp / "b");
        EXPECT_GE(parts.Volumes.size(), 2u);
        EXPECT_TRUE(parts.Errors.empty());
        EXPECT_EQ(parts.Verdicts, whole.Verdicts);
        const std::vector<std::string> files = FilesBelow(tmp / "a");
        ASSERT_EQ(FilesBelow(tmp / "b"), files);
        for (const std::string& f : files) EXPECT_TRUE(ReadFile(tmp / "a" / f) == ReadFile(tmp / "b" / f)) << f;
    }
    if (!benchMissing.empty()) GTEST_SKIP() << benchMissing;
}

TEST(SplitInfoZip, AMissingPartFailsTheEntriesThatNeedItOnly)
{
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    TTempDir tmp;
    // Stored, so that the parts are filled in order: small and one.bin lie in the first
    // two parts, several.bin crosses the third, text.txt lies in the later ones.
    const fs::path zip = ZipSplit(tmp, "set", "-0", SplitFiles());
    fs::remove(tmp / "set.z03");
    const TRunLog log = ExtractLogged(zip, tmp / "out");
    const auto errors = log.ErrorsByName();
    ASSERT_TRUE(errors.count("set.z03"));
    EXPECT_EQ(errors.at("set.z03"), E_USERCANCELED);
    EXPECT_EQ(std::count(log.Volumes.begin(), log.Volumes.end(), "set.z03"), 1)
        << "a part the host declined is not asked for again";
    EXPECT_TRUE(ReadFile(tmp / "out/small.txt") == SplitFiles()[0].second);
    EXPECT_TRUE(ReadFile(tmp / "out/one.bin") == SplitFiles()[1].second);
    EXPECT_FALSE(log.Verdicts.at("several.bin"));
    EXPECT_TRUE(log.Verdicts.at("text.txt"));
    EXPECT_TRUE(ReadFile(tmp / "out/text.txt") == SplitFiles()[3].second);
}

TEST(SplitInfoZip, TheHostNamesPartsAndIsAskedAgainForOneThatIsNotThere)
{
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    TTempDir tmp;
    const fs::path zip = ZipSplit(tmp, "set", "-6", SplitFiles());
    fs::create_directories(tmp / "moved");
    for (const auto& e : fs::directory_iterator(tmp.Path()))
        if (e.path().extension().string().rfind(".z0", 0) == 0)
            fs::rename(e.path(), tmp / "moved" / e.path().filename());
    TUnZip z;
    z.ArchiveFile(zip.string());
    std::vector<std::pair<std::string, std::string>> asked;
    z.OnNextVolume = [&](TZipCommon&, std::string& Name, const std::string& Number, bool Exists,
                         bool&) {
        asked.emplace_back(ExtractFileName(Name), Number);
        // The first answer names a file that is not there either: asked again.
        if (!Exists && asked.size() % 2 == 1) Name = Inside(tmp / "nowhere" / "x.z01");
        else if (!Exists) Name = Inside(tmp / "moved" / ("set.z0" + Number));
    };
    const TRunLog log = RunLogged(z, tmp / "out");
    EXPECT_TRUE(log.Errors.empty());
    ExpectFilesMatch(tmp / "out", SplitFiles());
    ASSERT_GE(asked.size(), 2u);
    EXPECT_EQ(asked[0], std::make_pair(std::string("set.z01"), std::string("1")));
    EXPECT_EQ(asked[1], std::make_pair(std::string("x.z01"), std::string("1")));
}

TEST(SplitInfoZip, AnyPartFindsTheSetBesideIt)
{
    // Named by a numbered part, or read by a host without a volume handler, a set takes
    // its parts where they lie. Without its last part the local headers run on through
    // the numbered parts there are, and the run says it had no directory; without a
    // handler a missing part cancels the run.
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    enum TWant { All, NoDirectory, Cancelled };
    const struct {
        const char* Start;
        const char* Missing;
        bool Handler;
        TWant Want;
    } cases[] = {
        {"set.z01", "", true, All},
        {"set.z01", "set.zip", true, NoDirectory},
        {"set.zip", "", false, All},
        {"set.z01", "set.zip", false, NoDirectory},
        {"set.zip", "set.z03", false, Cancelled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Start) + " without " + c.Missing +
                     (c.Handler ? "" : ", no handler"));
        TTempDir tmp;
        ZipSplit(tmp, "set", "-0", SplitFiles());
        if (*c.Missing) fs::remove(tmp / c.Missing);
        TUnZip z;
        z.ArchiveFile((tmp / c.Start).string());
        const TRunLog log = RunLogged(z, tmp / "out", c.Handler);
        EXPECT_EQ(ExtractFileName(z.ArchiveFile()), c.Start);
        const auto& several = SplitFiles()[2];
        if (c.Want == Cancelled) {
            ASSERT_FALSE(log.Errors.empty());
            // Every failure is the cancel; the file it cut short is said to be so.
            for (const auto& [what, code] : log.Errors)
                EXPECT_TRUE(code == E_USERCANCELED || code == E_CUTSHORT) << what << " " << code;
            EXPECT_FALSE(log.Verdicts.count(several.first) && log.Verdicts.at(several.first));
            continue;
        }
        EXPECT_TRUE(ReadFile(tmp / "out" / several.first) == several.second);
        if (c.Want == All) {
            EXPECT_TRUE(log.Errors.empty()) << log.Errors.front().first;
            EXPECT_EQ(log.Count, 4);
            ExpectFilesMatch(tmp / "out", SplitFiles());
        } else {
            EXPECT_EQ(std::count(log.Volumes.begin(), log.Volumes.end(), "set.zip"), 0);
            EXPECT_NE(std::find(log.Extended.begin(), log.Extended.end(),
                                "no central directory: 4 entries found by scanning"),
                      log.Extended.end());
        }
    }
}

TEST(SplitInfoZip, IdentifiedAsMultiVolumeAndListedFromTheLastPart)
{
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    TTempDir tmp;
    const fs::path zip = ZipSplit(tmp, "set", "-6", SplitFiles());
    TUnZip z;
    z.ArchiveFile(zip.string());
    EXPECT_EQ(z.ArcType(), atZipMV);
    z.FileSpec({"*.*"});
    std::vector<int64_t> sizes;
    z.OnListEntry = [&](TZipCommon&, const TEntryListing& e) { sizes.push_back(e.Size); };
    bool asked = false;
    z.OnNextVolume = [&](TZipCommon&, std::string&, const std::string&, bool, bool&) { asked = true; };
    EXPECT_EQ(z.ListFiles(), 4);
    EXPECT_FALSE(asked) << "a listing needs the directory only, which is in the last part";
    std::vector<int64_t> want;
    for (const auto& f : SplitFiles()) want.push_back(static_cast<int64_t>(f.second.size()));
    EXPECT_EQ(sizes, want);
}

TEST(SplitInfoZip, ALastPartIsNeverReadAsAWholeArchive)
{
    // Stored files without extra fields, sized so that the last part starts with a
    // local header, inside an entry's data, or with the directory. Whatever its start,
    // a last part whose end record names its disks is read as the set, also when the
    // directory's size does not fit; a last part cut inside its directory has no end
    // record, and the run says what it could not read.
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    const std::vector<std::pair<std::string, Bytes>> local = {{"a.bin", RandomBytes(65487, 1)},
                                                              {"b.bin", RandomBytes(1000, 2)}};
    const std::vector<std::pair<std::string, Bytes>> data = {{"c.bin", RandomBytes(100000, 3)},
                                                             {"b.bin", RandomBytes(1000, 2)}};
    const std::vector<std::pair<std::string, Bytes>> central = {{"a.bin", RandomBytes(65487, 1)}};
    enum TDamage { Whole, SizePastTheStart, CutInsideTheDirectory };
    const struct {
        const char* Name;
        const std::vector<std::pair<std::string, Bytes>>& Files;
        std::array<uint8_t, 4> Start;
        TDamage Damage;
    } cases[] = {
        {"LocalHeaderWhole", local, {'P', 'K', 3, 4}, Whole},
        {"LocalHeaderSizePastTheStart", local, {'P', 'K', 3, 4}, SizePastTheStart},
        {"LocalHeaderCut", local, {'P', 'K', 3, 4}, CutInsideTheDirectory},
        {"InsideDataSizePastTheStart", data, {0, 0, 0, 0}, SizePastTheStart},
        {"InsideDataCut", data, {0, 0, 0, 0}, CutInsideTheDirectory},
        {"DirectoryWhole", central, {'P', 'K', 1, 2}, Whole},
        {"DirectoryCut", central, {'P', 'K', 1, 2}, CutInsideTheDirectory},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir tmp;
        const fs::path zip = ZipSplit(tmp, "set", "-0 -X", c.Files);
        ASSERT_TRUE(fs::exists(tmp / "set.z01"));
        Bytes last = ReadFile(zip);
        if (c.Start[0] == 'P') {
            ASSERT_TRUE(std::equal(c.Start.begin(), c.Start.end(), last.begin()));
        } else {
            ASSERT_NE(GetU16(last.data()), 0x4B50u);
        }
        // The directory lies wholly in the last part, right before its end record.
        const size_t end = last.size() - 22;
        ASSERT_EQ(GetU32(&last[end]), 0x06054B50u);
        const size_t dir = end - GetU32(&last[end + 12]);
        ASSERT_EQ(GetU32(&last[dir]), 0x02014B50u);
        if (c.Damage == SizePastTheStart)
            PutU32(&last[end + 12], static_cast<uint32_t>(end + 100000));
        if (c.Damage == CutInsideTheDirectory) last.resize((dir + end) / 2);
        WriteFile(zip, last);
        TUnZip z;
        z.ArchiveFile(zip.string());
        const TRunLog log = RunLogged(z, tmp / "out");
        if (c.Damage == CutInsideTheDirectory) {
            EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_BADHEADER});
            EXPECT_EQ(log.Subjects, std::vector<TReportSubject>{rsRun});
            for (const auto& [name, bytes] : c.Files) {
                if (fs::exists(tmp / "out" / name)) {
                    EXPECT_TRUE(ReadFile(tmp / "out" / name) == bytes) << name;
                }
            }
        } else {
            EXPECT_EQ(z.ArcType(), atZipMV);
            // A size that does not fit is read around and said once, as a notice.
            EXPECT_EQ(log.Codes(), c.Damage == SizePastTheStart ? std::vector<int32_t>{E_RECOVERED}
                                                                : std::vector<int32_t>{});
            EXPECT_EQ(log.Count, static_cast<int32_t>(c.Files.size()));
            ExpectFilesMatch(tmp / "out", c.Files);
        }
    }
}

// ---------------------------------------------------------------------------------------
// The volume stream and the names of parts.

TEST(VolumeStream, ReadsAcrossPartsAndSeeksBackOverAPartStart)
{
    const std::vector<Bytes> parts = {RandomBytes(100, 1), RandomBytes(7, 2), RandomBytes(50, 3)};
    Bytes whole;
    for (const Bytes& p : parts) whole.insert(whole.end(), p.begin(), p.end());
    std::vector<uint32_t> opened;
    TVolumeStream s(2, [&](uint32_t d) {
        opened.push_back(d);
        return std::make_unique<TMemoryStream32>(parts[d], 3);
    });
    // An offset past its part's end stands for the same byte in a later part.
    ASSERT_EQ(s.Seek(VolumePos(0, 98), 0), VolumePos(0, 98));
    Bytes got(59);
    ASSERT_EQ(s.ReadFull(got.data(), 59), 59);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin() + 98));
    EXPECT_EQ(s.Read(got.data(), 1), 0) << "the last part ends the stream";
    EXPECT_EQ(s.Normalize(VolumePos(0, 110)), VolumePos(2, 3));
    ASSERT_EQ(s.Seek(-52, 1), VolumePos(1, 5));
    ASSERT_EQ(s.ReadFull(got.data(), 4), 4);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 4, whole.begin() + 105));
    EXPECT_EQ(opened, (std::vector<uint32_t>{0, 1, 2, 1, 2}));
}

TEST(VolumeStream, AMissingPartReadsAsEmptyAndIsNotAskedForAgain)
{
    int asked = 0;
    TVolumeStream s(2, [&](uint32_t d) -> std::unique_ptr<TStream32> {
        if (d == 1) {
            ++asked;
            return nullptr;
        }
        return std::make_unique<TMemoryStream32>(RandomBytes(10, d));
    });
    uint8_t buf[32];
    s.Seek(VolumePos(0, 5), 0);
    EXPECT_EQ(s.Read(buf, 32), 5);
    s.Seek(VolumePos(1, 0), 0);
    EXPECT_EQ(s.Read(buf, 32), 0);
    EXPECT_FALSE(s.Available(1));
    s.Seek(VolumePos(2, 0), 0);
    EXPECT_EQ(s.Read(buf, 32), 10);
    EXPECT_EQ(asked, 1);
}

TEST(VolumeNames, PartsAreNumberedAfterTheArchive)
{
    TUnZip z;
    TTempDir tmp;
    WriteText(tmp / "set.zip", "x");
    z.ArchiveFile((tmp / "set.zip").string());
    const std::string stem = Inside(tmp / "set");
    const struct {
        uint32_t Index, Last;
        std::string Want;
    } cases[] = {{0, 2, stem + ".z01"}, {1, 2, stem + ".z02"}, {2, 2, stem + ".zip"},
                 {98, 200, stem + ".z99"}, {99, 200, stem + ".z100"}, {5, 3, stem + ".zip"}};
    for (const auto& c : cases) EXPECT_EQ(z.GetVolumeName(c.Index, c.Last), c.Want);
}

// ---------------------------------------------------------------------------------------
// The disk manager.

TEST(DiskManager, PkbackLabelsGiveTheDiskNumber)
{
    const struct {
        const char* Label;
        bool Valid;
        uint16_t Number;
    } cases[] = {{"PKBACK# 001", true, 1},  {"PKBACK# 017", true, 17}, {"BACKUP", true, 0},
                 {"", true, 0},             {"PKBACK# ", false, 0},   {"PKBACK# 12a", false, 0},
                 {"PKBACK# 70000", false, 0}, {"x PKBACK# 3", true, 3}};
    for (const auto& c : cases) {
        uint16_t n = 99;
        EXPECT_EQ(ParsePkBackNumber(c.Label, n), c.Valid) << c.Label;
        EXPECT_EQ(n, c.Number) << c.Label;
    }
}

TEST(DiskManager, FactsOfTheDriveHoldingAPath)
{
    TTempDir tmp;
    TDiskManager here, relative;
    ASSERT_TRUE(here.GetDiskInfo(Inside(tmp / "a.zip")));
    EXPECT_NE(here.FDriveType, 1);
    EXPECT_EQ(here.FDriveTypeName, TDiskManager::DriveTypeName(here.FDriveType));
    EXPECT_EQ(here.FSerialHex.size(), 8u);
    EXPECT_GT(here.FTotalBytes, 0);
    // A name without a folder is on the current directory's drive.
    const fs::path cwd = fs::current_path();
    fs::current_path(tmp.Path());
    const bool ok = relative.GetDiskInfo("a.zip");
    fs::current_path(cwd);
    ASSERT_TRUE(ok);
    EXPECT_EQ(relative.FRoot, here.FRoot);
}

// ---------------------------------------------------------------------------------------
// The temporary file stream.

TEST(TempFileStream, ReadModeReadsWhatIsThereAndTellsEachRead)
{
    TTempDir tmp;
    WriteFile(tmp / "part", RandomBytes(100, 5));
    TUnZip owner;
    TTempFileStream s(owner, fmOpenRead | fmShareDenyWrite, Inside(tmp / "part"));
    int reads = 0;
    s.FOnRead = [&](TTempFileStream&) { ++reads; };
    uint8_t buf[4096];
    EXPECT_EQ(s.Read(buf, 4096), 100);
    EXPECT_EQ(reads, 1);
    EXPECT_FALSE(s.IsTemp());
    TTempFileStream missing(owner, fmOpenRead, Inside(tmp / "nothing"));
    EXPECT_FALSE(missing.Valid());
}

TEST(TempFileStream, TemporaryDataEndsUnderItsFinalNameAndTheTemporaryFileGoes)
{
    TTempDir tmp;
    TUnZip owner;
    owner.TempFolder(Inside(tmp / "t"));
    fs::create_directories(tmp / "t");
    const Bytes data = RandomBytes(250000, 6);
    std::string tempName;
    {
        TTempFileStream s(owner, fmCreate, Inside(tmp / "final.bin"), Inside(tmp / "t"));
        ASSERT_TRUE(s.Valid());
        tempName = s.TempName();
        EXPECT_EQ(ExtractFileName(tempName).rfind("qvr", 0), 0u);
        // The copy moves chunks of at most 100000 bytes.
        struct TCounting : TMemoryStream32 {
            using TMemoryStream32::TMemoryStream32;
            std::vector<int32_t> Reads;
            int32_t Read(void* B, int32_t N) override
            {
                Reads.push_back(N);
                return TMemoryStream32::Read(B, N);
            }
        } src(data);
        EXPECT_EQ(s.CopyFromBuffered(src, 250000), 250000);
        EXPECT_EQ(src.Reads, (std::vector<int32_t>{100000, 100000, 50000}));
        EXPECT_EQ(s.Size(), 250000);
    }
    EXPECT_TRUE(ReadFile(tmp / "final.bin") == data);
    EXPECT_TRUE(FilesBelow(tmp / "t").empty());
}

TEST(TempFileStream, AFailedHandOverStillRemovesTheTemporaryFile)
{
    TTempDir tmp;
    TUnZip owner;
    fs::create_directories(tmp / "t");
    {
        TTempFileStream s(owner, fmCreate, Inside(tmp / "no/such/folder/final.bin"),
                          Inside(tmp / "t"));
        ASSERT_TRUE(s.Valid());
        s.Write("abc", 3);
        EXPECT_THROW(s.Finish(), std::exception);
        EXPECT_EQ(FilesBelow(tmp / "t").size(), 1u);
    }
    EXPECT_TRUE(FilesBelow(tmp / "t").empty());
    EXPECT_FALSE(fs::exists(tmp / "no"));
}

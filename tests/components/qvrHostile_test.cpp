// Hostile and damaged archives, built by code at test time and given to the command as
// an attacker or an unlucky user would. Whatever an archive says, nothing is written
// outside the destination, and every failure shows in the exit status and a report
// line with its code instead of passing for success.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

using namespace test;

namespace {

// One run of the command: the archive at ROOT/a/b/c/h.zip, the destination
// ROOT/a/b/c/dest, so that a name climbing out of it lands where the test looks.
struct THostileRun {
    int Status = -1;
    std::string Err;
    std::map<std::string, Bytes> Files; // below the destination, by "a/b" name
    std::vector<std::string> Outside; // anything else the run left under ROOT
};

THostileRun RunHostile(const Bytes& Zip, const std::string& Options = "")
{
    TTempDir tmp;
    const fs::path dir = tmp / "a/b/c";
    const fs::path dest = dir / "dest";
    fs::create_directories(dir);
    WriteFile(dir / "h.zip", Zip);
    const TRunResult r = Shell(Quote(CliPath().string()) + " -q -o " + Options + " " +
                               Quote((dir / "h.zip").string()) + " " + Quote(dest.string()));
    // Reports name the run's own temporary folder as ROOT, so that two runs compare.
    std::string err = r.Err;
    const std::string root = tmp.Path().string();
    for (size_t p = err.find(root); p != std::string::npos; p = err.find(root, p))
        err.replace(p, root.size(), "ROOT");
    THostileRun h{r.Status, err, {}, {}};
    for (const auto& f : FilesBelow(dest)) h.Files[f] = ReadFile(dest / f);
    for (auto it = fs::recursive_directory_iterator(tmp.Path());
         it != fs::recursive_directory_iterator(); ++it) {
        const fs::path& p = it->path();
        if (p == dest) it.disable_recursion_pending();
        if (p == dest || p == dir / "h.zip" || dir.string().rfind(p.string(), 0) == 0) continue;
        h.Outside.push_back(fs::relative(p, tmp.Path()).generic_string());
    }
    return h;
}

std::vector<std::string> Names(const std::map<std::string, Bytes>& Files)
{
    std::vector<std::string> v;
    for (const auto& f : Files) v.push_back(f.first);
    return v;
}

// Lines of Err that carry Code.
size_t Reports(const std::string& Err, int32_t Code)
{
    // The code ends its line, or the system's reason follows it.
    const std::string tag = "(" + std::to_string(Code) + ")";
    size_t n = 0;
    for (size_t p = Err.find(tag); p != std::string::npos; p = Err.find(tag, p + 1)) {
        const size_t end = p + tag.size();
        if (end == Err.size() || Err[end] == '\n' || Err.compare(end, 2, ": ") == 0) ++n;
    }
    return n;
}

TZipEntrySpec Stored(const std::string& Name, size_t Size, uint32_t Seed)
{
    return Entry(Name, TextBytes(Size, Seed));
}

// An archive of one stored entry named Name.
Bytes OneEntry(const std::string& Name) { return BuildZip({Stored(Name, 40, 7)}); }

} // namespace

// ---------------------------------------------------------------------------------
// Names: climbing steps at every position, rooted forms, dot-only steps. A step that
// would leave the destination is dropped; a name that is only dots has no file to go
// to and is reported.

TEST(Hostile, NamesStayInsideTheDestination)
{
    SKIP_ON_WINDOWS("runs the command through /bin/sh");
    struct TCase {
        std::string Name;
        std::string File; // where the entry lands; empty: nowhere
        int Status;
    };
    // Ten steps up from the destination climb past the root: the leaf is the process's own,
    // so that what climbed that far would be found there.
    const std::string deep = "../../../../../../../../../..";
    const std::string x = "escape-" + std::to_string(getpid());
    const TCase cases[] = {
        {"../" + x, x, 0},
        {deep + "/" + x, x, 0},
        {"a/../" + x, "a/" + x, 0},
        {"a/" + deep + "/" + x, "a/" + x, 0},
        {"a/b/../../../" + x, "a/b/" + x, 0},
        {"a\\..\\..\\" + x, "a/" + x, 0},
        {"..\\..\\" + x, x, 0},
        {"a/b/..", "", 1},
        {"./" + x, x, 0},
        {"a/./" + x, "a/" + x, 0},
        {"a/.", "", 1},
        {"a//" + x, "a/" + x, 0},
        {"/" + x, x, 0},
        {"/tmp/" + x, "tmp/" + x, 0},
        {"/../" + x, x, 0},
        {"//srv/share/" + x, "srv/share/" + x, 0},
        {"\\\\srv\\share\\" + x, "srv/share/" + x, 0},
        {"\\\\?\\C:\\" + x, "?/C:/" + x, 0},
        {"C:/" + x, x, 0},
        {"C:\\" + x, x, 0},
        {"C:\\..\\" + x, x, 0},
        // A colon is part of a name unless a "\" follows the drive.
        {"c:" + x, "c:" + x, 0},
        {".", "", 1},
        {"..", "", 1},
        {"...", "...", 0},
        {".../" + x, ".../" + x, 0},
        {"a/...", "a/...", 0},
        {"../", "", 0},
        {"./", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const THostileRun r = RunHostile(OneEntry(c.Name));
        EXPECT_EQ(r.Outside, std::vector<std::string>{});
        EXPECT_EQ(r.Status, c.Status) << r.Err;
        if (c.File.empty())
            EXPECT_TRUE(r.Files.empty());
        else
            EXPECT_EQ(r.Files, (std::map<std::string, Bytes>{{c.File, TextBytes(40, 7)}}));
        EXPECT_EQ(Reports(r.Err, E_OPENERR), c.Status == 0 ? 0u : 1u) << r.Err;
        for (const fs::path& above : {fs::path("/"), fs::temp_directory_path()})
            EXPECT_FALSE(fs::exists(above / x)) << above;
    }
}

// ---------------------------------------------------------------------------------
// Archives whose records lie: a table of cases, each one archive with the exit status,
// the files and the report lines it must give.

namespace {

struct TLyingCase {
    const char* Name;
    std::function<Bytes()> Make;
    int Status;
    std::vector<std::string> Files;
    // Lines (or their ends) that stderr must hold, and how many reports of 25114.
    std::vector<std::string> Lines;
    size_t BadHeaders;
    std::string Options = "";
};

Bytes Zeros(size_t N) { return Bytes(N, 0); }

// Three stored entries, the second one's directory record pointing at the first one's
// local header (in Count copies), each copy under a disk number of its own when Disks.
Bytes SameHeaderTwice(int Copies, bool Disks)
{
    std::vector<TZipEntrySpec> e = {Entry("f0", Zeros(100000), 8)};
    for (int i = 1; i <= Copies; ++i) {
        TZipEntrySpec x = e[0];
        x.Name = "f" + std::to_string(i);
        x.LocalOffset = 0;
        e.push_back(x);
    }
    e.push_back(Stored("tail.txt", 300, 3));
    Bytes zip = BuildZip(e);
    for (int i = 1; Disks && i <= Copies; ++i)
        PutU16(&zip[CentralRecordOffset(zip, static_cast<size_t>(i)) + 34], static_cast<uint16_t>(i));
    return zip;
}

// Three stored entries with the directory record of entry Index patched at Field.
Bytes Patched(size_t Index, size_t Field, uint32_t Value)
{
    Bytes zip = BuildZip({Stored("a.txt", 100, 1), Stored("b.txt", 200, 2), Stored("c.txt", 300, 3)});
    PutU32(&zip[CentralRecordOffset(zip, Index) + Field], Value);
    return zip;
}

// The same three entries with the end record's field at Field (bytes from its start)
// patched.
Bytes EndPatched(size_t Field, uint32_t Value, bool Wide16 = false)
{
    Bytes zip = BuildZip({Stored("a.txt", 100, 1), Stored("b.txt", 200, 2), Stored("c.txt", 300, 3)});
    if (Wide16)
        PutU16(&zip[zip.size() - 22 + Field], static_cast<uint16_t>(Value));
    else
        PutU32(&zip[zip.size() - 22 + Field], Value);
    return zip;
}

const std::vector<std::string> ABC = {"a.txt", "b.txt", "c.txt"};
// Names of 300 bytes and more that differ only after the 255th.
const std::string LongFolder = std::string(200, 'd') + "/";
const std::string CutLeaf = std::string(54, 'n');

} // namespace

TEST(Hostile, LyingRecordsAreReportedAndConfined)
{
    SKIP_ON_WINDOWS("runs the command through /bin/sh");
    const TLyingCase cases[] = {
        // One local header under several directory records: the first is extracted,
        // every other one is reported and left out.
        {"SameLocalHeaderTwice", [] { return SameHeaderTwice(1, false); }, 1, {"f0", "tail.txt"},
         {"f1: Bad file header (25114)"}, 1},
        {"SameLocalHeaderFiftyTimes", [] { return SameHeaderTwice(50, false); }, 1,
         {"f0", "tail.txt"}, {"f50: Bad file header (25114)"}, 50},
        // Disk numbers mean nothing in a single file: they do not hide the overlap.
        {"SameLocalHeaderOnOtherDisks", [] { return SameHeaderTwice(3, true); }, 1,
         {"f0", "tail.txt"}, {"f3: Bad file header (25114)"}, 3},
        // Each entry quotes the next one's local header: the non-recursive bomb.
        {"QuotedOverlap", [] { return QuotedOverlapZip(6, Zeros(200000)); }, 1, {"q0"},
         {"q1: Bad file header (25114)", "q5: Bad file header (25114)"}, 5},
        // A compressed size that runs into the directory.
        {"DataRunsIntoTheDirectory", [] { return Patched(2, 20, 5000); }, 1, {"a.txt", "b.txt"},
         {"c.txt: Bad file header (25114)"}, 1},
        {"CompressedSizePastTheEnd", [] { return Patched(0, 20, 0xFFFFFFF0u); }, 1,
         {"b.txt", "c.txt"}, {"a.txt: Bad file header (25114)"}, 1},
        // The local header names another file than the directory, which selected it.
        {"LocalNameClimbsOut",
         [] {
             TZipEntrySpec e = Stored("good.txt", 50, 1);
             e.LocalName = "../PWN.txt";
             return BuildZip({e, Stored("other.txt", 60, 2)});
         },
         1, {"good.txt"}, {"good.txt: Bad file header: the local header names ..\\PWN.txt (25114)"}, 1, "-f good.txt"},
        {"LocalNameDiffers",
         [] {
             TZipEntrySpec e = Stored("a.txt", 50, 1);
             e.LocalName = "b.txt";
             return BuildZip({e});
         },
         1, {"a.txt"}, {"a.txt: Bad file header: the local header names b.txt (25114)"}, 1},
        // Names are kept whole: names that differ only past their 255th byte are
        // different files, each under its own name, and none is reported.
        {"NamesThatDifferLate",
         [] {
             return BuildZip({Stored(LongFolder + CutLeaf + "-one.txt", 10, 1),
                              Stored(LongFolder + CutLeaf + "-two.txt", 20, 2),
                              Stored("plain.txt", 30, 3)});
         },
         0, {LongFolder + CutLeaf + "-one.txt", LongFolder + CutLeaf + "-two.txt", "plain.txt"},
         {}, 0},
        {"NameAndItsLongerForm",
         [] {
             return BuildZip({Stored(LongFolder + CutLeaf, 10, 1),
                              Stored(LongFolder + CutLeaf + "-longer.txt", 20, 2)});
         },
         0, {LongFolder + CutLeaf, LongFolder + CutLeaf + "-longer.txt"}, {}, 0},
        // Counts and offsets past the end.
        {"EntryCountPastTheRecords", [] { return EndPatched(10, 500, true); }, 1, ABC,
         {"h.zip: Bad file header (25114)"}, 1},
        {"StoredDeclares1TB",
         [] {
             TZipEntrySpec e = Stored("big.txt", 100, 1);
             e.Raw = true;
             e.Crc = Crc32Of(e.Data);
             e.UncompressedSize = uint64_t{1} << 40;
             e.Zip64 = true;
             return BuildZip({e});
         },
         1, {"big.txt"}, {"big.txt: File fails CRC check (25151)"}, 0},
        {"DeflateDeclares4GB",
         [] {
             TZipEntrySpec e = Entry("big.bin", Zeros(1000), 8);
             e.UncompressedSize = 0xFFFFFFF0u;
             return BuildZip({e});
         },
         1, {"big.bin"}, {"big.bin: Bad block (25116): stream ends before its stated size"}, 0},
        {"DeflateDeclaresTooLittle",
         [] {
             TZipEntrySpec e = Entry("big.bin", Zeros(100000), 8);
             e.UncompressedSize = 10;
             return BuildZip({e});
         },
         1, {"big.bin"}, {"big.bin: Bad block (25116): data goes on past its stated size"}, 0},
        {"DirectoryOffsetPastTheEnd", [] { return EndPatched(16, 0x7FFFFF00u); }, 0, ABC, {}, 0},
        // A directory that does not fit before its end record is not read: the local
        // headers give the entries, and the run says that it had no directory.
        {"DirectorySizePastTheStart", [] { return EndPatched(12, 0x7FFFFF00u); }, 1, ABC,
         {"h.zip: Bad file header: no central directory: 3 entries found by scanning (25114)"}, 1},
        {"Zip64LocatorPastTheEnd",
         [] {
             std::vector<TZipEntrySpec> e = {Stored("a.txt", 100, 1), Stored("b.txt", 200, 2),
                                             Stored("c.txt", 300, 3)};
             for (auto& x : e) x.Zip64 = true;
             TZipBuildOptions o;
             o.Zip64End = true;
             Bytes zip = BuildZip(e, o);
             PutU32(&zip[zip.size() - 22 - 20 + 12], 0x7FFF);
             return zip;
         },
         0, ABC, {}, 0},
        {"LocalOffsetPastTheEnd", [] { return Patched(1, 42, 0x7FFFFFF0u); }, 1,
         {"a.txt", "c.txt"}, {"b.txt: Bad file header (25114)"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const THostileRun r = RunHostile(c.Make(), c.Options);
        EXPECT_EQ(r.Outside, std::vector<std::string>{});
        EXPECT_EQ(r.Status, c.Status) << r.Err;
        std::vector<std::string> files = c.Files;
        std::sort(files.begin(), files.end());
        EXPECT_EQ(Names(r.Files), files);
        // No case holds more than 200 000 honest bytes in an entry: a larger file is
        // what a bomb or a declared size produced.
        for (const auto& [name, data] : r.Files) EXPECT_LE(data.size(), 250000u) << name;
        for (const auto& line : c.Lines) EXPECT_NE(r.Err.find(line), std::string::npos) << r.Err;
        EXPECT_EQ(Reports(r.Err, E_BADHEADER), c.BadHeaders) << r.Err;
        // One thread and three decide alike.
        for (const char* threads : {" -T 1", " -T 3"}) {
            const THostileRun t = RunHostile(c.Make(), c.Options + threads);
            EXPECT_EQ(t.Status, r.Status) << threads;
            EXPECT_EQ(t.Err, r.Err) << threads;
            EXPECT_EQ(t.Files, r.Files) << threads;
        }
    }
}

// ---------------------------------------------------------------------------------
// Truncations: an archive made by Info-ZIP cut short at many lengths, as a download that
// stopped. Every cut is reported, whatever it extracted, and never leaves a file the
// archive does not hold.

TEST(Hostile, TruncatedArchivesAreReported)
{
    if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
    TTempDir tmp;
    const std::map<std::string, Bytes> files = {{"docs/a.txt", TextBytes(3000, 1)},
                                                {"docs/b.bin", RandomBytes(700, 2)},
                                                {"c.txt", TextBytes(40, 3)},
                                                {"d.txt", TextBytes(9000, 4)}};
    for (const auto& [name, data] : files) WriteFile(tmp / "src" / name, data);
    ASSERT_EQ(Shell("cd " + Quote((tmp / "src").string()) +
                    " && zip -q -r ../full.zip docs c.txt && zip -q -0 ../full.zip d.txt")
                  .Status,
              0);
    const Bytes full = ReadFile(tmp / "full.zip");
    // Every length in the directory and the end record, every 7th before them.
    const size_t dir = CentralRecordOffset(full, 0);
    // A cut right after an entry, or inside the directory, leaves local headers that
    // end cleanly: only the report that the directory was missing tells that entries
    // may be lost, so no cut passes without a report, whatever it extracted.
    std::vector<size_t> silent;
    for (size_t len = 0; len < full.size(); len += len < dir ? 7 : 1) {
        SCOPED_TRACE("cut at " + std::to_string(len) + " of " + std::to_string(full.size()));
        const fs::path root = tmp / ("cut" + std::to_string(len));
        WriteFile(root / "h.zip", Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len)));
        TUnZip z;
        OpenArchive(z, root / "h.zip", false);
        // What is not taken for an archive at all is refused by the command (exit 2).
        const bool refused = !IsZipWalkType(z.ArcType());
        const TRunLog log = refused ? TRunLog{} : RunLogged(z, root / "dest");
        std::map<std::string, Bytes> got;
        std::vector<std::string> written = {"h.zip"};
        for (const auto& f : FilesBelow(root / "dest")) {
            got[f] = ReadFile(root / "dest" / f);
            written.push_back("dest/" + f);
        }
        std::sort(written.begin(), written.end());
        EXPECT_EQ(FilesBelow(root), written);
        for (const auto& [name, data] : got) {
            ASSERT_TRUE(files.count(name)) << name;
            EXPECT_LE(data.size(), files.at(name).size()) << name;
        }
        if (!refused && log.Errors.empty()) silent.push_back(len);
        // One cut in four on three threads as well: they decide as one thread does.
        if (!refused && len % 4 == 0)
            ExpectThreadsAsOne(root / "h.zip", root / "threads", [](TUnZip&) {}, 3);
        fs::remove_all(root);
    }
    EXPECT_EQ(silent, std::vector<size_t>{});
}

// ---------------------------------------------------------------------------------
// Memory: a directory of 400 000 entries read by the command under an address-space
// limit. The entry table takes a few dozen bytes an entry with its name (about 30 MB
// in all here); where even that is not to be had, the run says so.

namespace {

TRunResult TestUnderLimit(const fs::path& Zip, int KiloBytes)
{
    return Shell("ulimit -v " + std::to_string(KiloBytes) + " && exec " +
                 Quote(CliPath().string()) + " -t " + Quote(Zip.string()));
}

} // namespace

TEST(Hostile, RunningOutOfMemoryIsReported)
{
    SKIP_ON_WINDOWS("runs the command through /bin/sh with a memory limit");
#ifdef UNSPOOL_SANITIZED
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit under an address-space limit";
#endif
    TTempDir tmp;
    std::vector<TZipEntrySpec> e(400000);
    for (size_t i = 0; i < e.size(); ++i)
        e[i].Name = "d" + std::to_string(i / 10000) + "/f" + std::to_string(i);
    WriteFile(tmp / "many.zip", BuildZip(e));
    e.clear();
    const TRunResult starved = TestUnderLimit(tmp / "many.zip", 16000);
    EXPECT_EQ(starved.Status, 2) << starved.Err;
    EXPECT_NE(starved.Err.find("many.zip: Stack overflow (25299)"), std::string::npos)
        << starved.Err;
    // Room for the table, but not for a copy of every directory record besides it.
    const TRunResult fits = TestUnderLimit(tmp / "many.zip", 50000);
    EXPECT_EQ(fits.Status, 0) << fits.Err;
    EXPECT_NE(fits.Out.find("400000 files tested"), std::string::npos) << fits.Out;
}

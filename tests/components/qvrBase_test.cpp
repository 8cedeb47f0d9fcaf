// The component model and the extraction driver: defaults, setter rules, the order of
// events, the exception boundary, cancel and error reporting.
#include "TestSupport.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <utility>

using namespace test;

namespace {

// A small archive of three stored files.
fs::path MakeArchive(const TTempDir& Tmp, const std::string& Name = "a.zip")
{
    const fs::path p = Tmp / Name;
    WriteFile(p, BuildZip(StoredFiles(
                     {{"one.txt", 1000}, {"dir/two.txt", 70000}, {"three.bin", 5000, true}})));
    return p;
}

struct TErrorLog {
    struct TItem {
        std::string File, Ext, Volume;
        int32_t Code;
    };
    std::vector<TItem> Items;
    void Attach(TZipCommon& C)
    {
        C.OnError = [this](TZipCommon&, const std::string& F, const std::string& E,
                           const std::string& V, int32_t Code) { Items.push_back({F, E, V, Code}); };
    }
};

} // namespace

TEST(ComponentDefaults, NewComponentHasTheDeclaredDefaults)
{
    TUnZip z;
    EXPECT_EQ(z.PasswordAttempts(), 3);
    EXPECT_TRUE(z.RecurseDirs());
    EXPECT_TRUE(z.UseStoredDirs());
    EXPECT_TRUE(z.RestoreFileAttr());
    EXPECT_TRUE(z.TranslateOemChar());
    EXPECT_FALSE(z.ConfirmOverwrites());
    EXPECT_FALSE(z.CreateStoredDirs());
    EXPECT_EQ(z.OverwriteMode(), omOverwrite);
    EXPECT_EQ(z.DateAttribute(), daFileDate);
    EXPECT_EQ(z.CpuType(), cptAuto);
    EXPECT_EQ(z.ArcType(), atNA);
    EXPECT_TRUE(z.ArchiveFile().empty());
    EXPECT_TRUE(z.FileSpec().empty());
    EXPECT_FALSE(z.GetCancel());
}

TEST(ComponentSetters, ZipCmntBufSizeIsClamped)
{
    TUnZip z;
    z.ZipCmntBufSize(100);
    EXPECT_EQ(z.ZipCmntBufSize(), 2000);
    z.ZipCmntBufSize(32768);
    EXPECT_EQ(z.ZipCmntBufSize(), 32767);
    z.ZipCmntBufSize(5000);
    EXPECT_EQ(z.ZipCmntBufSize(), 5000);
}

TEST(ComponentSetters, ExtractDirIsNormalised)
{
    TTempDir tmp;
    TUnZip z;
    // Read back as the system writes paths, whichever separator it was given with.
    z.ExtractDir("some/where/out");
    EXPECT_EQ(z.ExtractDir(), qvrOS::HostPath("some\\where\\out\\"));
    z.ExtractDir("some\\where\\out");
    EXPECT_EQ(z.ExtractDir(), qvrOS::HostPath("some\\where\\out\\"));
    z.ExtractDir("C:\\x\\");
    EXPECT_EQ(z.ExtractDir(), qvrOS::HostPath("C:\\x\\"));
    z.ExtractDir("");
    EXPECT_EQ(z.ExtractDir(), "");
    const fs::path a = MakeArchive(tmp);
    z.ArchiveFile(a.string());
    z.ExtractDir("");
    EXPECT_EQ(z.ExtractDir(), (tmp.Path() / "").string());
}

TEST(ComponentSetters, ArchiveFileOfAMissingFileReadsBackEmpty)
{
    TTempDir tmp;
    TUnZip z;
    const fs::path a = MakeArchive(tmp);
    z.ArchiveFile(a.string());
    EXPECT_EQ(z.ArchiveFile(), Inside(a));
    EXPECT_EQ(z.ArcType(), atZip);
    z.ArchiveFile((tmp / "missing.zip").string());
    EXPECT_EQ(z.ArchiveFile(), "");
    EXPECT_EQ(z.ArcType(), atNA);
}

TEST(ComponentSetters, ListsAreCopied)
{
    TUnZip z;
    TStringList l = {"*.txt", "*.bin"};
    z.FileSpec(l);
    z.Passwords(l);
    l.push_back("later");
    l[0] = "changed";
    EXPECT_EQ(z.FileSpec(), (TStringList{"*.txt", "*.bin"}));
    EXPECT_EQ(z.Passwords(), (TStringList{"*.txt", "*.bin"}));
}

TEST(Driver, EventsComeInRunOrder)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile(MakeArchive(tmp).string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    std::vector<std::string> log;
    z.OnActivate = [&](TZipCommon&) { log.push_back("activate"); };
    z.OnDeactivate = [&](TZipCommon&) { log.push_back("deactivate"); };
    z.OnBegin = [&](TZipCommon&, const std::string& f, int32_t n, bool&) {
        log.push_back("begin " + ExtractFileName(f) + " " + std::to_string(n));
    };
    z.OnEnd = [&](TZipCommon&, const std::string& f, bool pass) {
        log.push_back("end " + ExtractFileName(f) + (pass ? " pass" : " FAIL"));
    };
    float elapsed = -1;
    z.OnElapsedTime = [&](TZipCommon&, float s) {
        elapsed = s;
        log.push_back("elapsed");
    };
    EXPECT_EQ(z.ExtractFiles(), 3);
    const std::vector<std::string> want = {
        "activate",          "begin one.txt 1",   "end one.txt pass",   "begin two.txt 2",
        "end two.txt pass",  "begin three.bin 3", "end three.bin pass", "elapsed",
        "deactivate"};
    EXPECT_EQ(log, want);
    EXPECT_GE(elapsed, 0.0f);
    EXPECT_EQ(ReadFile(tmp / "out/dir/two.txt"), TextBytes(70000, 2));
}

TEST(Driver, AMissingArchiveReportsFileNotFoundOnce)
{
    TTempDir tmp;
    TUnZip z;
    TErrorLog errors;
    errors.Attach(z);
    bool activated = false;
    z.OnActivate = [&](TZipCommon&) { activated = true; };
    z.ArchiveFile((tmp / "missing.zip").string());
    EXPECT_EQ(z.ExtractFiles(), 0);
    ASSERT_EQ(errors.Items.size(), 1u);
    EXPECT_EQ(errors.Items[0].Code, E_FILENOTFOUND);
    EXPECT_EQ(errors.Items[0].Volume, "0");
    EXPECT_FALSE(activated);
}

TEST(Driver, AnArchiveThatCannotBeOpenedReportsOpenError)
{
    TTempDir tmp;
    TUnZip z;
    const fs::path a = MakeArchive(tmp);
    z.ArchiveFile(a.string());
    fs::remove(a);
    TErrorLog errors;
    errors.Attach(z);
    EXPECT_EQ(z.ExtractFiles(), 0);
    ASSERT_EQ(errors.Items.size(), 1u);
    EXPECT_EQ(errors.Items[0].Code, E_OPENERR);
    // Named as the system writes it.
    EXPECT_EQ(errors.Items[0].File, a.string());
}

TEST(Driver, AnExceptionFromAHandlerEndsTheRunButNotTheCaller)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile(MakeArchive(tmp).string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    bool deactivated = false;
    z.OnDeactivate = [&](TZipCommon&) { deactivated = true; };
    int begins = 0;
    z.OnBegin = [&](TZipCommon&, const std::string&, int32_t, bool&) {
        if (++begins == 2) throw std::runtime_error("host failure");
    };
    int32_t n = -1;
    EXPECT_NO_THROW(n = z.ExtractFiles());
    // The run stops at the throwing handler with the count reached before it.
    EXPECT_EQ(begins, 2);
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(fs::exists(tmp / "out/one.txt"));
    EXPECT_FALSE(fs::exists(tmp / "out/three.bin"));
    EXPECT_TRUE(deactivated);
    // After the run the archive name is the one set before it.
    EXPECT_EQ(z.ArchiveFile(), Inside(tmp / "a.zip"));
}

TEST(Driver, AnExceptionInOnActivateSkipsTheOtherRunEvents)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile(MakeArchive(tmp).string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    bool deactivated = false, elapsed = false;
    z.OnActivate = [&](TZipCommon&) { throw std::runtime_error("no"); };
    z.OnDeactivate = [&](TZipCommon&) { deactivated = true; };
    z.OnElapsedTime = [&](TZipCommon&, float) { elapsed = true; };
    EXPECT_EQ(z.ExtractFiles(), 0);
    EXPECT_FALSE(deactivated);
    EXPECT_FALSE(elapsed);
    EXPECT_FALSE(fs::exists(tmp / "out/one.txt"));
}

TEST(Cancel, SetFromProgressStopsFurtherFilesAndReports)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile(MakeArchive(tmp).string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    TErrorLog errors;
    errors.Attach(z);
    std::vector<std::string> begun;
    z.OnBegin = [&](TZipCommon&, const std::string& f, int32_t, bool&) {
        begun.push_back(ExtractFileName(f));
    };
    z.OnProgress = [&](TZipCommon& c, uint8_t, uint8_t) {
        if (!c.GetCancel()) c.SetCancel(true);
    };
    EXPECT_NO_THROW(z.ExtractFiles());
    EXPECT_EQ(begun, std::vector<std::string>{"one.txt"});
    ASSERT_FALSE(errors.Items.empty());
    EXPECT_EQ(errors.Items[0].Code, E_USERCANCELED);
    EXPECT_FALSE(fs::exists(tmp / "out/three.bin"));
    EXPECT_TRUE(z.GetCancel()); // stays set until the next run
    // The next run starts afresh.
    z.OnProgress = nullptr;
    EXPECT_EQ(z.ExtractFiles(), 3);
}

TEST(Cancel, ReportsWhileCancelledCarryTheCancelCode)
{
    TUnZip z;
    TErrorLog errors;
    errors.Attach(z);
    z.ReportError("f", "", E_CRCERR, "0");
    z.SetCancel(true);
    z.ReportError("f", "", E_CRCERR, "0");
    // RaiseError does not raise while cancelled.
    EXPECT_NO_THROW(z.RaiseError("f", "", E_DISKFULL, "0"));
    ASSERT_EQ(errors.Items.size(), 4u);
    EXPECT_EQ(errors.Items[0].Code, E_CRCERR);
    EXPECT_EQ(errors.Items[1].Code, E_USERCANCELED); // SetCancel's own report
    EXPECT_EQ(errors.Items[2].Code, E_USERCANCELED);
    EXPECT_EQ(errors.Items[3].Code, E_USERCANCELED);
}

TEST(Cancel, ASharedFlagIsHonoured)
{
    TUnZip z;
    bool shared = false;
    z.SetCancelPtr(&shared);
    shared = true;
    EXPECT_TRUE(z.GetCancel());
    z.SetCancel(false);
    EXPECT_FALSE(shared);
}

TEST(RaiseError, CarriesTheTableTextUnlessTheHandlerCancels)
{
    TUnZip z;
    try {
        z.RaiseError("x", "", E_DISKFULL, "0");
        FAIL() << "no exception";
    } catch (const E_RAISE& e) {
        EXPECT_STREQ(e.what(), "Disk full");
        EXPECT_EQ(e.Code(), E_DISKFULL);
    }
    z.OnError = [](TZipCommon& c, const std::string&, const std::string&, const std::string&,
                   int32_t code) {
        if (code != E_USERCANCELED) c.SetCancel(true);
    };
    EXPECT_NO_THROW(z.RaiseError("x", "", E_BADBLOCK, "0"));
}

TEST(MessageTable, EveryCodeHasItsText)
{
    const std::pair<int32_t, const char*> table[] = {
        {25114, "Bad file header"}, {25116, "Bad block"}, {25136, "Error writing to file"},
        {25138, "Error closing file"}, {25151, "File fails CRC check"}, {25160, "Disk full"},
        {25170, "is not accessible"}, {25171, "disk is write protected"},
        {25192, "File not found"}, {25235, "Error opening file"},
        {25236, "Same file as an earlier entry of this archive"},
        {25270, "Required event not assigned"},
        {25293, "Ambiguous Shannon-Fano decode tree encountered"}, {25299, "Stack overflow"},
        {25326, "Unsupported compression method"}, {25443, "User canceled"},
        {26517, "Invalid password"}};
    for (const auto& [code, text] : table) EXPECT_EQ(MessageText(code), text) << code;
    EXPECT_EQ(MessageText(1), "");
}

TEST(Timer, PausesAreTakenOutOfTheElapsedTime)
{
    uint32_t now = 1000;
    TqvrTimer t([&] { return now; });
    t.Pause(); // not running: nothing happens
    t.Start();
    now = 3000;
    t.Pause();
    now = 10000; // 7 s in a handler
    t.Resume();
    now = 11000;
    t.Stop();
    EXPECT_FLOAT_EQ(t.Elapsed(), 3.0f);
    // Stop on a stopped clock changes nothing.
    now = 50000;
    t.Stop();
    EXPECT_FLOAT_EQ(t.Elapsed(), 3.0f);
}

TEST(Timer, NestedPausesKeepOnlyTheLatest)
{
    uint32_t now = 0;
    TqvrTimer t([&] { return now; });
    t.Start(); // start at tick 0 still counts as running
    now = 100;
    t.Pause(); // outer
    now = 200;
    t.Pause(); // inner
    now = 300;
    t.Resume(); // inner: start shifts by 100
    now = 400;
    t.Resume(); // outer: shifts by the time since the inner pause, 200
    now = 1000;
    t.Stop();
    EXPECT_FLOAT_EQ(t.Elapsed(), (1000 - 300) / 1000.0f);
}

TEST(Timer, ElapsedIsRightAcrossTheTickWrap)
{
    constexpr uint32_t Top = 0xFFFFFFFFu; // the last tick before the counter wraps to 0
    struct TCase {
        const char* Name;
        uint32_t Start, Pause, Resume, Stop; // Pause == Resume: a pause of no length
        float Seconds;
    };
    const TCase cases[] = {
        {"no wrap", 1000, 3000, 10000, 11000, 3.0f},
        {"wrap while running", Top - 999, Top - 999, Top - 999, 2000, 3.0f},
        {"one tick across", Top, Top, Top, 0, 0.001f},
        {"wrap before the pause", Top - 999, 500, 4500, 5000, 2.0f},
        {"wrap during the pause", Top - 4999, Top - 1999, 3000, 4000, 4.0f},
        {"wrap after the resume", Top - 8999, Top - 7999, Top - 999, 1500, 3.5f},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        uint32_t now = c.Start;
        TqvrTimer t([&] { return now; });
        t.Start();
        now = c.Pause;
        t.Pause();
        now = c.Resume;
        t.Resume();
        now = c.Stop;
        t.Stop();
        EXPECT_FLOAT_EQ(t.Elapsed(), c.Seconds);
    }
}

TEST(Timer, NestedPausesAcrossTheTickWrap)
{
    // The sequence of NestedPausesKeepOnlyTheLatest moved so that the wrap falls in
    // each of its intervals in turn.
    for (const uint32_t base : {0xFFFFFFFFu - 50, 0xFFFFFFFFu - 150, 0xFFFFFFFFu - 250,
                                0xFFFFFFFFu - 350, 0xFFFFFFFFu - 500}) {
        SCOPED_TRACE(base);
        uint32_t now = base;
        TqvrTimer t([&] { return now; });
        t.Start();
        for (const uint32_t at : {100u, 200u}) {
            now = base + at;
            t.Pause();
        }
        for (const uint32_t at : {300u, 400u}) {
            now = base + at;
            t.Resume();
        }
        now = base + 1000;
        t.Stop();
        EXPECT_FLOAT_EQ(t.Elapsed(), 0.7f);
    }
}

TEST(Timer, ElapsedExcludesTimeSpentInHandlers)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile(MakeArchive(tmp).string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    // The run's clock is the test's: each of the three OnBegin calls takes 150 ms, and
    // the entry's work after it 40 ms, which pass once the clock has been read after
    // the handler returned.
    uint32_t now = 1000, work = 0;
    z.Timer() = TqvrTimer([&] {
        const uint32_t t = now;
        now += std::exchange(work, 0);
        return t;
    });
    float elapsed = -1;
    z.OnElapsedTime = [&](TZipCommon&, float s) { elapsed = s; };
    z.OnBegin = [&](TZipCommon&, const std::string&, int32_t, bool&) {
        now += 150;
        work = 40;
    };
    z.ExtractFiles();
    EXPECT_FLOAT_EQ(elapsed, 0.12f); // the 450 ms spent in OnBegin are taken out
}

TEST(HostHooks, ArchiveCommentReadsLikeNamesWithoutTheFlag)
{
    TTempDir tmp;
    const struct {
        std::string Comment; // as stored
        char Shape;          // ' ' plain end record, 'z' with ZIP64's, 'n' no directory
        bool Oem;
        std::string CodePage;
        std::string Expect;
    } cases[] = {
        {"plain text\r\n", ' ', true, "", "plain text\r\n"},
        {"UTF-8 caf\xC3\xA9", ' ', true, "", "UTF-8 caf\xC3\xA9"},
        {"caf\x82", ' ', true, "", "caf\xC3\xA9"},         // 437
        {"caf\x82", ' ', true, "1252", "caf\xE2\x80\x9A"}, // the names' code page
        {"caf\x82", ' ', false, "", "caf%82"},             // no translation asked for
        {"zip64 \x82", 'z', true, "", "zip64 \xC3\xA9"},
        {"", ' ', true, "", ""},
        {"gone", 'n', true, "", ""}, // no end record: no comment
    };
    int n = 0;
    for (const auto& c : cases) {
        TZipBuildOptions o;
        o.Comment = c.Comment;
        o.Zip64End = c.Shape == 'z';
        o.NoCentral = c.Shape == 'n';
        const fs::path p = tmp / ("c" + std::to_string(n++) + ".zip");
        WriteFile(p, BuildZip({Entry("f.txt", TextBytes(10, 1))}, o));
        TUnZip z;
        z.TranslateOemChar(c.Oem);
        z.NameCodePage(c.CodePage);
        z.ArchiveFile(p.string());
        EXPECT_EQ(z.ArchiveComment(), c.Expect) << c.Comment;
    }
}

TEST(HostHooks, OnSelectEntryHasTheLastWord)
{
    TTempDir tmp;
    const fs::path arc = MakeArchive(tmp);
    TUnZip z;
    z.ArchiveFile(arc.string());
    z.FileSpec({"*.txt"});
    std::vector<std::string> offered;
    // Take arrives with FileSpec's verdict; the handler turns it round.
    z.OnSelectEntry = [&](TZipCommon&, const std::string& Name, bool& Take) {
        offered.push_back(Name + (Take ? " +" : " -"));
        Take = !Take;
    };
    std::vector<std::string> listed;
    z.OnListEntry = [&](TZipCommon&, const TEntryListing& e) { listed.push_back(e.Name); };
    EXPECT_EQ(z.ListFiles(), 1);
    EXPECT_EQ(offered, (std::vector<std::string>{"one.txt +", "dir\\two.txt +", "three.bin -"}));
    EXPECT_EQ(listed, (std::vector<std::string>{"three.bin"}));
}

TEST(HostHooks, PasswordPerEntryAsksForEachEncryptedEntry)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e = {Entry("a.txt", TextBytes(100, 1), 8),
                                    Entry("b.txt", TextBytes(200, 2), 8),
                                    Entry("c.txt", TextBytes(300, 3), 8)};
    for (TZipEntrySpec& s : e) Encrypt(s, "right");
    WriteFile(tmp / "e.zip", BuildZip(e));
    const struct {
        bool PerEntry;
        std::vector<std::string> Answers; // "" declines
        int32_t Files;
        int32_t Skips;
        size_t Asked;
    } cases[] = {
        {false, {"", "right", "right"}, 0, 3, 1}, // the first decline ends the search
        {true, {"", "right"}, 2, 1, 2},           // only the declined entry is skipped
        {true, {"", "", ""}, 0, 3, 3},
    };
    int n = 0;
    for (const auto& c : cases) {
        TUnZip z;
        z.ArchiveFile((tmp / "e.zip").string());
        z.ExtractDir((tmp / ("out" + std::to_string(n++))).string());
        z.FileSpec({"*.*"});
        z.PasswordPerEntry(c.PerEntry);
        size_t asked = 0;
        z.OnGetPassword = [&](TZipCommon&, const std::string&, std::string& Password,
                              bool& TryAgain) {
            Password = asked < c.Answers.size() ? c.Answers[asked] : "";
            ++asked;
            TryAgain = !Password.empty();
        };
        z.OnError = [](TZipCommon&, const std::string&, const std::string&, const std::string&,
                       int32_t) {};
        EXPECT_EQ(z.ExtractFiles(), c.Files) << c.PerEntry;
        EXPECT_EQ(z.PasswordSkips(), c.Skips) << c.PerEntry;
        EXPECT_EQ(asked, c.Asked) << c.PerEntry;
    }
}

// The output-file protocol: overwrite questions, read-only files, dates, attributes,
// folders, a full disk.
#include "OutputFaults.h"
#include "TestSupport.h"
#include "qvrAheadFolders.h"
#include "qvrPlatform.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace test;

namespace {

const uint32_t Date2001 = (21u << 25) | (6u << 21) | (15u << 16) | (10u << 11) | (30u << 5);
const uint32_t Date2010 = (30u << 25) | (1u << 21) | (2u << 16) | (3u << 11) | (4u << 5);

fs::path TwoFileArchive(const TTempDir& Tmp)
{
    std::vector<TZipEntrySpec> e(2);
    e[0].Name = "one.txt";
    e[0].Data = TextBytes(100, 1);
    e[0].DosTime = Date2001;
    e[1].Name = "two.txt";
    e[1].Data = TextBytes(200, 2);
    e[1].DosTime = Date2010;
    const fs::path p = Tmp / "a.zip";
    WriteFile(p, BuildZip(e));
    return p;
}

struct TRun {
    TUnZip Z;
    std::vector<int32_t> Codes;
    TRun(const fs::path& Archive, const fs::path& Out)
    {
        Z.ArchiveFile(Archive.string());
        Z.ExtractDir(Out.string());
        Z.FileSpec({"*.*"});
        Z.OnError = [this](TZipCommon&, const std::string&, const std::string&,
                           const std::string&, int32_t c) { Codes.push_back(c); };
    }
};

time_t MTime(const fs::path& P)
{
#ifdef _WIN32
    struct _stat64 st {};
    _wstat64(P.c_str(), &st);
#else
    struct stat st {};
    stat(P.c_str(), &st);
#endif
    return static_cast<time_t>(st.st_mtime);
}

time_t LocalTime(int Y, int Mo, int D, int H, int Mi)
{
    std::tm t{};
    t.tm_year = Y - 1900;
    t.tm_mon = Mo - 1;
    t.tm_mday = D;
    t.tm_hour = H;
    t.tm_min = Mi;
    t.tm_isdst = -1;
    return mktime(&t);
}

} // namespace

TEST(Overwrite, SkipModeWithoutQuestionsWritesNothing)
{
    TTempDir tmp;
    TRun r(TwoFileArchive(tmp), tmp / "out");
    r.Z.OverwriteMode(omSkip);
    EXPECT_EQ(r.Z.ExtractFiles(), 0);
    EXPECT_FALSE(fs::exists(tmp / "out/one.txt"));
}

TEST(Overwrite, MissingHandlerReportsAndLeavesTheFile)
{
    TTempDir tmp;
    WriteText(tmp / "out/one.txt", "mine");
    TRun r(TwoFileArchive(tmp), tmp / "out");
    r.Z.ConfirmOverwrites(true);
    EXPECT_EQ(r.Z.ExtractFiles(), 1);
    EXPECT_EQ(ReadText(tmp / "out/one.txt"), "mine");
    EXPECT_EQ(ReadFile(tmp / "out/two.txt"), TextBytes(200, 2));
    ASSERT_EQ(r.Codes.size(), 1u);
    EXPECT_EQ(r.Codes[0], E_REQUIREDEVENT);
}

TEST(Overwrite, HandlerCanReplaceRenameOrSkip)
{
    TTempDir tmp;
    WriteText(tmp / "out/one.txt", "old one");
    WriteText(tmp / "out/two.txt", "old two");
    WriteText(tmp / "out/two-b.txt", "also taken");
    TRun r(TwoFileArchive(tmp), tmp / "out");
    r.Z.ConfirmOverwrites(true);
    std::vector<std::string> asked;
    r.Z.OnFileExists = [&](TZipCommon&, const std::string& f, std::string& n, TOverwriteMode& m) {
        const std::string leaf = ExtractFileName(f);
        asked.push_back(leaf);
        if (leaf == "one.txt") {
            m = omOverwrite; // same name: replace
        } else if (leaf == "two.txt") {
            n = ExtractFilePath(f) + "two-b.txt"; // exists too: asked again
            m = omOverwrite;
        } else {
            n = ExtractFilePath(f) + "sub\\two-c.txt"; // folder made at once
            m = omOverwrite;
        }
    };
    EXPECT_EQ(r.Z.ExtractFiles(), 2);
    EXPECT_EQ(asked, (std::vector<std::string>{"one.txt", "two.txt", "two-b.txt"}));
    EXPECT_EQ(ReadFile(tmp / "out/one.txt"), TextBytes(100, 1));
    EXPECT_EQ(ReadText(tmp / "out/two.txt"), "old two");
    EXPECT_EQ(ReadText(tmp / "out/two-b.txt"), "also taken");
    EXPECT_EQ(ReadFile(tmp / "out/sub/two-c.txt"), TextBytes(200, 2));
}

TEST(Overwrite, ReadOnlyExistingFileIsReplacedOnceConfirmed)
{
    TTempDir tmp;
    WriteText(tmp / "out/one.txt", "locked");
    fs::permissions(tmp / "out/one.txt", fs::perms::owner_read | fs::perms::group_read);
    TRun r(TwoFileArchive(tmp), tmp / "out");
    r.Z.ConfirmOverwrites(true);
    r.Z.OnFileExists = [](TZipCommon&, const std::string&, std::string&, TOverwriteMode& m) {
        m = omOverwrite;
    };
    EXPECT_EQ(r.Z.ExtractFiles(), 2);
    EXPECT_EQ(ReadFile(tmp / "out/one.txt"), TextBytes(100, 1));
}

TEST(Begin, DeclinedFilesAreNotCountedAndCountsStayInOrder)
{
    TTempDir tmp;
    TRun r(TwoFileArchive(tmp), tmp / "out");
    std::vector<int32_t> counts;
    r.Z.OnBegin = [&](TZipCommon&, const std::string& f, int32_t n, bool& extract) {
        counts.push_back(n);
        extract = ExtractFileName(f) != "one.txt";
    };
    EXPECT_EQ(r.Z.ExtractFiles(), 1);
    EXPECT_EQ(counts, (std::vector<int32_t>{1, 1}));
    EXPECT_FALSE(fs::exists(tmp / "out/one.txt"));
}

TEST(Begin, RenameEventRedirectsTheFile)
{
    TTempDir tmp;
    TRun r(TwoFileArchive(tmp), tmp / "out");
    r.Z.OnBegin = [](TZipCommon&, const std::string&, int32_t, bool&) {};
    r.Z.OnRenameFile = [](TZipCommon&, const std::string& f, std::string& n) {
        n = ExtractFilePath(f) + "renamed\\" + ExtractFileName(f);
    };
    EXPECT_EQ(r.Z.ExtractFiles(), 2);
    EXPECT_EQ(ReadFile(tmp / "out/renamed/one.txt"), TextBytes(100, 1));
}

// Files and the folders made for them carry their owner's bits only while they are
// written, whatever mode they end with, so that nobody else reads a private entry
// meanwhile; done, they have the stored mode, or the system's when none is restored.
TEST(Modes, FilesAndFoldersArePrivateUntilDone)
{
    SKIP_ON_WINDOWS("POSIX modes and the umask");
#ifndef _WIN32
    struct TCase {
        const char* What;
        uint8_t Host;
        uint32_t Attr;
        bool Restore;
        unsigned Mode; // the file's, at the end
    };
    const TCase cases[] = {
        {"stored mode", 3, 0100644u << 16, true, 0644},
        {"modes not restored", 3, 0100600u << 16, false, 0644},
        {"DOS file", 0, 0x20, true, 0644},
        {"DOS read-only file", 0, 0x21, true, 0444},
    };
    const mode_t mask = ::umask(022);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TTempDir tmp;
        TZipEntrySpec e = Entry("d/e/big.bin", TextBytes(3 << 20, 1));
        e.Host = c.Host;
        e.ExternalAttr = c.Attr;
        WriteFile(tmp / "p.zip", BuildZip({e}));
        TRun r(tmp / "p.zip", tmp / "out");
        r.Z.RestoreFileAttr(c.Restore);
        int seen = 0;
        r.Z.OnProgress = [&](TZipCommon&, uint8_t, uint8_t) {
            for (const char* name : {"d", "d/e", "d/e/big.bin"}) {
                struct stat st {};
                if (::stat((tmp / "out" / name).c_str(), &st) != 0) continue;
                ++seen;
                EXPECT_EQ(st.st_mode & 077, 0u) << name;
            }
        };
        EXPECT_EQ(r.Z.ExtractFiles(), 1);
        EXPECT_GT(seen, 3);
        EXPECT_EQ(fs::status(tmp / "out/d/e/big.bin").permissions(), fs::perms(c.Mode));
        EXPECT_EQ(fs::status(tmp / "out/d/e").permissions(), fs::perms(0755));
        EXPECT_EQ(fs::status(tmp / "out/d").permissions(), fs::perms(0755));
    }
    ::umask(mask);
#endif
}

// A host hands names back as its system writes them, or with the component's "\".
TEST(Begin, RenameEventTakesEitherSeparator)
{
    for (const char* sep : {"/", "\\"}) {
        SCOPED_TRACE(sep);
        TTempDir tmp;
        TRun r(TwoFileArchive(tmp), tmp / "out");
        r.Z.OnBegin = [](TZipCommon&, const std::string&, int32_t, bool&) {};
        r.Z.OnRenameFile = [&](TZipCommon&, const std::string& f, std::string& n) {
            n = (tmp / "out").string() + sep + "sub" + sep + "deeper" + sep + "x" +
                f.substr(f.size() - 7);
        };
        EXPECT_EQ(r.Z.ExtractFiles(), 2);
        EXPECT_EQ(r.Codes, std::vector<int32_t>{});
        EXPECT_EQ(ReadFile(tmp / "out/sub/deeper/xone.txt"), TextBytes(100, 1));
    }
}

TEST(Dates, FileDateNowAndNewest)
{
    TTempDir tmp;
    {
        TRun r(TwoFileArchive(tmp), tmp / "file");
        r.Z.ExtractFiles();
        EXPECT_EQ(MTime(tmp / "file/one.txt"), LocalTime(2001, 6, 15, 10, 30));
        EXPECT_EQ(MTime(tmp / "file/two.txt"), LocalTime(2010, 1, 2, 3, 4));
    }
    {
        TRun r(TwoFileArchive(tmp), tmp / "newest");
        r.Z.DateAttribute(daMaxFileDate);
        r.Z.ExtractFiles();
        EXPECT_EQ(MTime(tmp / "newest/one.txt"), LocalTime(2010, 1, 2, 3, 4));
    }
    {
        TRun r(TwoFileArchive(tmp), tmp / "now");
        r.Z.DateAttribute(daSysDate);
        const time_t before = time(nullptr);
        r.Z.ExtractFiles();
        EXPECT_NEAR(static_cast<double>(MTime(tmp / "now/one.txt")), static_cast<double>(before), 5.0);
    }
}

TEST(Attributes, ReadOnlyEntriesBecomeReadOnlyFiles)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e(2);
    e[0].Name = "ro.txt";
    e[0].Data = TextBytes(10, 1);
    e[0].ExternalAttr = 0x21;
    e[1].Name = "rw.txt";
    e[1].Data = TextBytes(10, 2);
    e[1].ExternalAttr = 0x20;
    WriteFile(tmp / "a.zip", BuildZip(e));
    {
        TRun r(tmp / "a.zip", tmp / "out");
        r.Z.ExtractFiles();
    }
    EXPECT_EQ(fs::status(tmp / "out/ro.txt").permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_NE(fs::status(tmp / "out/rw.txt").permissions() & fs::perms::owner_write, fs::perms::none);
    {
        TRun r(tmp / "a.zip", tmp / "out2");
        r.Z.RestoreFileAttr(false);
        r.Z.ExtractFiles();
    }
    EXPECT_NE(fs::status(tmp / "out2/ro.txt").permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST(Folders, EmptyStoredFoldersOnlyWithCreateStoredDirs)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e(2);
    e[0].Name = "empty/";
    e[0].ExternalAttr = 0x10;
    e[1].Name = "full/f.txt";
    e[1].Data = TextBytes(3, 1);
    WriteFile(tmp / "a.zip", BuildZip(e));
    std::vector<bool> verdicts;
    {
        TRun r(tmp / "a.zip", tmp / "out");
        r.Z.OnEnd = [&](TZipCommon&, const std::string&, bool p) { verdicts.push_back(p); };
        EXPECT_EQ(r.Z.ExtractFiles(), 1);
    }
    EXPECT_FALSE(fs::exists(tmp / "out/empty"));
    EXPECT_EQ(verdicts, (std::vector<bool>{true, true}));
    {
        TRun r(tmp / "a.zip", tmp / "out2");
        r.Z.CreateStoredDirs(true);
        r.Z.ExtractFiles();
    }
    EXPECT_TRUE(fs::is_directory(tmp / "out2/empty"));
}

// Each file's folders are walked on from those the last file left open, and below a
// folder the run made a new one is made without being looked for: every folder is
// made once, and only the two straight below the destination are looked for in vain. At
// the end each folder the run made is opened once more for its final mode (made
// private, it takes the system's), two of them walked to again through their parents.
TEST(Folders, EachFolderIsOpenedOnceAndMadeWithoutALookBelowANewOne)
{
    SKIP_ON_WINDOWS("the output faults interpose POSIX C library calls");
    TTempDir tmp;
    const std::vector<std::string> names = {"a/b/1.txt",   "a/b/2.txt", "a/c/3.txt",
                                            "a/c/d/4.txt", "a/5.txt",   "e/6.txt"};
    std::vector<TZipEntrySpec> e(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        e[i].Name = names[i];
        e[i].Data = TextBytes(10 + i, static_cast<int>(i));
    }
    WriteFile(tmp / "a.zip", BuildZip(e));
    fs::create_directories(tmp / "out");
    TRun r(tmp / "a.zip", tmp / "out");
    TFileCalls calls;
    EXPECT_EQ(r.Z.ExtractFiles(), 6);
    EXPECT_EQ(calls.Mkdirs(), 5);
    EXPECT_EQ(calls.OpensMissing(), 2);
    EXPECT_EQ(calls.Opens(), 6 + 5 + 2 + 5 + 2);
    for (const TZipEntrySpec& x : e)
        EXPECT_EQ(ReadFile(tmp / "out" / x.Name), x.Data) << x.Name;
}

// The count of folders made ahead of their files' turn: a level goes only when no file
// still waits in it and nothing kept it, deepest first, and never above a level that
// stays (an empty folder is the only kind removed, so one that stays holds the rest).
TEST(Folders, LevelsMadeAheadGoOnlyWhenNoFileWaitsInThem)
{
    std::vector<std::string> removed;
    std::set<std::string> full; // levels the removal finds not empty
    const TAheadFolders::TRemove remove = [&](std::string_view L) {
        removed.emplace_back(L);
        return full.count(std::string(L)) == 0;
    };
    auto settle = [&](TAheadFolders& A, std::string_view F, bool Kept) {
        removed.clear();
        A.Settle(F, Kept, remove);
        return removed;
    };
    using V = std::vector<std::string>;
    TAheadFolders a;
    EXPECT_FALSE(a.Enter("a\\", std::string_view::npos)); // nothing made, nothing counted
    EXPECT_TRUE(a.Enter("a\\b\\", 0));
    EXPECT_TRUE(a.Enter("a\\c\\", 2)); // only c\ made, in a\ made before
    EXPECT_EQ(settle(a, "a\\b\\", false), V{"a\\b\\"}); // a\ still holds c's file
    EXPECT_EQ(settle(a, "a\\c\\", false), (V{"a\\c\\", "a\\"}));
    EXPECT_TRUE(a.Empty());
    // A level an entry needs in its own turn stays; so do those of a file begun.
    a.Enter("k\\l\\", 0);
    a.Keep("k\\");
    EXPECT_EQ(settle(a, "k\\l\\", false), V{"k\\l\\"});
    a.Enter("m\\", 0);
    EXPECT_EQ(settle(a, "m\\", true), V{});
    // A level found not empty stops the removal above it.
    full = {"p\\q\\"};
    a.Enter("p\\q\\", 0);
    EXPECT_EQ(settle(a, "p\\q\\", false), V{"p\\q\\"});
    EXPECT_TRUE(a.Empty());
    // Files that never had their turn: what they made is swept, deepest first.
    a.Enter("s\\t\\u\\", 0);
    a.Enter("s\\v\\", 2);
    removed.clear();
    a.Sweep(remove);
    ASSERT_EQ(removed.size(), 4u);
    EXPECT_EQ(removed[0], "s\\t\\u\\");
    EXPECT_EQ(removed[3], "s\\");
    EXPECT_TRUE(a.Empty());
}

// The volume fills up inside the second entry: the run ends there with one report,
// naming the file and the system's reason; the file it would have replaced is kept, a
// new one is not left half written, and the entries after it are never begun.
TEST(DiskFull, EndsTheRunWithOneReportAndNothingAfter)
{
    SKIP_ON_WINDOWS("the output faults interpose POSIX C library calls");
    TTempDir tmp;
    WriteFile(tmp / "a.zip", BuildZip({Entry("one.txt", TextBytes(4000, 1)),
                                       Entry("big.bin", RandomBytes(1500000, 5), 8),
                                       Entry("two.txt", TextBytes(200, 2))}));
    // On workers the full disk is met there and met again in the entry's turn; on the
    // calling thread with threads to spare it is met by the thread writing behind.
    for (const auto& [threads, existing] : {std::pair{1, true}, {1, false}, {4, true}, {4, false}}) {
        SCOPED_TRACE(testing::Message() << threads << (existing ? " replacing" : " new"));
        const fs::path out = tmp / "out";
        fs::remove_all(out);
        if (existing) WriteText(out / "big.bin", "old");
        TFullDisk disk(64 * 1024);
        TRun r(tmp / "a.zip", out);
        r.Z.Threads(threads);
        std::vector<std::string> begun;
        r.Z.OnBegin = [&](TZipCommon&, const std::string& f, int32_t, bool&) {
            begun.push_back(ExtractFileName(f));
        };
        std::vector<TReportSubject> subjects;
        r.Z.OnError = [&](TZipCommon& s, const std::string& f, const std::string& x,
                          const std::string&, int32_t c) {
            r.Codes.push_back(c);
            subjects.push_back(s.ReportSubject());
            EXPECT_EQ(ExtractFileName(f), "big.bin");
            EXPECT_EQ(x, std::strerror(ENOSPC));
        };
        EXPECT_EQ(r.Z.ExtractFiles(), 1);
        EXPECT_EQ(r.Codes, std::vector<int32_t>{E_WRITEERR});
        EXPECT_EQ(subjects, std::vector<TReportSubject>{rsRun});
        EXPECT_EQ(begun, (std::vector<std::string>{"one.txt", "big.bin"}));
        EXPECT_EQ(FilesBelow(out), existing ? (std::vector<std::string>{"big.bin", "one.txt"})
                                            : std::vector<std::string>{"one.txt"});
        if (existing) {
            EXPECT_EQ(ReadText(out / "big.bin"), "old");
        }
    }
}

// A device in a file's place is neither written to nor replaced.
TEST(OpenOutput, ADeviceInTheWayIsAnOpenError)
{
    if (!fs::exists("/dev/null")) GTEST_SKIP() << "no /dev/null";
    TTempDir tmp;
    TRun r(TwoFileArchive(tmp), tmp / "out");
    r.Z.OnBegin = [](TZipCommon&, const std::string&, int32_t, bool&) {};
    r.Z.OnRenameFile = [](TZipCommon&, const std::string& f, std::string& n) {
        if (ExtractFileName(f) == "one.txt") n = "\\dev\\null";
    };
    EXPECT_EQ(r.Z.ExtractFiles(), 1);
    ASSERT_FALSE(r.Codes.empty());
    EXPECT_EQ(r.Codes[0], E_OPENERR);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_EQ(ReadFile(tmp / "out/two.txt"), TextBytes(200, 2));
}

TEST(OpenOutput, AFolderInTheWayIsAnOpenError)
{
    TTempDir tmp;
    fs::create_directories(tmp / "out/one.txt");
    TRun r(TwoFileArchive(tmp), tmp / "out");
    EXPECT_EQ(r.Z.ExtractFiles(), 1);
    ASSERT_FALSE(r.Codes.empty());
    EXPECT_EQ(r.Codes[0], E_OPENERR);
    EXPECT_EQ(ReadFile(tmp / "out/two.txt"), TextBytes(200, 2));
}

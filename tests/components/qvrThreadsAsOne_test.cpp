// One entry protocol whatever the thread count: entries refused by their records, cut
// encrypted entries, passwords that open some entries and not others, settings a host
// changes in OnBegin, a cancel in an entry's last progress and a full disk end the same
// on one thread and on several: the same events, reports, counts and trees.
#include "OutputFaults.h"
#include "TestSupport.h"
#include "qvrMessages.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace test;

namespace {

// A WinZip AES field (0x9901) of Size bytes: vendor version, vendor id, strength and the
// method beneath the cipher, cut or padded to Size.
Bytes AesField(uint16_t Version, const char* Vendor, uint8_t Strength, size_t Size = 7)
{
    Bytes body = {static_cast<uint8_t>(Version), static_cast<uint8_t>(Version >> 8),
                  static_cast<uint8_t>(Vendor[0]), static_cast<uint8_t>(Vendor[1]), Strength, 8,
                  0};
    body.resize(Size);
    return Field(0x9901, body);
}

// A deflated entry enciphered with the traditional cipher under Password.
TZipEntrySpec Sealed(const std::string& Name, const Bytes& Data, const std::string& Password)
{
    TZipEntrySpec e = Entry(Name, Data, 8);
    Encrypt(e, Password);
    return e;
}

// Plain and encrypted files around Odd, so that entries are given to workers before and
// after it and the password search has entries to open after it.
std::vector<TZipEntrySpec> Around(const TZipEntrySpec& Odd)
{
    std::vector<TZipEntrySpec> e;
    for (int i = 0; i < 4; ++i) e.push_back(Entry("a" + std::to_string(i) + ".txt", TextBytes(900, i + 1), 8));
    e.push_back(Odd);
    for (int i = 0; i < 3; ++i) e.push_back(Sealed("s" + std::to_string(i) + ".txt", TextBytes(700, i + 9), "pw"));
    for (int i = 0; i < 4; ++i) e.push_back(Entry("b" + std::to_string(i) + ".txt", TextBytes(800, i + 5)));
    return e;
}

// A file a user left at P, with a time of its own that every run's copy shares.
void UserFile(const fs::path& P, const std::string& Text)
{
    WriteText(P, Text);
    fs::last_write_time(P, fs::file_time_type(std::chrono::hours(24 * 365 * 30)));
}

struct TOddCase {
    const char* Name;
    uint16_t Method;
    uint16_t Flags;
    Bytes Extra;
    size_t DataSize;
    int32_t Code;
    std::string Reason;
};

} // namespace

// An entry its records refuse, or whose encryption header the data cannot hold, is
// reported by name and makes no file on every thread count, and the entries after it
// (encrypted ones included) come out. Strength 255 once made a worker read a kilobyte
// of archive bytes into an 18-byte buffer.
TEST(Concurrency, RefusedAndCutEntriesEndAsOnOneThread)
{
    const TOddCase cases[] = {
        {"Strength255", 99, 1, AesField(2, "AE", 255), 3000, E_UNSUPPORTEDMETHOD,
         "AES (99) with an unknown strength 255"},
        {"Strength4", 99, 1, AesField(2, "AE", 4), 3000, E_UNSUPPORTEDMETHOD,
         "AES (99) with an unknown strength 4"},
        {"FieldOfSix", 99, 1, AesField(2, "AE", 3, 6), 3000, E_UNSUPPORTEDMETHOD,
         "AES (99) with a malformed 0x9901 field"},
        {"VendorXY", 99, 1, AesField(2, "XY", 3), 3000, E_UNSUPPORTEDMETHOD,
         "AES (99) with a malformed 0x9901 field"},
        {"Version3", 99, 1, AesField(3, "AE", 3), 3000, E_UNSUPPORTEDMETHOD,
         "AES (99) with an unknown vendor version 3"},
        {"NoField", 99, 1, {}, 3000, E_UNSUPPORTEDMETHOD, "AES (99) without its 0x9901 field"},
        {"NotFlagged", 99, 0, AesField(2, "AE", 3), 3000, E_UNSUPPORTEDMETHOD,
         "AES (99) not flagged as encrypted"},
        {"CutAes", 99, 1, AesField(2, "AE", 3), 21, E_BADHEADER,
         "data shorter than its encryption header"},
        {"CutTraditional", 8, 1, {}, 7, E_BADHEADER, "data shorter than its encryption header"},
    };
    TTempDir tmp;
    for (const TOddCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TZipEntrySpec odd;
        odd.Name = "odd.bin";
        odd.Method = c.Method;
        odd.Flags = c.Flags;
        odd.Extra = c.Extra;
        odd.Raw = true;
        odd.Data = RandomBytes(c.DataSize, 3);
        odd.UncompressedSize = 3000;
        const std::vector<TZipEntrySpec> entries = Around(odd);
        const fs::path zip = tmp / (std::string(c.Name) + ".zip");
        WriteFile(zip, BuildZip(entries));
        const fs::path dir = tmp / c.Name;
        const TRunLog log =
            ExpectThreadsAsOne(zip, dir, [](TUnZip& z) { z.Passwords({"pw"}); }, 3);
        EXPECT_EQ(log.Codes(), std::vector<int32_t>{c.Code});
        EXPECT_EQ(log.Extended, std::vector<std::string>{c.Reason});
        EXPECT_EQ(log.Count, static_cast<int32_t>(entries.size() - 1));
        EXPECT_FALSE(fs::exists(dir / "four/odd.bin"));
        EXPECT_EQ(ReadFile(dir / "four/s2.txt"), TextBytes(700, 11));
    }
}

// Entries under two passwords, extracted with either: once no password opens an entry,
// the encrypted entries after it are skipped, whatever workers made of them ahead.
TEST(Concurrency, TwoPasswordsDecideAsOnOneThread)
{
    TTempDir tmp;
    WriteFile(tmp / "a.zip", BuildZip({Sealed("one.txt", TextBytes(600, 1), "first"),
                                       Sealed("two.txt", TextBytes(600, 2), "second"),
                                       Sealed("three.txt", TextBytes(600, 3), "first"),
                                       Entry("plain.txt", TextBytes(600, 4), 8)}));
    const std::pair<const char*, std::vector<std::string>> rows[] = {
        {"first", {"one.txt", "plain.txt"}}, {"second", {"plain.txt"}}};
    for (const auto& [password, files] : rows) {
        SCOPED_TRACE(password);
        const fs::path dir = tmp / password;
        ExpectThreadsAsOne(tmp / "a.zip", dir,
                           [pw = password](TUnZip& z) { z.Passwords({pw}); }, 3);
        EXPECT_EQ(FilesBelow(dir / "four"), files);
    }
}

// Settings a host changes in its first OnBegin hold for the entries after it, although
// workers begun those before their begin step ran: the user's files over which the run
// goes are kept, asked about or stamped as the new settings say.
TEST(Concurrency, SettingsChangedInOnBeginHoldForEntriesBegunAhead)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> entries;
    for (int i = 0; i < 40; ++i) {
        entries.push_back(Entry("f" + std::to_string(i) + ".txt", TextBytes(500, i + 1), i % 2 ? 8 : 0));
        entries.back().DosTime = 0x5A8C6B2D + static_cast<uint32_t>(i) * 0x10000; // a day apart
    }
    WriteFile(tmp / "a.zip", BuildZip(entries));
    const auto userFiles = [&](const fs::path& Dir) {
        for (int i = 0; i < 40; i += 2) UserFile(Dir / ("f" + std::to_string(i) + ".txt"), "user's own");
    };
    struct TRow {
        const char* Name;
        std::function<void(TUnZip&)> First; // what the first OnBegin changes
        int Kept;                           // user's files left as they were
    };
    const TRow rows[] = {
        {"Skip", [](TUnZip& z) { z.OverwriteMode(omSkip); }, 20},
        {"Ask", [](TUnZip& z) { z.ConfirmOverwrites(true); }, 10},
        {"NewestDate", [](TUnZip& z) { z.DateAttribute(daMaxFileDate); }, 0},
    };
    for (const TRow& r : rows) {
        SCOPED_TRACE(r.Name);
        const fs::path dir = tmp / r.Name;
        auto asked = std::make_shared<std::vector<int>>();
        ExpectThreadsAsOne(
            tmp / "a.zip", dir,
            [&, asked](TUnZip& z) {
                asked->push_back(0);
                auto first = std::make_shared<bool>(true);
                z.OnBegin = [first, &r](TZipCommon& s, const std::string&, int32_t, bool&) {
                    if (*first) r.First(static_cast<TUnZip&>(s));
                    *first = false;
                };
                // Every other question keeps the user's file.
                z.OnFileExists = [asked](TZipCommon&, const std::string&, std::string&,
                                         TOverwriteMode& Mode) {
                    Mode = asked->back()++ % 2 ? omOverwrite : omSkip;
                };
            },
            4, userFiles);
        EXPECT_EQ((*asked)[1], (*asked)[0]);
        int kept = 0;
        for (const std::string& name : FilesBelow(dir / "four"))
            kept += ReadText(dir / "four" / name) == "user's own";
        EXPECT_EQ(kept, r.Kept);
    }
}

// A host that cancels in the last progress of a file an earlier run left: the entry
// fails and the user's file stays, whichever thread decoded the entry.
TEST(Concurrency, ACancelInAnEntrysLastProgressKeepsTheFileItWouldReplace)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> entries;
    for (int i = 0; i < 12; ++i) entries.push_back(Entry("f" + std::to_string(i) + ".txt", TextBytes(4000, i + 1), 8));
    WriteFile(tmp / "a.zip", BuildZip(entries));
    const fs::path dir = tmp / "cut";
    ExpectThreadsAsOne(
        tmp / "a.zip", dir,
        [](TUnZip& z) {
            auto begun = std::make_shared<int>(0);
            z.OnBegin = [begun](TZipCommon&, const std::string&, int32_t, bool&) { ++*begun; };
            z.OnProgress = [begun](TZipCommon& s, uint8_t ByFile, uint8_t) {
                if (*begun == 3 && ByFile == 100) s.SetCancel(true);
            };
        },
        4,
        [](const fs::path& Dir) {
            for (int i = 0; i < 12; ++i) UserFile(Dir / ("f" + std::to_string(i) + ".txt"), "old");
        });
    EXPECT_EQ(ReadText(dir / "four/f2.txt"), "old");
    EXPECT_EQ(ReadText(dir / "four/f5.txt"), "old");
    EXPECT_EQ(ReadFile(dir / "four/f1.txt"), TextBytes(4000, 2));
}

// A disk that fills while workers write the entries after the one it fills at: the
// entries ahead give their room back, the run ends at that entry with its one report,
// and the tree is the one a single thread leaves: the files before it, the file it
// would have replaced as it was, nothing after it and no temporary file.
TEST(Concurrency, AFullDiskEndsTheRunAsOnOneThread)
{
    SKIP_ON_WINDOWS("the output faults interpose POSIX C library calls");
    TTempDir tmp;
    std::vector<TZipEntrySpec> entries;
    for (int i = 0; i < 24; ++i) entries.push_back(Entry("f" + std::to_string(i) + ".bin", RandomBytes(20000, i + 1), i % 2 ? 8 : 0));
    WriteFile(tmp / "a.zip", BuildZip(entries));
    TFullDisk disk(250000);
    const TRunLog log = ExpectThreadsAsOne(tmp / "a.zip", tmp / "full", [](TUnZip&) {}, 3,
                                           [&disk](const fs::path& Dir) {
                                               UserFile(Dir / "f12.bin", "old");
                                               disk.Reset();
                                           });
    EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_WRITEERR});
    EXPECT_EQ(log.Subjects, std::vector<TReportSubject>{rsRun});
    EXPECT_EQ(log.Count, 12);
    std::vector<std::string> left;
    for (int i = 0; i <= 12; ++i) left.push_back("f" + std::to_string(i) + ".bin");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(FilesBelow(tmp / "full/four"), left);
    EXPECT_EQ(ReadText(tmp / "full/four/f12.bin"), "old");
}

// The inputs the fuzzers once found faults with, and the corpus's damaged archives, on
// one thread and on three.
TEST(Concurrency, HostileArchivesEndAsOnOneThread)
{
    SKIP_ON_WINDOWS("the output has paths longer than MAX_PATH, which std::filesystem of MinGW cannot walk");
    const fs::path regressions = CorpusDir() / "../../../fuzz/regressions";
    std::vector<fs::path> archives;
    for (const char* target : {"walk", "threads"})
        for (const auto& e : fs::directory_iterator(regressions / target)) archives.push_back(e.path());
    for (const char* name : {"bad_crc.zip", "bad_deflate.zip", "bad_local_offset.zip", "bad_truncated.zip"})
        archives.push_back(CorpusDir() / name);
    ASSERT_GE(archives.size(), 10u);
    TTempDir tmp;
    int n = 0;
    for (const fs::path& a : archives) {
        SCOPED_TRACE(a.filename().string());
        for (const bool confirm : {false, true})
            ExpectThreadsAsOne(a, tmp / std::to_string(n++), [confirm](TUnZip& z) {
                z.Passwords({"pw", "second"});
                z.CreateStoredDirs(true);
                z.ConfirmOverwrites(confirm);
            }, 3);
    }
}

// An entry longer to decode than a worker's job (33 MB of Deflate, 80 ms or more) shows
// its progress, and a cancel lands, as it goes, whatever the thread count.
TEST(Concurrency, ALongEntryShowsItsProgressAsItGoes)
{
    TTempDir tmp;
    const Bytes big = TextBytes(33 << 20, 7);
    WriteFile(tmp / "a.zip", BuildZip({Entry("a.txt", TextBytes(500, 1), 8), Entry("big.txt", big, 8),
                                       Entry("c.txt", TextBytes(900, 2), 8)}));
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled half-way" : "whole");
        // The progress events within the big entry, of each run.
        auto within = std::make_shared<std::vector<int>>();
        ExpectThreadsAsOne(tmp / "a.zip", tmp / (cancel ? "cut" : "whole"), [&, within](TUnZip& z) {
            within->push_back(0);
            auto inBig = std::make_shared<bool>(false);
            z.OnBegin = [inBig](TZipCommon&, const std::string& Name, int32_t, bool&) {
                *inBig = ExtractFileName(Name) == "big.txt";
            };
            z.OnProgress = [inBig, within, cancel](TZipCommon& s, uint8_t ByFile, uint8_t) {
                if (!*inBig) return;
                ++within->back();
                if (cancel && ByFile >= 50) s.SetCancel(true);
            };
        });
        ASSERT_EQ(within->size(), 2u);
        for (const int n : *within) EXPECT_GE(n, 4);
        if (cancel) {
            EXPECT_FALSE(fs::exists(tmp / "cut/four/c.txt"));
        }
    }
}

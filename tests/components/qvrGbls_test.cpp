#include "TestSupport.h"
#include "qvrGbls.h"
#include "qvrPlatform.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>

using namespace test;

TEST(PathHelpers, AppendDirTailAddsExactlyOneSeparator)
{
    EXPECT_EQ(AppendDirTail(""), "");
    EXPECT_EQ(AppendDirTail("C:\\"), "C:\\");
    EXPECT_EQ(AppendDirTail("C:\\a"), "C:\\a\\");
    // A multibyte last character is not mistaken for a separator.
    EXPECT_EQ(AppendDirTail("dir\xC3\xA9"), "dir\xC3\xA9\\");
}

TEST(PathHelpers, SplitAtConsumesHeadAndDelimiter)
{
    std::string s = "a;b;c";
    EXPECT_EQ(SplitAt(s, ";"), "a");
    EXPECT_EQ(s, "b;c");
    std::string t = "abc";
    EXPECT_EQ(SplitAt(t, ";"), "abc");
    EXPECT_EQ(t, "");
    std::string u = "PKBACK# 001";
    EXPECT_EQ(SplitAt(u, "PKBACK# "), "");
    EXPECT_EQ(u, "001");
}

TEST(PathHelpers, NamesAndUncPaths)
{
    EXPECT_FALSE(IsUNCPath("\\\\"));
    EXPECT_TRUE(IsUNCPath("\\\\server\\share"));
    EXPECT_EQ(NormalizeName("dir/sub/file.txt", false), "dir\\sub\\file.txt");
    // CP437 0x82 is e-acute; with the OEM step off the byte is kept as it is.
    EXPECT_EQ(NormalizeName("caf\x82/x", true), "caf\xC3\xA9\\x");
    // Without it the name is taken as UTF-8, and a byte that is not becomes %XX.
    EXPECT_EQ(NormalizeName("caf\x82", false), "caf%82");
    EXPECT_EQ(NameStemLength("volume.z01"), 6);
    EXPECT_EQ(NameStemLength("noext"), 5);
    EXPECT_EQ(ExtractFilePath("a\\b\\c.txt"), "a\\b\\");
    EXPECT_EQ(ExtractFileName("a\\b\\c.txt"), "c.txt");
}

TEST(PathHelpers, EverySlashOfALongNameTurnsWhereverItStands)
{
    // Names are turned eight bytes at a time: a "/" at each place of a word and of the
    // bytes after the last word, beside bytes one above and below it and beside bytes
    // whose low seven bits are those of "/" (0xAF, in a valid two-byte character).
    for (size_t at = 0; at < 21; ++at) {
        std::string name = at < 2 ? "xy.0a.0bcdefghijklmnopq" : "\xC2\xAF.0a.0bcdefghijklmnopq";
        name[at] = '/';
        std::string expected = name;
        expected[at] = '\\';
        EXPECT_EQ(NormalizeName(name, false), expected) << at;
        EXPECT_EQ(NormalizeName(name + "//", false), expected + "\\\\") << at;
    }
}

TEST(PathHelpers, InvalidUtf8BytesBecomeHexAndValidCharactersStay)
{
    struct TCase {
        const char* In;
        const char* Out;
    };
    // The edges of each range of the table of well-formed UTF-8.
    for (const TCase& c : std::vector<TCase>{
             {"plain/ascii\x7F", "plain/ascii\x7F"},
             {"\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF",
              "\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF"},
             {"\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF", "\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"},
             {"a\xFF.txt", "a%FF.txt"},
             {"\x80\xBF", "%80%BF"},                      // stray continuation bytes
             {"\xC0\xAF \xC1\xBF", "%C0%AF %C1%BF"},      // overlong "/" and DEL
             {"\xE0\x9F\xBF", "%E0%9F%BF"},                // overlong three-byte form
             {"\xF0\x8F\xBF\xBF", "%F0%8F%BF%BF"},        // overlong four-byte form
             {"\xED\xA0\x80\xED\xBF\xBF", "%ED%A0%80%ED%BF%BF"}, // surrogates
             {"\xF4\x90\x80\x80 \xF5\x80", "%F4%90%80%80 %F5%80"}, // above U+10FFFF
             {"\xE2\x82", "%E2%82"},                      // cut at the end
             {"\xE2\x82.\xC3\xA9", "%E2%82.\xC3\xA9"},      // cut before a good one
         })
        EXPECT_EQ(EscapeInvalidUtf8(c.In), c.Out) << c.In;
}

TEST(PathHelpers, CodePagesThatMakeSeparatorsAreNotSafeForNames)
{
    struct TCase {
        const char* CodePage;
        bool Safe;
    };
    for (const TCase& c : std::vector<TCase>{
             {"437", true}, {"936", true}, {"SJIS", true}, {"BIG5", true}, {"1252", true},
             {"UTF-8", true},
             // glibc's converter takes a stray SO as read before it fails on it.
             {"ISO-2022-CN-EXT", true}, {"ISO-2022-JP", true}, {"HZ", true},
             {"UTF-7", false},  // "+AC8-" reads as "/"
             {"UTF-16", false}, // "/" alone is no character
             {"UTF-32", false}, {"CP037", false}, // EBCDIC: "a" reads as "/"
         }) {
        if (!qvrOS::CodePageKnown(c.CodePage)) continue;
        EXPECT_EQ(NameCodePageSafe(c.CodePage), c.Safe) << c.CodePage;
    }
}

TEST(Percent, RoundsHalfToEvenAndClamps)
{
    EXPECT_EQ(Percent(3, 1), 33);
    EXPECT_EQ(Percent(3, 2), 67);
    EXPECT_EQ(Percent(8, 1), 12); // 12.5 goes to the even neighbour
    EXPECT_EQ(Percent(8, 3), 38); // 37.5 goes to 38
    EXPECT_EQ(Percent(0, 5), 0);
    EXPECT_EQ(Percent(-4, 5), 0);
    EXPECT_EQ(Percent(5, 7), 100);
    EXPECT_EQ(Percent(5, -1), 0);
    EXPECT_EQ(Percent(int64_t{1} << 40, int64_t{1} << 39), 50);
}

TEST(DosDates, ConvertAndFallBack)
{
    // 1 January 1980 00:01:00 for a zero value.
    EXPECT_NEAR(DosDateTimeToDateTime(0), 29221.0 + 60.0 / 86400.0, 1e-9);
    // 2025-04-12 13:25:26.
    const uint32_t v = (45u << 25) | (4u << 21) | (12u << 16) | (13u << 11) | (25u << 5) | 13u;
    TDateTime expected;
    ASSERT_TRUE(TryEncodeDay(2025, 4, 12, expected));
    EXPECT_NEAR(DosDateTimeToDateTime(v), expected + (13 * 3600 + 25 * 60 + 26) / 86400.0, 1e-9);
    // Second field 30 means 60 seconds: the whole value falls back.
    EXPECT_DOUBLE_EQ(DosDateTimeToDateTime((45u << 25) | (4u << 21) | (12u << 16) | 30u),
                     FallbackDateTime);
    // An impossible date with a valid time keeps the time on the fallback date.
    const uint32_t feb30 = (45u << 25) | (2u << 21) | (30u << 16) | (6u << 11);
    EXPECT_NEAR(DosDateTimeToDateTime(feb30), FallbackDateTime + 0.25, 1e-9);
}

TEST(DosDates, CalendarRules)
{
    TDateTime d;
    EXPECT_TRUE(TryEncodeDay(2000, 2, 29, d));  // divisible by 400
    EXPECT_FALSE(TryEncodeDay(1900, 2, 29, d)); // divisible by 100 only
    EXPECT_TRUE(TryEncodeDay(2024, 2, 29, d));
    EXPECT_FALSE(TryEncodeDay(2023, 2, 29, d));
    EXPECT_FALSE(TryEncodeDay(0, 1, 1, d));
    EXPECT_FALSE(TryEncodeDay(2020, 13, 1, d));
    ASSERT_TRUE(TryEncodeDay(1899, 12, 30, d));
    EXPECT_EQ(d, 0.0);
    ASSERT_TRUE(TryEncodeDay(1980, 1, 1, d));
    EXPECT_EQ(d, 29221.0);
    EXPECT_EQ(EncodeDay(2021, 4, 31), FallbackDateTime);
}

TEST(ForceDirs, CreatesEveryMissingLevel)
{
    TTempDir tmp;
    const fs::path deep = tmp / "x/y/z";
    EXPECT_TRUE(ForceDirs(Inside(deep)));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_TRUE(ForceDirs(Inside(deep))); // existing: still true
    EXPECT_TRUE(DirExists(Inside(deep)));
    // A file in the way makes it fail, without touching the file.
    WriteText(tmp / "file", "keep");
    EXPECT_FALSE(ForceDirs(Inside(tmp / "file/sub")));
    EXPECT_EQ(ReadText(tmp / "file"), "keep");
    EXPECT_FALSE(DirExists(Inside(tmp / "file")));
    EXPECT_FALSE(ForceDirs(""));
}

TEST(ForceDirs, RelativePathsResolveAgainstTheCurrentDirectory)
{
    TTempDir tmp;
    const fs::path old = fs::current_path();
    fs::current_path(tmp.Path());
    const bool ok = ForceDirs("rel\\a\\b");
    fs::current_path(old);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(fs::is_directory(tmp / "rel/a/b"));
}

TEST(FileExistsAny, FindsFilesFoldersAndWildcards)
{
    TTempDir tmp;
    WriteText(tmp / "one.txt", "1");
    fs::create_directory(tmp / "dir");
    EXPECT_TRUE(FileExistsAny(Inside(tmp / "one.txt")));
    EXPECT_TRUE(FileExistsAny(Inside(tmp / "dir")));
    EXPECT_TRUE(FileExistsAny(Inside(tmp / "*.txt")));
    EXPECT_FALSE(FileExistsAny(Inside(tmp / "*.bin")));
    EXPECT_FALSE(FileExistsAny(Inside(tmp / "two.txt")));
}

TEST(PlatformAttributes, ReadOnlyMapsToWritePermission)
{
    TTempDir tmp;
    const fs::path f = tmp / "ro.txt";
    WriteText(f, "x");
    ASSERT_TRUE(qvrOS::SetAttributes(Inside(f), qvrOS::faReadOnly));
    EXPECT_EQ(qvrOS::GetAttributes(Inside(f)) & qvrOS::faReadOnly, qvrOS::faReadOnly);
    EXPECT_EQ(fs::status(f).permissions() & fs::perms::owner_write, fs::perms::none);
    ASSERT_TRUE(qvrOS::SetAttributes(Inside(f), qvrOS::faNormal));
    EXPECT_EQ(qvrOS::GetAttributes(Inside(f)) & qvrOS::faReadOnly, 0);
    EXPECT_EQ(qvrOS::GetAttributes(Inside(tmp / "missing")), -1);
    EXPECT_EQ(qvrOS::LastError(), qvrOS::ErrorFileNotFound);
}

namespace {

// Sets the process umask for the life of the object.
class TUmask {
public:
    explicit TUmask(mode_t Mask) : FPrevious(::umask(Mask)) {}
    ~TUmask() { ::umask(FPrevious); }
    TUmask(const TUmask&) = delete;
    TUmask& operator=(const TUmask&) = delete;

private:
    mode_t FPrevious;
};

bool KernelReportsUmask()
{
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("Umask:", 0) == 0) return true;
    return false;
}

} // namespace

TEST(PlatformAttributes, ClearingReadOnlyGivesWriteBitsTheUmaskAllows)
{
    SKIP_ON_WINDOWS("the umask and POSIX write bits");
    if (!KernelReportsUmask()) GTEST_SKIP() << "no Umask line in /proc/self/status";
    struct TCase {
        mode_t Umask;
        mode_t Before; // the mode before read-only is set and cleared again
        mode_t After;
    };
    // No two zones share a date: the conversion keeps the last date it worked out.
    const TCase cases[] = {
        {022, 0644, 0644}, {002, 0664, 0664}, {000, 0644, 0666}, {027, 0640, 0640},
        {077, 0444, 0644}, {000, 0400, 0600}, {0222, 0644, 0644}, {007, 0755, 0775},
    };
    TTempDir tmp;
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << "umask " << c.Umask << " mode " << c.Before);
        const fs::path f = tmp / "file";
        WriteText(f, "x");
        fs::permissions(f, static_cast<fs::perms>(c.Before));
        {
            TUmask mask(c.Umask);
            ASSERT_TRUE(qvrOS::SetAttributes(Inside(f), qvrOS::faReadOnly));
            ASSERT_TRUE(qvrOS::SetAttributes(Inside(f), qvrOS::faNormal));
            // The call reads the umask without changing it.
            EXPECT_EQ(::umask(c.Umask), c.Umask);
        }
        EXPECT_EQ(static_cast<mode_t>(fs::status(f).permissions()), c.After);
        fs::remove(f);
    }
}

TEST(PlatformText, Utf16ToUtf8)
{
    const std::pair<std::u16string, std::string> cases[] = {
        {u"", ""},
        {u"plain.txt", "plain.txt"},
        {u"caf\u00E9", "caf\xC3\xA9"},
        {u"\u20AC\u03B1", "\xE2\x82\xAC\xCE\xB1"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"}, // a surrogate pair
        {{u'a', u'\0', u'b'}, {'a', '\0', 'b'}},
        // A surrogate without its partner becomes U+FFFD.
        {{u'a', char16_t(0xD800), u'b'}, "a\xEF\xBF\xBD" "b"},
        {{u'a', char16_t(0xDC00)}, "a\xEF\xBF\xBD"},
        {{char16_t(0xDBFF)}, "\xEF\xBF\xBD"},
        {{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(qvrOS::Utf16ToUtf8(in), out);
}

TEST(PlatformText, AnsiToUtf8LeavesPosixTextAsItIs)
{
    SKIP_ON_WINDOWS("the POSIX layer's text conversion");
    // POSIX hands arguments over in UTF-8 already; there is no ANSI page to convert from.
    for (const std::string& s : {std::string(), std::string("caf\xC3\xA9"), std::string("caf\xE9"),
                                std::string("a\0b", 3)})
        EXPECT_EQ(qvrOS::AnsiToUtf8(s), s);
}

// The names Windows opens a device for, in any folder and with any extension, get a "_".
TEST(PathHelpers, DeviceNamesGetAPrefixInEveryStep)
{
    const std::pair<const char*, const char*> cases[] = {
        {"nul", "_nul"},
        {"a\\NUL.txt", "a\\_NUL.txt"},
        {"com1\\x\\Lpt9.tar.gz", "_com1\\x\\_Lpt9.tar.gz"},
        {"conin$", "_conin$"},
        {"d\\CONOUT$.log", "d\\_CONOUT$.log"},
        {"com10\\conin\\conout\\console\\conin$x", "com10\\conin\\conout\\console\\conin$x"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(AvoidDeviceNames(in), out) << in;
}

TEST(PlatformNames, FullPathFoldsDotsAndTempNamesAreUnique)
{
    SKIP_ON_WINDOWS("expects POSIX full paths (Windows gives a drive and backslashes)");
    EXPECT_EQ(qvrOS::FullPath("\\a\\b\\..\\c\\.\\d"), "\\a\\c\\d");
    TTempDir tmp;
    const std::string a = qvrOS::TempFileName(Inside(tmp.Path()), "qvr");
    const std::string b = qvrOS::TempFileName(Inside(tmp.Path()), "qvr");
    EXPECT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_TRUE(FileExistsAny(a));
    EXPECT_EQ(TempDir().back(), '\\');
}

#ifndef _WIN32
namespace {

// Sets TZ for the life of the object (the test's own process) and puts it back.
class TZoneGuard {
public:
    explicit TZoneGuard(const char* Zone)
    {
        if (const char* old = std::getenv("TZ")) FOld = old;
        setenv("TZ", Zone, 1);
        tzset();
    }
    ~TZoneGuard()
    {
        if (FOld.empty())
            unsetenv("TZ");
        else
            setenv("TZ", FOld.c_str(), 1);
        tzset();
    }

private:
    std::string FOld;
};

} // namespace

TEST(PlatformDates, DosTimesAreLocalOnEitherSideOfAClockChange)
{
    if (!fs::exists("/usr/share/zoneinfo/Europe/Berlin")) GTEST_SKIP() << "no time-zone data";
    struct TCase {
        const char* Zone;
        int Y, Mo, D, H, Mi;
    };
    // No two zones share a date: the conversion keeps the last date it worked out.
    const TCase cases[] = {
        {"UTC", 2024, 1, 14, 12, 0},           {"Europe/Berlin", 2024, 1, 15, 12, 0},
        {"Europe/Berlin", 2024, 7, 15, 12, 0}, {"Europe/Berlin", 2024, 3, 31, 1, 30},
        {"Europe/Berlin", 2024, 3, 31, 3, 30}, {"Europe/Berlin", 2024, 10, 27, 1, 30},
        {"Europe/Berlin", 2024, 10, 27, 4, 0}, {"America/New_York", 2023, 11, 5, 23, 58},
        {"Australia/Lord_Howe", 2024, 4, 7, 3, 0}};
    TTempDir tmp;
    for (const TCase& c : cases) {
        TZoneGuard zone(c.Zone);
        const uint32_t dos = (static_cast<uint32_t>(c.Y - 1980) << 25) | (c.Mo << 21) |
                             (c.D << 16) | (c.H << 11) | (c.Mi << 5);
        const std::string name = Inside(tmp / "f");
        const qvrOS::THandle h = qvrOS::FileCreate(name);
        ASSERT_NE(h, qvrOS::InvalidHandle);
        EXPECT_TRUE(qvrOS::FileSetDosTime(h, dos));
        qvrOS::FileClose(h);
        std::tm t{};
        t.tm_year = c.Y - 1900;
        t.tm_mon = c.Mo - 1;
        t.tm_mday = c.D;
        t.tm_hour = c.H;
        t.tm_min = c.Mi;
        t.tm_isdst = -1;
        struct stat st {};
        ASSERT_EQ(stat((tmp / "f").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, mktime(&t)) << c.Zone << " " << c.Mo << "/" << c.D << " " << c.H;
    }
}
#endif

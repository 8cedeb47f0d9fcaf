// Wildcard masks and file-fileSpec selection: tables of masks and names, the folder-part rules,
// the selection rules with and without RecurseDirs, and a differential run against the C
// library's fnmatch on random masks and names.
#include "TestSupport.h"
#include "qvrMask.h"

#ifndef _WIN32
#include <fnmatch.h>
#endif
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct MaskCase {
    const char* Mask;
    std::string Name;
    bool Expected;
};

TEST(InternalMask, Table)
{
    const MaskCase cases[] = {
        // case folding is ASCII only
        {"*.TXT", "notes.txt", true},
        {"ABC", "abc", true},
        {"abc", "ABD", false},
        {"\xC3\xA9", "\xC3\x89", false}, // UTF-8 e-acute vs E-acute: no folding above 127
        {"\xC3\xA9", "\xC3\xA9", true},
        // `?` is exactly one character
        {"a?", "a", false},
        {"a?", "ab", true},
        {"a?", "abc", false},
        {"?", "", false},
        {"??", "\\x", true},
        // `*` is any run, also empty, also across backslashes
        {"*", "", true},
        {"*", "docs\\old\\a.txt", true},
        {"a*", "A", true},
        {"*a", "bab", false},
        {"*a", "ba", true},
        {"*ab", "aab", true},
        {"a*b?c", "abxbyc", true},
        {"a*b?c", "abxbc", false},
        {"docs\\*.txt", "docs\\old\\a.txt", true},
        {"docs\\*.txt", "docs\\a.txt", true},
        {"docs\\*.txt", "doc\\a.txt", false},
        {"**a**", "xxaxx", true},
        // a `?` right after a star adds nothing
        {"*?", "", true},
        {"*?", "abc", true},
        {"a*?", "a", true},
        {"*?.txt", ".txt", true},
        {"?*", "", false},
        // no bracket classes
        {"[ab].txt", "a.txt", false},
        {"[ab].txt", "[ab].txt", true},
        {"[AB].TXT", "[ab].txt", true},
        // a mask ending in "." also takes names that have no dot at all
        {"*.", "readme", true},
        {"*.", "readme.txt", false},
        {"*.", "readme.", true},
        {"a*.", "ab", true},
        {"a*.", "a.b", false},
        {"*.*", "a.b.c", true},
        {"*.*", "readme", false}, // the dot for this case is added by the file-fileSpec rules
        // the empty mask takes only the empty name
        {"", "", true},
        {"", "a", false},
        // names and masks end at a NUL byte, as zero-terminated strings do
        {"*.exe", "a.txt\0.exe"s, false},
        {"*.txt", "a.txt\0.exe"s, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchesMask(c.Name, c.Mask), c.Expected)
            << "mask \"" << c.Mask << "\" name \"" << c.Name << "\"";
    EXPECT_TRUE(MatchesMask("a.txt", "*.txt\0junk"s));
    EXPECT_FALSE(MatchesMask("a.txt", "*.tx\0t"s));
}

TEST(InternalMask, CompiledStates)
{
    // Stars collapse, a `?` after a star disappears, the end literal carries a trailing star.
    const TInternalMask starQ("*?*?a");
    ASSERT_EQ(starQ.StateCount(), 2);
    EXPECT_TRUE(starQ.States()[0].SkipTo);
    EXPECT_EQ(starQ.States()[0].Literal, 'A');
    EXPECT_FALSE(starQ.States()[1].SkipTo);
    EXPECT_EQ(starQ.States()[1].Literal, 0);

    const TInternalMask qStar("?*?b*");
    ASSERT_EQ(qStar.StateCount(), 3);
    EXPECT_EQ(qStar.States()[0].Kind, mkAnyChar);
    EXPECT_FALSE(qStar.States()[0].SkipTo);
    EXPECT_EQ(qStar.States()[1].Kind, mkLiteral);
    EXPECT_TRUE(qStar.States()[1].SkipTo);
    EXPECT_TRUE(qStar.States()[2].SkipTo);
    EXPECT_EQ(qStar.States()[2].Literal, 0);

    EXPECT_TRUE(TInternalMask("*.").TrailingDot());
    EXPECT_FALSE(TInternalMask("*.*").TrailingDot());
    EXPECT_EQ(TInternalMask("").StateCount(), 1);
}

TEST(InternalMask, HostileMasksFinishWithTheRightAnswer)
{
    const std::string as(20000, 'a');
    EXPECT_FALSE(MatchesMask(as, "*a*a*a*a*a*a*a*b"));
    EXPECT_TRUE(MatchesMask(as + "b", "*a*a*a*a*a*a*a*b"));
    EXPECT_FALSE(MatchesMask(as, "*?*?*?*?*?*?*?*?*b"));
    EXPECT_TRUE(MatchesMask(as, "*a?a*a?a*a?a*a?a*"));
    EXPECT_FALSE(MatchesMask(as + "x", "*a?a*a?a*a?a*a?a*aa"));
}

TEST(InternalMask, MoreStarGroupsThanBacktrackEntries)
{
    // Forty groups: more than a fixed 30-entry backtracking stack could hold.
    std::string mask, fits, tooShort;
    for (int i = 0; i < 40; ++i) {
        mask += "*ab";
        fits += "xaab";
    }
    mask += "*c";
    fits += "xc";
    for (int i = 0; i < 39; ++i)
        tooShort += "aab";
    tooShort += "c";
    EXPECT_TRUE(MatchesMask(fits, mask));
    EXPECT_FALSE(MatchesMask(tooShort, mask));
    EXPECT_FALSE(MatchesMask(fits.substr(0, fits.size() - 1), mask));
}

#ifndef _WIN32
// The C library's matcher: without FNM_PATHNAME and FNM_PERIOD, and with FNM_NOESCAPE, it
// gives `*` and `?` their plain meaning over every character, backslash included.
bool ReferenceMatch(std::string mask, std::string name)
{
    // The two rules of our masks that fnmatch lacks: "*?" is "*", and a trailing "." in the
    // mask also accepts a name without dot.
    std::string reduced;
    bool afterStar = false;
    for (char c : mask) {
        if (c == '?' && afterStar)
            continue;
        afterStar = c == '*' || (afterStar && c == '?');
        reduced += c;
    }
    if (!mask.empty() && mask.back() == '.' && name.find('.') == std::string::npos)
        name += '.';
    return fnmatch(reduced.c_str(), name.c_str(), FNM_NOESCAPE | FNM_CASEFOLD) == 0;
}
#endif

TEST(InternalMask, AgreesWithFnmatchOnRandomInput)
{
    SKIP_ON_WINDOWS("the C library of Windows has no fnmatch to compare with");
#ifndef _WIN32
    std::mt19937 gen(2024);
    const char maskChars[] = "aAb.\\**??";
    const char nameChars[] = "aAbB.\\";
    auto pick = [&](const char* set, std::size_t n) { return set[gen() % n]; };
    for (int round = 0; round < 200000; ++round) {
        std::string mask, name;
        const std::size_t maskLen = gen() % 10, nameLen = gen() % 14;
        for (std::size_t i = 0; i < maskLen; ++i)
            mask += pick(maskChars, sizeof maskChars - 1);
        for (std::size_t i = 0; i < nameLen; ++i)
            name += pick(nameChars, sizeof nameChars - 1);
        if (MatchesMask(name, mask) != ReferenceMatch(mask, name)) {
            ADD_FAILURE() << "mask \"" << mask << "\" name \"" << name << "\"";
            return;
        }
    }
#endif
}

TEST(InternalMask, AgreesWithFnmatchOnManyStars)
{
    SKIP_ON_WINDOWS("the C library of Windows has no fnmatch to compare with");
#ifndef _WIN32
    std::mt19937 gen(77);
    for (int round = 0; round < 2000; ++round) {
        std::string mask, name;
        const int groups = 25 + static_cast<int>(gen() % 20);
        for (int i = 0; i < groups; ++i)
            mask += (gen() % 4 == 0) ? "*?a" : (gen() % 2 ? "*a" : "*ba");
        const std::size_t nameLen = 40 + gen() % 120;
        for (std::size_t i = 0; i < nameLen; ++i)
            name += "aab"[gen() % 3];
        if (MatchesMask(name, mask) != ReferenceMatch(mask, name)) {
            ADD_FAILURE() << "mask \"" << mask << "\" name \"" << name << "\"";
            return;
        }
    }
#endif
}

TEST(ExtractPathPart, Table)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"a.txt", ""},
        {"docs\\a.txt", "docs"},
        {"docs\\old\\a.txt", "docs\\old"},
        {"docs\\", "docs"},
        {"a/b", "a"},
        {"\\a", ""},
        {"ab\\c", "ab"},        // a separator at position 3 without drive is still dropped
        {"C:\\", "C:\\"},       // a drive root is returned whole
        {"C:\\a.txt", "C:\\"},
        {"C:/x", "C:/"},
        {"C:a.txt", "C:"},
        {"a:b", "a:b"},         // any three-character name with a colon
        {"\\\\srv\\share\\f", "\\\\srv\\share"},
    };
    for (const auto& [name, part] : cases)
        EXPECT_EQ(ExtractPathPart(name), part) << "name \"" << name << "\"";
}

struct SpecCase {
    std::string Name;
    std::vector<std::string> FileSpec;
    std::vector<std::string> Exclude;
    bool Recurse;
    bool Expected;
};

TEST(MatchFileSpecList, Table)
{
    const SpecCase cases[] = {
        // "*.*" reaches names without extension and folder entries through the added dot
        {"readme", {"*.*"}, {}, true, true},
        {"a.b.c", {"*.*"}, {}, true, true},
        {"docs\\", {"*.*"}, {}, true, true},
        {"docs\\old\\a", {"*.*"}, {}, true, true},
        {"readme", {"*.*"}, {}, false, true},
        {"docs\\", {"*.*"}, {}, false, false},
        {"docs\\a.txt", {"*.*"}, {}, false, false},
        // "*." is "no extension"
        {"readme", {"*."}, {}, true, true},
        {"readme.txt", {"*."}, {}, true, false},
        {"docs\\readme", {"*."}, {}, true, true},
        {"notes.txt", {"*.TXT"}, {}, true, true},
        {"a", {"a?"}, {}, true, false},
        {"anything.at.all", {"*?"}, {}, true, true},
        {"docs\\", {"*?"}, {}, true, true},
        // a folder in the line
        {"docs\\a.txt", {"docs\\*.txt"}, {}, false, true},
        {"docs\\old\\a.txt", {"docs\\*.txt"}, {}, false, false},
        {"a.txt", {"docs\\*.txt"}, {}, false, false},
        {"docs\\old\\a.txt", {"docs\\*.txt"}, {}, true, true},
        {"a.txt", {"docs\\*.txt"}, {}, true, false},
        {"docs\\a.txt", {"DOCS\\*.txt"}, {}, false, true},
        {"a.txt", {"*.txt"}, {}, false, true},
        {"docs\\a.txt", {"*.txt"}, {}, false, false},
        {"docs\\a.txt", {"*.txt"}, {}, true, true},
        // exclusions veto a mask match, tested against the file-name part, and those
        // that name a folder against the whole name too
        {"a.tmp", {"*.*"}, {"*.tmp"}, true, false},
        {"a.txt", {"*.*"}, {"*.tmp"}, true, true},
        {"docs\\x.tmp", {"*.*"}, {"*.tmp"}, true, false},
        {"docs\\x.tmp", {"*.*"}, {"docs\\*"}, true, false},
        {"docs\\x.tmp", {"*.*"}, {"other\\*"}, true, true},
        {"docs\\sub\\x.tmp", {"*.*"}, {"docs\\*.*"}, true, false},
        // naming the entry exactly wins over the exclusions
        {"README.TXT", {"readme.txt"}, {"*.txt"}, true, true},
        {"docs\\readme.txt", {"readme.txt"}, {"*.txt"}, true, false},
        // the first matching line decides; later lines are not tried
        {"A.txt", {"*.txt", "a.txt"}, {"a*"}, true, false},
        {"b.dat", {"*.txt", "*.dat"}, {"a*"}, true, true},
        // empty lines are passed over, an empty list or name selects nothing
        {"a.txt", {"", "*.txt"}, {}, true, true},
        {"a.txt", {}, {}, true, false},
        {"", {"*"}, {}, true, false},
        {"[ab].txt", {"[ab].txt"}, {}, true, true},
        {"a.txt", {"[ab].txt"}, {}, true, false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> fileSpec = c.FileSpec;
        EXPECT_EQ(MatchFileSpecList(c.Name, fileSpec, c.Exclude, c.Recurse), c.Expected)
            << "name \"" << c.Name << "\" first line \""
            << (c.FileSpec.empty() ? "" : c.FileSpec[0]) << "\" recurse " << c.Recurse;
    }
}

TEST(MatchFileSpecList, LineWithoutDotKeepsTheAddedDot)
{
    std::vector<std::string> fileSpec{"readme"};
    EXPECT_TRUE(MatchFileSpecList("README", fileSpec, {}, true));
    EXPECT_EQ(fileSpec, std::vector<std::string>{"readme"}); // matched at once: unchanged

    EXPECT_FALSE(MatchFileSpecList("other", fileSpec, {}, true));
    EXPECT_EQ(fileSpec, std::vector<std::string>{"readme."});

    // The stored form still selects the name, now as a mask.
    EXPECT_TRUE(MatchFileSpecList("readme", fileSpec, {}, true));
    EXPECT_FALSE(MatchFileSpecList("readme.txt", fileSpec, {}, true));
    EXPECT_EQ(fileSpec, std::vector<std::string>{"readme."});

    // Lines that already have a dot, and lines not tried for want of the same folder, are
    // left alone.
    std::vector<std::string> lines{"*.txt", "docs\\x"};
    EXPECT_FALSE(MatchFileSpecList("readme", lines, {}, false));
    EXPECT_EQ(lines, (std::vector<std::string>{"*.txt", "docs\\x"}));
    EXPECT_FALSE(MatchFileSpecList("readme", lines, {}, true));
    EXPECT_EQ(lines, (std::vector<std::string>{"*.txt", "docs\\x."}));
}

} // namespace

// The command's masks: wildcards that cross folders, sets, case, and the record of
// masks that matched nothing.
#include "CliMask.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TMaskCase {
    const char* Mask;
    const char* Name;
    bool Fold;
    bool Matches;
};

} // namespace

TEST(CliMask, WildcardsSetsAndCase)
{
    // A long run of one letter, which a matcher that backtracks naively takes ages over.
    const std::string sixtyA(60, 'a');
    const TMaskCase cases[] = {
        {"*", "a/b/c.txt", false, true},
        {"*", "", false, true},
        {"dir/*", "dir/sub/x.o", false, true},
        {"dir/*", "dir/", false, true},
        {"dir/*", "dirx/a", false, false},
        {"dir\\*", "dir/a", false, true},
        {"*.txt", "a/b.txt", false, true},
        {"*.txt", "a.txt.gz", false, false},
        {"*.*", "README", false, false},
        {"?", "/", false, true},
        {"a?c", "a\xC3\xA9" "c", false, true}, // one character, two bytes
        {"a??c", "a\xC3\xA9" "c", false, false},
        {"[a-c]x", "bx", false, true},
        {"[a-c]x", "dx", false, false},
        {"[!a-c]x", "dx", false, true},
        {"[^a-c]x", "ax", false, false},
        {"[]]", "]", false, true},
        {"[!]]", "a", false, true},
        {"[a-]", "-", false, true},
        {"[ab", "[ab", false, true}, // no "]": an ordinary "["
        {"[ab", "a", false, false},
        {"a*b*c", "a/x/b/y/c", false, true},
        {"a*b*c", "a/x/b/y/d", false, false},
        {"*a*a*a*a*a*a*a*b", sixtyA.c_str(), false, false},
        {"C.TXT", "c.txt", false, false},
        {"C.TXT", "c.txt", true, true},
        {"[A-C].txt", "b.txt", true, true},
        {"\xC3\x89", "\xC3\xA9", true, false}, // only ASCII letters fold
        {"name", "name/", false, false},
    };
    for (const TMaskCase& c : cases)
        EXPECT_EQ(MaskMatches(c.Mask, c.Name, c.Fold), c.Matches)
            << "'" << c.Mask << "' on '" << c.Name << "' fold " << c.Fold;
}

TEST(CliMask, SelectionTakesIncludedNotExcludedAndKnowsUnusedMasks)
{
    TMaskSelection s({"*.txt", "docs/*", "none*"}, {"*/tmp/*", "*.zzz"}, false);
    const struct {
        const char* Name;
        bool Take;
    } names[] = {
        {"a.txt", true},         {"docs\\b.bin", true}, {"c.bin", false},
        {"x/tmp/d.txt", false},  {"docs/tmp/e", false},
    };
    for (const auto& n : names) EXPECT_EQ(s.Take(n.Name), n.Take) << n.Name;
    EXPECT_EQ(s.Unmatched(), (std::vector<std::string>{"none*", "*.zzz"}));

    TMaskSelection all({}, {}, false);
    EXPECT_TRUE(all.Take("anything/at/all"));
    EXPECT_TRUE(all.Unmatched().empty());
}

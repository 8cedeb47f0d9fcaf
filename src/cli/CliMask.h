// Masks as users of the command write them (-f and -x), apart from the component's DOS
// masks: "*" any run of characters, "?" one character, "[...]" one character of a set.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Whether Name ("/" between folders) matches Mask; FoldCase compares letters A-Z and
// a-z alike.
bool MaskMatches(std::string_view Mask, std::string_view Name, bool FoldCase);

// The command's selection: entries that match one of the include masks (all entries
// when there are none) and none of the exclude masks. It remembers which masks matched
// some entry, so that a mask that names nothing can be reported.
class TMaskSelection {
public:
    TMaskSelection(const std::vector<std::string>& Include,
                   const std::vector<std::string>& Exclude, bool FoldCase);
    // Whether the entry Name ("/" or "\" between folders) is selected.
    bool Take(const std::string& Name);
    // The masks, include masks first, that no entry given to Take matched.
    std::vector<std::string> Unmatched() const;

private:
    struct TMask {
        std::string Text;
        bool Matched = false;
    };
    // Marks each of Masks that matches Name; whether any did.
    bool MatchAny(std::vector<TMask>& Masks, const std::string& Name) const;

    std::vector<TMask> FInclude;
    std::vector<TMask> FExclude;
    bool FFoldCase;
};

// qvrMask: the wildcard masks that select archive entries.
//
// A mask knows two wildcards: `*` (any run of characters, backslashes included) and `?`
// (exactly one character). Every other character, `[` and `]` included, stands for itself.
// Letters compare without regard to ASCII case; bytes above 127 must be equal. A mask that
// ends with "." also accepts a name without any dot, as if the name ended with one, so "*."
// selects names without an extension.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum TMaskKind : uint8_t {
    mkLiteral, // the character in Literal (upper-cased); Literal 0 is the end of the name
    mkAnyChar, // any one character, but not the end of the name
};

struct TMaskState {
    bool SkipTo;       // a `*` came before this element
    TMaskKind Kind;
    char Literal;
};

// A compiled mask. Matching runs in time proportional to the name length times the number of
// states, whatever the mask: see Matches.
class TInternalMask {
public:
    explicit TInternalMask(std::string_view Mask);

    bool Matches(std::string_view Name) const;

    int StateCount() const { return static_cast<int>(FStates.size()); }
    const std::vector<TMaskState>& States() const { return FStates; }
    bool TrailingDot() const { return FTrailingDot; }

private:
    std::vector<TMaskState> FStates; // the last state is always the end literal
    bool FTrailingDot = false;
};

// Whether a and b are the same text but for the case of ASCII letters (names compare so
// whatever the locale).
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Compiles Mask and matches Name against it.
bool MatchesMask(std::string_view Name, std::string_view Mask);

// The folder part of Name without its last separator (`\`, `/`; a drive colon is kept):
// "docs\old\a.txt" -> "docs\old", "C:\a.txt" -> "C:\", "a.txt" -> "".
std::string ExtractPathPart(std::string_view Name);

// Whether the walk selects the entry Name: the first FileSpec line that matches decides,
// and ExcludeList can veto it. With RecurseDirs a line without folder matches the file-name
// part of entries in every folder; without it a line reaches only entries in its own folder.
// A line that matches only after a "." is added (readme -> readme.) is stored back into
// FileSpec with the dot, so the list keeps that form for later calls.
bool MatchFileSpecList(std::string_view Name, std::vector<std::string>& FileSpec,
                       const std::vector<std::string>& ExcludeList, bool RecurseDirs);

// The command's masks. A mask is matched against the whole entry name, folders and all,
// with "/" between folders (the user may type "\" as well, and names from the component
// use it: both sides read it as "/"). The wildcards:
//
//   *        any run of characters, none included, "/" included: "dir/*" is everything
//            below dir, "*.txt" every .txt file at any depth, "*" every entry
//   ?        exactly one character (a whole UTF-8 sequence), "/" included
//   [set]    one character of the set: single characters and ranges ("[a-z0-9_]");
//            "!" or "^" first negates it; "]" first stands for itself. A "[" without its
//            "]" is an ordinary character.
//
// Every other character stands for itself. Letters are compared as they are, unless
// FoldCase is set (the -C option; always on Windows, whose file names ignore case), in
// which case A-Z and a-z are alike; letters beyond ASCII are always compared as they
// are.
//
// Matching works on code points, so "?" and sets take one character, not one byte; a
// byte that starts no well-formed sequence is a character of its own. "*" is matched by
// going back to the last star only (the classic two-pointer walk): a later star can
// always take over what an earlier one would have taken, so the walk is linear in the
// name for each star, and no mask can make it take exponential time.
#include "CliMask.h"

#include <initializer_list>

namespace {

constexpr size_t Npos = std::u32string::npos;

// One character of UTF-8 text at S[I]: its code point, I moved past it.
char32_t NextChar(std::string_view S, size_t& I)
{
    const auto lead = static_cast<unsigned char>(S[I++]);
    const int extra = lead >= 0xF0 && lead < 0xF8 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (lead < 0x80 || extra == 0 || I + extra > S.size()) return lead;
    char32_t c = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        const auto b = static_cast<unsigned char>(S[I + k]);
        if ((b & 0xC0) != 0x80) return lead;
        c = (c << 6) | (b & 0x3F);
    }
    I += extra;
    return c;
}

std::u32string Decode(std::string_view S, bool Separators)
{
    std::u32string out;
    for (size_t i = 0; i < S.size();) {
        const char32_t c = NextChar(S, i);
        out += Separators && c == U'\\' ? U'/' : c;
    }
    return out;
}

char32_t Fold(char32_t C, bool FoldCase)
{
    return FoldCase && C >= U'A' && C <= U'Z' ? C - U'A' + U'a' : C;
}

// Whether the set at M[I] (just past its "[") holds C; End is set past its "]". False
// with End at Npos when the set has no "]": the "[" is then an ordinary character.
bool SetHolds(const std::u32string& M, size_t I, char32_t C, bool FoldCase, size_t& End)
{
    bool negated = false;
    if (I < M.size() && (M[I] == U'!' || M[I] == U'^')) {
        negated = true;
        ++I;
    }
    bool holds = false;
    for (bool first = true; I < M.size(); first = false) {
        if (M[I] == U']' && !first) {
            End = I + 1;
            return holds != negated;
        }
        const char32_t low = Fold(M[I], FoldCase);
        char32_t high = low;
        if (I + 2 < M.size() && M[I + 1] == U'-' && M[I + 2] != U']') {
            high = Fold(M[I + 2], FoldCase);
            I += 3;
        } else {
            ++I;
        }
        holds |= C >= low && C <= high;
    }
    End = Npos;
    return false;
}

// Whether the one-character item of the mask at M[I] ("?", a set, or a character)
// takes C: the position after the item when it does, Npos when not.
size_t MatchOne(const std::u32string& M, size_t I, char32_t C, bool FoldCase)
{
    if (M[I] == U'?') return I + 1;
    if (M[I] == U'[') {
        size_t end = Npos;
        const bool holds = SetHolds(M, I + 1, C, FoldCase, end);
        if (end != Npos) return holds ? end : Npos;
    }
    return Fold(M[I], FoldCase) == C ? I + 1 : Npos;
}

} // namespace

bool MaskMatches(std::string_view Mask, std::string_view Name, bool FoldCase)
{
    const std::u32string m = Decode(Mask, true), n = Decode(Name, true);
    size_t mi = 0, ni = 0;
    size_t starM = Npos, starN = 0;
    while (ni < n.size()) {
        if (mi < m.size() && m[mi] == U'*') {
            starM = mi++;
            starN = ni;
            continue;
        }
        const size_t next =
            mi < m.size() ? MatchOne(m, mi, Fold(n[ni], FoldCase), FoldCase) : Npos;
        if (next != Npos) {
            mi = next;
            ++ni;
            continue;
        }
        // The last star takes one more character, and the rest of the mask starts over.
        if (starM == Npos) return false;
        mi = starM + 1;
        ni = ++starN;
    }
    while (mi < m.size() && m[mi] == U'*') ++mi;
    return mi == m.size();
}

TMaskSelection::TMaskSelection(const std::vector<std::string>& Include,
                               const std::vector<std::string>& Exclude, bool FoldCase)
    : FFoldCase(FoldCase)
{
    for (const std::string& m : Include) FInclude.push_back({m});
    for (const std::string& m : Exclude) FExclude.push_back({m});
}

bool TMaskSelection::MatchAny(std::vector<TMask>& Masks, const std::string& Name) const
{
    bool any = false;
    for (TMask& m : Masks) {
        if (!MaskMatches(m.Text, Name, FFoldCase)) continue;
        m.Matched = true;
        any = true;
    }
    return any;
}

bool TMaskSelection::Take(const std::string& Name)
{
    // Every mask is tried, not only up to the first that matches, so that each one's
    // use is known.
    const bool included = MatchAny(FInclude, Name) || FInclude.empty();
    const bool excluded = MatchAny(FExclude, Name);
    return included && !excluded;
}

std::vector<std::string> TMaskSelection::Unmatched() const
{
    std::vector<std::string> out;
    for (const auto* list : {&FInclude, &FExclude})
        for (const TMask& m : *list)
            if (!m.Matched) out.push_back(m.Text);
    return out;
}

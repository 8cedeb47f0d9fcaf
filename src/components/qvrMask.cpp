// qvrMask: compiled wildcard masks and the file-spec selection built on them.
//
// Compiling turns the mask into a list of states, one per literal or `?`, each remembering
// whether a `*` came before it (SkipTo); runs of stars collapse into one, and a `?` right
// after a star is dropped, so "*?" means the same as "*". A final literal 0 stands for the end
// of the name and carries any trailing star.
//
// Matching walks the states over the name. A SkipTo literal first scans forward to the next
// occurrence of its character; if the rest then fails, the scan resumes one past that
// occurrence. Only the most recent star ever needs to be resumed: the text between two stars
// has a fixed length, so placing it at its earliest occurrence leaves the longest possible
// remainder for the next star, and whatever the pattern after a star can match in a suffix it
// can also match in any longer suffix. Retrying an earlier star would only hand the later
// part a shorter suffix, which has already failed. One retry point therefore gives the same
// answers as exhaustive backtracking, for any number of stars, with each star's scan moving
// only forward: the work is bounded by name length times state count, and a hostile mask such
// as "*a*a*a*a*a*a*a*b" cannot make it exponential.
//
// Names and masks are read up to their first NUL byte, which ends them as zero-terminated
// strings: a mask or name handed over through a C string interface ends there, and
// matching must give the same answer whichever form it came in.
#include "qvrMask.h"

#include "qvrGbls.h"

namespace {

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string_view UpToNulByte(std::string_view s)
{
    const std::size_t nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

bool IsFolderSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

std::string_view FileNamePart(std::string_view name)
{
    for (std::size_t i = name.size(); i > 0; --i)
        if (IsFolderSeparator(name[i - 1]))
            return name.substr(i);
    return name;
}

} // namespace

TInternalMask::TInternalMask(std::string_view Mask)
{
    Mask = UpToNulByte(Mask);
    FStates.reserve(Mask.size() + 1);
    bool skipTo = false;
    for (const char c : Mask) {
        if (c == '*') {
            skipTo = true;
        } else if (c == '?') {
            if (!skipTo)
                FStates.push_back({false, mkAnyChar, 0});
        } else {
            FStates.push_back({skipTo, mkLiteral, AsciiUpper(c)});
            skipTo = false;
        }
    }
    FStates.push_back({skipTo, mkLiteral, 0});
    FTrailingDot = !Mask.empty() && Mask.back() == '.';
}

bool TInternalMask::Matches(std::string_view Name) const
{
    Name = UpToNulByte(Name);
    std::string dotted;
    if (FTrailingDot && Name.find('.') == std::string_view::npos) {
        dotted.assign(Name);
        dotted += '.';
        Name = dotted;
    }

    const std::size_t n = Name.size();
    const std::size_t last = FStates.size() - 1;
    std::size_t p = 0, s = 0;
    bool canRetry = false;
    std::size_t retryP = 0, retryS = 0;

    for (;;) {
        const TMaskState& st = FStates[s];
        bool ok;
        if (st.Kind == mkAnyChar) {
            ok = p < n;
        } else {
            if (st.SkipTo) {
                while (p < n && AsciiUpper(Name[p]) != st.Literal)
                    ++p;
                // Running off the end is success only for the end literal (a trailing star).
                // For any other literal no retry can help: an earlier star resumed further
                // on would bring this scan to the same end.
                if (p == n)
                    return st.Literal == 0;
                canRetry = true;
                retryP = p + 1;
                retryS = s;
            }
            ok = st.Literal == 0 ? p == n : (p < n && AsciiUpper(Name[p]) == st.Literal);
        }

        if (ok) {
            if (s == last)
                return true;
            ++p;
            ++s;
        } else if (canRetry) {
            canRetry = false;
            p = retryP;
            s = retryS;
        } else {
            return false;
        }
    }
}

bool MatchesMask(std::string_view Name, std::string_view Mask)
{
    return TInternalMask(Mask).Matches(Name);
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    return true;
}

std::string ExtractPathPart(std::string_view Name)
{
    // A drive root such as "C:\" is its own folder.
    if (Name.size() == 3 && Name.find(':') != std::string_view::npos)
        return std::string(Name);

    std::size_t a = 0; // 1-based position of the last separator, 0 for none
    for (std::size_t i = Name.size(); i > 0; --i) {
        if (IsFolderSeparator(Name[i - 1])) {
            a = i;
            break;
        }
    }
    if (a > 0 && Name[a - 1] != ':') {
        // Drop the separator, except the one of a drive root ("C:\x" keeps "C:\").
        if (a != 3)
            a -= 1;
        else if (Name[1] != ':')
            a = 2;
    }
    return std::string(Name.substr(0, a));
}

bool MatchFileSpecList(std::string_view Name, std::vector<std::string>& FileSpec,
                       const std::vector<std::string>& ExcludeList, bool RecurseDirs)
{
    if (Name.empty())
        return false;
    // "*" and "*.*" take every name in every folder (a name without a dot is tried with
    // one) unless something is excluded; a host that decides by itself sets one of them,
    // and then no mask needs to be walked. A NUL byte ends a name for the masks, which
    // may leave nothing to match.
    const bool anyName =
        RecurseDirs && ExcludeList.empty() && Name.find('\0') == std::string_view::npos;
    // Only a walk that keeps to each line's own folder compares folders.
    const std::string entryDir = RecurseDirs ? std::string() : AppendDirTail(ExtractPathPart(Name));

    for (std::string& line : FileSpec) {
        if (line.empty())
            continue;
        if (anyName && (line == "*" || line == "*.*")) return true;
        // Naming an entry exactly selects it, whatever wildcard-like characters it holds.
        if (EqualsIgnoringAsciiCase(line, Name))
            return true;

        std::string test(Name);
        const std::string specDir = AppendDirTail(ExtractPathPart(line));
        if (RecurseDirs) {
            if (specDir.empty())
                test = FileNamePart(Name);
        } else if (!EqualsIgnoringAsciiCase(specDir, entryDir)) {
            continue;
        }

        bool matched = MatchesMask(test, line);
        if (!matched) {
            // Names without extension (and folder entries, whose file-name part is empty)
            // are tried with a dot, so that "*.*" and "name" also find "readme" and "docs\".
            if (test.find('.') == std::string::npos)
                test += '.';
            if (line.find('.') == std::string::npos)
                line += '.';
            matched = MatchesMask(test, line);
        }
        if (matched) {
            // An exclusion that names a folder ("docs\*") is matched against the whole
            // name as well, so it can take out a folder of a recursive selection.
            for (const std::string& exclude : ExcludeList)
                if (MatchesMask(test, exclude) ||
                    (exclude.find('\\') != std::string::npos && MatchesMask(Name, exclude)))
                    return false;
            return true;
        }
    }
    return false;
}

#include "CliOptions.h"

#include "qvrPlatform.h"

#include <string_view>

const char* const VersionText = "unspool " UNSPOOL_VERSION "\n";

const char* const UsageText =
    "usage: unspool [options] ARCHIVE [DESTDIR]   (or -d DESTDIR; default: the current folder)\n"
    "  -d DIR        extract into DIR (instead of the positional DESTDIR)\n"
    "  -f MASK       extract only entries matching MASK (repeatable), e.g. -f '*.txt'\n"
    "                -f 'docs/*': '*' and '?' match '/' too, [a-z] and [!a-z] are sets\n"
    "  -x MASK       leave out entries matching MASK (repeatable), e.g. -x 'tmp/*' -x '*.o'\n"
    "  -C            masks ignore case (always so on Windows)\n"
    "  -l            list the selected entries (size, packed, method, date, CRC, name)\n"
    "  -t            test: decode and check the selected entries, writing nothing\n"
    "  -c, --stdout  write the selected entries' bytes to standard output, nothing else\n"
    "                (reports go to standard error), e.g. unspool -c a.zip docs/readme.txt\n"
    "  -z            print the archive comment, then exit\n"
    "  --json        with -l or --identify: one JSON object per line\n"
    "  -p PASSWORD   a password to try (repeatable, tried in order)\n"
    "  -o            overwrite existing files without asking\n"
    "  -n            never overwrite existing files (when stdin is not a terminal and\n"
    "                neither -o nor -n is given, existing files are kept and reported)\n"
    "  -j            do not recreate stored folders (empty stored folders are made otherwise)\n"
    "  -K            keep the setuid, setgid and sticky bits of stored Unix modes\n"
    "  -T N          use N threads (default: one per core; 1 runs everything in turn)\n"
    "  -O CODEPAGE   code page of names stored without the UTF-8 flag (also --names CODEPAGE):\n"
    "                437 (default), 936/GBK, 950/BIG5, 932/SJIS, 1252, UTF-8, ...; not one\n"
    "                that can make '/' or '\\' of other bytes (UTF-7, UTF-16, EBCDIC)\n"
    "  --date file|now|newest   date of the extracted files\n"
    "  --no-attributes          do not restore stored attributes or Unix modes\n"
    "  -q            no progress bar, summary line or archive comment\n"
    "  -v            one line per file extracted (inflating: NAME, extracting: NAME)\n"
    "  --identify    print the archive type and where the walk starts, then exit\n"
    "  -h, --help    this text;  --version  the version\n"
    "Short options combine (-qo, -qod DIR).\n"
    "exit status: 0 all selected entries extracted (or tested) with passing checks; 1 some\n"
    "entry failed, was skipped (no password, an existing file kept) or a mask matched no\n"
    "entry, or the archive is damaged in part; 2 the archive is missing, unreadable or not an\n"
    "archive the walk extracts; 3 usage error\n";

namespace {

// The short options that take a value: in a cluster ("-qod out", "-pSECRET") the rest
// of the cluster is the value, or the next argument when the option ends the cluster.
constexpr std::string_view ValueOptions = "pfxdOT";

const char* ValueName(char Option)
{
    switch (Option) {
    case 'p': return "a password";
    case 'd': return "a folder";
    case 'O': return "a code page";
    case 'T': return "a number of threads";
    default: return "a mask";
    }
}

// The parse of one command line: the options as they come, then the checks that need
// all of them.
class TParser {
public:
    TParser(const std::vector<std::string>& Args, std::string& Error)
        : FArgs(Args), FError(Error) {}

    std::optional<TCliOptions> Parse()
    {
        bool optionsEnded = false;
        for (FNext = 0; FNext < FArgs.size();) {
            const std::string a = FArgs[FNext++];
            bool ok = true;
            if (optionsEnded || a.size() < 2 || a[0] != '-')
                FPositional.push_back(a);
            else if (a == "--")
                optionsEnded = true;
            else if (a[1] == '-')
                ok = Long(a);
            else
                ok = Cluster(a);
            if (!ok) return std::nullopt;
        }
        return Finish();
    }

private:
    bool Fail(const std::string& E)
    {
        FError = E;
        return false;
    }

    // "-qo", "-l", "-qod out": flags, and at most one option with a value, which takes
    // the rest of the cluster or the next argument.
    bool Cluster(const std::string& A)
    {
        for (size_t k = 1; k < A.size(); ++k) {
            const char c = A[k];
            if (ValueOptions.find(c) == std::string_view::npos) {
                if (!Flag(c)) return false;
                continue;
            }
            std::string v = A.substr(k + 1);
            if (v.empty()) {
                if (FNext >= FArgs.size())
                    return Fail(std::string("option -") + c + " needs " + ValueName(c));
                v = FArgs[FNext++];
            }
            return Value(c, v);
        }
        return true;
    }

    bool Flag(char C)
    {
        switch (C) {
        case 'o': FOptions.Overwrite = TOverwritePolicy::Always; return true;
        case 'n': FOptions.Overwrite = TOverwritePolicy::Never; return true;
        case 'j': FOptions.UseStoredDirs = false; return true;
        // Empty stored folders are made anyway; kept for the scripts that ask.
        case 'D': FOptions.CreateStoredDirs = true; return true;
        case 'K': FOptions.KeepSpecialModes = true; return true;
        case 'q': FOptions.Quiet = true; return true;
        case 'v': FOptions.Verbose = true; return true;
        case 'C': FOptions.FoldCase = true; return true;
        case 'h': FOptions.Help = true; return true;
        case 'l': return Action(TCliAction::List);
        case 't': return Action(TCliAction::Test);
        case 'z': return Action(TCliAction::Comment);
        case 'c': return Action(TCliAction::Stdout);
        default: return Fail(std::string("unknown option -") + C);
        }
    }

    bool Value(char C, const std::string& V)
    {
        switch (C) {
        case 'p': FOptions.Passwords.push_back(V); return true;
        case 'f': FOptions.FileSpec.push_back(V); return true;
        case 'x': FOptions.ExcludeSpec.push_back(V); return true;
        case 'O': return CodePage(V, "-O");
        case 'T': return ThreadCount(V);
        default:
            if (!FDestOption.empty()) return Fail("-d given twice");
            if (V.empty()) return Fail("-d needs a folder");
            FDestOption = V;
            return true;
        }
    }

    bool CodePage(const std::string& V, const char* Option)
    {
        if (V.empty()) return Fail(std::string(Option) + " needs a code page");
        FOptions.NameCodePage = V;
        return true;
    }

    bool ThreadCount(const std::string& V)
    {
        int n = 0;
        for (char c : V) {
            if (c < '0' || c > '9' || n > 64) return Fail("-T needs a number of threads, 1 to 64");
            n = n * 10 + (c - '0');
        }
        if (n < 1 || n > 64) return Fail("-T needs a number of threads, 1 to 64");
        FOptions.Threads = n;
        return true;
    }

    bool Action(TCliAction A)
    {
        if (FOptions.Action != TCliAction::Extract && FOptions.Action != A)
            return Fail("-l, -t, -c, -z and --identify exclude each other");
        FOptions.Action = A;
        return true;
    }

    // A long option; one that takes a value has it after "=" or as the next argument.
    bool Long(const std::string& A)
    {
        const size_t eq = A.find('=');
        const std::string name = A.substr(0, eq);
        auto value = [&](std::string& V) {
            if (eq != std::string::npos) {
                V = A.substr(eq + 1);
                return true;
            }
            if (FNext >= FArgs.size()) return Fail("option " + name + " needs a value");
            V = FArgs[FNext++];
            return true;
        };
        std::string v;
        if (name == "--names") return value(v) && CodePage(v, "--names");
        if (name == "--date") return value(v) && Date(v);
        if (eq != std::string::npos) return Fail("option " + name + " takes no value");
        if (A == "--json") FOptions.Json = true;
        else if (A == "--no-attributes") FOptions.RestoreAttributes = false;
        else if (A == "--help") FOptions.Help = true;
        else if (A == "--version") FOptions.Version = true;
        else if (A == "--identify") return Action(TCliAction::Identify);
        else if (A == "--stdout") return Action(TCliAction::Stdout);
        else return Fail("unknown option " + A);
        return true;
    }

    bool Date(const std::string& D)
    {
        if (D == "file")
            FOptions.Date = daFileDate;
        else if (D == "now")
            FOptions.Date = daSysDate;
        else if (D == "newest")
            FOptions.Date = daMaxFileDate;
        else
            return Fail("unknown --date value '" + D + "' (file, now or newest)");
        return true;
    }

    std::optional<TCliOptions> Finish()
    {
        TCliOptions& o = FOptions;
        if (o.Help || o.Version) return o;
        std::string problem;
        // To standard output nothing is extracted: the words after the archive name the
        // entries to write, as masks.
        if (o.Action == TCliAction::Stdout && FPositional.size() > 1) {
            o.FileSpec.insert(o.FileSpec.end(), FPositional.begin() + 1, FPositional.end());
            FPositional.resize(1);
        }
        if (FPositional.empty())
            problem = "no archive given";
        else if (o.Action == TCliAction::Stdout && !FDestOption.empty())
            problem = "-c writes to standard output: no -d";
        else if (FPositional.size() > 2)
            problem = "too many arguments";
        else if (FPositional.size() == 2 && !FDestOption.empty())
            problem = "the destination is given twice (DESTDIR and -d)";
        else if (o.Json && o.Action != TCliAction::List && o.Action != TCliAction::Identify)
            problem = "--json goes with -l or --identify";
        else if (!o.NameCodePage.empty() && !qvrOS::CodePageKnown(o.NameCodePage))
            problem = "unknown code page '" + o.NameCodePage + "'";
        else if (!o.NameCodePage.empty() && !NameCodePageSafe(o.NameCodePage))
            problem = "code page '" + o.NameCodePage +
                      "' can turn other bytes into folder separators; names cannot be read in it";
        if (!problem.empty()) {
            Fail(problem);
            return std::nullopt;
        }
        o.Archive = FPositional[0];
        o.DestDir = FPositional.size() == 2 ? FPositional[1] : FDestOption;
        return o;
    }

    const std::vector<std::string>& FArgs;
    std::string& FError;
    size_t FNext = 0;
    TCliOptions FOptions;
    std::vector<std::string> FPositional;
    std::string FDestOption;
};

} // namespace

std::optional<TCliOptions> ParseCommandLine(const std::vector<std::string>& Args,
                                            std::string& Error)
{
    return TParser(Args, Error).Parse();
}

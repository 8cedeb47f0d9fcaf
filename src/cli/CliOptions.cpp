#include "CliOptions.h"

#include "qvrPlatform.h"

const char* const VersionText = "unspool 0.2.0\n";

const char* const UsageText =
    "usage: unspool [options] ARCHIVE [DESTDIR]   (or -d DESTDIR; default: the current folder)\n"
    "  -d DIR        extract into DIR (instead of the positional DESTDIR)\n"
    "  -f MASK       extract only entries matching MASK, '/' or '\\' between folders\n"
    "                (repeatable; default *.*), e.g. -f '*.txt' -f 'docs/*.*' (a '*' alone\n"
    "                matches names without an extension)\n"
    "  -x MASK       leave out entries matching MASK (repeatable), e.g. -x 'tmp/*.*' -x '*.o'\n"
    "  -l            list the selected entries (size, packed, method, date, CRC, name)\n"
    "  -t            test: decode and check the selected entries, writing nothing\n"
    "  --json        with -l or --identify: one JSON object per line\n"
    "  -p PASSWORD   a password to try (repeatable, tried in order)\n"
    "  -o            overwrite existing files without asking (the default when stdin is not a\n"
    "                terminal)\n"
    "  -n            never overwrite existing files\n"
    "  -j            do not recreate stored folders (empty stored folders are made otherwise)\n"
    "  -K            keep the setuid, setgid and sticky bits of stored Unix modes\n"
    "  -O CODEPAGE   code page of names stored without the UTF-8 flag (also --names=CODEPAGE):\n"
    "                437 (default), 936/GBK, 950/BIG5, 932/SJIS, 1252, UTF-8, ...; not one\n"
    "                that can make '/' or '\\' of other bytes (UTF-7, UTF-16, EBCDIC)\n"
    "  --date=file|now|newest   date of the extracted files\n"
    "  --no-attributes          do not restore stored attributes or Unix modes\n"
    "  -q            no progress bar and no summary line\n"
    "  --identify    print the archive type and where the walk starts, then exit\n"
    "  -h, --help    this text;  --version  the version\n"
    "exit status: 0 all selected entries extracted (or tested) with passing checks; 1 some\n"
    "entry failed or was skipped by an error, or the archive is damaged in part; 2 the archive\n"
    "is missing, unreadable or not an archive the walk extracts; 3 usage error\n";

namespace {

// Masks are matched as the component names entries, with "\" between folders; on the
// command line either separator is accepted.
std::string MaskOf(std::string M)
{
    for (char& c : M)
        if (c == '/') c = '\\';
    return M;
}

} // namespace

std::optional<TCliOptions> ParseCommandLine(const std::vector<std::string>& Args,
                                            std::string& Error)
{
    TCliOptions o;
    std::vector<std::string> positional;
    std::string destOption;
    bool optionsEnded = false;
    auto fail = [&](const std::string& E) -> std::optional<TCliOptions> {
        Error = E;
        return std::nullopt;
    };
    auto setAction = [&](TCliAction A) {
        if (o.Action != TCliAction::Extract && o.Action != A) return false;
        o.Action = A;
        return true;
    };
    for (size_t i = 0; i < Args.size(); ++i) {
        const std::string& a = Args[i];
        auto value = [&](const char* what) -> std::optional<std::string> {
            if (i + 1 >= Args.size()) {
                Error = std::string("option ") + a + " needs " + what;
                return std::nullopt;
            }
            return Args[++i];
        };
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            positional.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "-p" || a == "-f" || a == "-x" || a == "-d" || a == "-O") {
            auto v = value(a == "-p"   ? "a password"
                           : a == "-d" ? "a folder"
                           : a == "-O" ? "a code page"
                                       : "a mask");
            if (!v) return std::nullopt;
            if (a == "-p") o.Passwords.push_back(*v);
            if (a == "-f") o.FileSpec.push_back(MaskOf(*v));
            if (a == "-x") o.ExcludeSpec.push_back(MaskOf(*v));
            if (a == "-O") o.NameCodePage = *v;
            if (a == "-O" && v->empty()) return fail("-O needs a code page");
            if (a == "-d") {
                if (!destOption.empty()) return fail("-d given twice");
                destOption = *v;
                if (destOption.empty()) return fail("-d needs a folder");
            }
        } else if (a.rfind("--names=", 0) == 0) {
            o.NameCodePage = a.substr(8);
            if (o.NameCodePage.empty()) return fail("--names= needs a code page");
        } else if (a == "-o") {
            o.Overwrite = TOverwritePolicy::Always;
        } else if (a == "-n") {
            o.Overwrite = TOverwritePolicy::Never;
        } else if (a == "-j") {
            o.UseStoredDirs = false;
        } else if (a == "-D") {
            // Empty stored folders are made anyway; kept for the scripts that ask.
            o.CreateStoredDirs = true;
        } else if (a == "-K") {
            o.KeepSpecialModes = true;
        } else if (a == "-q") {
            o.Quiet = true;
        } else if (a == "-l" || a == "-t" || a == "--identify") {
            if (!setAction(a == "-l" ? TCliAction::List : a == "-t" ? TCliAction::Test
                                                                    : TCliAction::Identify))
                return fail("-l, -t and --identify exclude each other");
        } else if (a == "--json") {
            o.Json = true;
        } else if (a == "--no-attributes") {
            o.RestoreAttributes = false;
        } else if (a == "-h" || a == "--help") {
            o.Help = true;
        } else if (a == "--version") {
            o.Version = true;
        } else if (a.rfind("--date=", 0) == 0) {
            const std::string d = a.substr(7);
            if (d == "file")
                o.Date = daFileDate;
            else if (d == "now")
                o.Date = daSysDate;
            else if (d == "newest")
                o.Date = daMaxFileDate;
            else
                return fail("unknown --date value '" + d + "' (file, now or newest)");
        } else {
            return fail("unknown option " + a);
        }
    }
    if (o.Help || o.Version) return o;
    if (positional.empty()) return fail("no archive given");
    if (positional.size() > 2) return fail("too many arguments");
    if (positional.size() == 2 && !destOption.empty())
        return fail("the destination is given twice (DESTDIR and -d)");
    if (o.Json && o.Action != TCliAction::List && o.Action != TCliAction::Identify)
        return fail("--json goes with -l or --identify");
    if (!o.NameCodePage.empty() && !qvrOS::CodePageKnown(o.NameCodePage))
        return fail("unknown code page '" + o.NameCodePage + "'");
    if (!o.NameCodePage.empty() && !NameCodePageSafe(o.NameCodePage))
        return fail("code page '" + o.NameCodePage +
                    "' can turn other bytes into folder separators; names cannot be read in it");
    o.Archive = positional[0];
    o.DestDir = positional.size() == 2 ? positional[1] : destOption;
    if (o.FileSpec.empty()) o.FileSpec.push_back("*.*");
    return o;
}

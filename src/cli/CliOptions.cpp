#include "CliOptions.h"

const char* const UsageText =
    "usage: unspool [options] ARCHIVE [DESTDIR]     DESTDIR defaults to the current directory\n"
    "  -p PASSWORD   a password to try (repeatable, tried in order)\n"
    "  -f MASK       extract only entries matching MASK (repeatable; default *.*)\n"
    "  -o            overwrite existing files without asking (the default when stdin is not a "
    "terminal)\n"
    "  -n            never overwrite existing files\n"
    "  -j            do not recreate stored folders\n"
    "  -D            recreate empty stored folders too\n"
    "  --date=file|now|newest   date of the extracted files\n"
    "  --no-attributes          do not restore stored attributes\n"
    "  -q            no progress bar\n"
    "  --identify    print the archive type and where the walk starts, then exit\n"
    "exit status: 0 all selected entries extracted with passing CRCs; 1 some entry failed or was\n"
    "skipped by an error; 2 the archive is missing, unreadable or not an archive the walk\n"
    "extracts; 3 usage error\n";

std::optional<TCliOptions> ParseCommandLine(const std::vector<std::string>& Args,
                                            std::string& Error)
{
    TCliOptions o;
    std::vector<std::string> positional;
    bool optionsEnded = false;
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
        } else if (a == "-p") {
            auto v = value("a password");
            if (!v) return std::nullopt;
            o.Passwords.push_back(*v);
        } else if (a == "-f") {
            auto v = value("a mask");
            if (!v) return std::nullopt;
            o.FileSpec.push_back(*v);
        } else if (a == "-o") {
            o.Overwrite = TOverwritePolicy::Always;
        } else if (a == "-n") {
            o.Overwrite = TOverwritePolicy::Never;
        } else if (a == "-j") {
            o.UseStoredDirs = false;
        } else if (a == "-D") {
            o.CreateStoredDirs = true;
        } else if (a == "-q") {
            o.Quiet = true;
        } else if (a == "--identify") {
            o.Identify = true;
        } else if (a == "--no-attributes") {
            o.RestoreAttributes = false;
        } else if (a == "-h" || a == "--help") {
            o.Help = true;
        } else if (a.rfind("--date=", 0) == 0) {
            const std::string d = a.substr(7);
            if (d == "file")
                o.Date = daFileDate;
            else if (d == "now")
                o.Date = daSysDate;
            else if (d == "newest")
                o.Date = daMaxFileDate;
            else {
                Error = "unknown --date value '" + d + "' (file, now or newest)";
                return std::nullopt;
            }
        } else {
            Error = "unknown option " + a;
            return std::nullopt;
        }
    }
    if (o.Help) return o;
    if (positional.empty()) {
        Error = "no archive given";
        return std::nullopt;
    }
    if (positional.size() > 2) {
        Error = "too many arguments";
        return std::nullopt;
    }
    o.Archive = positional[0];
    if (positional.size() == 2) o.DestDir = positional[1];
    if (o.FileSpec.empty()) o.FileSpec.push_back("*.*");
    return o;
}

// unspool: extracts a ZIP archive with the TUnZip component, showing its events on the
// terminal: a progress bar, overwrite questions, and every error with its code.
#include "CliOptions.h"
#include "CliProgress.h"
#include "qvrPlatform.h"
#include "qvrUnZip.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

enum TExit { ExitOk = 0, ExitEntryFailed = 1, ExitArchiveFailed = 2, ExitUsage = 3 };

// Turns "\" paths of the component back into the form the user typed.
std::string Shown(const std::string& Name)
{
#ifdef _WIN32
    return Name;
#else
    std::string s = Name;
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
#endif
}

char AskOverwrite(const std::string& Name)
{
    for (;;) {
        std::fprintf(stderr, "replace %s? [y]es, [n]o, [A]ll, [N]one, [r]ename: ",
                     Shown(Name).c_str());
        std::fflush(stderr);
        std::string answer;
        if (!std::getline(std::cin, answer)) return 'N';
        if (answer == "y" || answer == "n" || answer == "A" || answer == "N" || answer == "r")
            return answer[0];
    }
}

class TCliRun {
public:
    explicit TCliRun(const TCliOptions& O)
        : FOptions(O), FBar(!O.Quiet && qvrOS::IsTerminal(2)) {}

    int Run()
    {
        FUnZip.ArchiveFile(FOptions.Archive);
        if (FOptions.Identify) return Identify();
        if (FUnZip.ArchiveFile().empty()) {
            Error(FOptions.Archive, "", E_FILENOTFOUND);
            return ExitArchiveFailed;
        }
        if (!IsZipWalkType(FUnZip.ArcType())) {
            std::fprintf(stderr, "unspool: %s: not a ZIP archive (%s)\n",
                         FOptions.Archive.c_str(), ArcTypeName(FUnZip.ArcType()));
            return ExitArchiveFailed;
        }
        std::string dest = FOptions.DestDir.empty() ? qvrOS::CurrentDir()
                                                    : qvrOS::FullPath(SlashToBackslash(FOptions.DestDir));
        if (!ForceDirs(dest)) {
            Error(dest, "", E_OPENERR);
            return ExitArchiveFailed;
        }
        Configure(dest);
        FUnZip.ExtractFiles();
        FBar.Clear();
        if (FArchiveFailed) return ExitArchiveFailed;
        return FEntryFailed ? ExitEntryFailed : ExitOk;
    }

private:
    int Identify()
    {
        std::printf("%s %lld\n", ArcTypeName(FUnZip.ArcType()),
                    static_cast<long long>(FUnZip.WalkStart()));
        return FUnZip.ArchiveFile().empty() ? ExitArchiveFailed : ExitOk;
    }

    void Configure(const std::string& Dest)
    {
        FUnZip.ExtractDir(Dest);
        FUnZip.FileSpec(FOptions.FileSpec);
        FUnZip.Passwords(FOptions.Passwords);
        FUnZip.UseStoredDirs(FOptions.UseStoredDirs);
        FUnZip.CreateStoredDirs(FOptions.CreateStoredDirs);
        FUnZip.DateAttribute(FOptions.Date);
        FUnZip.RestoreFileAttr(FOptions.RestoreAttributes);

        TOverwritePolicy policy = FOptions.Overwrite;
        if (policy == TOverwritePolicy::Default)
            policy = qvrOS::IsTerminal(0) ? TOverwritePolicy::Default : TOverwritePolicy::Always;
        FUnZip.ConfirmOverwrites(policy != TOverwritePolicy::Always);
        FUnZip.OnFileExists = [this, policy](TZipCommon&, const std::string& Name,
                                             std::string& NewName, TOverwriteMode& Mode) {
            Mode = policy == TOverwritePolicy::Never ? omSkip : Ask(Name, NewName);
        };

        FUnZip.OnBegin = [this](TZipCommon&, const std::string& Name, int32_t, bool&) {
            FBar.SetFile(Shown(ExtractFileName(Name)));
        };
        FUnZip.OnProgress = [this](TZipCommon&, uint8_t, uint8_t ByArchive) {
            FBar.Update(ByArchive);
        };
        // An entry that already has its report (a file that could not be opened) gets
        // no second line for its failed verdict.
        FUnZip.OnEnd = [this](TZipCommon&, const std::string& Name, bool Pass) {
            if (!Pass && Name != FLastReported) Error(Name, "", E_CRCERR);
        };
        FUnZip.OnError = [this](TZipCommon& Sender, const std::string& Name,
                                const std::string& Ext, const std::string&, int32_t Code) {
            std::string file = Name.empty() ? FOptions.Archive : Name;
            // A report that names the archive carries the file it concerns, if any, as
            // its extended message (an output file that could not be written).
            if (Name == FUnZip.ArchiveFile() && !Ext.empty() && Code != E_REQUIREDEVENT &&
                Code != E_USERCANCELED)
                file = Ext;
            if (Sender.ReportSubject() == rsArchive) FArchiveFailed = true;
            Error(file, Ext, Code);
        };
        // Off a terminal nobody can be asked: the search declines, so the user reads
        // that the password was missing or wrong.
        const bool ask = qvrOS::IsTerminal(0);
        FUnZip.OnGetPassword = [this, ask](TZipCommon&, const std::string& Name,
                                           std::string& Password, bool& TryAgain) {
            if (!ask) {
                TryAgain = false;
                return;
            }
            FBar.Clear();
            std::fprintf(stderr, "password for %s (empty to skip): ", Shown(Name).c_str());
            std::fflush(stderr);
            if (!std::getline(std::cin, Password) || Password.empty()) TryAgain = false;
        };
    }

    TOverwriteMode Ask(const std::string& Name, std::string& NewName)
    {
        if (FAll) return omOverwrite;
        if (FNone) return omSkip;
        FBar.Clear();
        switch (AskOverwrite(Name)) {
        case 'y': return omOverwrite;
        case 'A': FAll = true; return omOverwrite;
        case 'N': FNone = true; return omSkip;
        case 'r': {
            std::fprintf(stderr, "new name: ");
            std::fflush(stderr);
            std::string n;
            if (!std::getline(std::cin, n) || n.empty()) return omSkip;
            NewName = ExtractFilePath(Name) + SlashToBackslash(n);
            return omOverwrite;
        }
        default: return omSkip;
        }
    }

    void Error(const std::string& File, const std::string& Ext, int32_t Code)
    {
        FLastReported = File;
        FBar.Clear();
        if (Code != E_USERCANCELED) FEntryFailed = true;
        std::string text = MessageText(Code);
        if (!Ext.empty() && Code == E_REQUIREDEVENT) text += " (" + Ext + ")";
        std::fprintf(stderr, "unspool: %s: %s (%d)\n", Shown(File).c_str(), text.c_str(), Code);
    }

    const TCliOptions& FOptions;
    TProgressBar FBar;
    TUnZip FUnZip;
    std::string FLastReported;
    bool FEntryFailed = false;
    bool FArchiveFailed = false;
    bool FAll = false;
    bool FNone = false;
};

int Main(const std::vector<std::string>& Args)
{
    std::string error;
    auto options = ParseCommandLine(Args, error);
    if (!options) {
        std::fprintf(stderr, "unspool: %s\n%s", error.c_str(), UsageText);
        return ExitUsage;
    }
    if (options->Help) {
        std::fputs(UsageText, stdout);
        return ExitOk;
    }
    TCliRun run(*options);
    return run.Run();
}

} // namespace

#ifdef _WIN32
#include "CliWinMain.inc"
#else
int main(int argc, char** argv)
{
    return Main(std::vector<std::string>(argv + 1, argv + argc));
}
#endif

// Command-line interface of the unspool command.
#pragma once

#include "qvrGbls.h"

#include <optional>
#include <string>
#include <vector>

enum class TOverwritePolicy { Default, Always, Never };
// What the command does with the selected entries.
// Comment: print the archive comment. Stdout: the selected entries' bytes to standard
// output, one after the other.
enum class TCliAction { Extract, Test, List, Identify, Comment, Stdout };

struct TCliOptions {
    std::string Archive;
    std::string DestDir; // empty: the current directory
    TStringList Passwords;
    TStringList FileSpec;    // -f masks as typed (CliMask.h); none: every entry
    TStringList ExcludeSpec; // -x masks as typed
#ifdef _WIN32
    bool FoldCase = true; // Windows file names ignore case, and so do its masks
#else
    bool FoldCase = false; // -C
#endif
    bool Verbose = false;
    TOverwritePolicy Overwrite = TOverwritePolicy::Default;
    TCliAction Action = TCliAction::Extract;
    bool UseStoredDirs = true;
    bool CreateStoredDirs = true; // empty folders stored in the archive are made
    bool KeepSpecialModes = false; // -K: setuid, setgid and sticky bits as stored
    TDateAttribute Date = daFileDate;
    bool RestoreAttributes = true;
    bool Quiet = false;
    bool Json = false;
    std::string NameCodePage; // empty: the default OEM code page
    int Threads = 0;          // -T: 0 is one per core
    bool Help = false;
    bool Version = false;
};

// Parses argv (without the program name); on a usage error returns nothing and sets
// Error to a one-line explanation.
std::optional<TCliOptions> ParseCommandLine(const std::vector<std::string>& Args,
                                            std::string& Error);
extern const char* const UsageText;
extern const char* const VersionText;

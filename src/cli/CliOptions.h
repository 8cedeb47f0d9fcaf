// Command-line interface of the unspool command.
#pragma once

#include "qvrGbls.h"

#include <optional>
#include <string>
#include <vector>

enum class TOverwritePolicy { Default, Always, Never };
// What the command does with the selected entries.
enum class TCliAction { Extract, Test, List, Identify };

struct TCliOptions {
    std::string Archive;
    std::string DestDir; // empty: the current directory
    TStringList Passwords;
    TStringList FileSpec;    // "\" separated, as the component matches them
    TStringList ExcludeSpec; // likewise
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
    bool Help = false;
    bool Version = false;
};

// Parses argv (without the program name); on a usage error returns nothing and sets
// Error to a one-line explanation.
std::optional<TCliOptions> ParseCommandLine(const std::vector<std::string>& Args,
                                            std::string& Error);
extern const char* const UsageText;
extern const char* const VersionText;

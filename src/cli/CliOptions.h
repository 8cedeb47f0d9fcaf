// Command-line interface of the unspool command.
#pragma once

#include "qvrGbls.h"

#include <optional>
#include <string>
#include <vector>

enum class TOverwritePolicy { Default, Always, Never };

struct TCliOptions {
    std::string Archive;
    std::string DestDir; // empty: the current directory
    TStringList Passwords;
    TStringList FileSpec;
    TOverwritePolicy Overwrite = TOverwritePolicy::Default;
    bool UseStoredDirs = true;
    bool CreateStoredDirs = false;
    TDateAttribute Date = daFileDate;
    bool RestoreAttributes = true;
    bool Quiet = false;
    bool Identify = false;
    bool Help = false;
};

// Parses argv (without the program name); on a usage error returns nothing and sets
// Error to a one-line explanation.
std::optional<TCliOptions> ParseCommandLine(const std::vector<std::string>& Args,
                                            std::string& Error);
extern const char* const UsageText;

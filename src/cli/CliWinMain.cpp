// Windows console entry of the unspool command; CMake builds it into the Windows command
// only (CliPosixMain.cpp is the entry elsewhere).
//
// The arguments are taken as UTF-16 (wmain, linked with -municode) so that names outside
// the ANSI code page survive, and are turned into UTF-8 once, here: from then on the
// command and the component see UTF-8 only. The console is switched to UTF-8 for the
// same reason for as long as the command runs.
#include "CliMain.h"
#include "qvrPlatform.h"

#include <cwchar>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    qvrOS::TUtf8ConsoleGuard console;
    std::vector<std::string> args;
    args.reserve(argc > 1 ? static_cast<size_t>(argc - 1) : 0);
    for (int i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        args.push_back(qvrOS::Utf16ToUtf8(std::u16string(arg, arg + std::wcslen(arg))));
    }
    return UnspoolMain(args);
}

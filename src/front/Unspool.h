// The export of Unspool.dll:
//
//   BOOLEAN __stdcall Unspools(HWND AppHandle, const char* ArchiveName,
//                              const char* DestDir, const char* Message);
//
// extracts every file of the archive ArchiveName into DestDir behind a small progress
// window showing Message, and returns 1 when the extraction run ended normally, 0 when
// it could not run (see README). The strings are in the host's ANSI code page.
#pragma once

#include <windows.h>

// The calling convention of every export: the callee removes its arguments.
#define UNSPOOL_API __stdcall

namespace front {

// One call of the export. AskOverwrite makes the run ask before replacing a file; the
// shipped export never sets it. Never throws: a failure is a False result.
bool RunUnspools(HWND AppHandle, const char* ArchiveName, const char* DestDir,
                 const char* Message, bool AskOverwrite) noexcept;

} // namespace front

// What the Win32 files of the platform layer share, and nothing above them sees.
//
// The component already speaks this system's language ("\" separators, attribute bits,
// DOS times, Win32 error numbers), so the work here is the string edge: names arrive as
// UTF-8 and go to the "W" entry points as UTF-16, and whatever the system hands back is
// turned into UTF-8 again. Nothing else in the library converts. Each helper is defined
// in the file of its concern (named beside it) and declared here once, so that no file
// keeps a copy of another's.
#pragma once

#include "qvrPlatform.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace qvrOS {

// The error state of this thread, kept for LastError (qvrWin32System.cpp): the system's
// last error, or Code.
void Fail();
void Fail(DWORD Code);

inline HANDLE Native(THandle H) { return reinterpret_cast<HANDLE>(H); }

// UTF-8 and UTF-16 (qvrWin32Text.cpp). Widen refuses a name with an embedded NUL.
std::optional<std::wstring> Widen(std::string_view S);
std::string Narrow(std::wstring_view W);

// Calls a "give me a buffer of this size" API until the answer fits. Such APIs return
// the length written, or the size needed (with its terminator) when the buffer was
// short, or 0 on failure.
template <class Fn> std::optional<std::wstring> Ask(Fn Call, DWORD Start = MAX_PATH + 1)
{
    std::wstring buf(Start, L'\0');
    for (int tries = 0; tries < 4; ++tries) {
        const DWORD n = Call(static_cast<DWORD>(buf.size()), buf.data());
        if (n == 0) return std::nullopt;
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        buf.assign(n, L'\0');
    }
    return std::nullopt;
}

// Names as the file calls take them (qvrWin32Files.cpp): the absolute form of W; the
// UTF-16 name of Name, in the extended "\\?\" form when it is long, and empty (the
// error recorded) when Name cannot be one.
std::optional<std::wstring> FullPathW(const std::wstring& W);
std::optional<std::wstring> PathW(const std::string& Name);

} // namespace qvrOS

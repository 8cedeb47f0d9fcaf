// Win32 platform layer: text and the console: UTF-8 and UTF-16, code pages (the OEM and
// ANSI ones of the process, and those named by users), the console's code pages, echo and
// standard output.
#include "qvrWin32Internal.h"

#include <fcntl.h>
#include <io.h>

#include <climits>
#include <cstdio>
#include <string>

namespace qvrOS {

// Names come from archives: an embedded NUL would silently cut a UTF-16 name short and
// open a different file than the one the component checked, so it is refused.
std::optional<std::wstring> Widen(std::string_view S)
{
    if (S.find('\0') != std::string_view::npos || S.size() > INT_MAX) return std::nullopt;
    std::wstring w;
    if (S.empty()) return w;
    const int n = MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()),
                                      nullptr, 0);
    if (n <= 0) return std::nullopt;
    w.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), w.data(), n);
    return w;
}

std::string Narrow(std::wstring_view W)
{
    std::string s;
    if (W.empty() || W.size() > INT_MAX / 4) return s;
    const int n = WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0) return s;
    s.resize(static_cast<size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, W.data(), static_cast<int>(W.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

namespace {

HANDLE StdHandle(int Stream)
{
    switch (Stream) {
    case 0: return GetStdHandle(STD_INPUT_HANDLE);
    case 1: return GetStdHandle(STD_OUTPUT_HANDLE);
    case 2: return GetStdHandle(STD_ERROR_HANDLE);
    default: return INVALID_HANDLE_VALUE;
    }
}

} // namespace

void BinaryStandardOutput()
{
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

bool IsTerminal(int Stream)
{
    // The runtime calls the NUL device a character device too; only a console answers
    // GetConsoleMode.
    DWORD mode;
    return Stream >= 0 && Stream <= 2 && _isatty(Stream) &&
           GetConsoleMode(StdHandle(Stream), &mode);
}

int TerminalWidth()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(StdHandle(2), &info)) {
        const int width = info.srWindow.Right - info.srWindow.Left + 1;
        if (width > 0) return width;
    }
    return 80;
}

namespace {

std::string CodePageToUtf8(UINT CodePage, std::string_view Text)
{
    if (Text.empty() || Text.size() > INT_MAX / 2) return {};
    const int size = static_cast<int>(Text.size());
    const int n = MultiByteToWideChar(CodePage, 0, Text.data(), size, nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CodePage, 0, Text.data(), size, w.data(), n);
    return Narrow(w);
}

} // namespace

std::string OemToUtf8(std::string_view Name) { return CodePageToUtf8(CP_OEMCP, Name); }

namespace {

// The number of a code page as users give it; 0 when the name is not one.
UINT CodePageNumber(const std::string& Name)
{
    std::string n;
    for (const char c : Name) n += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (n == "GBK") return 936;
    if (n == "BIG5") return 950;
    if (n == "SJIS" || n == "SHIFT_JIS") return 932;
    if (n == "UTF-8" || n == "UTF8") return CP_UTF8;
    if (n.rfind("CP", 0) == 0) n.erase(0, 2);
    if (n.empty() || n.size() > 5 || n.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return static_cast<UINT>(std::stoul(n));
}

} // namespace

bool CodePageKnown(const std::string& Name)
{
    const UINT cp = CodePageNumber(Name);
    return cp != 0 && IsValidCodePage(cp);
}

std::string CodePageToUtf8(std::string_view Text, const std::string& CodePage)
{
    const UINT cp = CodePageNumber(CodePage);
    if (Text.empty() || Text.size() > INT_MAX / 2) return {};
    const int size = static_cast<int>(Text.size());
    if (cp != 0 && MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, Text.data(), size, nullptr, 0) > 0)
        return CodePageToUtf8(cp, Text);
    // Not a valid text of that code page: the bytes outside ASCII are kept as "%XX".
    std::string out;
    for (const unsigned char c : Text) {
        char esc[4];
        std::snprintf(esc, sizeof esc, "%%%02X", c);
        out += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(esc);
    }
    return out;
}

std::string AnsiToUtf8(std::string_view Text) { return CodePageToUtf8(CP_ACP, Text); }

std::string Utf16ToUtf8(std::u16string_view Text)
{
    // wchar_t is UTF-16 here; the copy keeps the two character types apart. Without
    // WC_ERR_INVALID_CHARS the conversion turns a lone surrogate into U+FFFD.
    return Narrow(std::wstring(Text.begin(), Text.end()));
}

// Without a console (output redirected, started detached) both code pages read as 0
// and there is nothing to switch or restore.
TUtf8ConsoleGuard::TUtf8ConsoleGuard() : FOutput(GetConsoleOutputCP()), FInput(GetConsoleCP())
{
    if (FOutput) SetConsoleOutputCP(CP_UTF8);
    if (FInput) SetConsoleCP(CP_UTF8);
}

TUtf8ConsoleGuard::~TUtf8ConsoleGuard()
{
    if (FOutput) SetConsoleOutputCP(FOutput);
    if (FInput) SetConsoleCP(FInput);
}

TEchoOffGuard::TEchoOffGuard()
{
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;
    FMode = mode;
    FSaved = true;
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
}

TEchoOffGuard::~TEchoOffGuard()
{
    if (FSaved) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), static_cast<DWORD>(FMode));
}

} // namespace qvrOS

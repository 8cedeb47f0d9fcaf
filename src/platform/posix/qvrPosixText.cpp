// POSIX platform layer: text and the terminal. Code pages are converted by iconv, the
// DOS OEM code page (437) by a table of its own; there is no console code page to switch,
// and echo is turned off through termios.
#include "qvrPosixInternal.h"

#include <cerrno>
#include <cstdio>
#include <iconv.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <string>

namespace qvrOS {

namespace {

// Code page 437 upper half: the OEM code page of US-English DOS, in which most DOS-era
// archives store their entry names.
constexpr std::array<char16_t, 128> Cp437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8,
    0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2,
    0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1,
    0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD,
    0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562,
    0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534,
    0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560,
    0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393,
    0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6,
    0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0,
    0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

bool IsTerminal(int Stream) { return ::isatty(Stream) == 1; }

void BinaryStandardOutput() {}

int TerminalWidth()
{
    struct winsize ws {};
    if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

std::string OemToUtf8(std::string_view Name)
{
    std::string out;
    out.reserve(Name.size());
    for (unsigned char c : Name) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else
            AppendUtf8(out, Cp437High[c - 0x80]);
    }
    return out;
}

namespace {

// The iconv name of a code page as users give it.
std::string IconvName(const std::string& Name)
{
    std::string n;
    for (const char c : Name) n += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (n == "936") return "GBK";
    if (n == "950") return "BIG5";
    if (n == "932" || n == "SJIS") return "CP932";
    if (n == "65001" || n == "UTF8") return "UTF-8";
    if (!n.empty() && n.find_first_not_of("0123456789") == std::string::npos) return "CP" + n;
    return n;
}

// An iconv conversion descriptor, closed on every path.
class TIconv {
public:
    explicit TIconv(const std::string& From) : FCd(iconv_open("UTF-8", From.c_str())) {}
    ~TIconv()
    {
        if (Valid()) iconv_close(FCd);
    }
    TIconv(const TIconv&) = delete;
    TIconv& operator=(const TIconv&) = delete;
    bool Valid() const { return FCd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return FCd; }

private:
    iconv_t FCd;
};

// A byte that does not convert, kept visible as "%XX".
void AppendEscaped(std::string& Out, unsigned char C)
{
    char esc[4];
    std::snprintf(esc, sizeof esc, "%%%02X", C);
    Out += esc;
}

} // namespace

bool CodePageKnown(const std::string& Name) { return !Name.empty() && TIconv(IconvName(Name)).Valid(); }

std::string CodePageToUtf8(std::string_view Text, const std::string& CodePage)
{
    TIconv cd(IconvName(CodePage));
    std::string out;
    if (!cd.Valid()) {
        for (const unsigned char c : Text) {
            if (c < 0x80)
                out += static_cast<char>(c);
            else
                AppendEscaped(out, c);
        }
        return out;
    }
    std::string in(Text);
    char* src = in.data();
    size_t left = in.size();
    char buf[256];
    while (left > 0) {
        char* dst = buf;
        size_t room = sizeof buf;
        const size_t r = iconv(cd.Get(), &src, &left, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // A byte that is not (the start of) a character of the code page. Some
            // converters (glibc's ISO-2022-CN-EXT after a stray SO) report it having
            // already taken it, even as the last byte: then nothing is left to keep.
            if (left == 0) break;
            AppendEscaped(out, static_cast<unsigned char>(*src));
            ++src;
            --left;
            iconv(cd.Get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view Text)
{
    std::string out;
    out.reserve(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        const char16_t c = Text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 &&
            Text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                                (static_cast<char32_t>(Text[i + 1]) - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

// POSIX has no ANSI code page, and the command and the component take POSIX
// arguments as UTF-8 already.
std::string AnsiToUtf8(std::string_view Text) { return std::string(Text); }

TUtf8ConsoleGuard::TUtf8ConsoleGuard() : FOutput(0), FInput(0) {}
TUtf8ConsoleGuard::~TUtf8ConsoleGuard() = default;

// Only the local-mode flags change, so they are all that needs keeping.
TEchoOffGuard::TEchoOffGuard()
{
    struct termios t {};
    if (::tcgetattr(0, &t) != 0) return;
    FMode = t.c_lflag;
    FSaved = true;
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(0, TCSANOW, &t);
}

TEchoOffGuard::~TEchoOffGuard()
{
    struct termios t {};
    if (!FSaved || ::tcgetattr(0, &t) != 0) return;
    t.c_lflag = static_cast<tcflag_t>(FMode);
    ::tcsetattr(0, TCSANOW, &t);
}

} // namespace qvrOS

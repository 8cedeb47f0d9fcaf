#include "qvrGbls.h"

#include "qvrPlatform.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr const char* ArcTypeNames[ArcTypeCount] = {
    "atNA", "atUnsupported", "atFileOpenErr", "atUnknown", "atAce", "atAceExe", "atArc",
    "atArcExe", "atArj", "atArjExe", "atBh", "atBhExe", "atCab", "atCabExe", "atGZip", "atHA",
    "atJar", "atJarExe", "atLha", "atLhaExe", "atLzh", "atLzhExe", "atMsGZ", "atPak",
    "atPakExe", "atRar", "atRarExe", "atTar", "atTarGZip", "atUUE", "atZip", "atZipExe",
    "atZipDS", "atZipMV", "atZoo"};

} // namespace

const char* ArcTypeName(TArcType T)
{
    return T < ArcTypeCount ? ArcTypeNames[T] : "atUnknown";
}

bool IsZipFamily(TArcType T)
{
    switch (T) {
    case atBh: case atBhExe: case atJar: case atJarExe: case atZip: case atZipExe: case atZipDS:
    case atZipMV: return true;
    default: return false;
    }
}

bool IsZipWalkType(TArcType T)
{
    switch (T) {
    case atZip: case atZipExe: case atZipDS: case atZipMV: case atJar: case atJarExe:
        return true;
    default: return false;
    }
}

std::string AppendDirTail(const std::string& Path)
{
    // UTF-8 never uses a byte below 0x80 inside a multibyte character, so the last
    // byte being "\" means the last character is.
    if (Path.empty() || Path.back() == '\\') return Path;
    return Path + '\\';
}

bool DirExists(const std::string& Path)
{
    int64_t a = qvrOS::GetAttributes(Path);
    return a >= 0 && (a & qvrOS::faDirectory);
}

bool FileExistsAny(const std::string& Name) { return qvrOS::FindFirstExists(Name); }

bool ForceDirs(const std::string& Dir)
{
    uint32_t error = 0;
    return ForceDirs(Dir, error);
}

bool ForceDirs(const std::string& Dir, uint32_t& Error)
{
    Error = 0;
    if (Dir.empty()) return false;
    if (DirExists(Dir)) return true;
    qvrOS::TCriticalErrorGuard guard;
    std::string full = AppendDirTail(qvrOS::FullPath(Dir));
    for (size_t i = full.find('\\'); i != std::string::npos; i = full.find('\\', i + 1)) {
        if (i == 0) continue; // the root of a POSIX path
        const std::string folder = full.substr(0, i);
        // The first folder that could not be made is why the rest cannot be: the later
        // calls only fail for want of it.
        if (qvrOS::CreateDir(folder) || Error != 0) continue;
        // Something else under the folder's name (a file) is why the next call fails:
        // that one says so.
        const uint32_t error = qvrOS::LastError();
        if (qvrOS::GetAttributes(folder) < 0) Error = error;
    }
    return DirExists(Dir);
}

std::string TempDir() { return qvrOS::TempPath(); }

namespace {

// Turns every "/" of Text into "\" and tells whether Text is ASCII throughout. Names are
// taken eight bytes at a time.
bool SlashesToBackslashes(std::string& Text)
{
    constexpr uint64_t Ones = 0x0101010101010101u;
    constexpr uint64_t Highs = Ones * 0x80;
    constexpr uint64_t Lows = Ones * 0x7F;
    constexpr uint64_t Slashes = Ones * '/';
    char* p = Text.data();
    const size_t n = Text.size();
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        high |= w;
        // The bytes that are "/" are the zero bytes of x: their high bit stays clear in y,
        // and no byte carries into the next. Adding the distance to "\" turns each one.
        const uint64_t x = w ^ Slashes;
        const uint64_t y = ((x & Lows) + Lows) | x;
        const uint64_t slashes = ~y & Highs;
        if (slashes == 0) continue;
        w += (slashes >> 7) * static_cast<uint64_t>('\\' - '/');
        std::memcpy(p + i, &w, 8);
    }
    for (; i < n; ++i) {
        high |= static_cast<uint8_t>(p[i]);
        if (p[i] == '/') p[i] = '\\';
    }
    return (high & Highs) == 0;
}

} // namespace

std::string SlashToBackslash(std::string Name)
{
    SlashesToBackslashes(Name);
    return Name;
}

namespace {

// The length of the well-formed UTF-8 character at Text[I], 0 when there is none: the
// byte ranges of the Unicode standard's table of well-formed sequences, which leave out
// overlong forms (C0, C1, E0 80-9F, F0 80-8F), surrogates (ED A0-BF) and values above
// U+10FFFF (F4 90-BF, F5-FF).
size_t Utf8CharLength(std::string_view Text, size_t I)
{
    const auto at = [&](size_t K) -> unsigned {
        return I + K < Text.size() ? static_cast<unsigned char>(Text[I + K]) : 0u;
    };
    const unsigned c = at(0);
    if (c < 0x80) return 1;
    size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF; // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (at(1) < lo || at(1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (at(k) < 0x80 || at(k) > 0xBF) return 0;
    return n;
}

} // namespace

std::string EscapeInvalidUtf8(std::string_view Text)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    // Most names are ASCII, which is UTF-8 as it stands.
    const size_t ascii = static_cast<size_t>(
        std::find_if(Text.begin(), Text.end(), [](char c) { return (c & 0x80) != 0; }) -
        Text.begin());
    std::string out;
    out.reserve(Text.size());
    out.append(Text.substr(0, ascii));
    for (size_t i = ascii; i < Text.size();) {
        const size_t n = Utf8CharLength(Text, i);
        if (n > 0) {
            out.append(Text.substr(i, n));
            i += n;
        } else {
            const auto c = static_cast<unsigned char>(Text[i++]);
            out += '%';
            out += Hex[c >> 4];
            out += Hex[c & 15];
        }
    }
    return out;
}

bool IsValidUtf8(std::string_view Text)
{
    // Most names are ASCII: only what follows the first other byte is looked at closely.
    const auto high =
        std::find_if(Text.begin(), Text.end(), [](char c) { return (c & 0x80) != 0; });
    for (size_t i = static_cast<size_t>(high - Text.begin()); i < Text.size();) {
        const size_t n = Utf8CharLength(Text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string NormalizeName(const std::string& Name, bool Oem, const std::string& CodePage)
{
    std::string out;
    NormalizeNameInto(Name, Oem, CodePage, out);
    return out;
}

bool Utf8NameInto(std::string_view Name, std::string& Out)
{
    Out.assign(Name);
    return SlashesToBackslashes(Out) || IsValidUtf8(Name);
}

void NormalizeNameInto(std::string_view Name, bool Oem, const std::string& CodePage,
                       std::string& Out)
{
    // A name taken as UTF-8 (the flag, or no translation asked for) may hold bytes that
    // are not: they are kept as "%XX" like the bytes a code page does not convert, so
    // that names stay valid UTF-8 and two names that differ stay different. Valid UTF-8
    // (nearly every name) escapes to itself and is copied as it is.
    if (Name.empty() || !Oem) {
        if (Utf8NameInto(Name, Out)) return;
        Out = EscapeInvalidUtf8(Name);
    } else {
        Out = CodePage.empty() ? qvrOS::OemToUtf8(Name) : qvrOS::CodePageToUtf8(Name, CodePage);
    }
    SlashesToBackslashes(Out);
}

std::string ArchiveText(std::string_view Bytes, bool Oem, const std::string& CodePage)
{
    std::string utf8 = EscapeInvalidUtf8(Bytes);
    if (utf8 == Bytes || !Oem) return utf8;
    return CodePage.empty() ? qvrOS::OemToUtf8(Bytes) : qvrOS::CodePageToUtf8(Bytes, CodePage);
}

bool NameCodePageSafe(const std::string& CodePage)
{
    const auto gives = [&](std::string_view Bytes) {
        return qvrOS::CodePageToUtf8(Bytes, CodePage);
    };
    const auto separator = [](const std::string& S) {
        return S.find_first_of("/\\") != std::string::npos;
    };
    // The shifts and escapes of stateful encodings come first, as they are what usually
    // makes a separator: UTF-7's base64 forms of "/" and "\", HZ's and ISO-2022's mode
    // changes, the byte-order marks of UTF-16 and UTF-32.
    static constexpr std::string_view Shifts[] = {
        "+AC8-", "+AFw-", "+AC8", "+AFw", "~{", "~}", "~{~}", "\x1B$B", "\x1B(B", "\x1B(J",
        "\x1B$A", "\x1B$)A\x0E", "\x1B$)C\x0E", "\x0E", "\x0F", "\xFE\xFF", "\xFF\xFE"};
    for (const std::string_view s : Shifts)
        if (separator(gives(s))) return false;
    // "/" must stay the separator it is in every ZIP name.
    if (gives("/") != "/") return false;
    char b[2];
    for (int lead = 1; lead < 256; ++lead) {
        b[0] = static_cast<char>(lead);
        if (b[0] == '/' || b[0] == '\\') continue;
        if (separator(gives({b, 1}))) return false;
        if (lead < 0x80) continue;
        for (int trail = 1; trail < 256; ++trail) {
            b[1] = static_cast<char>(trail);
            if (b[1] == '/' || b[1] == '\\') continue;
            if (separator(gives({b, 2}))) return false;
        }
    }
    return true;
}

bool IsUNCPath(const std::string& Path)
{
    return Path.size() > 2 && Path[0] == '\\' && Path[1] == '\\';
}

std::string SplitAt(std::string& S, const std::string& Delim)
{
    size_t p = Delim.empty() ? std::string::npos : S.find(Delim);
    if (p == std::string::npos) {
        std::string head = std::move(S);
        S.clear();
        return head;
    }
    std::string head = S.substr(0, p);
    S.erase(0, p + Delim.size());
    return head;
}

uint8_t NameStemLength(const char* Name)
{
    if (!Name) return 0;
    const char* dot = std::strchr(Name, '.');
    size_t n = dot ? static_cast<size_t>(dot - Name) : std::strlen(Name);
    return static_cast<uint8_t>(n & 0xFF);
}

int Percent(int64_t Total, int64_t Part)
{
    if (Total <= 0) return 0;
    double r = std::nearbyint(static_cast<double>(Part) * 100.0 / static_cast<double>(Total));
    if (r < 0) return 0;
    if (r > 100) return 100;
    return static_cast<int>(r);
}

bool TryEncodeDay(int Year, int Month, int Day, TDateTime& Out)
{
    static constexpr int Days[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                        {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};
    if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1) return false;
    bool leap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
    const int* m = Days[leap ? 1 : 0];
    if (Day > m[Month - 1]) return false;
    int d = Day;
    for (int i = 0; i < Month - 1; ++i) d += m[i];
    int y = Year - 1;
    Out = static_cast<TDateTime>(y * 365 + y / 4 - y / 100 + y / 400 + d - 693594);
    return true;
}

TDateTime EncodeDay(int Year, int Month, int Day)
{
    TDateTime d;
    return TryEncodeDay(Year, Month, Day, d) ? d : FallbackDateTime;
}

TDateTime DosDateTimeToDateTime(uint32_t V)
{
    if (V == 0) V = 0x00210020;
    int year = 1980 + static_cast<int>((V >> 25) & 0x7F);
    int month = static_cast<int>((V >> 21) & 0x0F);
    int day = static_cast<int>((V >> 16) & 0x1F);
    int hour = static_cast<int>((V >> 11) & 0x1F);
    int minute = static_cast<int>((V >> 5) & 0x3F);
    int second = static_cast<int>(V & 0x1F) * 2;
    if (hour > 23 || minute > 59 || second > 59) return FallbackDateTime;
    return EncodeDay(year, month, day) + (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

namespace {

// Where the folder part of Name ends: its last "\", or the colon of a leading drive
// ("C:name"). A colon anywhere else belongs to the name.
size_t FolderEnd(std::string_view Name)
{
    // "/" too: the names handed to hosts are in their system's form.
    const size_t p = Name.find_last_of("\\/");
    if (p != std::string::npos) return p;
    return HasDrive(Name) ? 1 : std::string::npos;
}

} // namespace

std::string ExtractFilePath(const std::string& Name)
{
    const size_t p = FolderEnd(Name);
    return p == std::string::npos ? std::string() : Name.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& Name)
{
    return std::string(ExtractFileNameView(Name));
}

std::string_view ExtractFileNameView(std::string_view Name)
{
    const size_t p = FolderEnd(Name);
    return p == std::string::npos ? Name : Name.substr(p + 1);
}

bool HasDrive(std::string_view Name)
{
    return Name.size() >= 2 && Name[1] == ':' &&
           ((Name[0] >= 'A' && Name[0] <= 'Z') || (Name[0] >= 'a' && Name[0] <= 'z'));
}

bool IsDeviceName(std::string_view Step)
{
    // Windows drops trailing dots and blanks, then reads the stem up to the first dot
    // without the blanks that end it: "nul", "NUL.txt", "Nul .tar.gz" and "nul. " all
    // name the device.
    const size_t dot = Step.find('.');
    std::string_view stem = Step.substr(0, dot);
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    const auto is = [&](size_t At, std::string_view Upper) {
        for (size_t i = 0; i < Upper.size(); ++i) {
            const char c = stem[At + i];
            if ((c >= 'a' && c <= 'z' ? c - 32 : c) != Upper[i]) return false;
        }
        return true;
    };
    if (stem.size() == 3) return is(0, "CON") || is(0, "PRN") || is(0, "AUX") || is(0, "NUL");
    // The console's input and output buffers.
    if (stem.size() == 6 || stem.size() == 7) return is(0, stem.size() == 6 ? "CONIN$" : "CONOUT$");
    if (stem.size() < 4 || !(is(0, "COM") || is(0, "LPT"))) return false;
    // A digit 1-9, or the superscripts 1, 2, 3 (U+00B9, U+00B2, U+00B3) in UTF-8.
    const std::string_view n = stem.substr(3);
    return (n.size() == 1 && n[0] >= '1' && n[0] <= '9') ||
           n == "\xC2\xB9" || n == "\xC2\xB2" || n == "\xC2\xB3";
}

std::string AvoidDeviceNames(const std::string& Path)
{
    std::string out;
    out.reserve(Path.size() + 1);
    for (size_t i = 0; i <= Path.size();) {
        const size_t j = std::min(Path.find('\\', i), Path.size());
        const std::string_view step(Path.data() + i, j - i);
        if (IsDeviceName(step)) out += '_';
        out += step;
        if (j < Path.size()) out += '\\';
        i = j + 1;
    }
    return out;
}

// Archive type identification: what kind of archive a file holds and, for ZIP archives,
// where the walk starts.
//
// A file is looked at in this order. A program ("MZ") may carry an archive behind its
// code: the known self-extractor stubs put theirs at fixed offsets; others name the
// offset in their string table; the rest append it right after the DOS image or
// somewhere later, found through the ZIP end record or a forward scan. Any other file is
// judged by its first four bytes (the signature table), then by the tests that need more
// than a signature: ACE's mark at offset 7, uuencoded text, a tape-archive header with a
// good checksum, a ZIP end record near the end of the file (self-extractors for other
// systems and split parts), and finally the same forward scan.
//
// The file is hostile until proven otherwise: every read has a fixed upper size, every
// position comes from a bounds-checked read, and a record the file ends inside only
// fails the test at hand. A stream may hand out fewer bytes per read than asked, so each
// read goes on until it has its count or the file ends. Identification never raises:
// whatever stops it, the type found so far stands.
#include "qvrregister.h"
#include "qvrMessages.h"

#include "qvrPlatform.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace {

constexpr int32_t HeadSize = 32768;     // the first block every test looks at
constexpr int32_t ScanBlockSize = 32768;
constexpr int ScanBlocks = 11;          // the forward scan's reach: 352 KB
constexpr int32_t TextProbeSize = 5000; // uuencoded text must begin within this
constexpr int64_t ProgramScanStart = 17000;
constexpr uint32_t NoArchiveDate = 0x00210020; // 1 January 1980, 00:01
constexpr uint8_t DriveRemovable = 2;

// Reads exactly Count bytes at Pos; false for a bad position or a file that ends first.
bool ReadAt(TStream32& S, int64_t Pos, void* Buf, int32_t Count)
{
    if (Pos < 0 || S.Seek(Pos, 0) != Pos) return false;
    return S.ReadFull(Buf, Count) == Count;
}

// Reads up to Count bytes at Pos, fewer only where the file ends; the count read.
int32_t ReadSome(TStream32& S, int64_t Pos, void* Buf, int32_t Count)
{
    if (Pos < 0 || S.Seek(Pos, 0) != Pos) return 0;
    return S.ReadFull(Buf, Count);
}

bool HasText(const uint8_t* P, int64_t Avail, std::string_view Text)
{
    return Avail >= static_cast<int64_t>(Text.size()) &&
           std::memcmp(P, Text.data(), Text.size()) == 0;
}

// ACE archives carry "**ACE**" at bytes 7-13 of their main header.
bool HasAceMark(const uint8_t* Head, int32_t HeadLen)
{
    return HeadLen >= 14 && std::memcmp(Head + 7, "**ACE**", 7) == 0;
}

// The string table of a Win32 program, read straight from the file: no module is loaded
// and nothing of the program runs. Only what one lookup needs is parsed: the PE header,
// the section table (to turn addresses into file positions) and the three levels of the
// resource tree (type 6 for strings, then block Id / 16 + 1, then the first language).
// Each block holds 16 strings, each a 16-bit length and that many UTF-16 units.
class TProgramStrings {
public:
    TProgramStrings(TStream32& S, const uint8_t* Head, int32_t HeadLen);
    bool Valid() const { return FResRoot >= 0; }
    // String Id cut to MaxChars characters (anything beyond ASCII becomes "?"); empty
    // when the program has no such string.
    std::string Load(uint32_t Id, size_t MaxChars);

private:
    struct TSection {
        uint32_t Va, RawSize, RawPtr;
    };
    static constexpr uint32_t MaxSections = 96;     // what the loader accepts
    static constexpr uint32_t MaxDirEntries = 4096; // far beyond any real resource tree
    static constexpr uint32_t SubDirBit = 0x80000000u;

    bool RvaToOffset(uint32_t Rva, int64_t& Off) const;
    // The data word of entry Id (or of the first entry, when First) of the resource
    // directory at DirOff from the root.
    bool FindEntry(uint32_t DirOff, uint32_t Id, bool First, uint32_t& Target);

    TStream32& FStream;
    std::vector<TSection> FSections;
    int64_t FResRoot = -1;
};

TProgramStrings::TProgramStrings(TStream32& S, const uint8_t* Head, int32_t HeadLen)
    : FStream(S)
{
    if (HeadLen < 0x40) return;
    const uint32_t peOff = GetU32(Head + 0x3C);
    uint8_t pe[24];
    if (!ReadAt(S, peOff, pe, 24) || std::memcmp(pe, "PE\0\0", 4) != 0) return;
    const uint32_t sections = std::min<uint32_t>(GetU16(pe + 6), MaxSections);
    const uint16_t optSize = GetU16(pe + 20);
    std::vector<uint8_t> opt(optSize);
    if (optSize < 2 || !ReadAt(S, int64_t{peOff} + 24, opt.data(), optSize)) return;
    size_t dirs;
    switch (GetU16(opt.data())) {
    case 0x10B: dirs = 96; break;  // PE32
    case 0x20B: dirs = 112; break; // PE32+
    default: return;
    }
    // The resource directory is data directory 2.
    if (dirs + 24 > optSize || GetU32(&opt[dirs - 4]) <= 2) return;
    const uint32_t resRva = GetU32(&opt[dirs + 16]);
    if (resRva == 0 || GetU32(&opt[dirs + 20]) == 0) return;

    std::vector<uint8_t> table(size_t{sections} * 40);
    if (table.empty() ||
        !ReadAt(S, int64_t{peOff} + 24 + optSize, table.data(),
                static_cast<int32_t>(table.size())))
        return;
    for (uint32_t i = 0; i < sections; ++i) {
        const uint8_t* s = &table[size_t{i} * 40];
        FSections.push_back({GetU32(s + 12), GetU32(s + 16), GetU32(s + 20)});
    }
    int64_t root;
    if (RvaToOffset(resRva, root)) FResRoot = root;
}

bool TProgramStrings::RvaToOffset(uint32_t Rva, int64_t& Off) const
{
    for (const TSection& s : FSections)
        if (Rva >= s.Va && Rva - s.Va < s.RawSize) {
            Off = int64_t{s.RawPtr} + (Rva - s.Va);
            return true;
        }
    return false;
}

bool TProgramStrings::FindEntry(uint32_t DirOff, uint32_t Id, bool First, uint32_t& Target)
{
    const int64_t pos = FResRoot + DirOff;
    uint8_t dir[16];
    if (!ReadAt(FStream, pos, dir, 16)) return false;
    const uint32_t count =
        std::min<uint32_t>(uint32_t{GetU16(dir + 12)} + GetU16(dir + 14), MaxDirEntries);
    if (count == 0) return false;
    std::vector<uint8_t> entries(size_t{count} * 8);
    if (!ReadAt(FStream, pos + 16, entries.data(), static_cast<int32_t>(entries.size())))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = &entries[size_t{i} * 8];
        // Entries named by a string have the top bit of their name word set.
        if (First || GetU32(e) == Id) {
            Target = GetU32(e + 4);
            return true;
        }
    }
    return false;
}

std::string TProgramStrings::Load(uint32_t Id, size_t MaxChars)
{
    if (!Valid()) return {};
    uint32_t t;
    if (!FindEntry(0, 6, false, t) || !(t & SubDirBit)) return {};
    if (!FindEntry(t & ~SubDirBit, Id / 16 + 1, false, t) || !(t & SubDirBit)) return {};
    if (!FindEntry(t & ~SubDirBit, 0, true, t) || (t & SubDirBit)) return {};
    uint8_t data[16];
    int64_t pos;
    if (!ReadAt(FStream, FResRoot + t, data, 16) || !RvaToOffset(GetU32(data), pos)) return {};
    const int64_t end = pos + GetU32(data + 4);
    for (uint32_t i = 0;; ++i) {
        uint8_t len[2];
        if (pos + 2 > end || !ReadAt(FStream, pos, len, 2)) return {};
        pos += 2;
        if (i == Id % 16) {
            const size_t n = std::min<size_t>(GetU16(len), MaxChars);
            std::vector<uint8_t> units(n * 2);
            if (pos + static_cast<int64_t>(units.size()) > end ||
                (n > 0 && !ReadAt(FStream, pos, units.data(), static_cast<int32_t>(n * 2))))
                return {};
            std::string text;
            for (size_t k = 0; k < n; ++k) {
                const uint16_t u = GetU16(&units[k * 2]);
                text += u < 0x80 ? static_cast<char>(u) : '?';
            }
            return text;
        }
        pos += int64_t{GetU16(len)} * 2;
    }
}

// The extension of a "\" path, without its dot; empty when the name has none.
std::string ExtensionOf(const std::string& Name)
{
    const size_t dot = Name.find_last_of(".\\/:");
    if (dot == std::string::npos || Name[dot] != '.') return {};
    return Name.substr(dot + 1);
}

} // namespace

// Setting the archive identifies it at once: the type a host reads back is the one
// the file's bytes say, never the one it was told.
void TRegisterQuiver::ArchiveFile(const std::string& V) { SetArchiveFile(V); }
void TRegisterQuiver::ArcType(TArcType V) { SetArcType(V); }

void TRegisterQuiver::SetArchiveFile(const std::string& V)
{
    // "*" and "?" are characters of a name where the system allows them (POSIX); where
    // it does not (Windows), the search would find another file than the one named.
    const std::string name = SlashToBackslash(V);
    if (V.empty() || !qvrOS::FindFirstExists(name) ||
        !qvrOS::NameAllowed(ExtractFileNameView(name), false)) {
        FArcType = atNA;
        FArchiveFile.clear();
        return;
    }
    FArchiveFile = name;
    TFileStream32 file(FArchiveFile, fmOpenRead | fmShareDenyWrite);
    if (!file.Valid()) {
        FArcType = atNA;
        return;
    }
    file.EnableReadBuffer(32 * 1024);
    FArcType = IdentifyArchive(file);
    if (FArcType != atNA && FArcType != atUnsupported && FArcType != atFileOpenErr &&
        FArcType != atUnknown)
        SetVolumeScheme();
}

void TRegisterQuiver::SetArcType(TArcType)
{
    if (FArchiveFile.empty()) return;
    TFileStream32 file(FArchiveFile, fmOpenRead | fmShareDenyWrite);
    if (!file.Valid()) {
        FArcType = atNA;
        throw E_RAISE(MessageText(E_OPENERR), E_OPENERR);
    }
    FArcType = IdentifyArchive(file);
}

TArcType TRegisterQuiver::CheckSignature(TSigMode Mode, const uint8_t Sig[4], TStream32& Stream)
{
    const bool exe = Mode == TSigMode::Exe;
    auto pick = [exe](TArcType InProgram, TArcType AtStart) { return exe ? InProgram : AtStart; };
    const uint8_t a = Sig[0], b = Sig[1], c = Sig[2], d = Sig[3];
    auto four = [&](uint8_t w, uint8_t x, uint8_t y, uint8_t z) {
        return a == w && b == x && c == y && d == z;
    };

    if (four(0x42, 0x48, 0x05, 0x07)) return pick(atBhExe, atBh);
    if (four('R', 'a', 'r', '!')) return pick(atRarExe, atRar);
    if (four('P', 'K', 'G', '5')) return atUnknown;
    if (four('M', 'S', 'C', 'F')) return pick(atCabExe, atCab);
    if (four(0xB7, 0xDF, 0x54, 0x57)) {
        if (!exe) return atArc;
        FWalkStart = 7716;
        return atArcExe;
    }
    if (four(0x13, 0x5D, 0x65, 0x8C)) return pick(atUnsupported, atMsGZ);
    if (c == '-' && d == 'l') return pick(atLhaExe, atLha);

    if (a == 0x1A) {
        if (b == 0x02 || b == 0x1E) return pick(atUnsupported, atArc);
        if (b == 0x08 || b == 0x09) return pick(atArcExe, atArc);
        if (b == 0x0A || b == 0x0B) return pick(atPakExe, atPak);
    }
    if ((a == 0x1F && (b == 0x1E || b == 0x8B || b == 0x9D || b == 0x9E || b == 0xA0)) ||
        (a == 0x25 && b == 0x21))
        return pick(atUnsupported, atGZip);
    if (a == 'H' && b == 'A') return pick(atUnsupported, atHA);
    if (a == 'P' && b >= 'K' && b <= 'N') {
        if (c == 0x01 && d == 0x02) {
            // A central header first: the later part of a split set. The end-record
            // search fills the header slots for the walk.
            const TArcType t = GetSpanType();
            FindEndRecord(Stream);
            return t;
        }
        if (c == 0x07 && d == 0x08) return GetSpanType(); // the spanning marker
        if ((c == 'G' && d == '4') || (c == 'C' && d == 'I')) return atNA;
        return pick(atZipExe, atZip);
    }
    if (a == 'Z' && b == 'O') return pick(atUnsupported, atZoo);
    if (a == 0xB7 && (b == 0x92 || b == 0xDF)) {
        FWalkStart = 7716;
        return atArcExe;
    }
    if (a == 0x60 && b == 0xEA) return pick(atArjExe, atArj);
    return atNA;
}

TArcType TRegisterQuiver::IdentifyArchive(TStream32& Stream)
{
    TArcType t = atNA;
    FEndRecordEnd = 0;
    FOffsetAdjust = 0;
    FWalkStart = -1;
    FHeaderState.Clear();
    FEndHdr.Clear();
    FDirectoryFound = false;
    try {
        FArchiveSize = std::max<int64_t>(Stream.Size(), 0);
        if (FArchiveSize > 19) {
            std::vector<uint8_t> head(HeadSize, 0);
            const int32_t headLen = ReadSome(Stream, 0, head.data(), HeadSize - 1);
            if (headLen >= 2 && head[0] == 'M' && head[1] == 'Z')
                IdentifyProgram(Stream, head.data(), headLen, t);
            else
                IdentifyPlain(Stream, head.data(), headLen, t);
        }
    } catch (...) {
        // Whatever stopped the tests, the type found so far stands.
    }

    // However the last part of a split set starts (inside an entry's data, with a local
    // header, with a directory record) and whether or not its directory can be read
    // from it, its end record tells it apart from a whole archive: read alone, the part
    // would give the few entries it holds and lose the rest without a word.
    if (ZipArcTypes.Has(t) && EndRecordNamesSet()) t = GetSpanType();
    if (IsValidArcType(t)) {
        if (FWalkStart == -1) FWalkStart = 0;
        std::string ext = ExtensionOf(FArchiveFile);
        std::transform(ext.begin(), ext.end(), ext.begin(), AsciiToLower);
        if (t == atZip && ext == "jar") t = atJar;
    }

    // Only a stream over a file has a date; any other stands for an archive without one.
    auto* handle = dynamic_cast<THandleStream32*>(&Stream);
    const uint32_t created = handle ? qvrOS::FileGetDosTime(handle->Handle(), 0) : 0;
    FArchiveDate = created == 0 || created == 0xFFFFFFFFu ? NoArchiveDate : created;
    return t;
}

void TRegisterQuiver::IdentifyProgram(TStream32& Stream, const uint8_t* Head, int32_t HeadLen,
                                      TArcType& T)
{
    T = ScanExeStub(Stream);
    if (IsValidArcType(T)) return;
    if (ProbeStringResources(Stream, Head, HeadLen, T)) return;

    // The DOS image ends at (pages - 1) x 512 + the bytes in use of the last page, where 0
    // bytes means a full last page. What follows it is often the archive; ARJ's own
    // programs leave two bytes before theirs.
    const int64_t size = FArchiveSize;
    const int64_t lastPage = GetU16(Head + 2), pages = GetU16(Head + 4);
    const int64_t imageEnd = (pages - 1) * 512 + (lastPage == 0 ? 512 : lastPage);
    int64_t localAt = -1; // a ZIP local header right behind the image
    uint8_t sig[4];
    if (imageEnd > 0 && imageEnd + 4 < size && ReadAt(Stream, imageEnd, sig, 4)) {
        FWalkStart = sig[2] == 0x60 && sig[3] == 0xEA ? imageEnd + 2 : imageEnd;
        if (FWalkStart + 4 < size && ReadAt(Stream, FWalkStart, sig, 4)) {
            if (GetU32(sig) == LocalSig) {
                localAt = FWalkStart;
            } else {
                T = CheckSignature(TSigMode::Exe, sig, Stream);
                if (IsValidArcType(T)) return;
            }
        }
    }

    FWalkStart = FindEndRecord(Stream);
    if (FWalkStart > 0) {
        T = atZipExe;
        return;
    }
    if (localAt > 0 && FWalkStart == 0 && !FHeaderState.Has(htLocal)) {
        // No directory, but the archive visibly starts behind the image: walk its
        // local headers from there rather than scanning for a later one.
        T = atZipExe;
        FWalkStart = localAt;
        FHeaderState.Clear();
        FHeaderState.Add(htLocal);
        return;
    }
    FWalkStart = ScanForSignature(Stream, T, ProgramScanStart);
}

bool TRegisterQuiver::ProbeStringResources(TStream32& Stream, const uint8_t* Head,
                                           int32_t HeadLen, TArcType& T)
{
    // Some self-extractors keep the archive's offset as text in their string table,
    // numbers 1 to 7; the program's string lookup sees at most five characters.
    TProgramStrings strings(Stream, Head, HeadLen);
    if (!strings.Valid()) return false;
    for (uint32_t id = 1; id <= 7; ++id) {
        try {
            const std::string text = strings.Load(id, 5);
            if (text.empty()) break;
            if (!std::all_of(text.begin(), text.end(),
                             [](char ch) { return ch >= '0' && ch <= '9'; }))
                break;
            const int64_t at = std::stoll(text);
            FWalkStart = at;
            if (at >= FArchiveSize) break;
            uint8_t probe[14] = {};
            if (ReadSome(Stream, at, probe, 14) != 14) continue;
            if (std::memcmp(probe + 7, "**ACE**", 7) == 0) {
                T = atAceExe;
                return true;
            }
            T = CheckSignature(TSigMode::Exe, probe, Stream);
            if (T == atNA) continue;
            if (ZipArcTypes.Has(T)) LocateZipWalk(Stream, at);
            return true;
        } catch (const std::exception&) {
            // A damaged entry of the table: try the next number.
        }
    }
    return false;
}

void TRegisterQuiver::IdentifyPlain(TStream32& Stream, const uint8_t* Head, int32_t HeadLen,
                                    TArcType& T)
{
    // Leading zero bytes are skipped; a zero byte first may also be a 128-byte Macintosh
    // file wrapper around an LHA archive.
    int32_t p = 0;
    if (Head[0] == 0) {
        while (p < HeadLen && Head[p] == 0) ++p;
        if (HeadLen - p > 132 && Head[130] == '-' && Head[131] == 'l') {
            T = atLha;
            FWalkStart = 128;
            return;
        }
    }
    uint8_t sig[4] = {};
    std::memcpy(sig, Head + p, static_cast<size_t>(std::clamp(HeadLen - p, 0, 4)));
    T = CheckSignature(TSigMode::Plain, sig, Stream);

    switch (T) {
    case atNA: break;
    case atFileOpenErr:
    case atUnknown: return;
    case atZipDS:
    case atZipMV:
        FWalkStart = FindEndRecord(Stream);
        if (FHeaderState.Empty()) {
            // No directory on this part: its local headers are all there is.
            FHeaderState.Add(htLocal);
            if (FWalkStart == 0) FWalkStart = p;
        }
        break;
    case atJar:
    case atJarExe:
    case atZip:
    case atZipExe: LocateZipWalk(Stream, p); break;
    default:
        if (HasAceMark(Head, HeadLen)) T = atAce;
        break;
    }
    if (IsValidArcType(T)) return;

    if (HasAceMark(Head, HeadLen)) {
        T = atAce;
        return;
    }
    T = IsUUEncoded(Stream);
    if (T == atUUE) return;
    T = IsTarArchive(Stream);
    if (T == atTar) return;
    // A ZIP behind something else: a self-extractor for another system, or a later
    // part of a split set.
    FWalkStart = FindEndRecord(Stream);
    if (FWalkStart > 0) {
        T = atZip;
        return;
    }
    FWalkStart = ScanForSignature(Stream, T, 0);
}

void TRegisterQuiver::LocateZipWalk(TStream32& Stream, int64_t SigPos)
{
    FWalkStart = FindEndRecord(Stream);
    // Nothing better than the local signature itself: walk the local headers from it.
    // Only a set of exactly {htLocal} makes the walk scan local headers, so whatever
    // else the search noted of a directory it could not use is dropped.
    if (FWalkStart == 0 && !FHeaderState.Has(htLocal) && !FDirectoryFound) {
        FWalkStart = SigPos;
        FHeaderState.Clear();
        FHeaderState.Add(htLocal);
    }
}

TArcType TRegisterQuiver::ScanExeStub(TStream32& Stream)
{
    const int64_t size = Stream.Size();
    uint8_t b[6];
    // ARC and PAK self-extractors of known sizes.
    static constexpr int64_t Stubs[] = {6674, 6867, 7716, 8601, 13138};
    for (const int64_t at : Stubs) {
        if (size <= at + 2) break;
        if (!ReadAt(Stream, at, b, 2) || b[0] != 0x1A) continue;
        if (b[1] == 0x08 || b[1] == 0x09) {
            FWalkStart = at;
            return atArcExe;
        }
        if (b[1] == 0x0A || b[1] == 0x0B) {
            FWalkStart = at;
            return atPakExe;
        }
    }
    // The LHA self-extractor: "-lh?-" at 1947, its header two bytes before.
    if (size > 1949 && ReadAt(Stream, 1947, b, 6) && b[0] == '-' && b[1] == 'l' &&
        b[2] == 'h' && b[4] == '-') {
        FWalkStart = 1945;
        return atLhaExe;
    }
    // ZIP self-extractors with the archive at a fixed offset: walk its local headers
    // from there, whatever the directory says.
    int64_t at = -1;
    if (size > 7616 && ReadAt(Stream, 7612, b, 4) && GetU32(b) == LocalSig)
        at = 7612;
    else if (size > 25665 && ReadAt(Stream, 25661, b, 4) && GetU32(b) == LocalSig)
        at = 25661;
    if (at < 0) return atNA;
    FindEndRecord(Stream); // for the header slots only
    FWalkStart = at;
    FHeaderState.Clear();
    FHeaderState.Add(htLocal);
    return atZipExe;
}

int64_t TRegisterQuiver::ScanForSignature(TStream32& Stream, TArcType& Kind, int64_t Start)
{
    Kind = atNA;
    int64_t found = 0;
    const int64_t size = Stream.Size();
    if (Start < 0 || Start >= size) return 0;
    auto kindAt = [](int64_t At, TArcType InProgram, TArcType Alone) {
        return At > 0 ? InProgram : Alone;
    };
    std::vector<uint8_t> buf(ScanBlockSize);
    for (int i = 0; i < ScanBlocks; ++i) {
        // Every block is read at its own position: the ZIP test below moves the stream.
        const int64_t blockPos = Start + int64_t{i} * ScanBlockSize;
        const int32_t n = ReadSome(Stream, blockPos, buf.data(), ScanBlockSize);
        if (n == 0) return found;
        for (int32_t j = 0; j < n; ++j) {
            const uint8_t* p = &buf[static_cast<size_t>(j)];
            const int64_t b = blockPos + j;
            const int32_t avail = n - j; // a pattern must lie wholly in the bytes read
            bool match = false;
            switch (*p) {
            case '*': // "**ACE**" at 7 of an ACE header
                if (b + 5 < size && b >= 7 && HasText(p, avail, "**ACE")) {
                    found = b - 7;
                    Kind = kindAt(found, atAceExe, atAce);
                    match = true;
                }
                break;
            case 'M':
                if (b + 5 < size && avail >= 8 && HasText(p, avail, "MSCF") && GetU32(p + 4) == 0) {
                    // A plain file that is a cabinet was told by its signature; one
                    // inside a plain file's data ends this block without a result.
                    if (Start > 0) {
                        found = b;
                        Kind = kindAt(found, atCabExe, atCab);
                    }
                    match = true;
                }
                break;
            case '-': // "-lh?-" at 2 of an LHA header
                if (b + 5 < size && b >= 2 && avail >= 5 && p[1] == 'l' && p[2] == 'h' &&
                    p[4] == '-') {
                    found = b - 2;
                    Kind = kindAt(found, atLhaExe, atLha);
                    match = true;
                }
                break;
            case 'B':
                if (avail >= 8 && GetU32(p) == 0x07054842 &&
                    !(p[4] == 0x0F && p[5] == 0x94 && p[6] == 0xC3 && p[7] == 0x84)) {
                    found = b;
                    Kind = kindAt(found, atBhExe, atBh);
                    match = true;
                }
                break;
            case 'P':
                if (avail >= 8 && GetU32(p) == LocalSig &&
                    !(p[4] == 0x74 && p[5] == 0x0B && p[6] == 0x3D && p[7] == 0x00)) {
                    Kind = Start > 0 ? atZipExe : atZip;
                    LocateZipWalk(Stream, b);
                    found = FWalkStart;
                    match = true;
                }
                break;
            case 'R':
                if (HasText(p, avail, "Rar!")) {
                    found = b;
                    Kind = kindAt(found, atRarExe, atRar);
                    match = true;
                }
                break;
            case 0x60:
                // An ARJ main header of H bytes, its 4-byte check value and an empty
                // extension, then the next header's signature.
                if (avail >= 4 && p[1] == 0xEA) {
                    const int64_t next = int64_t{j} + GetU16(p + 2) + 10;
                    if (next < ScanBlockSize && next + 2 <= n &&
                        GetU16(&buf[static_cast<size_t>(next)]) == 0xEA60) {
                        found = b;
                        Kind = kindAt(found, atArjExe, atArj);
                        match = true;
                    }
                }
                break;
            default: break;
            }
            if (match) break;
        }
        if (found > 0) return found;
    }
    return found;
}

TArcType TRegisterQuiver::IsUUEncoded(TStream32& Stream)
{
    const int64_t size = Stream.Size();
    const int32_t want = static_cast<int32_t>(std::clamp<int64_t>(size, 0, TextProbeSize));
    if (want == 0) return atNA;
    std::vector<uint8_t> text(static_cast<size_t>(want));
    const int32_t n = ReadSome(Stream, 0, text.data(), want);
    bool begun = false;
    for (int32_t i = 0; i + 2 < n; ++i) {
        if (i > 0 && text[static_cast<size_t>(i - 1)] != '\n') continue;
        const uint8_t* line = &text[static_cast<size_t>(i)];
        if (HasText(line, n - i, "begin 6") || HasText(line, n - i, "begin 7")) return atUUE;
        if (HasText(line, n - i, "begin"))
            begun = true; // another mode: the data lines tell
        else if (begun && line[0] == 'M')
            return atUUE; // a full 45-byte line
    }
    return atNA;
}

TArcType TRegisterQuiver::IsTarArchive(TStream32& Stream)
{
    const int64_t size = Stream.Size();
    if (size <= 512) return atNA;
    FTarHeader.fill(0);
    if (!ReadAt(Stream, 0, FTarHeader.data(), 512)) return atNA;
    if (FTarHeader[156] == 'V') {
        // A volume label comes first; the archive's first file follows it.
        FWalkStart = 512;
        if (size <= 1024 || !ReadAt(Stream, 512, FTarHeader.data(), 512)) return atNA;
    }
    // The checksum is the byte sum of the header with its own field read as spaces.
    size_t fieldLen = 0;
    while (fieldLen < 8 && FTarHeader[148 + fieldLen] != 0) ++fieldLen;
    const int64_t stored = OctalToInt(
        std::string_view(reinterpret_cast<const char*>(&FTarHeader[148]), fieldLen));
    int64_t sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += i >= 148 && i < 156 ? ' ' : FTarHeader[i];
    if (stored == sum) return atTar;
    FWalkStart = -1;
    return atNA;
}

int64_t TRegisterQuiver::OctalToInt(std::string_view S)
{
    // Unsigned arithmetic: an absurdly long field wraps instead of overflowing.
    uint64_t v = 0;
    for (char ch : S)
        if (ch >= '0' && ch <= '7') v = v * 8 + static_cast<uint64_t>(ch - '0');
    return static_cast<int64_t>(v & static_cast<uint64_t>(std::numeric_limits<int64_t>::max()));
}

TArcType TRegisterQuiver::GetSpanType()
{
    TDiskManager disk;
    if (!disk.GetDiskInfo(FArchiveFile)) return atNA;
    return SpanTypeOf(disk);
}

TArcType TRegisterQuiver::SpanTypeOf(const TDiskManager& Disk)
{
    // Disks of a spanned set are labelled "PKBACK# nnn"; split files elsewhere are a
    // multi-volume set.
    if (Disk.FDriveType != DriveRemovable) return atZipMV;
    std::string label = Disk.FVolumeLabel.substr(0, Disk.FVolumeLabel.find(' '));
    std::transform(label.begin(), label.end(), label.begin(), AsciiToUpper);
    return label == "PKBACK#" ? atZipDS : atZipMV;
}

void TRegisterQuiver::SetVolumeScheme()
{
    // The letter later volumes are named with, and the extension a name without one
    // stands for.
    struct TScheme {
        TArcType Type;
        char Letter;
        const char* Ext;
    };
    static constexpr TScheme Schemes[] = {{atAce, 'C', "Ace"}, {atArj, 'a', "Arj"},
                                          {atJar, 'j', "Jar"}, {atJarExe, 'j', "Jar"},
                                          {atRar, 'q', "Rar"}, {atRarExe, 'q', "Rar"}};
    FVolumeNumber = 0;
    const auto scheme = std::find_if(std::begin(Schemes), std::end(Schemes),
                                     [&](const TScheme& S) { return S.Type == FArcType; });
    if (scheme == std::end(Schemes)) return;
    FVolumeLetter = scheme->Letter;
    if (FArchiveFile.empty()) return;
    std::string ext = ExtensionOf(FArchiveFile);
    if (ext.empty()) ext = scheme->Ext;

    // The volume number is the run of digits that ends the extension (x.r00, x.a01); a
    // numbered extension also names the letter later volumes use. Digits followed by
    // anything else are not a number.
    size_t k = ext.size();
    while (k > 0 && ext[k - 1] >= '0' && ext[k - 1] <= '9') --k;
    if (k == ext.size()) {
        FVolumeNumber = FArcType == atArj ? 1 : 0;
        return;
    }
    FVolumeLetter = ext[0];
    int64_t v = 0;
    constexpr int64_t Limit = std::numeric_limits<int32_t>::max() - 1;
    for (size_t i = k; i < ext.size(); ++i) v = std::min<int64_t>(v * 10 + (ext[i] - '0'), Limit);
    FVolumeNumber = static_cast<int32_t>(v + 1);
}

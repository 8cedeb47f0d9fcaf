#include "qvrUnZip.h"

#include "qvrMask.h"
#include "qvrPlatform.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

namespace {

constexpr uint16_t FlagEncrypted = 0x0001;
constexpr uint16_t FlagUtf8 = 0x0800;
constexpr uint32_t AttrDirectory = 0x10;

bool ReadExact(TStream32& S, void* Buf, int32_t Count) { return S.Read(Buf, Count) == Count; }

int64_t WithHigh(uint32_t Low, uint16_t High)
{
    return static_cast<int64_t>(Low) + (static_cast<int64_t>(High) << 32);
}

} // namespace

TUnZip::TUnZip() = default;
TUnZip::~TUnZip() = default;

bool TUnZip::MatchFileSpec(const std::string& Name)
{
    return MatchFileSpecList(Name, FFileSpec, FExcludeList, FRecurseDirs);
}

std::string TUnZip::ReadEntryName(TStream32& Stream, uint16_t Length, bool Enciphered,
                                  uint16_t Flags)
{
    uint8_t buf[256] = {};
    const int32_t take = std::min<int32_t>(Length, 255);
    const int32_t got = std::max<int32_t>(Stream.Read(buf, take), 0);
    if (Enciphered) DecipherHeaderName(buf, got);
    if (Length > take) Stream.Seek(Length - take, 1);
    const size_t len = strnlen(reinterpret_cast<const char*>(buf), static_cast<size_t>(got));
    const std::string raw(reinterpret_cast<const char*>(buf), len);
    return NormalizeName(raw, FTranslateOemChar && !(Flags & FlagUtf8));
}

void TUnZip::ReadExtraField(TStream32& Stream, uint16_t Length, int Kind)
{
    FHighParts = {};
    if (Length == 0) return;
    std::vector<uint8_t> extra(Length);
    const int32_t got = std::max<int32_t>(Stream.Read(extra.data(), Length), 0);
    extra.resize(static_cast<size_t>(got));

    size_t pos = 0;
    while (pos + 4 <= extra.size()) {
        const uint16_t tag = GetU16(&extra[pos]);
        const uint16_t size = GetU16(&extra[pos + 2]);
        pos += 4;
        const size_t end = std::min(extra.size(), pos + size);
        const uint8_t* p = extra.data() + pos;
        const size_t avail = end - pos;
        size_t used = 0;
        // Takes the next 8-byte ZIP64 value when its 32-bit field is saturated: the low
        // word replaces the header field, bits 32-47 go to High.
        auto take64 = [&](uint32_t field, auto set, uint16_t& high) {
            if (field != 0xFFFFFFFFu || used + 8 > avail) return;
            set(GetU32(p + used));
            high = GetU16(p + used + 4);
            used += 8;
        };
        if (tag == 0x0001) {
            if (Kind == 0) {
                take64(FLocalHdr.UncompressedSize(),
                       [&](uint32_t v) { FLocalHdr.SetUncompressedSize(v); },
                       FHighParts.Uncompressed);
                take64(FLocalHdr.CompressedSize(),
                       [&](uint32_t v) { FLocalHdr.SetCompressedSize(v); },
                       FHighParts.Compressed);
            } else {
                take64(FCentralHdr.UncompressedSize(),
                       [&](uint32_t v) { FCentralHdr.SetUncompressedSize(v); },
                       FHighParts.Uncompressed);
                take64(FCentralHdr.CompressedSize(),
                       [&](uint32_t v) { FCentralHdr.SetCompressedSize(v); },
                       FHighParts.Compressed);
                take64(FCentralHdr.LocalOffset(),
                       [&](uint32_t v) { FCentralHdr.SetLocalOffset(v); }, FHighParts.Offset);
            }
        } else if (tag == 0x0064) {
            if (avail >= 4) {
                FHighParts.Compressed = GetU16(p);
                FHighParts.Uncompressed = GetU16(p + 2);
            }
            if (Kind == 1 && avail >= 6) FHighParts.Offset = GetU16(p + 4);
        }
        pos = end;
    }
}

// ---------------------------------------------------------------------------------
// The walk

bool TUnZip::ReadLocalHeaderAt(TStream32& Stream, int64_t Pos)
{
    if (Pos < 0) return false;
    // A file stream reads the header in place, so the directory walk keeps its position
    // and its read-ahead; any other stream seeks there and back.
    if (auto* h = dynamic_cast<THandleStream32*>(&Stream))
        return h->ReadAt(Pos, FLocalHdr.Data(), 30) == 30;
    const int64_t back = Stream.Position();
    const bool ok = Stream.Seek(Pos, 0) == Pos && ReadExact(Stream, FLocalHdr.Data(), 30);
    Stream.Seek(back, 0);
    return ok;
}

void TUnZip::ExtractArchive(std::unique_ptr<TStream32>& Stream)
{
    if (!Stream) return;
    FHeader = std::make_unique<TUnBaseHeaderObj>();
    FHeader->Init();
    std::unique_ptr<TFileStream32> out;
    try {
        if (FHeaderState.Only(htLocal)) {
            if (ScanLocalHeaders(*Stream) > 0) ExtractScanned(Stream, out);
        } else {
            if (ScanCentralDirectory(*Stream) > 0) ExtractListed(Stream, out);
        }
    } catch (...) {
        // Reported where it arose; the walk just ends.
    }
    FHeader->Done();
    FHeader.reset();
}

int32_t TUnZip::ScanCentralDirectory(TStream32& Stream)
{
    TTimerPause pause(FTimer);
    int64_t P = FWalkStart;
    if (P < 0) return 0;
    Stream.Seek(P, 0);
    const int runs = static_cast<int>(FEndHdr.ThisDisk()) - static_cast<int>(FEndHdr.DirDisk()) + 1;
    uint32_t read = 0;
    for (int run = 0; run < runs; ++run) {
        FCentralHdr.Clear();
        ReadExact(Stream, FCentralHdr.Data(), 46);
        bool enciphered = false;
        while (ClassifySignature(FCentralHdr.Signature(), htCentral, enciphered) == htCentral &&
               !GetCancel()) {
            if (enciphered) DecipherHeader(FCentralHdr.Data(), htCentral);
            // Lengths and flags come from the (now deciphered) header before the extra
            // field may rewrite its size fields.
            const uint16_t nameLen = FCentralHdr.NameLength();
            const uint16_t extraLen = FCentralHdr.ExtraLength();
            const uint16_t commentLen = FCentralHdr.CommentLength();
            FEntryName = ReadEntryName(Stream, nameLen, enciphered, FCentralHdr.Flags());
            ReadExtraField(Stream, extraLen, 1);
            if (MatchFileSpec(FEntryName)) {
                TDirEntry entry;
                entry.ExternalAttr = FCentralHdr.ExternalAttr();
                entry.DiskNumber = static_cast<uint16_t>(FCentralHdr.DiskNumberStart() + 1);
                entry.Position = WithHigh(FCentralHdr.LocalOffset(), FHighParts.Offset) +
                                 FOffsetAdjust;
                entry.CompressedHigh = FHighParts.Compressed;
                entry.UncompressedHigh = FHighParts.Uncompressed;
                bool good = true;
                if (FArcType != atZipDS && FArcType != atZipMV) {
                    FLocalHdr.Clear();
                    bool localEnc;
                    good = ReadLocalHeaderAt(Stream, entry.Position) &&
                           ClassifySignature(FLocalHdr.Signature(), htLocal, localEnc) == htLocal;
                    if (!good) ReportError(FEntryName, "", E_BADHEADER, "0");
                }
                if (good) {
                    FHeader->Add(entry, &FCentralHdr);
                    FMaxFileDate = static_cast<uint32_t>(
                        std::max(static_cast<int32_t>(FMaxFileDate),
                                 static_cast<int32_t>(FCentralHdr.DosDateTime())));
                    int64_t packed =
                        WithHigh(FCentralHdr.CompressedSize(), FHighParts.Compressed);
                    if (FCentralHdr.Flags() & FlagEncrypted) packed -= 12;
                    FTotalPacked += packed;
                    FTotalUnpacked +=
                        WithHigh(FCentralHdr.UncompressedSize(), FHighParts.Uncompressed);
                }
            }
            ++read;
            if (GetCancel()) break;
            P += 46 + nameLen + extraLen + commentLen;
            Stream.Seek(P, 0);
            FCentralHdr.Clear();
            ReadExact(Stream, FCentralHdr.Data(), 46);
        }
    }
    // A directory that ends before the end record's count of entries is damaged: what
    // was read is still extracted, but the run must not pass for complete.
    const uint16_t expected = FEndHdr.Entries();
    if (!GetCancel() && FEndHdr.Signature() != 0 && expected != 0xFFFF && read < expected)
        ReportError(FArchiveFile, "", E_BADHEADER, "0");
    return FHeader->FCount;
}

int32_t TUnZip::ScanLocalHeaders(TStream32& Stream)
{
    TTimerPause pause(FTimer);
    if (OnCorruptZipHeader) {
        bool cancel = true;
        OnCorruptZipHeader(*this, FHeaderState, cancel);
        if (cancel) return 0;
    }
    int64_t P = FWalkStart;
    if (P < 0) return 0;
    Stream.Seek(P, 0);
    FLocalHdr.Clear();
    bool full = ReadExact(Stream, FLocalHdr.Data(), 30);
    if (FLocalHdr.Signature() == SpanMarkerSig) {
        P += 4;
        Stream.Seek(P, 0);
        FLocalHdr.Clear();
        full = ReadExact(Stream, FLocalHdr.Data(), 30);
    }
    bool enciphered = false;
    while (full && ClassifySignature(FLocalHdr.Signature(), htLocal, enciphered) == htLocal &&
           !GetCancel()) {
        if (enciphered) DecipherHeader(FLocalHdr.Data(), htLocal);
        const uint16_t nameLen = FLocalHdr.NameLength();
        const uint16_t extraLen = FLocalHdr.ExtraLength();
        FEntryName = ReadEntryName(Stream, nameLen, enciphered, FLocalHdr.Flags());
        ReadExtraField(Stream, extraLen, 0);
        const int64_t packedSize = WithHigh(FLocalHdr.CompressedSize(), FHighParts.Compressed);
        if (!FEntryName.empty() && MatchFileSpec(FEntryName)) {
            TDirEntry entry;
            entry.ExternalAttr = 0;
            entry.DiskNumber = 1;
            entry.Position = P;
            FHeader->Add(entry, nullptr);
            FMaxFileDate = static_cast<uint32_t>(std::max(
                static_cast<int32_t>(FMaxFileDate), static_cast<int32_t>(FLocalHdr.DosDateTime())));
            FTotalPacked += packedSize - ((FLocalHdr.Flags() & FlagEncrypted) ? 12 : 0);
            FTotalUnpacked += WithHigh(FLocalHdr.UncompressedSize(), FHighParts.Uncompressed);
        }
        P += 30 + nameLen + extraLen + packedSize;
        Stream.Seek(P, 0);
        FLocalHdr.Clear();
        full = ReadExact(Stream, FLocalHdr.Data(), 30);
    }
    return FHeader->FCount;
}

std::string TUnZip::ReadEntryLocalHeader(TStream32& Stream, int64_t Position)
{
    Stream.Seek(Position, 0);
    FLocalHdr.Clear();
    ReadExact(Stream, FLocalHdr.Data(), 30);
    bool enciphered = false;
    ClassifySignature(FLocalHdr.Signature(), htLocal, enciphered);
    if (enciphered) DecipherHeader(FLocalHdr.Data(), htLocal);
    std::string name = ReadEntryName(Stream, FLocalHdr.NameLength(), enciphered, FLocalHdr.Flags());
    ReadExtraField(Stream, FLocalHdr.ExtraLength(), 0);
    return name;
}

void TUnZip::ExtractListed(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TFileStream32>& Out)
{
    FBytesLeft = FTotalUnpacked;
    for (int32_t i = 0; i < FHeader->FCount && !GetCancel(); ++i) {
        FCurEntry = i;
        const TDirEntry entry = FHeader->GetEntry(i);
        const std::string name = ReadEntryLocalHeader(*Stream, entry.Position);
        FCentralHdr = FHeader->GetHeader(i);
        FEntryInfo.Flags = FCentralHdr.Flags();
        FEntryInfo.Method = FCentralHdr.Method();
        // The directory is the authority on sizes: its high words stand unless the local
        // header carries its own.
        const uint16_t cHigh = std::max(FHighParts.Compressed, entry.CompressedHigh);
        const uint16_t uHigh = std::max(FHighParts.Uncompressed, entry.UncompressedHigh);
        FEntryInfo.CompressedSize = WithHigh(FCentralHdr.CompressedSize(), cHigh);
        FEntryInfo.UncompressedSize = WithHigh(FCentralHdr.UncompressedSize(), uHigh);
        FEntryInfo.DosDateTime = FCentralHdr.DosDateTime();
        FEntryName = name;
        SetFileName(FEntryName);
        ExtractEntry(Stream, Out, i, entry.ExternalAttr);
    }
}

void TUnZip::ExtractScanned(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TFileStream32>& Out)
{
    FBytesLeft = FTotalUnpacked;
    // No directory was read: its slot must not lend a stale CRC to an entry.
    FCentralHdr.Clear();
    for (int32_t i = 0; i < FHeader->FCount && !GetCancel(); ++i) {
        FCurEntry = i;
        const TDirEntry entry = FHeader->GetEntry(i);
        const std::string name = ReadEntryLocalHeader(*Stream, entry.Position);
        FEntryInfo.Flags = FLocalHdr.Flags();
        FEntryInfo.Method = FLocalHdr.Method();
        FEntryInfo.CompressedSize = WithHigh(FLocalHdr.CompressedSize(), FHighParts.Compressed);
        FEntryInfo.UncompressedSize =
            WithHigh(FLocalHdr.UncompressedSize(), FHighParts.Uncompressed);
        FEntryInfo.DosDateTime = FLocalHdr.DosDateTime();
        FEntryName = name;
        SetFileName(FEntryName);
        ExtractEntry(Stream, Out, i, entry.ExternalAttr);
    }
}

// ---------------------------------------------------------------------------------
// One entry

bool TUnZip::ExtractEntry(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TFileStream32>& Out,
                          int32_t Index, uint32_t ExternalAttr)
{
    // A name ending in a separator is a folder whatever its attributes say: the local
    // header scan has no attributes at all.
    if (!FEntryName.empty() && FEntryName.back() == '\\') ExternalAttr |= AttrDirectory;
    const bool isDirectory = ExternalAttr & AttrDirectory;
    if (!BeginFile(isDirectory)) {
        SkipProgress(FEntryInfo);
        return false;
    }
    if (isDirectory) {
        FEncrypted = false;
    } else {
        FEncrypted = FEntryInfo.Flags & FlagEncrypted;
        if (FEncrypted && !FBadPassword && !VerifyPassword(*Stream)) FBadPassword = true;
    }
    if (FArcType == atJar || FArcType == atJarExe)
        ExternalAttr = ExtractFileName(FFileName).empty() ? AttrDirectory : 0x20;

    try {
        if (ExternalAttr & AttrDirectory) {
            if (!FCreateStoredDirs || ForceDirs(FFileName)) Crc32Acc = FLocalHdr.Crc();
        } else if (!OpenOutput(Out, FFileName, FEntryName)) {
            Out.reset();
            ReportError(FFileName, "", E_OPENERR, "0");
            SkipProgress(FEntryInfo);
            --FFileCount;
        } else if (FEncrypted && FBadPassword) {
            --FFileCount;
            SkipProgress(FEntryInfo);
            FFileName = FEntryName;
        } else {
            std::exception_ptr pending;
            try {
                // An entry written with a data descriptor has no reliable CRC in its
                // local header: zero, or (encrypted, from Info-ZIP) the DOS time in its
                // high half. The directory's CRC is the one to judge it by.
                const bool described = FLocalHdr.Flags() & 0x0008;
                if (FCentralHdr.CompressedSize() != 0 && (FLocalHdr.Crc() == 0 || described))
                    FLocalHdr.SetCrc(FCentralHdr.Crc());
                DecompressEntry(FFileName, Index, FEntryInfo, Out.get(), Stream);
                Crc32Acc ^= 0xFFFFFFFFu;
            } catch (...) {
                pending = std::current_exception();
            }
            CloseOutput(Out, FFileName, ExternalAttr, FLocalHdr.DosDateTime());
            if (pending) std::rethrow_exception(pending);
        }
    } catch (...) {
        // An exception ends this entry only; the verdict below still runs.
    }
    return EndFile(32, FLocalHdr.Crc());
}

bool TUnZip::DecompressEntry(const std::string& FileName, int32_t /*Index*/, TEntryInfo& Info,
                             TStream32* Out, std::unique_ptr<TStream32>& Stream)
{
    Crc32Acc = 0xFFFFFFFFu;
    if (Info.Flags & FlagEncrypted) Info.CompressedSize -= 12;
    FPackedLeft = Info.CompressedSize;
    switch (Info.Method) {
    case 0: CopyStored(*Stream, Out, Info, FileName, 32); break;
    case 8: InflateDeflated(Stream, Out, -15); break;
    case 9: InflateDeflate64(Stream, Out, -15); break;
    default: ReportError(FileName, "", E_UNSUPPORTEDMETHOD, "0"); break;
    }
    return true;
}

int64_t TUnZip::CopyStored(TStream32& Stream, TStream32* Out, const TEntryInfo& Info,
                           const std::string& /*FileName*/, uint8_t CrcKind)
{
    constexpr int64_t Chunk = 32768;
    int64_t left = Info.UncompressedSize;
    if (left <= 0) return 0;
    std::vector<uint8_t> block(static_cast<size_t>(std::min(left, Chunk) + 1));
    const bool decrypt = IsZipFamily(FArcType) && (Info.Flags & FlagEncrypted);
    const bool arj = FArcType == atArj || FArcType == atArjExe;
    int64_t copied = 0;
    while (left > 0) {
        const int32_t n = ReadBlock(Stream, block.data(), static_cast<int32_t>(std::min(left, Chunk)),
                                    0, arj);
        if (n <= 0) break;
        FBytesLeft -= n;
        // A failed write was reported by WriteOutput; the file cannot be completed.
        const bool written = WriteBlock(Out, block.data(), 1, n, CrcKind, decrypt) == n;
        left -= n;
        copied += n;
        if (!written) break;
        UpdateProgress(FTotalPacked, Info.UncompressedSize, copied);
        if (GetCancel()) break;
    }
    return left;
}

// ---------------------------------------------------------------------------------
// Passwords

bool TUnZip::CheckPassword(uint8_t* Header)
{
    return CheckHeader(FCipher, Header, FLocalHdr.Flags(), FLocalHdr.Crc(), FPassword,
                       FLocalHdr.DosDateTime());
}

bool TUnZip::VerifyPassword(TStream32& Stream)
{
    TTimerPause pause(FTimer);
    uint8_t buf[25] = {};
    ReadBlock(Stream, buf, 12, 0, false);
    std::memcpy(buf + 12, buf, 12);
    bool ok = CheckPassword(buf);
    for (size_t i = 0; !ok && i < FPasswords.size(); ++i) {
        FPassword = FPasswords[i];
        ok = CheckPassword(buf);
    }
    if (ok) return true;
    if (!OnGetPassword) {
        ReportError(FFileName, "OnGetPassword", E_REQUIREDEVENT, "0");
        return false;
    }
    bool tryAgain = true;
    for (int32_t attempt = 0; attempt < FPasswordAttempts; ++attempt) {
        if (GetCancel()) break;
        OnGetPassword(*this, FFileName, FPassword, tryAgain);
        if (!tryAgain) {
            ReportError(FFileName, "", E_INVALIDPASSWORD, "0");
            break;
        }
        if (CheckPassword(buf)) {
            FPasswords.insert(FPasswords.begin(), FPassword);
            return true;
        }
        FPassword.clear();
        ReportError(FFileName, "", E_INVALIDPASSWORD, "0");
    }
    return false;
}

#include "qvrUnZip.h"

#include "qvrCrc.h"
#include "qvrDataDescriptor.h"
#include "qvrMask.h"
#include "qvrPlatform.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

namespace {

constexpr uint16_t FlagEncrypted = 0x0001;
constexpr uint16_t FlagDescriptor = 0x0008;
constexpr uint16_t FlagUtf8 = 0x0800;

bool ReadExact(TStream32& S, void* Buf, int32_t Count) { return S.ReadFull(Buf, Count) == Count; }

} // namespace

TUnZip::TUnZip() = default;
TUnZip::~TUnZip() = default;

bool TUnZip::MatchFileSpec(const std::string& Name)
{
    // A read of one entry by name takes that entry and no other.
    if (!FReadName.empty()) return Name == FReadName;
    bool take = MatchFileSpecList(Name, FFileSpec, FExcludeList, FRecurseDirs);
    if (OnSelectEntry) OnSelectEntry(*this, Name, take);
    return take;
}

TUnZip::TRawName TUnZip::ReadEntryName(TStream32& Stream, uint16_t Length, bool Enciphered)
{
    // The whole name is kept: cut anywhere, it would name another file (a folder of the
    // name would become a file), and the file system is the one to say what it can hold.
    TRawName raw;
    raw.Bytes.assign(Length, '\0');
    const int32_t got = Length ? Stream.ReadFull(raw.Bytes.data(), Length) : 0;
    raw.Bytes.resize(static_cast<size_t>(std::max(got, 0)));
    if (Enciphered && !raw.Bytes.empty())
        DecipherHeaderName(reinterpret_cast<uint8_t*>(raw.Bytes.data()),
                           static_cast<int32_t>(raw.Bytes.size()));
    // The stored bytes stay whole: a Unicode Path field names them by their CRC-32.
    raw.Length = strnlen(raw.Bytes.data(), raw.Bytes.size());
    return raw;
}

std::string TUnZip::EntryName(const TRawName& Raw, uint16_t Flags, uint8_t Host) const
{
    // Only a name with a Unicode Path field needs the CRC of its stored bytes.
    uint32_t crc = 0;
    if (FExtraFacts.HasUnicodePath) {
        crc = 0xFFFFFFFFu;
        UpdateCrc32(reinterpret_cast<const uint8_t*>(Raw.Bytes.data()),
                    static_cast<int32_t>(Raw.Bytes.size()), crc);
        crc ^= 0xFFFFFFFFu;
    }
    return EntryNameOf(Raw.Bytes.substr(0, Raw.Length), crc, FExtraFacts,
                       {(Flags & FlagUtf8) != 0, Host, FTranslateOemChar, FNameCodePage});
}

void TUnZip::ReadExtraField(TStream32& Stream, uint16_t Length, int Kind)
{
    FHighParts = {};
    FExtraFacts = {};
    if (Length == 0) return;
    std::vector<uint8_t> extra(Length);
    const int32_t got = Stream.ReadFull(extra.data(), Length);
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
        } else {
            ReadExtraFacts(tag, p, avail, FExtraFacts);
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
    // A split set's run addresses its parts by number; what identification found
    // stays as it was for the host once the run is over.
    struct TWalkScope {
        TUnZip& Z;
        int64_t Start;
        THeaderTypeState State;
        int32_t Adjust;
        ~TWalkScope()
        {
            Z.FWritten.Clear();
            Z.FVolumeSet.End();
            Z.FWalkStart = Start;
            Z.FHeaderState = State;
            Z.FOffsetAdjust = Adjust;
        }
    } scope{*this, FWalkStart, FHeaderState, FOffsetAdjust};
    if ((FArcType == atZipDS || FArcType == atZipMV) && !OpenVolumeSet(Stream)) return;
    FHeader = std::make_unique<TUnBaseHeaderObj>();
    FHeader->Init();
    std::unique_ptr<TOutputStream> out;
    FCurEntry = -1;
    // Entries meet on one file only within one archive: a run over several archives
    // into one folder replaces files as any later run would.
    FWritten.Clear();
    try {
        if (FHeaderState.Only(htLocal)) {
            if (ScanLocalHeaders(*Stream) > 0) ExtractScanned(Stream, out);
        } else {
            if (ScanCentralDirectory(*Stream) > 0) ExtractListed(Stream, out);
        }
    } catch (const std::bad_alloc&) {
        ReportOutOfMemory();
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
    // ZIP64 disk numbers are 32 bits wide: a hostile one must not make billions of
    // passes, so the count stays within what the plain record's 16-bit fields allow.
    const int64_t runs =
        std::min<int64_t>(int64_t{EndDisk()} - int64_t{DirDisk()} + 1, 0x10000);
    uint32_t read = 0;
    bool full = false; // the names passed NameBytesLimit (reported)
    for (int64_t run = 0; run < runs && !full; ++run) {
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
            const TRawName raw = ReadEntryName(Stream, nameLen, enciphered);
            ReadExtraField(Stream, extraLen, 1);
            FEntryName = EntryName(raw, FCentralHdr.Flags(), FCentralHdr.Host());
            if (FEntryName.empty()) ReportNamelessEntry();
            if (!FEntryName.empty() && MatchFileSpec(FEntryName)) {
                if (!NameRoom(FEntryName)) {
                    full = true;
                    break;
                }
                TDirEntry entry = DirEntryOf(FCentralHdr, FHighParts);
                entry.ModifiedTicks = TicksOf(FExtraFacts.Modified);
                entry.Position += FOffsetAdjust;
                if (FVolumeSet.Reading())
                    entry.Position = VolumePos(FCentralHdr.DiskNumberStart(),
                                               std::clamp<int64_t>(entry.Position, 0,
                                                                   VolumeOffset(-1)));
                bool good = true;
                if (FArcType != atZipDS && FArcType != atZipMV) {
                    FLocalHdr.Clear();
                    bool localEnc;
                    good = ReadLocalHeaderAt(Stream, entry.Position) &&
                           ClassifySignature(FLocalHdr.Signature(), htLocal, localEnc) == htLocal;
                    if (!good) ReportError(FEntryName, "", E_BADHEADER, "0", rsEntry);
                    else entry.HeaderLength = LocalHeaderLength(localEnc);
                }
                if (good) {
                    FHeader->Add(entry, FEntryName);
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
    const TArchiveSpan directory{static_cast<uint16_t>(DirDisk() + 1), FWalkStart, P};
    VetEntries(&directory);
    // A directory that ends before the end record's count of entries is damaged: what
    // was read is still extracted, but the run must not pass for complete.
    const uint16_t expected = FEndHdr.Entries();
    if (!GetCancel() && !full && FEndHdr.Signature() != 0 && expected != 0xFFFF &&
        read < expected)
        ReportError(FArchiveFile, "", E_BADHEADER, "0", rsRun);
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
    bool stoppedReported = false; // the walk stopped early and has said so
    int32_t found = 0;                // entries walked, selected or not
    const int64_t size = Stream.Size();
    while (full && ClassifySignature(FLocalHdr.Signature(), htLocal, enciphered) == htLocal &&
           !GetCancel()) {
        if (enciphered) DecipherHeader(FLocalHdr.Data(), htLocal);
        const uint16_t nameLen = FLocalHdr.NameLength();
        const uint16_t extraLen = FLocalHdr.ExtraLength();
        // A header whose name the file ends inside names no file: the walk stops there.
        if (P + 30 + nameLen + extraLen > size) break;
        const TRawName raw = ReadEntryName(Stream, nameLen, enciphered);
        ReadExtraField(Stream, extraLen, 0);
        FEntryName = EntryName(raw, FLocalHdr.Flags(), HostUnknown);
        TDirEntry entry;
        entry.ExternalAttr = 0;
        entry.DiskNumber = 1;
        entry.Position = P;
        int64_t packedSize = WithHigh(FLocalHdr.CompressedSize(), FHighParts.Compressed);
        int64_t unpackedSize = WithHigh(FLocalHdr.UncompressedSize(), FHighParts.Uncompressed);
        const int64_t dataStart = P + 30 + nameLen + extraLen;
        int32_t descriptorLength = 0;
        // A header with a data descriptor gives no sure way to the next record: zeros
        // for sizes, or sizes that leave the descriptor (and for stored encrypted data
        // the encryption header) out. The descriptor after the data has to be found.
        // Only a header of zeros, whose descriptor cannot be found, stops the walk: any
        // other keeps its own sizes.
        const bool deferred = FLocalHdr.Flags() & FlagDescriptor;
        TDataDescriptor d;
        TEntryInfo info;
        info.Flags = FLocalHdr.Flags();
        info.Method = FLocalHdr.Method();
        info.CompressedSize = packedSize;
        info.UncompressedSize = unpackedSize;
        const bool described = deferred && FindDataDescriptor(Stream, dataStart, info, d);
        if (deferred && !described && packedSize == 0) {
            ReportError(FEntryName, "", E_BADHEADER, "0", rsRun);
            stoppedReported = true;
            break;
        }
        ++found;
        if (described) {
            entry.Described = true;
            entry.Crc = d.Crc;
            entry.CompressedSize = packedSize = d.CompressedSize;
            entry.UncompressedSize = unpackedSize = d.UncompressedSize;
            descriptorLength = d.Length;
        }
        if (FEntryName.empty()) ReportNamelessEntry();
        if (!FEntryName.empty() && MatchFileSpec(FEntryName)) {
            if (!NameRoom(FEntryName)) {
                stoppedReported = true;
                break;
            }
            FHeader->Add(entry, FEntryName);
            FMaxFileDate = static_cast<uint32_t>(std::max(
                static_cast<int32_t>(FMaxFileDate), static_cast<int32_t>(FLocalHdr.DosDateTime())));
            FTotalPacked += packedSize - ((FLocalHdr.Flags() & FlagEncrypted) ? 12 : 0);
            FTotalUnpacked += unpackedSize;
        }
        P = dataStart + packedSize + descriptorLength;
        Stream.Seek(P, 0);
        FLocalHdr.Clear();
        full = ReadExact(Stream, FLocalHdr.Data(), 30);
    }
    // The local headers end where the records after them begin, or at the end of the
    // file. Stopping anywhere else (a truncated download, damaged data) means entries
    // may be missing: the run must not pass for complete.
    if (!GetCancel() && !stoppedReported && !LocalRunEndsCleanly(Stream, P))
        ReportError(FArchiveFile, "", E_BADHEADER, "0", rsRun);
    // Local headers that stand in for a directory that could not be read tell nothing
    // of the entries the directory listed beyond them (the rest of a split set, data
    // cut away with it): however cleanly the scan ends, the run says once that it had
    // no directory, so that it never passes for complete. A walk chosen over a
    // directory that was found (a self-extractor's fixed offset) says nothing.
    if (!GetCancel() && !FDirectoryFound)
        ReportError(FArchiveFile,
                    "no central directory: " + std::to_string(found) +
                        " entries found by scanning",
                    E_BADHEADER, "0", rsRun);
    VetEntries(nullptr);
    return FHeader->FCount;
}

bool TUnZip::NameRoom(const std::string& Name)
{
    // Names are kept whole, and a directory may hold millions of them: what the table
    // keeps of them is bounded, and a walk past the bound stops with what it has.
    if (FHeader->NameBytes() + Name.size() <= FNameBytesLimit) return true;
    ReportError(FArchiveFile,
                "entry names pass " + std::to_string(FNameBytesLimit) +
                    " bytes: the walk stops there",
                E_BADHEADER, "0", rsRun);
    return false;
}

void TUnZip::ReportNamelessEntry()
{
    // An empty name (or one that starts with a zero byte) has no file to go to: the
    // entry cannot be extracted, and the run must not pass for complete.
    ReportError(FArchiveFile, "", E_BADHEADER, "0", rsEntry);
}

bool TUnZip::LocalRunEndsCleanly(TStream32& Stream, int64_t Pos)
{
    const int64_t size = Stream.Size();
    Pos = FVolumeSet.Normalize(Pos);
    if (Pos == size) return true;
    uint8_t sig[4] = {};
    if (Pos > size || Stream.Seek(Pos, 0) != Pos || Stream.ReadFull(sig, 4) != 4) return false;
    bool enciphered = false;
    const uint32_t s = GetU32(sig);
    return ClassifySignature(s, htCentral, enciphered) == htCentral ||
           ClassifySignature(s, htEnding, enciphered) == htEnding || s == Zip64EndSig ||
           s == Zip64LocatorSig || s == SpanMarkerSig || s == DigitalSignatureSig ||
           s == ArchiveExtraDataSig;
}

std::string TUnZip::ReadEntryLocalHeader(TStream32& Stream, int64_t Position, uint8_t Host)
{
    Stream.Seek(Position, 0);
    FLocalHdr.Clear();
    ReadExact(Stream, FLocalHdr.Data(), 30);
    bool enciphered = false;
    ClassifySignature(FLocalHdr.Signature(), htLocal, enciphered);
    if (enciphered) DecipherHeader(FLocalHdr.Data(), htLocal);
    const TRawName raw = ReadEntryName(Stream, FLocalHdr.NameLength(), enciphered);
    ReadExtraField(Stream, FLocalHdr.ExtraLength(), 0);
    return EntryName(raw, FLocalHdr.Flags(), Host);
}

void TUnZip::ExtractListed(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out)
{
    FBytesLeft = FTotalUnpacked;
    if (FRunMode == rmExtract) FWritten.Reserve(static_cast<size_t>(FHeader->FCount));
    for (int32_t i = 0; i < FHeader->FCount && !GetCancel(); ++i) {
        FCurEntry = i;
        const TDirEntry entry = FHeader->GetEntry(i);
        FVolumeSet.RecordAt(entry.Position);
        // A listing of a split set shows the directory alone: no part is asked for.
        if (FVolumeSet.Reading() && FRunMode == rmList) {
            FCentralHdr = FHeader->GetHeader(i);
            FEntryInfo.Flags = FCentralHdr.Flags();
            FEntryInfo.Method = FCentralHdr.Method();
            FEntryInfo.CompressedSize = entry.CompressedSize;
            FEntryInfo.UncompressedSize = entry.UncompressedSize;
            FEntryInfo.DosDateTime = FCentralHdr.DosDateTime();
            FEntryInfo.Host = entry.Host;
            FEntryInfo.Modified = UtcOfTicks(entry.ModifiedTicks);
            FEntryName = std::string(FHeader->GetName(i));
            TakeEntry(Stream, Out, i, entry.ExternalAttr, FCentralHdr.Crc());
            continue;
        }
        const std::string name = ReadEntryLocalHeader(*Stream, entry.Position, entry.Host);
        // The walk of a split set cannot check the local headers before the parts are
        // at hand: an entry whose header is not there (its part is missing) is skipped.
        bool enciphered = false;
        if (FVolumeSet.Reading() &&
            ClassifySignature(FLocalHdr.Signature(), htLocal, enciphered) != htLocal) {
            ReportError(FArchiveFile, "", E_BADHEADER,
                        std::to_string(VolumeDisk(entry.Position) + 1), rsEntry);
            continue;
        }
        FCentralHdr = FHeader->GetHeader(i);
        FEntryInfo.Flags = FCentralHdr.Flags();
        FEntryInfo.Method = FCentralHdr.Method();
        // The directory is the authority on sizes: its high words stand unless the local
        // header carries its own.
        const uint16_t cHigh =
            std::max(FHighParts.Compressed, static_cast<uint16_t>(entry.CompressedSize >> 32));
        const uint16_t uHigh =
            std::max(FHighParts.Uncompressed, static_cast<uint16_t>(entry.UncompressedSize >> 32));
        FEntryInfo.CompressedSize = WithHigh(FCentralHdr.CompressedSize(), cHigh);
        FEntryInfo.UncompressedSize = WithHigh(FCentralHdr.UncompressedSize(), uHigh);
        FEntryInfo.DosDateTime = FCentralHdr.DosDateTime();
        FEntryInfo.Host = entry.Host;
        // The directory's time stands; a local header may carry one the directory lacks.
        FEntryInfo.Modified =
            entry.ModifiedTicks != NoTicks ? UtcOfTicks(entry.ModifiedTicks) : FExtraFacts.Modified;
        FEntryName = DirectoryName(i, name);
        TakeEntry(Stream, Out, i, entry.ExternalAttr, FCentralHdr.Crc());
    }
}

void TUnZip::ExtractScanned(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out)
{
    FBytesLeft = FTotalUnpacked;
    if (FRunMode == rmExtract) FWritten.Reserve(static_cast<size_t>(FHeader->FCount));
    // No directory was read: its slot must not lend a stale CRC to an entry.
    FCentralHdr.Clear();
    for (int32_t i = 0; i < FHeader->FCount && !GetCancel(); ++i) {
        FCurEntry = i;
        const TDirEntry entry = FHeader->GetEntry(i);
        const std::string name = ReadEntryLocalHeader(*Stream, entry.Position, HostUnknown);
        FEntryInfo.Flags = FLocalHdr.Flags();
        FEntryInfo.Host = HostUnknown;
        FEntryInfo.Modified = FExtraFacts.Modified;
        FEntryInfo.Method = FLocalHdr.Method();
        FEntryInfo.CompressedSize = WithHigh(FLocalHdr.CompressedSize(), FHighParts.Compressed);
        FEntryInfo.UncompressedSize =
            WithHigh(FLocalHdr.UncompressedSize(), FHighParts.Uncompressed);
        FEntryInfo.DosDateTime = FLocalHdr.DosDateTime();
        if (entry.Described) {
            FEntryInfo.CompressedSize = entry.CompressedSize;
            FEntryInfo.UncompressedSize = entry.UncompressedSize;
            FLocalHdr.SetCrc(entry.Crc);
        }
        FEntryName = name;
        TakeEntry(Stream, Out, i, entry.ExternalAttr, FLocalHdr.Crc());
    }
}

void TUnZip::TakeEntry(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out,
                       int32_t Index, uint32_t ExternalAttr, uint32_t Crc)
{
    if (FRunMode != rmList) {
        SetFileName(FEntryName);
        ExtractEntry(Stream, Out, Index, ExternalAttr);
        return;
    }
    TEntryListing e;
    e.Name = FEntryName;
    e.Size = FEntryInfo.UncompressedSize;
    e.Packed = FEntryInfo.CompressedSize;
    e.Method = static_cast<uint16_t>(FEntryInfo.Method);
    e.DosDateTime = FEntryInfo.DosDateTime;
    e.Crc = Crc;
    e.Encrypted = FEntryInfo.Flags & FlagEncrypted;
    e.IsDirectory = (ExternalAttr & 0x10) || (!FEntryName.empty() && FEntryName.back() == '\\');
    e.Attributes = ExternalAttr;
    // A link's target is its data: read, bounded, for link entries only, and only where
    // the stream stands at the data (a split set's listing reads the directory alone).
    const TMethodRow* method = FindMethod(FEntryInfo.Method);
    FEncrypted = false;
    if (IsLinkMode(UnixModeOf(FEntryInfo.Host, ExternalAttr)) && !e.Encrypted && method &&
        !FVolumeSet.Reading())
        ReadLinkTarget(*Stream, *method, e.LinkTarget, false);
    ++FFileCount;
    TTimerPause pause(FTimer);
    if (OnListEntry) OnListEntry(*this, e);
}


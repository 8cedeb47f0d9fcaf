#include "qvrUnZip.h"

#include "qvrCrc.h"
#include "qvrDataDescriptor.h"
#include "qvrEntryInput.h"
#include "qvrMask.h"
#include "qvrPlatform.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

namespace {

bool ReadExact(TStream32& S, void* Buf, int32_t Count) { return S.ReadFull(Buf, Count) == Count; }

} // namespace

TUnZip::TUnZip() = default;
TUnZip::~TUnZip() = default;

bool TUnZip::MatchFileSpec(const std::string& Name)
{
    // A read of one entry by name takes that entry and no other: the first of that name,
    // when the archive holds it twice.
    if (!FReadName.empty()) {
        if (FReadTaken || Name != FReadName) return false;
        return FReadTaken = true;
    }
    bool take = MatchFileSpecList(Name, FWalk.FileSpec, FWalk.ExcludeSpec, FWalk.RecurseDirs);
    if (OnSelectEntry) CallHost("OnSelectEntry", OnSelectEntry, *this, Name, take);
    return take;
}

void TUnZip::ReadEntryName(TStream32& Stream, uint16_t Length, bool Enciphered, TRawName& Raw)
{
    // The whole name is kept: cut anywhere, it would name another file (a folder of the
    // name would become a file), and the file system is the one to say what it can hold.
    TRawName& raw = Raw;
    // Bytes the read leaves unfilled (a short read) are cut away below.
    raw.Bytes.resize(Length);
    const int32_t got = Length ? Stream.ReadFull(raw.Bytes.data(), Length) : 0;
    raw.Bytes.resize(static_cast<size_t>(std::max(got, 0)));
    if (Enciphered && !raw.Bytes.empty())
        DecipherHeaderName(reinterpret_cast<uint8_t*>(raw.Bytes.data()),
                           static_cast<int32_t>(raw.Bytes.size()));
    // The stored bytes stay whole: a Unicode Path field names them by their CRC-32.
    raw.Length = strnlen(raw.Bytes.data(), raw.Bytes.size());
}

void TUnZip::EntryName(const TRawName& Raw, uint16_t Flags, uint8_t Host, std::string& Name) const
{
    // Only a name with a Unicode Path field needs the CRC of its stored bytes.
    uint32_t crc = 0;
    if (FExtraFacts.HasUnicodePath) {
        crc = 0xFFFFFFFFu;
        UpdateCrc32(reinterpret_cast<const uint8_t*>(Raw.Bytes.data()),
                    static_cast<int32_t>(Raw.Bytes.size()), crc);
        crc ^= 0xFFFFFFFFu;
    }
    EntryNameOf(std::string_view(Raw.Bytes).substr(0, Raw.Length), crc, FExtraFacts,
                {(Flags & FlagUtf8) != 0, Host, FWalk.TranslateOem, FWalk.CodePage}, Name);
}

void TUnZip::ReadExtraField(TStream32& Stream, uint16_t Length, int Kind)
{
    FHighParts = {};
    FExtraFacts = {};
    if (Length == 0) return;
    std::vector<uint8_t>& extra = FExtraBytes;
    extra.resize(Length);
    const int32_t got = Stream.ReadFull(extra.data(), Length);
    extra.resize(static_cast<size_t>(std::max(got, 0)));

    ForEachExtraField(extra.data(), extra.size(), [&](uint16_t tag, const uint8_t* p,
                                                      size_t avail) {
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
    });
}

// ---------------------------------------------------------------------------------
// The walk

bool TUnZip::ReadLocalHeaderAt(TStream32& Stream, THandleStream32* File, int64_t Pos, int64_t Span,
                               THeaderBlock& Block)
{
    if (Pos < 0) return false;
    // A file stream reads the header in place, so the directory walk keeps its position
    // and its read-ahead; any other stream seeks there and back. A block is read ahead
    // only behind a small entry: past a large one it would hold no other header.
    if (File)
        return Block.Read(*File, Pos, FLocalHdr.Data(), 30,
                          Span <= THeaderBlock::Size / 4 ? THeaderBlock::Size : 30);
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
            Z.FWorkers = nullptr;
            Z.FWalkStream = nullptr;
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
    // Gone before the scope above ends: jobs not taken back have their files withdrawn.
    std::unique_ptr<TEntryWorkers> workers = StartWorkers(*Stream);
    FWorkers = workers.get();
    FWalkStream = &Stream;
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
        TakeBack(true);
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
    THeaderBlock headers;
    // A file stream reads local headers in place (ReadLocalHeaderAt).
    auto* file = dynamic_cast<THandleStream32*>(&Stream);
    // Kept from entry to entry: a directory of many entries reuses their memory.
    TRawName& raw = FRawName;
    std::string name;
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
            ReadEntryName(Stream, nameLen, enciphered, raw);
            ReadExtraField(Stream, extraLen, 1);
            EntryName(raw, FCentralHdr.Flags(), FCentralHdr.Host(), name);
            if (name.empty()) ReportNamelessEntry();
            if (!name.empty() && MatchFileSpec(name)) {
                if (!NameRoom(name)) {
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
                    const int64_t span = 30 + nameLen + extraLen + entry.CompressedSize;
                    good = ReadLocalHeaderAt(Stream, file, entry.Position, span, headers) &&
                           ClassifySignature(FLocalHdr.Signature(), htLocal, localEnc) == htLocal;
                    if (!good) {
                        ReportError(name, "", E_BADHEADER, "0", rsEntry);
                    } else {
                        entry.HeaderLength = LocalHeaderLength(localEnc);
                        if (file && !enciphered && !localEnc)
                            entry.LocalPlain = LocalHeaderPlain(
                                headers.Held(entry.Position + 30,
                                             static_cast<int32_t>(entry.HeaderLength - 30)),
                                entry, raw);
                    }
                }
                if (good) {
                    FHeader->Add(entry, name);
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
    // A directory that ends before the end record's count of entries is damaged: what
    // was read is still extracted, but the run must not pass for complete.
    const uint16_t expected = FEndHdr.Entries();
    const bool cut = FEndHdr.Signature() != 0 && expected != 0xFFFF && read < expected;
    if (!GetCancel() && !full && !cut) NoteDirectoryMismatch(P);
    VetEntries(&directory);
    if (!GetCancel() && !full && cut) ReportError(FArchiveFile, "", E_BADHEADER, "0", rsRun);
    return FHeader->FCount;
}

void TUnZip::NoteDirectoryMismatch(int64_t DirEnd)
{
    if (FEndHdr.Signature() == 0) return;
    // Data put in front of the archive after it was written leaves every stored offset
    // short by its length; the walk adds it back.
    if (FOffsetAdjust != 0)
        ReportError(FArchiveFile,
                    std::to_string(FOffsetAdjust) +
                        " bytes before the archive that its offsets leave out",
                    E_RECOVERED, "0", rsRun);
    // The directory was read to its last header: a size in the end records that does
    // not fit it was passed over. Only a directory on one part has a length to compare.
    const int64_t from = FVolumeSet.Normalize(FWalkStart), to = FVolumeSet.Normalize(DirEnd);
    if (VolumeDisk(from) != VolumeDisk(to)) return;
    const uint64_t claimed =
        FZip64EndHdr.Signature() == Zip64EndSig ? FZip64EndHdr.DirSize() : FEndHdr.DirSize();
    const uint64_t length = static_cast<uint64_t>(to - from);
    // A digital signature record may close the directory and be counted in its size.
    if (claimed != length && FCentralHdr.Signature() != DigitalSignatureSig)
        ReportError(FArchiveFile,
                    "the end record gives the directory " + std::to_string(claimed) +
                        " bytes; it holds " + std::to_string(length),
                    E_RECOVERED, "0", rsRun);
}

int32_t TUnZip::ScanLocalHeaders(TStream32& Stream)
{
    TTimerPause pause(FTimer);
    if (OnCorruptZipHeader) {
        bool cancel = true;
        CallHost("OnCorruptZipHeader", OnCorruptZipHeader, *this, FHeaderState, cancel);
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
    TRawName& raw = FRawName;
    std::string name;
    while (full && ClassifySignature(FLocalHdr.Signature(), htLocal, enciphered) == htLocal &&
           !GetCancel()) {
        if (enciphered) DecipherHeader(FLocalHdr.Data(), htLocal);
        const uint16_t nameLen = FLocalHdr.NameLength();
        const uint16_t extraLen = FLocalHdr.ExtraLength();
        // A header whose name the file ends inside names no file: the walk stops there.
        if (P + 30 + nameLen + extraLen > size) break;
        ReadEntryName(Stream, nameLen, enciphered, raw);
        ReadExtraField(Stream, extraLen, 0);
        EntryName(raw, FLocalHdr.Flags(), HostUnknown, name);
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
            ReportError(name, "", E_BADHEADER, "0", rsRun);
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
        if (name.empty()) ReportNamelessEntry();
        if (!name.empty() && MatchFileSpec(name)) {
            if (!NameRoom(name)) {
                stoppedReported = true;
                break;
            }
            FHeader->Add(entry, name);
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

void TUnZip::ReadEntryLocalHeader(TStream32& Stream, int64_t Position, uint8_t Host,
                                  std::string& Name)
{
    Stream.Seek(Position, 0);
    FLocalHdr.Clear();
    ReadExact(Stream, FLocalHdr.Data(), 30);
    bool enciphered = false;
    ClassifySignature(FLocalHdr.Signature(), htLocal, enciphered);
    if (enciphered) DecipherHeader(FLocalHdr.Data(), htLocal);
    ReadEntryName(Stream, FLocalHdr.NameLength(), enciphered, FRawName);
    ReadExtraField(Stream, FLocalHdr.ExtraLength(), 0);
    EntryName(FRawName, FLocalHdr.Flags(), Host, Name);
}

void TUnZip::DirectoryEntry(int32_t Index, const TDirEntry& Record, TZipEntry& Entry) const
{
    // The entry starts afresh; only the memory of its name is kept.
    std::string name = std::move(Entry.Name);
    Entry = TZipEntry{};
    TZipEntry& e = Entry;
    e.Index = Index;
    name.assign(FHeader->GetName(Index));
    e.Name = std::move(name);
    e.Info.Flags = Record.Flags;
    e.Info.Method = Record.Method;
    e.Info.CompressedSize = Record.CompressedSize;
    e.Info.UncompressedSize = Record.UncompressedSize;
    e.Info.DosDateTime = Record.DosDateTime;
    e.Info.Host = Record.Host;
    e.Info.Modified = UtcOfTicks(Record.ModifiedTicks);
    e.ExternalAttr = Record.ExternalAttr;
    e.Crc = e.ListedCrc = Record.Crc;
    e.LocalFlags = Record.Flags;
    e.LocalDosDateTime = Record.DosDateTime;
    e.HeaderAt = Record.Position;
}

void TUnZip::AddLocalHeader(TZipEntry& Entry) const
{
    // The directory is the authority on sizes: its high words stand unless the local
    // header carries its own.
    auto high = [](int64_t Size, uint16_t Local) {
        return WithHigh(static_cast<uint32_t>(Size),
                        std::max(Local, static_cast<uint16_t>(Size >> 32)));
    };
    Entry.Info.CompressedSize = high(Entry.Info.CompressedSize, FHighParts.Compressed);
    Entry.Info.UncompressedSize = high(Entry.Info.UncompressedSize, FHighParts.Uncompressed);
    // The directory's time stands; a local header may carry one the directory lacks.
    if (!Entry.Info.Modified.Set) Entry.Info.Modified = FExtraFacts.Modified;
    // The local header's AES field is the one beside the data it describes.
    Entry.Aes = FExtraFacts.Aes;
    Entry.LocalFlags = FLocalHdr.Flags();
    Entry.LocalDosDateTime = FLocalHdr.DosDateTime();
    // An entry written with a data descriptor has no reliable CRC in its local header:
    // zero, or (encrypted, from Info-ZIP) the DOS time in its high half. The directory's
    // CRC is the one to judge it by, and to check a password against.
    const bool described = FLocalHdr.Flags() & FlagDescriptor;
    Entry.Crc = Entry.Info.CompressedSize != 0 && (FLocalHdr.Crc() == 0 || described)
                    ? Entry.ListedCrc
                    : FLocalHdr.Crc();
}

TZipEntry TUnZip::ScannedEntry(int32_t Index, const TDirEntry& Record, std::string Name) const
{
    TZipEntry e;
    e.Index = Index;
    e.Name = std::move(Name);
    e.Info.Flags = e.LocalFlags = FLocalHdr.Flags();
    e.Info.Method = FLocalHdr.Method();
    e.Info.DosDateTime = e.LocalDosDateTime = FLocalHdr.DosDateTime();
    e.Info.Host = HostUnknown;
    e.Info.Modified = FExtraFacts.Modified;
    e.Aes = FExtraFacts.Aes;
    e.ExternalAttr = Record.ExternalAttr;
    e.HeaderAt = Record.Position;
    // The sizes and CRC a data descriptor gave stand in for the header's zeros.
    if (Record.Described) {
        e.Info.CompressedSize = Record.CompressedSize;
        e.Info.UncompressedSize = Record.UncompressedSize;
        e.Crc = Record.Crc;
    } else {
        e.Info.CompressedSize = WithHigh(FLocalHdr.CompressedSize(), FHighParts.Compressed);
        e.Info.UncompressedSize =
            WithHigh(FLocalHdr.UncompressedSize(), FHighParts.Uncompressed);
        e.Crc = FLocalHdr.Crc();
    }
    e.ListedCrc = e.Crc;
    return e;
}

void TUnZip::ExtractListed(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out)
{
    FBytesLeft = FTotalUnpacked;
    if (FRunMode == rmExtract) FWritten.Reserve(static_cast<size_t>(FHeader->FCount));
    // Kept from entry to entry, with the memory of their names.
    TZipEntry entry;
    std::string local;
    for (int32_t i = 0; i < FHeader->FCount && !GetCancel(); ++i) {
        FCurEntry = i;
        const TDirEntry record = FHeader->GetEntry(i);
        FVolumeSet.RecordAt(record.Position);
        DirectoryEntry(i, record, entry);
        // A listing of a split set shows the directory alone: no part is asked for.
        if (FVolumeSet.Reading() && FRunMode == rmList) {
            TakeEntry(Stream, Out, entry);
            continue;
        }
        // A local header the walk found saying nothing new need not be read again.
        if (record.LocalPlain) {
            Stream->Seek(record.Position + record.HeaderLength, 0);
            TakeEntry(Stream, Out, entry);
            continue;
        }
        ReadEntryLocalHeader(*Stream, record.Position, record.Host, local);
        // The walk of a split set cannot check the local headers before the parts are
        // at hand: an entry whose header is not there (its part is missing) is skipped.
        bool enciphered = false;
        if (FVolumeSet.Reading() &&
            ClassifySignature(FLocalHdr.Signature(), htLocal, enciphered) != htLocal) {
            ReportError(FArchiveFile, "", E_BADHEADER,
                        std::to_string(VolumeDisk(record.Position) + 1), rsEntry);
            continue;
        }
        AddLocalHeader(entry);
        CheckLocalName(entry, local);
        TakeEntry(Stream, Out, entry);
    }
}

void TUnZip::ExtractScanned(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out)
{
    FBytesLeft = FTotalUnpacked;
    if (FRunMode == rmExtract) FWritten.Reserve(static_cast<size_t>(FHeader->FCount));
    for (int32_t i = 0; i < FHeader->FCount && !GetCancel(); ++i) {
        FCurEntry = i;
        const TDirEntry record = FHeader->GetEntry(i);
        std::string name;
        ReadEntryLocalHeader(*Stream, record.Position, HostUnknown, name);
        TZipEntry entry = ScannedEntry(i, record, std::move(name));
        TakeEntry(Stream, Out, entry);
    }
}

void TUnZip::TakeEntry(std::unique_ptr<TStream32>& Stream, std::unique_ptr<TOutputStream>& Out,
                       TZipEntry& Entry)
{
    struct TCurrent {
        TZipEntry*& Slot;
        ~TCurrent() { Slot = nullptr; }
    } current{FEntry = &Entry};
    NoticeCancel();
    if (FRunMode != rmList) {
        SetFileName(Entry.Name);
        if (FRunMode == rmExtract) FWritten.Prefetch(FFileName);
        if (GiveToWorkers(*Stream, Entry)) return;
        // The entries before this one have their turn first, and may end the run.
        TakeBack(true);
        if (GetCancel()) return;
        ExtractEntry(Stream, Out, Entry);
        return;
    }
    const TEntryInfo& info = Entry.Info;
    TEntryListing e;
    e.Name = Entry.Name;
    e.Size = info.UncompressedSize;
    e.Packed = info.CompressedSize;
    e.Method = static_cast<uint16_t>(info.Method);
    e.DosDateTime = info.DosDateTime;
    e.Modified = info.Modified;
    e.Crc = Entry.ListedCrc;
    e.Encrypted = Entry.Encrypted();
    if (Entry.IsAes() && Entry.Aes.Present) {
        e.AesStrength = Entry.Aes.Strength;
        e.AesMethod = Entry.Aes.Method;
    }
    e.IsDirectory = Entry.IsDirectory();
    e.Attributes = Entry.ExternalAttr;
    e.Mode = UnixModeOf(info.Host, Entry.ExternalAttr);
    // A link's target is its data: read, bounded, for link entries only, and only where
    // the stream stands at the data (a split set's listing reads the directory alone).
    const TMethodRow* method = FindMethod(info.Method);
    if (IsLinkMode(e.Mode) && !e.Encrypted && method &&
        !FVolumeSet.Reading())
        ReadLinkTarget(*Stream, *method, Entry, e.LinkTarget, false);
    ++FFileCount;
    TTimerPause pause(FTimer);
    if (OnListEntry) CallHost("OnListEntry", OnListEntry, *this, e);
}

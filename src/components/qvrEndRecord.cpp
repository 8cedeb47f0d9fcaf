// The end-record search: where a ZIP archive's central directory starts, or, when it
// has none that can be found, where its first local header is.
#include "qvrregister.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

namespace {

bool ReadAt(TStream32& S, int64_t Pos, uint8_t* Buf, int32_t Count)
{
    if (Pos < 0 || S.Seek(Pos, 0) != Pos) return false;
    return S.ReadFull(Buf, Count) == Count;
}

bool HasLocalHeader(TStream32& S, int64_t Pos, TLocalHeader& Hdr)
{
    Hdr.Clear();
    bool enciphered;
    return ReadAt(S, Pos, Hdr.Data(), 30) &&
           ClassifySignature(Hdr.Signature(), htLocal, enciphered) == htLocal;
}

// The local header offset of the directory entry Hdr (deciphered) at Pos, as the walk
// reads it: the 32-bit field, replaced by the ZIP64 extra block's value when saturated,
// with bits 32-47 from the ZIP64 block or the 0x0064 block.
int64_t EntryLocalOffset(TStream32& S, int64_t Pos, const TCentralHeader& Hdr)
{
    uint32_t low = Hdr.LocalOffset();
    uint16_t high = 0;
    std::vector<uint8_t> extra(Hdr.ExtraLength());
    if (extra.empty() || !ReadAt(S, Pos + 46 + Hdr.NameLength(), extra.data(),
                                 static_cast<int32_t>(extra.size())))
        return low;
    ForEachExtraField(extra.data(), extra.size(), [&](uint16_t Tag, const uint8_t* P, size_t N) {
        if (Tag == 0x0001) {
            // The block holds only the saturated fields, in the order of the header.
            size_t used = 0;
            for (const uint32_t field : {Hdr.UncompressedSize(), Hdr.CompressedSize()})
                if (field == 0xFFFFFFFFu && used + 8 <= N) used += 8;
            if (low == 0xFFFFFFFFu && used + 8 <= N) {
                low = GetU32(P + used);
                high = GetU16(P + used + 4);
            }
        } else if (Tag == 0x0064 && N >= 6) {
            high = GetU16(P + 4);
        }
    });
    return static_cast<int64_t>(low) | (static_cast<int64_t>(high) << 32);
}

// The component's slots the end-record search fills, lent to its phases for one search.
struct TEndSlots {
    TEndHeader& End;
    TWideEndHeader& WideEnd;
    TZip64Locator& Locator;
    TZip64EndHeader& End64;
    TCentralHeader& Central;
    TLocalHeader& Local;
    THeaderTypeState& State;
    std::string& Comment;
    int64_t& RecordEnd;
    int32_t& OffsetAdjust;
    bool& DirectoryFound;
    // Deciphers a record body in place with the header key state.
    std::function<void(uint8_t* Record, THeaderType Kind)> Decipher;
};

// The end records are the last thing in the file but the comment, which holds at most
// 65,535 bytes; the ZIP64 records in front of them are read from the same block.
constexpr int32_t EndSearchSpan = 0xFFFF + 22 + 76;

// The next end-record candidate among the N bytes of Block (the file's last ones) below
// From, searching backwards: a signature with room for its record after it; -1 when
// there is none.
int32_t PreviousEndSignature(const std::vector<uint8_t>& Block, int32_t N, int32_t From,
                             bool& Enciphered)
{
    Enciphered = false;
    int32_t k = std::min(From, N) - 4;
    for (; k >= 0; --k) {
        const uint32_t sig = GetU32(&Block[static_cast<size_t>(k)]);
        if (ClassifySignature(sig, htEnding, Enciphered) == htEnding &&
            k + (IsWideEndSignature(sig) ? 26 : 22) <= N)
            break;
    }
    return k;
}

// An end-record candidate: its place in the block and its record, deciphered.
struct TEndCandidate {
    int32_t K = -1;
    bool Enciphered = false;
    std::array<uint8_t, 26> Record{};
    bool Wide() const { return IsWideEndSignature(GetU32(Record.data())); }
};

TEndCandidate CandidateAt(const std::vector<uint8_t>& Block, int32_t N, int32_t K,
                          bool Enciphered, const TEndSlots& S)
{
    TEndCandidate c;
    c.K = K;
    c.Enciphered = Enciphered;
    const size_t length = static_cast<size_t>(std::min(26, N - K));
    std::memcpy(c.Record.data(), &Block[static_cast<size_t>(K)], length);
    if (Enciphered) S.Decipher(c.Record.data(), htEnding);
    return c;
}

// Whether the plain end record C, of the N bytes read, ends the file exactly with its
// comment. A comment may hold the bytes of a signature: a candidate whose comment length
// does not reach the end of the file is one of those, or a record with bytes after it.
bool CommentEndsFile(const TEndCandidate& C, int32_t N)
{
    if (C.Wide()) return C.K + 26 + GetU16(C.Record.data() + 24) == N;
    return C.K + 22 + GetU16(C.Record.data() + 20) == N;
}

// Where the end records say the directory is.
struct TDirClaim {
    int64_t Start;         // the directory's start as the records place it
    int64_t End;           // where the records after the directory begin
    uint32_t Size;         // the directory's size
    uint64_t StoredOffset; // the directory offset as stored
};

// Fills the end-record slots from the end record at K in Block (N bytes read, the first
// at BlockPos) and the ZIP64 records in front of it.
TDirClaim ReadEndRecords(TEndSlots& S, const std::vector<uint8_t>& Block, int32_t N,
                         const TEndCandidate& C, int64_t BlockPos)
{
    S.State.Add(htEnding);
    const int32_t K = C.K;
    const uint8_t* rec = C.Record.data();
    const uint8_t* before = &Block[static_cast<size_t>(K)];
    const uint32_t sig = GetU32(rec);
    if (K >= 20 && GetU32(before - 20) == Zip64LocatorSig) {
        S.State.Add(htLocator);
        if (K >= 76 && GetU32(before - 76) == Zip64EndSig) S.State.Add(htEnding64);
    }
    const int64_t E = BlockPos + K;
    TDirClaim dir{};
    if (IsWideEndSignature(sig)) {
        std::memcpy(S.WideEnd.Data(), rec, 26);
        // The wide record carries the same leading fields as the plain one: keep them
        // too, so the directory loop and the fallbacks have real values.
        std::memcpy(S.End.Data(), rec, 22);
        S.RecordEnd = E + 26;
        dir.Start = static_cast<int64_t>(S.WideEnd.DirOffset());
        dir.Size = S.WideEnd.DirSize();
        dir.StoredOffset = S.WideEnd.DirOffset();
    } else {
        S.RecordEnd = E + 22;
        std::memcpy(S.End.Data(), rec, 22);
        // The comment follows the record to the end of the file; one that claims more
        // than the file holds is kept as far as it goes.
        const int32_t after = K + 22;
        S.Comment.assign(reinterpret_cast<const char*>(&Block[static_cast<size_t>(after)]),
                         static_cast<size_t>(std::min<int32_t>(S.End.CommentLength(), N - after)));
        dir.Size = S.End.DirSize();
        dir.StoredOffset = S.End.DirOffset();
        if (S.State.Has(htLocator)) std::memcpy(S.Locator.Data(), before - 20, 20);
        if (S.State.Has(htEnding64)) {
            std::memcpy(S.End64.Data(), before - 76, 56);
            dir.Start = static_cast<int64_t>(S.Locator.EndOffset() - S.End64.DirSize());
            dir.Size = static_cast<uint32_t>(S.End64.DirSize());
            dir.StoredOffset = S.End64.DirOffset();
        } else {
            dir.Start = E - static_cast<int32_t>(dir.Size);
        }
    }
    // The directory ends where the records after it begin: the end record, or the ZIP64
    // end record and its locator in front of it.
    dir.End = S.State.Has(htEnding64) ? E - 76 : E;
    return dir;
}

// What to add to every stored offset (FOffsetAdjust). Where data was put in front of the
// archive after it was written, every stored offset is short by the same amount: the
// distance between where the directory is (D) and where the end record says it is. But
// a tool that moved only the entries' offsets, or wrote 0 for the directory's, leaves
// that distance wrong and the entries' offsets right as they stand. The first entry's
// local header tells which: the distance is kept where it finds the header, dropped
// where only the offset as it stands does, and kept where neither does (the header lies
// on another part of a split set).
int32_t OffsetShift(TStream32& Stream, TEndSlots& S, int64_t D, uint64_t StoredOffset)
{
    const int32_t shift = static_cast<int32_t>(static_cast<uint64_t>(D) - StoredOffset);
    const int64_t first = EntryLocalOffset(Stream, D, S.Central);
    if (HasLocalHeader(Stream, first + shift, S.Local)) {
        S.State.Add(htLocal);
        return shift;
    }
    if (shift != 0 && HasLocalHeader(Stream, first, S.Local)) {
        S.State.Add(htLocal);
        return 0;
    }
    return shift;
}

// The central directory of the end record C in Block (see ReadEndRecords) and the
// offset shift: the directory's start when its first header is found where the records
// place it or where they end; 0 when a place it has to read cannot be read; nothing when
// the file holds no directory there.
std::optional<int64_t> FindDirectory(TStream32& Stream, TEndSlots& S,
                                     const std::vector<uint8_t>& Block, int32_t N,
                                     const TEndCandidate& C, int64_t BlockPos)
{
    const TDirClaim dir = ReadEndRecords(S, Block, N, C, BlockPos);
    // An archive with no entries has an empty directory where its end record begins.
    if (dir.Size == 0 && S.End.Entries() == 0 && S.End.EntriesThisDisk() == 0 &&
        !S.State.Has(htEnding64) && dir.Start == dir.End) {
        S.OffsetAdjust = 0;
        S.DirectoryFound = true;
        return dir.Start;
    }
    int64_t D = dir.Start;
    const int64_t fallback = dir.End - static_cast<int64_t>(dir.Size);
    S.Central.Clear();
    if (!ReadAt(Stream, D, S.Central.Data(), 46)) {
        S.Central.Clear();
        if (!ReadAt(Stream, fallback, S.Central.Data(), 46)) return 0;
        D = fallback;
    }
    bool enciphered = false;
    bool central = ClassifySignature(S.Central.Signature(), htCentral, enciphered) == htCentral;
    if (!central && D != fallback) {
        S.Central.Clear();
        if (!ReadAt(Stream, fallback, S.Central.Data(), 46)) return 0;
        central = ClassifySignature(S.Central.Signature(), htCentral, enciphered) == htCentral;
        if (central) D = fallback;
    }
    S.OffsetAdjust = 0;
    if (!central) return std::nullopt;
    S.State.Add(htCentral);
    if (enciphered) S.Decipher(S.Central.Data(), htCentral);
    S.OffsetAdjust = OffsetShift(Stream, S, D, dir.StoredOffset);
    S.DirectoryFound = true;
    return D;
}

// No directory: the first local header in the first four blocks of the file (Block's
// size each), -1 when there is none, 0 when the file gives no bytes.
int64_t FindFirstLocalHeader(TStream32& Stream, std::vector<uint8_t>& Block,
                             THeaderTypeState& State)
{
    const int32_t blockSize = static_cast<int32_t>(Block.size());
    Stream.Seek(0, 0);
    for (int i = 0; i < 4; ++i) {
        const int32_t got = Stream.ReadFull(Block.data(), blockSize);
        if (got <= 0) return i == 0 ? 0 : -1;
        for (int32_t j = 0; j + 4 <= got; ++j) {
            if (Block[static_cast<size_t>(j)] != 0x50) continue;
            bool enciphered;
            if (ClassifySignature(GetU32(&Block[static_cast<size_t>(j)]), htLocal, enciphered) ==
                htLocal) {
                State.Clear();
                State.Add(htLocal);
                return static_cast<int64_t>(i) * blockSize + j;
            }
        }
    }
    return -1;
}

} // namespace

uint32_t TRegisterQuiver::EndDisk() const
{
    const uint16_t plain = FEndHdr.ThisDisk();
    return plain == 0xFFFF && FZip64EndHdr.Signature() == Zip64EndSig ? FZip64EndHdr.U32(16)
                                                                      : plain;
}

uint32_t TRegisterQuiver::DirDisk() const
{
    const uint16_t plain = FEndHdr.DirDisk();
    return plain == 0xFFFF && FZip64EndHdr.Signature() == Zip64EndSig ? FZip64EndHdr.U32(20)
                                                                      : plain;
}

bool TRegisterQuiver::EndRecordNamesSet() const
{
    // A plain 0xFFFF with no ZIP64 end record to hold the number tells nothing.
    auto named = [](uint32_t Disk) { return Disk != 0 && Disk != 0xFFFF; };
    return FEndHdr.Signature() != 0 && (named(EndDisk()) || named(DirDisk()));
}

int64_t TRegisterQuiver::FindEndRecord(TStream32& Stream)
{
    const int64_t size = Stream.Size();
    // The slots hold this archive's records or nothing: an end record of an archive
    // identified before must not lend this one its disk numbers.
    auto clearSlots = [this] {
        FEndHdr.Clear();
        FWideEndHdr.Clear();
        FZip64LocHdr.Clear();
        FZip64EndHdr.Clear();
        FHeaderState.Clear();
        FDirectoryFound = false;
        FOffsetAdjust = 0;
        FCommentBytes.clear();
    };
    clearSlots();
    if (size < 4) return 0;
    const int32_t blockSize = static_cast<int32_t>(std::min<int64_t>(size, EndSearchSpan));
    std::vector<uint8_t> block(static_cast<size_t>(blockSize));
    const int64_t blockPos = size - blockSize;
    const int32_t n = Stream.Seek(blockPos, 0) == blockPos
                          ? Stream.ReadFull(block.data(), blockSize)
                          : 0;
    TEndSlots slots{FEndHdr,
                    FWideEndHdr,
                    FZip64LocHdr,
                    FZip64EndHdr,
                    FCentralHdr,
                    FLocalHdr,
                    FHeaderState,
                    FCommentBytes,
                    FEndRecordEnd,
                    FOffsetAdjust,
                    FDirectoryFound,
                    [this](uint8_t* Record, THeaderType Kind) { DecipherHeader(Record, Kind); }};

    // The end record is the last candidate whose comment ends the file and whose
    // directory is where it says (or that names a set, whose directory may lie on
    // another part); failing that, the last one whose directory is found (bytes after
    // the comment, a wrong comment length); failing that, the last one, as far as it
    // leads. A signature inside a comment is passed over by the first two.
    // A record of no entries is taken last of all: twenty-two bytes of a comment can
    // make one, and it must not hide the directory of the record before it.
    std::optional<TEndCandidate> last, found, empty;
    bool enciphered = false;
    for (int32_t k = PreviousEndSignature(block, n, n, enciphered); k >= 0;
         k = PreviousEndSignature(block, n, k + 3, enciphered)) {
        const TEndCandidate c = CandidateAt(block, n, k, enciphered, slots);
        if (!last) last = c;
        clearSlots();
        const std::optional<int64_t> dir = FindDirectory(Stream, slots, block, n, c, blockPos);
        const bool exact = CommentEndsFile(c, n);
        const bool none = FDirectoryFound && FEndHdr.Entries() == 0 && FEndHdr.DirSize() == 0;
        if (none) {
            if (exact && !empty) empty = c;
            continue;
        }
        if (exact && (FDirectoryFound || (dir && EndRecordNamesSet()))) return *dir;
        if (!found && FDirectoryFound) found = c;
    }
    if (!last) return 0;
    const TEndCandidate chosen = found ? *found : empty ? *empty : *last;
    clearSlots();
    if (const std::optional<int64_t> dir = FindDirectory(Stream, slots, block, n, chosen, blockPos))
        return *dir;
    return FindFirstLocalHeader(Stream, block, FHeaderState);
}

// The end-record search: where a ZIP archive's central directory starts, or, when it
// has none that can be found, where its first local header is.
#include "qvrregister.h"

#include <algorithm>
#include <cstring>
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
    size_t pos = 0;
    while (pos + 4 <= extra.size()) {
        const uint16_t tag = GetU16(&extra[pos]);
        const size_t end = std::min(extra.size(), pos + 4 + GetU16(&extra[pos + 2]));
        pos += 4;
        if (tag == 0x0001) {
            // The block holds only the saturated fields, in the order of the header.
            size_t used = 0;
            for (const uint32_t field : {Hdr.UncompressedSize(), Hdr.CompressedSize()})
                if (field == 0xFFFFFFFFu && pos + used + 8 <= end) used += 8;
            if (low == 0xFFFFFFFFu && pos + used + 8 <= end) {
                low = GetU32(&extra[pos + used]);
                high = GetU16(&extra[pos + used + 4]);
            }
        } else if (tag == 0x0064 && pos + 6 <= end) {
            high = GetU16(&extra[pos + 4]);
        }
        pos = end;
    }
    return static_cast<int64_t>(low) | (static_cast<int64_t>(high) << 32);
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
    FEndHdr.Clear();
    FWideEndHdr.Clear();
    FZip64LocHdr.Clear();
    FZip64EndHdr.Clear();
    FDirectoryFound = false;
    FCommentBytes.clear();
    if (size <= 0) return 0;
    const int32_t blockSize = size > 32768 ? 32768 : static_cast<int32_t>(size - 1);
    FHeaderState.Clear();
    if (blockSize < 4) return 0;
    std::vector<uint8_t> block(static_cast<size_t>(blockSize));
    const int64_t blockPos = size - blockSize;
    const int32_t n = Stream.Seek(blockPos, 0) == blockPos
                          ? Stream.ReadFull(block.data(), blockSize)
                          : 0;

    // The end record is the last thing in the file but its comment: search backwards.
    // A signature without room for its record after it (a comment that happens to end
    // in one) is not the end record.
    int32_t k = n - 4;
    bool enciphered = false;
    for (; k >= 0; --k) {
        const uint32_t sig = GetU32(&block[static_cast<size_t>(k)]);
        if (ClassifySignature(sig, htEnding, enciphered) == htEnding &&
            k + (IsWideEndSignature(sig) ? 26 : 22) <= n)
            break;
    }

    if (k < 0) return 0;
    int64_t D = 0;
    {
        FHeaderState.Add(htEnding);
        uint8_t* rec = &block[static_cast<size_t>(k)];
        const uint32_t sig = GetU32(rec);
        if (enciphered) DecipherHeader(rec, htEnding);
        if (k >= 20 && GetU32(rec - 20) == Zip64LocatorSig) {
            FHeaderState.Add(htLocator);
            if (k >= 76 && GetU32(rec - 76) == Zip64EndSig) FHeaderState.Add(htEnding64);
        }
        const int64_t E = blockPos + k;
        uint32_t dirSize;
        uint64_t storedDirOffset;
        if (IsWideEndSignature(sig)) {
            std::memcpy(FWideEndHdr.Data(), rec, 26);
            // The wide record carries the same leading fields as the plain one: keep
            // them too, so the directory loop and the fallbacks have real values.
            std::memcpy(FEndHdr.Data(), rec, 22);
            FEndRecordEnd = E + 26;
            D = static_cast<int64_t>(FWideEndHdr.DirOffset());
            dirSize = FWideEndHdr.DirSize();
            storedDirOffset = FWideEndHdr.DirOffset();
        } else {
            FEndRecordEnd = E + 22;
            std::memcpy(FEndHdr.Data(), rec, 22);
            // The comment follows the record to the end of the file; one that claims
            // more than the file holds is kept as far as it goes.
            const int32_t after = k + 22;
            FCommentBytes.assign(reinterpret_cast<const char*>(&block[static_cast<size_t>(after)]),
                                 static_cast<size_t>(std::min<int32_t>(FEndHdr.CommentLength(),
                                                                       n - after)));
            dirSize = FEndHdr.DirSize();
            storedDirOffset = FEndHdr.DirOffset();
            if (FHeaderState.Has(htLocator)) std::memcpy(FZip64LocHdr.Data(), rec - 20, 20);
            if (FHeaderState.Has(htEnding64)) {
                std::memcpy(FZip64EndHdr.Data(), rec - 76, 56);
                D = static_cast<int64_t>(FZip64LocHdr.EndOffset() - FZip64EndHdr.DirSize());
                dirSize = static_cast<uint32_t>(FZip64EndHdr.DirSize());
                storedDirOffset = FZip64EndHdr.DirOffset();
            } else {
                D = E - static_cast<int32_t>(dirSize);
            }
        }

        // The directory ends where the records after it begin: the end record, or the
        // ZIP64 end record and its locator in front of it.
        const int64_t dirEnd = FHeaderState.Has(htEnding64) ? E - 76 : E;
        const int64_t fallback = dirEnd - static_cast<int64_t>(dirSize);
        FCentralHdr.Clear();
        if (!ReadAt(Stream, D, FCentralHdr.Data(), 46)) {
            FCentralHdr.Clear();
            if (!ReadAt(Stream, fallback, FCentralHdr.Data(), 46)) return 0;
            D = fallback;
        }
        bool central =
            ClassifySignature(FCentralHdr.Signature(), htCentral, enciphered) == htCentral;
        if (!central && D != fallback) {
            FCentralHdr.Clear();
            if (!ReadAt(Stream, fallback, FCentralHdr.Data(), 46)) return 0;
            central =
                ClassifySignature(FCentralHdr.Signature(), htCentral, enciphered) == htCentral;
            if (central) D = fallback;
        }
        FOffsetAdjust = 0;
        if (central) {
            FHeaderState.Add(htCentral);
            if (enciphered) DecipherHeader(FCentralHdr.Data(), htCentral);
            // Where data was put in front of the archive after it was written, every
            // stored offset is short by the same amount: the distance between where the
            // directory is and where the end record says it is. But a tool that moved
            // only the entries' offsets, or wrote 0 for the directory's, leaves that
            // distance wrong and the entries' offsets right as they stand. The first
            // entry's local header tells which: the distance is kept where it finds the
            // header, dropped where only the offset as it stands does, and kept where
            // neither does (the header lies on another part of a split set).
            const int32_t shift = static_cast<int32_t>(static_cast<uint64_t>(D) - storedDirOffset);
            const int64_t first = EntryLocalOffset(Stream, D, FCentralHdr);
            if (HasLocalHeader(Stream, first + shift, FLocalHdr)) {
                FOffsetAdjust = shift;
                FHeaderState.Add(htLocal);
            } else if (shift != 0 && HasLocalHeader(Stream, first, FLocalHdr)) {
                FHeaderState.Add(htLocal);
            } else {
                FOffsetAdjust = shift;
            }
            FDirectoryFound = true;
            return D;
        }
    }

    // No directory: look for the first local header in the first blocks of the file.
    Stream.Seek(0, 0);
    for (int i = 0; i < 4; ++i) {
        const int32_t got = Stream.ReadFull(block.data(), blockSize);
        if (got <= 0) return i == 0 ? 0 : -1;
        for (int32_t j = 0; j + 4 <= got; ++j) {
            if (block[static_cast<size_t>(j)] != 0x50) continue;
            if (ClassifySignature(GetU32(&block[static_cast<size_t>(j)]), htLocal, enciphered) ==
                htLocal) {
                FHeaderState.Clear();
                FHeaderState.Add(htLocal);
                return static_cast<int64_t>(i) * blockSize + j;
            }
        }
    }
    return -1;
}

#include "qvrDataDescriptor.h"

#include "qvrEntryInput.h"
#include "qvrMethods.h"

#include <cstring>
#include <vector>

namespace {

constexpr int32_t Block = 65536;
// Bytes kept from one block to the next: the longest descriptor (24) and the two bytes
// of the record after it, so a descriptor across a block boundary is still seen whole.
constexpr int32_t Keep = 32;

// Another record starts at Buf[J] ("P" and the second byte of a plain or enciphered
// signature), or the archive ends exactly there.
bool RecordFollows(const uint8_t* Buf, int32_t J, int32_t Have, bool Eof)
{
    if (J == Have) return Eof;
    return J + 2 <= Have && Buf[J] == 'P' && std::memchr("KLMN", Buf[J + 1], 4) != nullptr;
}

bool SearchSigned(TStream32& Stream, int64_t DataStart, TDataDescriptor& D)
{
    if (Stream.Seek(DataStart, 0) != DataStart) return false;
    std::vector<uint8_t> buf(static_cast<size_t>(Block + Keep));
    int64_t base = DataStart; // archive position of buf[0]
    int32_t have = 0;
    for (;;) {
        const int32_t n = Stream.ReadFull(buf.data() + have, Block);
        have += n;
        const bool eof = n < Block;
        const int32_t last = eof ? have - 4 : have - Keep;
        for (int32_t i = 0; i <= last; ++i) {
            const void* hit = std::memchr(buf.data() + i, 'P', static_cast<size_t>(last - i + 1));
            if (!hit) break;
            i = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - buf.data());
            const uint8_t* q = buf.data() + i;
            if (GetU32(q) != SpanMarkerSig) continue;
            const int64_t packed = base + i - DataStart;
            if (i + 16 <= have && GetU32(q + 8) == static_cast<uint32_t>(packed) &&
                RecordFollows(buf.data(), i + 16, have, eof)) {
                D = {GetU32(q + 4), packed, GetU32(q + 12), 16};
                return true;
            }
            if (i + 24 <= have && GetU64(q + 8) == static_cast<uint64_t>(packed) &&
                RecordFollows(buf.data(), i + 24, have, eof)) {
                D = {GetU32(q + 4), packed, static_cast<int64_t>(GetU64(q + 16)), 24};
                return true;
            }
        }
        if (eof) return false;
        std::memmove(buf.data(), buf.data() + have - Keep, Keep);
        base += have - Keep;
        have = Keep;
    }
}

// A descriptor, signed or not, right after Packed bytes of data from DataStart, that
// gives Packed and Unpacked for sizes.
bool DescriptorAt(TStream32& Stream, int64_t DataStart, int64_t Packed, int64_t Unpacked,
                  TDataDescriptor& D)
{
    uint8_t rec[24] = {};
    if (Stream.Seek(DataStart + Packed, 0) != DataStart + Packed) return false;
    const int32_t n = Stream.ReadFull(rec, 24);
    const int32_t off = n >= 4 && GetU32(rec) == SpanMarkerSig ? 4 : 0;
    if (n >= off + 12 && GetU32(rec + off + 4) == static_cast<uint32_t>(Packed) &&
        GetU32(rec + off + 8) == static_cast<uint32_t>(Unpacked)) {
        D = {GetU32(rec + off), Packed, Unpacked, off + 12};
        return true;
    }
    if (n >= off + 20 && GetU64(rec + off + 4) == static_cast<uint64_t>(Packed) &&
        GetU64(rec + off + 12) == static_cast<uint64_t>(Unpacked)) {
        D = {GetU32(rec + off), Packed, Unpacked, off + 20};
        return true;
    }
    return false;
}

bool DecodeToEnd(TStream32& Stream, int64_t DataStart, uint32_t Method, TDataDescriptor& D)
{
    if (Stream.Seek(DataStart, 0) != DataStart) return false;
    TWindowStream window(Stream, -1);
    TEntrySink measure(nullptr, nullptr, -1);
    int64_t packed = 0;
    {
        const TEntryInfo info{};
        const TDecodeResult r = Method == 8 ? InflateDeflated(window, measure, info)
                                            : InflateDeflate64(window, measure, info);
        if (r != TDecodeResult::Done) return false;
        // The decoder has given back the input it read past the end of the stream.
        packed = window.Position();
    }
    return DescriptorAt(Stream, DataStart, packed, measure.Written(), D);
}

} // namespace

bool FindDataDescriptor(TStream32& Stream, int64_t DataStart, const TEntryInfo& Entry,
                        TDataDescriptor& D)
{
    const bool encrypted = Entry.Flags & 0x0001;
    if (Entry.CompressedSize != 0) {
        const int64_t packed = Entry.CompressedSize;
        return DescriptorAt(Stream, DataStart, packed, Entry.UncompressedSize, D) ||
               (encrypted && Entry.Method == 0 &&
                DescriptorAt(Stream, DataStart, packed + 12, Entry.UncompressedSize, D));
    }
    if (SearchSigned(Stream, DataStart, D)) return true;
    if (encrypted || (Entry.Method != 8 && Entry.Method != 9)) return false;
    return DecodeToEnd(Stream, DataStart, Entry.Method, D);
}

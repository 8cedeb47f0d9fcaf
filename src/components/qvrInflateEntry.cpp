// Deflate (method 8) and Deflate64 (method 9) entries.
//
// A Deflate entry whose declared size and compressed size are both within the limit of
// the buffer its sink has lent for it, is decoded whole: its compressed bytes are read in
// one go and inflated in one call straight into the output buffer, which is written to the
// sink in the same chunks. Everything else (larger entries, unknown sizes, Deflate64, entries
// that must stream) goes through the decompression stream, read in chunks of at most 32 KB.
//
// The whole path only stands for streaming when the stream ends cleanly within the
// declared size; its bytes past the end go back to the source, as streaming gives them.
// Any other outcome (invalid data, input cut short, a stream that makes more than it
// declared) decodes again through the stream from the bytes in hand, so that the sink
// gets the same bytes, the same verdict and the same reports as streaming gives.
#include "qvrDecompressStream.h"
#include "qvrMethods.h"

#include <algorithm>
#include <vector>

namespace {

// The largest block handed to the sink at once.
constexpr int32_t MaxChunk = 32768;

TDecodeResult InflateStreaming(TStream32& In, TEntrySink& Out, bool Deflate64)
{
    TDecompressStream inflater(In, -15, Deflate64, &Out.Buffers());
    uint8_t more = 0;
    for (;;) {
        // With the declared size in the sink the stream must end: one byte more is asked
        // for, which only data past that size would fill.
        const bool full = Out.Full();
        if (!full && !Out.Wants()) return TDecodeResult::Stopped;
        const int32_t want = full ? 1 : Out.Room(MaxChunk);
        uint8_t* buf = full ? &more : Out.OutputBlock(want);
        const int32_t h = inflater.Read(buf, want);
        // Whatever came before a failure is still the entry's output.
        const int32_t got = h >= 0 ? h : static_cast<int32_t>(want - inflater.FStrm.AvailOut);
        if (got > 0 && !Out.Write(buf, got)) return TDecodeResult::Stopped;
        if (h == 0) return TDecodeResult::Done; // the end of the compressed data
        if (h == InflateBufError) return TDecodeResult::Truncated;
        if (h < 0) return TDecodeResult::BadData;
    }
}

TDecodeResult InflateWholeEntry(TStream32& In, TEntrySink& Out, TWholeEntryBuffer& Buffer,
                                int32_t Packed)
{
    const size_t size = static_cast<size_t>(Out.Expected());
    uint8_t* const dst = Buffer.Get(size + InflateWholeSlack + static_cast<size_t>(Packed));
    uint8_t* const src = dst + size + InflateWholeSlack;
    const int32_t got = In.ReadFull(src, Packed);
    size_t made = 0, used = 0;
    if (InflateWhole(src, static_cast<size_t>(got), dst, size, made, used) == InflateStreamEnd) {
        // The source ends right after the compressed data, as after streaming.
        if (used < static_cast<size_t>(got)) In.Seek(static_cast<int64_t>(used) - got, 1);
        // Handed over in the chunks streaming makes: progress and a cancel come at the
        // same points.
        for (size_t at = 0; at < made; at += MaxChunk) {
            const size_t n = std::min<size_t>(made - at, MaxChunk);
            if (!Out.Write(dst + at, static_cast<int32_t>(n))) return TDecodeResult::Stopped;
        }
        return TDecodeResult::Done;
    }
    TMemoryStream32 held(std::vector<uint8_t>(src, src + got));
    const TDecodeResult result = InflateStreaming(held, Out, false);
    if (held.Position() < got) In.Seek(held.Position() - got, 1);
    return result;
}

TDecodeResult InflateEntry(TStream32& In, TEntrySink& Out, const TEntryInfo& Info, bool Deflate64)
{
    TWholeEntryBuffer* whole = Out.WholeBuffer();
    if (whole && !Deflate64 && Out.Written() == 0 && Out.Expected() > 0 &&
        Out.Expected() <= whole->Limit() && Info.CompressedSize >= 0 &&
        Info.CompressedSize <= whole->Limit())
        return InflateWholeEntry(In, Out, *whole, static_cast<int32_t>(Info.CompressedSize));
    return InflateStreaming(In, Out, Deflate64);
}

} // namespace

TDecodeResult InflateDeflated(TStream32& In, TEntrySink& Out, const TEntryInfo& Info)
{
    return InflateEntry(In, Out, Info, false);
}

TDecodeResult InflateDeflate64(TStream32& In, TEntrySink& Out, const TEntryInfo& Info)
{
    return InflateEntry(In, Out, Info, true);
}

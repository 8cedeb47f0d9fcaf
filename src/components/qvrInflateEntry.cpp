// Deflate (method 8) and Deflate64 (method 9) entries: the decompression stream over the
// entry's input, read in chunks of at most 32 KB into the entry's sink.
#include "qvrDecompressStream.h"
#include "qvrMethods.h"

#include <vector>

namespace {

TDecodeResult InflateEntry(TStream32& In, TEntrySink& Out, bool Deflate64)
{
    constexpr int32_t MaxChunk = 32768;
    if (!Out.Wants()) return TDecodeResult::Done;
    TDecompressStream inflater(In, -15, Deflate64, &Out.Buffers());
    while (Out.Wants()) {
        const int32_t want = Out.Room(MaxChunk);
        uint8_t* buf = Out.Buffer(TEntryBuffers::bsOutput, want);
        const int32_t h = inflater.Read(buf, want);
        // Whatever came before a failure is still the entry's output.
        const int32_t got = h >= 0 ? h : static_cast<int32_t>(want - inflater.FStrm.AvailOut);
        if (got > 0 && !Out.Write(buf, got)) return TDecodeResult::Stopped;
        if (h == 0) return TDecodeResult::Done; // the end of the compressed data
        if (h == InflateBufError) return TDecodeResult::Truncated;
        if (h < 0) return TDecodeResult::BadData;
    }
    return TDecodeResult::Done;
}

} // namespace

TDecodeResult InflateDeflated(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    return InflateEntry(In, Out, false);
}

TDecodeResult InflateDeflate64(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    return InflateEntry(In, Out, true);
}

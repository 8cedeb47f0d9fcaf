// Fuzz target for the inflate engine: the input is raw compressed data, decoded in both
// variants. The first byte picks the piece sizes; the rest is the stream.
//
// Besides the sanitizers, the run checks the engine against itself: decoding the stream
// handed over whole and decoding it fed and drained in small pieces must give the same
// bytes and the same verdict, since resuming at any point is the engine's promise. The
// whole-buffer decoder (Deflate only) must agree with both: a clean end with the same bytes
// and the same input consumed exactly when the engine ends cleanly within its bound, a
// failure otherwise, and a failure when given one byte less room than the stream makes.
#include "qvrInflate.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t OutCap = 1 << 20;  // bound the output of streams that expand a lot

struct TResult {
    int32_t Code = InflateOk;
    std::vector<uint8_t> Out;
    int64_t TotalIn = 0;
};

TResult Decode(const uint8_t* data, size_t size, bool deflate64, uint32_t inPiece,
               uint32_t outPiece)
{
    TInflateStream z;
    z.Deflate64Mode = deflate64;
    if (InflateInit2(z, -15, InflateRecordSize) != InflateOk)
        std::abort();
    TResult res;
    std::vector<uint8_t> buf(outPiece);
    static const uint8_t none = 0;
    size_t pos = 0;
    int idle = 0;
    for (;;) {
        const uint32_t n = static_cast<uint32_t>(size - pos < inPiece ? size - pos : inPiece);
        z.NextIn = size ? data + pos : &none;
        z.AvailIn = n;
        z.NextOut = buf.data();
        z.AvailOut = outPiece;
        res.Code = Inflate(z, InflateNoFlush);
        const size_t used = n - z.AvailIn;
        const size_t made = outPiece - z.AvailOut;
        pos += used;
        res.Out.insert(res.Out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(made));
        if (res.Code != InflateOk || res.Out.size() >= OutCap)
            break;
        // Progress reported without a byte moved may happen at a block's end, not forever.
        idle = (used == 0 && made == 0) ? idle + 1 : 0;
        if (idle > 8)
            std::abort();
    }
    res.TotalIn = z.TotalIn;
    if (InflateEnd(z) != InflateOk)
        std::abort();
    return res;
}

void CheckWhole(const uint8_t* data, size_t size, const TResult& engine)
{
    static std::vector<uint8_t> out(OutCap + InflateWholeSlack);
    size_t made = 0, used = 0;
    const int32_t r = InflateWhole(data, size, out.data(), OutCap, made, used);
    const bool ends = engine.Code == InflateStreamEnd && engine.Out.size() <= OutCap;
    if (ends != (r == InflateStreamEnd))
        std::abort();
    if (!ends)
        return;
    if (made != engine.Out.size() || static_cast<int64_t>(used) != engine.TotalIn ||
        (made != 0 && std::memcmp(out.data(), engine.Out.data(), made) != 0))
        std::abort();
    if (made != 0 && InflateWhole(data, size, out.data(), made - 1, made, used) != InflateBufError)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint32_t inPiece = 1 + (data[0] & 15);
    const uint32_t outPiece = 1 + (data[0] >> 4) * 37;
    data++;
    size--;
    for (bool deflate64 : {false, true}) {
        const TResult whole = Decode(data, size, deflate64, 1u << 30, 65536);
        const TResult pieces = Decode(data, size, deflate64, inPiece, outPiece);
        if (!deflate64)
            CheckWhole(data, size, whole);
        const size_t common = whole.Out.size() < pieces.Out.size() ? whole.Out.size()
                                                                    : pieces.Out.size();
        if (common != 0 && std::memcmp(whole.Out.data(), pieces.Out.data(), common) != 0)
            std::abort();
        // The verdict must agree; so must the length of the output, except after invalid
        // data, where decoded bytes the caller had no room for are dropped with the stream.
        const bool capped = whole.Out.size() >= OutCap || pieces.Out.size() >= OutCap;
        if (!capped && whole.Code != pieces.Code)
            std::abort();
        if (!capped && whole.Code != InflateDataError && whole.Out.size() != pieces.Out.size())
            std::abort();
    }
    return 0;
}

// qvrInflateFast: the inflate engine's fast path.
//
// While plenty of input and window room are at hand, whole symbols are decoded by the loop
// the whole-buffer decoder runs (qvrInflateLoop.h), with the window as its output: the
// window is flat and keeps its history behind the write pointer, so the loop sees one
// buffer whose start is the oldest byte a distance may reach. That holds when the window
// is as large as the farthest distance the variant codes: after a slide it keeps exactly
// that much history. A narrower window (a wrapped stream may ask for one) decodes in the
// slow states, which check every distance against it. The loop stops FastInLoop
// bytes before the end of the input the caller handed over, so its word loads never reach
// past it, and when fewer than three bytes of room are left; a match longer than the room
// goes to the slow path's Copy state. Word copies may overrun the window's end into its
// WinSlack bytes, which never hold output.

#include "qvrInflateLoop.h"

#ifdef UNSPOOL_INFLATE_BMI2
#include <cpuid.h>
#endif

namespace {

using TFastProc = int32_t (*)(TInflateRun&, const THuffEntry*, const THuffEntry*);

template <bool Deflate64>
int32_t FastPlain(TInflateRun& R, const THuffEntry* lt, const THuffEntry* dt)
{
    return InflateLoop<false, Deflate64>(R, lt, dt);
}

#ifdef UNSPOOL_INFLATE_BMI2
template <bool Deflate64>
InflateBmi2Target int32_t FastBmi2(TInflateRun& R, const THuffEntry* lt, const THuffEntry* dt)
{
    return InflateLoop<true, Deflate64>(R, lt, dt);
}
#endif

// The loops for Deflate and Deflate64, for this processor.
struct TFastProcs {
    TFastProc Proc[2];
};

}  // namespace

#ifdef UNSPOOL_INFLATE_BMI2
bool InflateCpuHasBmi2()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    constexpr unsigned Bmi1 = 1u << 3, Bmi2 = 1u << 8;  // CPUID.(7,0):EBX
    return (b & Bmi1) != 0 && (b & Bmi2) != 0;
}
#endif

void CopyMatchExact(uint8_t* Q, uint32_t Len, uint32_t Dist)
{
    // Copy what does not overlap; since the output repeats with period Dist, each copied
    // run doubles the distance the next one may use.
    const uint8_t* const src = Q - Dist;
    uint8_t* const end = Q + Len;
    uint8_t* d = Q;
    while (d < end) {
        size_t m = static_cast<size_t>(d - src);
        if (m > static_cast<size_t>(end - d))
            m = static_cast<size_t>(end - d);
        std::memcpy(d, src, m);
        d += m;
    }
}

void InflateFast(TInflateBlocks& S, TInflateStream& Z)
{
    // Chosen once, in a function-local static the language initialises thread-safely.
    static const TFastProcs procs = [] {
#ifdef UNSPOOL_INFLATE_BMI2
        if (InflateCpuHasBmi2())
            return TFastProcs{{&FastBmi2<false>, &FastBmi2<true>}};
#endif
        return TFastProcs{{&FastPlain<false>, &FastPlain<true>}};
    }();

    TInflateCodes& c = S.Codes;
    const uint8_t* const inStart = Z.NextIn;
    TInflateRun run{};
    run.In = inStart;
    run.InLast = inStart + (Z.AvailIn - FastInLoop);
    run.Out = S.Write;
    run.OutStop = S.End - 2;
    run.OutEnd = S.End;
    run.Out0 = S.Window;
    run.Hold = S.BitBuf;
    run.Bits = S.BitCnt;
    switch (procs.Proc[S.Variant->WindowBitsAdd](run, c.LTree, c.DTree)) {
    case InflateOk:
        c.Mode = cmStart;
        break;
    case InflateStreamEnd:
        c.Mode = cmEnd;
        break;
    case InflateBufError:
        c.Len = run.Len;
        c.Dist = run.Dist;
        c.Mode = cmCopy;
        break;
    default:
        c.Mode = cmBadCode;
        break;
    }

    // Give back the whole bytes the bit buffer holds, but never more than this call took
    // from the current input; the bits above the count go, as the slow path expects.
    const uint8_t* in = run.In;
    uint32_t bits = run.Bits;
    uint32_t give = bits >> 3;
    const size_t took = static_cast<size_t>(in - inStart);
    if (give > took)
        give = static_cast<uint32_t>(took);
    in -= give;
    bits -= give * 8;
    const uint32_t used = static_cast<uint32_t>(in - inStart);
    Z.NextIn = in;
    Z.AvailIn -= used;
    Z.TotalIn += used;
    S.BitBuf = run.Hold & ((uint64_t{1} << bits) - 1);
    S.BitCnt = bits;
    S.Write = run.Out;
}

#include "qvrLegacyIo.h"

#include <algorithm>

TBits TBitReader::RefillSlow(TBits B)
{
    // The bits above the count may be bytes loaded ahead; they are taken again below, one
    // at a time, so that at the end of the input nothing but input is held.
    B.Buf &= (uint64_t{1} << B.Count) - 1;
    while (B.Count < 56) {
        if (B.Next == B.End) {
            const int32_t n = FEnded ? 0 : FIn.Read(FBuf.data(), BufferSize);
            if (n <= 0) {
                FEnded = true;
                return B;
            }
            B.Next = FBuf.data();
            B.End = B.Next + n;
            if (n >= 8) {
                Refill(B);
                return B;
            }
        }
        B.Buf |= static_cast<uint64_t>(*B.Next++) << B.Count;
        B.Count += 8;
    }
    return B;
}

TLegacyOutput::TLegacyOutput(TEntrySink& Sink, uint32_t History, uint8_t* Buffer)
    : FSink(Sink), FLimit(Sink.Expected()), FHistory(History), FBuf(Buffer),
      FBase(-static_cast<int64_t>(History)), FFlushed(Buffer + History), FFull(FLimit == 0)
{
    std::memset(FBuf, 0, History);
    SetStop();
}

void TLegacyOutput::SetStop()
{
    FStop = FFlushed + BlockSize;
    if (FLimit >= 0) FStop = FFlushed + std::min<int64_t>(BlockSize, FLimit - Made(FFlushed));
}

uint8_t* TLegacyOutput::Hand(uint8_t* Out, bool Last)
{
    while (!FStopped && !FFull) {
        int64_t n = std::min<int64_t>(Out - FFlushed, BlockSize);
        const bool end = FLimit >= 0 && n >= FLimit - Made(FFlushed);
        if (end) n = FLimit - Made(FFlushed);
        if (n < BlockSize && !end && !Last) break;
        if (n == 0) break;
        if (!FSink.Write(FFlushed, static_cast<int32_t>(n))) FStopped = true;
        FFlushed += n;
        FFull = end;
        if (FFlushed == FBuf + FHistory + Span) {
            // Full: the last History bytes and whatever was made past the slide point go
            // to the front.
            uint8_t* const keep = FFlushed - FHistory;
            std::memmove(FBuf, keep, static_cast<size_t>(Out - keep));
            FBase += Span;
            FFlushed -= Span;
            Out -= Span;
        }
    }
    SetStop();
    return Out;
}

TDecodeResult TLegacyOutput::Finish(uint8_t* Out, TDecodeResult R)
{
    Hand(Out, true);
    return FStopped && R == TDecodeResult::Done ? TDecodeResult::Stopped : R;
}

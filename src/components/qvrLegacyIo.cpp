#include "qvrLegacyIo.h"

TBitReader::TBitReader(TStream32& In) : FIn(In), FBuf(32768) {}

bool TBitReader::Fill(int N)
{
    while (FBitCount < N) {
        if (FPos == FCount) {
            FCount = FEnded ? 0 : FIn.Read(FBuf.data(), static_cast<int32_t>(FBuf.size()));
            FPos = 0;
            if (FCount <= 0) {
                FCount = 0;
                FEnded = true;
                return false;
            }
        }
        FBits |= static_cast<uint64_t>(FBuf[static_cast<size_t>(FPos++)]) << FBitCount;
        FBitCount += 8;
    }
    return true;
}

TLegacyOutput::TLegacyOutput(TEntrySink& Sink, uint32_t WindowSize)
    : FSink(Sink), FBuf(BufferSize), FLimit(Sink.Expected()),
      FWindow(WindowSize ? WindowSize : 1, 0), FWindowMask(WindowSize ? WindowSize - 1 : 0)
{
}

void TLegacyOutput::CopyMatch(uint32_t Distance, uint32_t Length)
{
    uint32_t from = (FWindowPos - Distance) & FWindowMask;
    while (Length-- > 0 && Wants()) {
        PutWindow(FWindow[from]);
        from = (from + 1) & FWindowMask;
    }
}

bool TLegacyOutput::Flush()
{
    if (FCount > 0 && !FStopped && !FSink.Write(FBuf.data(), FCount)) FStopped = true;
    FCount = 0;
    return !FStopped;
}

TDecodeResult TLegacyOutput::Finish(TDecodeResult R)
{
    if (!Flush() && R == TDecodeResult::Done) return TDecodeResult::Stopped;
    return R;
}

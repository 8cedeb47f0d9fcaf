#include "qvrLegacyIo.h"

#include <algorithm>
#include <cstring>

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
    if (FLimit >= 0) Length = static_cast<uint32_t>(std::clamp<int64_t>(FLimit - FBytesOut, 0, Length));
    const uint32_t size = FWindowMask + 1;
    uint32_t from = (FWindowPos - Distance) & FWindowMask;
    while (Length > 0 && !FStopped) {
        // One run that wraps neither the window nor the output buffer.
        const uint32_t n = std::min({Length, size - from, size - FWindowPos,
                                     static_cast<uint32_t>(BufferSize - FCount)});
        uint8_t* dst = FWindow.data() + FWindowPos;
        const uint8_t* src = FWindow.data() + from;
        // A match closer than its length repeats the bytes it has just made, so it is
        // copied byte by byte; a farther one reads only bytes it does not overwrite.
        if (((FWindowPos - from) & FWindowMask) >= n) {
            std::memmove(dst, src, n);
        } else {
            for (uint32_t i = 0; i < n; ++i) dst[i] = src[i];
        }
        std::memcpy(FBuf.data() + FCount, dst, n);
        FCount += static_cast<int32_t>(n);
        FBytesOut += n;
        FWindowPos = (FWindowPos + n) & FWindowMask;
        from = (from + n) & FWindowMask;
        Length -= n;
        if (FCount == BufferSize) Flush();
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

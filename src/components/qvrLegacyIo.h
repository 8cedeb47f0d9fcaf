// The input and output the three legacy decoders share (Explode, Unshrink, Unreduce).
//
// Input: TBitReader takes the entry's compressed bytes (already cut to the entry and
// deciphered) in blocks of up to 32 KB and hands out bits least significant first, the
// order all three formats pack their codes in.
//
// Output: TLegacyOutput gathers decoded bytes in a 32 KB buffer, so that the sink's CRC,
// write and progress run once per block, not per byte; Explode and Unreduce also copy
// their matches from its sliding window. The window starts zero-filled, so a match that
// reaches back before the first decoded byte yields zeros. Output stops at the entry's
// declared size: a decoder asks Wants() and ends its loop when it is false.
#pragma once

#include "qvrEntrySink.h"
#include "qvrMethods.h"
#include "qvrStreams.h"

#include <cstdint>
#include <vector>

class TBitReader {
public:
    explicit TBitReader(TStream32& In);

    // N bits (0..24) as a number, or -1 when the input ends before N bits are in.
    int32_t ReadBits(int N)
    {
        if (FBitCount < N && !Fill(N)) return -1;
        const auto v = static_cast<int32_t>(FBits & ((1u << N) - 1));
        FBits >>= N;
        FBitCount -= N;
        return v;
    }
    // True once every compressed byte has been taken into the bit buffer and no more
    // can be fetched.
    bool Ended() const { return FEnded; }

private:
    // Brings at least N bits into the buffer; false when the input cannot.
    bool Fill(int N);

    TStream32& FIn;
    std::vector<uint8_t> FBuf;
    int32_t FCount = 0;
    int32_t FPos = 0;
    bool FEnded = false;
    uint64_t FBits = 0;
    int FBitCount = 0;
};

class TLegacyOutput {
public:
    // WindowSize 0: no window (Unshrink keeps its own history); else 4096 or 8192.
    TLegacyOutput(TEntrySink& Sink, uint32_t WindowSize);

    // Whether more output is wanted: short of the declared size and not refused.
    bool Wants() const { return !FStopped && (FLimit < 0 || FBytesOut < FLimit); }
    void Put(uint8_t B)
    {
        FBuf[FCount++] = B;
        ++FBytesOut;
        if (FCount == BufferSize) Flush();
    }
    void PutWindow(uint8_t B)
    {
        FWindow[FWindowPos] = B;
        FWindowPos = (FWindowPos + 1) & FWindowMask;
        Put(B);
    }
    // Copies Length bytes that start Distance bytes back (1: the byte last put), byte
    // by byte so that an overlapping match repeats itself. Stops at the declared size.
    void CopyMatch(uint32_t Distance, uint32_t Length);
    // Hands the buffered bytes to the sink; false once it has refused any.
    bool Flush();
    // Flushes and turns the decoder's own verdict into the entry's: Stopped when the
    // sink refused output.
    TDecodeResult Finish(TDecodeResult R);
    int64_t BytesOut() const { return FBytesOut; }
    bool Stopped() const { return FStopped; }

private:
    static constexpr int32_t BufferSize = 32768;
    TEntrySink& FSink;
    std::vector<uint8_t> FBuf;
    int32_t FCount = 0;
    int64_t FBytesOut = 0;
    int64_t FLimit;
    bool FStopped = false;
    std::vector<uint8_t> FWindow;
    uint32_t FWindowMask;
    uint32_t FWindowPos = 0;
};

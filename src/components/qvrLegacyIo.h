// The input and output the three legacy decoders share (Explode, Unshrink, Unreduce).
//
// Input: TBitReader takes the entry's compressed bytes (already cut to the entry and
// deciphered) in blocks of up to 32 KB and hands out bits least significant first, the
// order all three formats pack their codes in. The bit buffer is a 64-bit word. While
// eight bytes are at hand, Refill loads them at once, shifted above the bits already
// held, and advances only by the whole bytes that fitted: afterwards 56 to 63 bits are
// counted, and the bits above the count are the true next input bits (a later load ORs
// the same values into the same places). Near the end of a block the bytes are taken
// one at a time, and at the end of the input the buffer holds exactly the bits that are
// left, with zeros above them. A decoder refills once and then decodes a whole symbol
// without further refills, checking the count only where the input may end.
//
// Output: TLegacyOutput keeps one buffer: the last History bytes of output (the window
// matches copy from; zeros before the first byte, so a match that reaches back before it
// yields zeros) followed by the bytes made since. Decoders write into it through a plain
// pointer and call Drain when the pointer reaches Stop(): every whole 32 KB block goes to
// the sink (its CRC, write and progress run once per block, not per byte), and when the
// buffer is full its last History bytes slide to the front. A decoder may write up to
// Slack bytes past Stop() in one step (a whole string or match, and the overrun of a word
// copy). Output stops at the entry's declared size: the bytes past it are never handed
// on, and Wants() turns false.
#pragma once

#include "qvrByteCopy.h"
#include "qvrEntrySink.h"
#include "qvrMethods.h"
#include "qvrStreams.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

// The bit buffer and the part of the input block not yet taken into it. It is a plain
// value so that a decoder's inner loop keeps it in local variables: as fields, every
// byte stored through the output pointer (which may alias anything) would send them
// back to memory.
struct TBits {
    uint64_t Buf = 0; // the next bit lowest; only the low Count bits are sure to be input
    int Count = 0;
    const uint8_t* Next = nullptr;
    const uint8_t* End = nullptr;

    void Skip(int N)
    {
        Buf >>= N;
        Count -= N;
    }
    // N raw bits (N < 32); the caller has checked Count >= N.
    uint32_t Take(int N)
    {
        const auto v = static_cast<uint32_t>(Buf) & ((1u << N) - 1);
        Skip(N);
        return v;
    }
};

class TBitReader {
public:
    explicit TBitReader(TStream32& In) : FIn(In) {}
    TBitReader(const TBitReader&) = delete;
    TBitReader& operator=(const TBitReader&) = delete;

    // Brings B up to 56 bits or more, or to every bit left once the input ends.
    void Refill(TBits& B)
    {
        if (B.End - B.Next >= 8) {
            B.Buf |= LoadLE64(B.Next) << B.Count;
            B.Next += (63 - B.Count) >> 3;
            B.Count |= 56;
        } else {
            B = RefillSlow(B);
        }
    }
    // N bits (0..24) as a number, or -1 when the input ends before N bits are in.
    int32_t ReadBits(TBits& B, int N)
    {
        if (B.Count < N) {
            Refill(B);
            if (B.Count < N) return -1;
        }
        return static_cast<int32_t>(B.Take(N));
    }

private:
    // Taken and returned by value, so that the caller's copy never has its address taken.
    TBits RefillSlow(TBits B);

    static constexpr int32_t BufferSize = 32768;
    TStream32& FIn;
    bool FEnded = false;
    // Left uninitialized: only the bytes read into it are ever looked at.
    std::array<uint8_t, BufferSize> FBuf;
};

class TLegacyOutput {
public:
    // The most a decoder writes past Stop() in one step: a Shrink string (at most 8192
    // bytes) or a match, with the overrun of CopyBack.
    static constexpr int32_t Slack = 8192 + 32;

    // The size of the buffer a decoder provides for a given History.
    static constexpr size_t BufferSize(uint32_t History) { return History + Span + Slack; }

    // History: how far back matches reach (4096 or 8192), or how much recent output
    // Unshrink keeps to copy its strings from. Buffer holds BufferSize(History) bytes and
    // lives in the decoder's state, so that an entry's whole state is one allocation.
    TLegacyOutput(TEntrySink& Sink, uint32_t History, uint8_t* Buffer);
    TLegacyOutput(const TLegacyOutput&) = delete;
    TLegacyOutput& operator=(const TLegacyOutput&) = delete;

    // Where the next byte goes, and how far a decoder may write before calling Drain.
    uint8_t* Start() const { return FFlushed; }
    uint8_t* Stop() const { return FStop; }
    // Hands on the whole blocks written up to Out (and the rest of the entry once its
    // declared size is reached), sliding the buffer when it is full; returns where the
    // next byte goes, which moves when the buffer slides.
    uint8_t* Drain(uint8_t* Out) { return Hand(Out, false); }
    // Whether more output is wanted: short of the declared size and not refused.
    bool Wants() const { return !FStopped && !FFull; }
    // Hands on every byte made (up to the declared size) and turns the decoder's own
    // verdict into the entry's: Stopped when the sink refused output.
    TDecodeResult Finish(uint8_t* Out, TDecodeResult R);
    // How many bytes have been made when the next one goes to Out.
    int64_t Made(const uint8_t* Out) const { return FBase + (Out - FBuf); }
    // The output byte at position Pos when the buffer still holds it, else null.
    const uint8_t* At(int64_t Pos) const { return Pos >= FBase ? FBuf + (Pos - FBase) : nullptr; }

private:
    static constexpr int32_t BlockSize = 32768;
    static constexpr int32_t Span = 4 * BlockSize; // bytes made between two slides

    uint8_t* Hand(uint8_t* Out, bool Last);
    void SetStop();

    TEntrySink& FSink;
    const int64_t FLimit;
    const uint32_t FHistory;
    uint8_t* const FBuf;
    int64_t FBase = 0;        // the output position of FBuf[0]; negative for the zeros
    uint8_t* FFlushed;        // the first byte not yet handed on
    uint8_t* FStop = nullptr; // next block's end, the slide point or the declared size
    bool FStopped = false;
    bool FFull = false; // the declared size has been handed on
};


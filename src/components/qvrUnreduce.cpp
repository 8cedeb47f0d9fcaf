// Reduced entries (methods 2 to 5: Reducing with compression factors 1 to 4).
//
// The data is two layers, every field packed least significant bit first.
//
// Outer layer: bytes coded by context, the context being the byte this layer decoded
// last ("Last", 0 at the start). The data opens with 256 follower sets, for Last = 255
// down to 0: a 6-bit count N, then N bytes of 8 bits, the likeliest followers first.
// Each byte is then coded as
//   Last's set empty:   8 bits, the byte itself (no flag bit);
//   otherwise:          a flag bit; 1: 8 bits, the byte itself;
//                                   0: B(N) bits, an index into Last's set,
// where B(N) is the width that addresses N entries: 1 for N up to 2, 2 up to 4, 3 up
// to 8, 4 up to 16, 5 up to 32.
//
// Inner layer: the decoded bytes drive a run/match expander with escape byte 144:
//   C               (C not 144) the byte C
//   144 0           the byte 144
//   144 V [E] D     a match of (V & L) + 3 bytes, where L = 0x7F >> (Factor - 1); when
//                   V & L equals L the extra byte E is added to the length. Its distance
//                   is (V >> (8 - Factor)) * 256 + D + 1.
// A higher factor therefore gives fewer length bits and more distance bits: matches
// reach at most 512, 1024, 2048 or 4096 bytes back, always inside the 4 KB window,
// which starts zero-filled, so a match reaching before the first byte yields zeros.
//
// The data has no end marker: the entry ends at its declared size. Everything the
// decoder keeps (sets, window, bit buffer) lives in one state object per call.
#include "qvrLegacyIo.h"
#include "qvrMessages.h"

#include <array>
#include <memory>
#include <optional>

namespace {

constexpr uint32_t WindowSize = 4096;
constexpr uint8_t Escape = 144;
constexpr int MaxFollowers = 32;

// B(N): the index bits of a set of N followers (B(0) is never used: an empty set has
// no index).
constexpr std::array<uint8_t, MaxFollowers + 1> IndexBits = [] {
    std::array<uint8_t, MaxFollowers + 1> b{};
    for (int n = 1; n <= MaxFollowers; ++n) {
        uint8_t w = 1;
        while ((1 << w) < n) ++w;
        b[static_cast<size_t>(n)] = w;
    }
    return b;
}();
static_assert(IndexBits[1] == 1 && IndexBits[2] == 1 && IndexBits[3] == 2 &&
              IndexBits[4] == 2 && IndexBits[5] == 3 && IndexBits[16] == 4 &&
              IndexBits[17] == 5 && IndexBits[32] == 5);

// L(Factor): the mask of V's length bits; its complement in a byte is the distance's
// high bits.
constexpr std::array<uint8_t, 5> LengthMask = {0, 0x7F, 0x3F, 0x1F, 0x0F};

// One entry's state, allocated at once with its input and output buffers.
class TUnreducer {
public:
    TUnreducer(TStream32& In, TEntrySink& Sink, int Factor)
        : FIn(In), FOut(Sink, WindowSize, FOutBuf.data()), FSink(Sink), FFactor(Factor),
          FMask(LengthMask[static_cast<size_t>(Factor)])
    {
    }

    TDecodeResult Run()
    {
        if (const std::optional<TDecodeResult> failed = ReadSets()) return *failed;
        return Expand();
    }

private:
    struct TFollowerSet {
        uint8_t Count = 0;
        uint8_t Bits = 0; // B(Count)
        std::array<uint8_t, MaxFollowers> Followers{};
    };

    // The expander's states: what the next decoded byte is.
    enum class TExpand : uint8_t {
        Literal,     // a byte of output, or the escape
        AfterEscape, // 0 for a literal 144, else V
        ExtraLength, // E, added to the length
        Distance     // D, the distance's low byte; the match is copied
    };

    // The single exit for data that cannot be valid: left with the sink for its own
    // report, and whatever was decoded before it is kept.
    TDecodeResult Refuse(uint8_t* Out)
    {
        FSink.Fail(E_BADBLOCK);
        return FOut.Finish(Out, TDecodeResult::BadData);
    }

    // Running out of input before the declared size is a truncation; without a
    // declared size the input's end is the data's end.
    TDecodeResult InputEnded(uint8_t* Out)
    {
        return FOut.Finish(Out, FSink.Expected() < 0 ? TDecodeResult::Done
                                                     : TDecodeResult::Truncated);
    }

    // Nothing when all 256 sets are in, else how the entry ends.
    std::optional<TDecodeResult> ReadSets()
    {
        for (int last = 255; last >= 0; --last) {
            TFollowerSet& set = FSets[static_cast<size_t>(last)];
            const int32_t n = FIn.ReadBits(FBits, 6);
            if (n < 0) return InputEnded(FOut.Start());
            // The 6-bit field can say up to 63, but a set holds 32 bytes and no index
            // of 5 bits could address more: such data was not written by a compressor.
            if (n > MaxFollowers) return Refuse(FOut.Start());
            set.Count = static_cast<uint8_t>(n);
            set.Bits = IndexBits[static_cast<size_t>(n)];
            for (int i = 0; i < n; ++i) {
                const int32_t b = FIn.ReadBits(FBits, 8);
                if (b < 0) return InputEnded(FOut.Start());
                set.Followers[static_cast<size_t>(i)] = static_cast<uint8_t>(b);
            }
        }
        return std::nullopt;
    }

    // The next byte of the outer layer from In: the byte, -1 when the input has ended, or
    // -2 for an index that addresses no follower.
    int32_t NextByte(TBits& In, const TFollowerSet& Set)
    {
        // One refill holds a whole byte's code (at most 9 bits): past this point the input
        // is short only at its end.
        FIn.Refill(In);
        if (In.Count < 9) {
            FBits = In;
            const int32_t c = NextByteAtEnd(Set);
            In = FBits;
            return c;
        }
        const auto bits = static_cast<uint32_t>(In.Buf);
        if (Set.Count == 0) {
            In.Skip(8);
            return static_cast<int32_t>(bits & 0xFF);
        }
        if (bits & 1) {
            In.Skip(9);
            return static_cast<int32_t>((bits >> 1) & 0xFF);
        }
        const uint32_t i = (bits >> 1) & ((1u << Set.Bits) - 1);
        In.Skip(1 + Set.Bits);
        return i < Set.Count ? Set.Followers[i] : -2;
    }
    // The same, field by field, for the last bits of the input.
    int32_t NextByteAtEnd(const TFollowerSet& Set)
    {
        if (Set.Count == 0) return FIn.ReadBits(FBits, 8);
        const int32_t flag = FIn.ReadBits(FBits, 1);
        if (flag != 0) return flag < 0 ? -1 : FIn.ReadBits(FBits, 8);
        const int32_t i = FIn.ReadBits(FBits, Set.Bits);
        // An index past the set's count (possible whenever the count is not a power of
        // two) addresses no follower the compressor wrote; it is refused rather than read
        // from the unused part of the set.
        if (i >= Set.Count) return -2;
        return i < 0 ? -1 : Set.Followers[static_cast<size_t>(i)];
    }

    TDecodeResult Expand()
    {
        TExpand state = TExpand::Literal;
        uint8_t last = 0;
        uint8_t v = 0;
        uint32_t length = 0;
        uint8_t* out = FOut.Start();
        uint8_t* stop = FOut.Stop();
        TBits in = FBits;
        for (;;) {
            if (out >= stop) {
                out = FOut.Drain(out);
                if (!FOut.Wants()) break;
                stop = FOut.Stop();
            }
            const int32_t c = NextByte(in, FSets[last]);
            if (c == -2) return Refuse(out);
            if (c < 0) return InputEnded(out);
            last = static_cast<uint8_t>(c);

            switch (state) {
            case TExpand::Literal:
                if (last == Escape)
                    state = TExpand::AfterEscape;
                else
                    *out++ = last;
                break;
            case TExpand::AfterEscape:
                if (last == 0) {
                    *out++ = Escape;
                    state = TExpand::Literal;
                } else {
                    v = last;
                    length = last & FMask;
                    state = length == FMask ? TExpand::ExtraLength : TExpand::Distance;
                }
                break;
            case TExpand::ExtraLength:
                length += last;
                state = TExpand::Distance;
                break;
            case TExpand::Distance: {
                // The whole match is written; the output hands on no more than the
                // declared size.
                const uint32_t high = static_cast<uint32_t>(v >> (8 - FFactor));
                CopyBack(out, length + 3, (high << 8) + last + 1);
                out += length + 3;
                state = TExpand::Literal;
                break;
            }
            }
        }
        return FOut.Finish(out, TDecodeResult::Done);
    }

    std::array<uint8_t, TLegacyOutput::BufferSize(WindowSize)> FOutBuf;
    TBitReader FIn;
    TBits FBits; // between the sets and the data, and for the last bits of the input
    TLegacyOutput FOut;
    TEntrySink& FSink;
    const int FFactor;
    const uint32_t FMask;
    std::array<TFollowerSet, 256> FSets{};
};

} // namespace

TDecodeResult Unreduce(TStream32& In, TEntrySink& Out, const TEntryInfo& Info)
{
    if (Info.Method < 2 || Info.Method > 5) {
        Out.Fail(E_UNSUPPORTEDMETHOD);
        return TDecodeResult::BadData;
    }
    // An empty entry has nothing to decode: not even its follower sets are read.
    if (!Out.Wants()) return TDecodeResult::Done;
    const auto decoder = std::make_unique<TUnreducer>(In, Out, static_cast<int>(Info.Method) - 1);
    return decoder->Run();
}

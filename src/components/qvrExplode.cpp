// Explode: the decoder of ZIP method 6, Imploding.
//
// An imploded entry is a sliding-window (LZ77) stream whose literals, match lengths and
// the high bits of match distances are coded with Shannon-Fano codes. Bit 1 of the
// general-purpose flags selects an 8 KB window (else 4 KB); bit 2 adds a tree for the
// literals (else a literal is 8 raw bits).
//
// The data begins with the trees, in the order literal (only with bit 2), length,
// distance. Each tree is a run-length list of code lengths: one byte holding the number
// of description bytes less one, then the description bytes, whose low four bits are a
// code length less one (1..16) and whose high four bits a repeat count less one. The
// n-th length described belongs to symbol n: 0..255 for literals, 0..63 for lengths and
// distances. A description may stop short of the last symbol; the symbols it leaves out
// have no code. One that goes past the last symbol is refused.
//
// The codes follow from the lengths. The symbols are sorted by length, ties by symbol;
// walking that list from its end (longest codes, highest symbols first) a 16-bit
// counter starts at 0 and, after each entry, advances by 2^(16 - that entry's length);
// an entry's code is the top `length` bits of the counter when its turn comes. The
// longest code is therefore all zeros and shorter ones count upward from it. Lengths
// that do not fit the 16-bit code space, or an order in which a shorter code comes out
// as the start of a longer one, give no prefix-free code: there is no tree for such a
// description and it is refused as ambiguous.
//
// After the trees the data is a sequence of
//   1, literal   the literal tree's symbol, or 8 raw bits without that tree;
//   0, match     the low bits of the distance, raw: 7 with the 8 KB window, 6 with 4 KB;
//                the distance tree's symbol: the distance's high six bits;
//                the length tree's symbol, plus 8 raw bits when that symbol is 63;
//                the length is that plus the minimum match, 3 with a literal tree and 2
//                without.
// A distance of 0 repeats the byte last produced. A match may overlap the bytes it
// produces, and may reach back before the entry's first byte, where the window holds
// zeros. Nothing marks the end of the data: it ends when the declared size is reached.
//
// Bits are packed into bytes least significant first. A raw field is a number read in
// that order; a Shannon-Fano code is read most significant bit first, each bit taking
// one step down its tree from the root.
//
// Decoding. Rather than walking a tree one bit per step, each tree becomes a table
// indexed by the next RootBits bits of the input, in input order (so an index is a
// code's first bits reversed); an entry gives the symbol and the code's length. Codes
// longer than RootBits go through a second table, one per RootBits-bit prefix, sized for
// the longest code under it. Slots no code reaches stay empty: a tree may be incomplete,
// and decodes every code it has, but data that leads into an empty slot is invalid.
// Both that and a refused tree are reported as an ambiguous tree.
#include "qvrLegacyIo.h"
#include "qvrMessages.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr uint16_t FlagBigWindow = 0x0002;
constexpr uint16_t FlagLiteralTree = 0x0004;
constexpr int MaxCodeLength = 16;
constexpr int LongLengthSymbol = 63;

// The shape of each of the four variants, chosen by flags bits 1 and 2.
struct TVariant {
    uint32_t WindowSize;
    int LowDistanceBits;
    bool LiteralTree;
    uint32_t MinMatch;
};
constexpr std::array<TVariant, 4> Variants{{
    {4096, 6, false, 2},
    {8192, 7, false, 2},
    {4096, 6, true, 3},
    {8192, 7, true, 3},
}};

// Table bits looked up at once: most literal codes are shorter than 10 bits, most
// length and distance codes shorter than 8.
constexpr int LiteralRootBits = 10;
constexpr int OtherRootBits = 8;

uint32_t Reverse(uint32_t V, int N)
{
    uint32_t r = 0;
    for (int i = 0; i < N; ++i, V >>= 1) r = (r << 1) | (V & 1);
    return r;
}

enum class TStep : uint8_t { Ok, Truncated, Invalid };

// Decode results below zero.
constexpr int DecodeTruncated = -1;
constexpr int DecodeInvalid = -2;

// A table entry is a kind in its low two bits, a length in bits 8-15 and a value in
// bits 16-31: a leaf holds the code's whole length and its symbol, a link the index bits
// and the offset of a second-level table; an empty slot is 0.
constexpr uint32_t Leaf = 1;
constexpr uint32_t Link = 2;

// What decoding needs of a tree, copied into the decoder's local variables: the table,
// whose root width is a constant so that the loop keeps no more than its address.
template <int RootBits>
struct TSfLookup {
    const uint32_t* Table;

    // The next symbol, or -1 when the bits at hand hold no whole code of the table
    // (TSfTree::Miss tells why).
    int Decode(TBits& In) const
    {
        uint32_t e = Table[In.Buf & ((1u << RootBits) - 1)];
        if ((e & 3) == Link)
            e = Table[(e >> 16) + (static_cast<uint32_t>(In.Buf >> RootBits) &
                                   ((1u << ((e >> 8) & 0xFF)) - 1))];
        const auto len = static_cast<int>((e >> 8) & 0xFF);
        if ((e & 3) != Leaf || len > In.Count) return -1;
        In.Skip(len);
        return static_cast<int>(e >> 16);
    }
};

// One Shannon-Fano tree as decode tables.
class TSfTree {
public:
    TStep Read(TBitReader& Reader, TBits& In, int Symbols, int RootBits);
    template <int RootBits>
    TSfLookup<RootBits> Lookup() const
    {
        return {FTable.data()};
    }
    // Why the table found no code in Bits (Count of them input): DecodeTruncated when
    // the input ends inside a code, DecodeInvalid when the bits lead to a slot no code
    // reaches.
    int Miss(uint64_t Bits, int Count) const;

private:
    static uint32_t LeafEntry(uint8_t Symbol, int Length)
    {
        return (static_cast<uint32_t>(Symbol) << 16) | (static_cast<uint32_t>(Length) << 8) | Leaf;
    }
    bool Build();

    std::array<uint8_t, 256> FLength{};  // by symbol; 0: no code
    std::array<uint16_t, 256> FCode{};   // by symbol, most significant bit first
    std::array<uint8_t, 256> FSorted{};  // symbols by length, ties by symbol
    int FCount = 0;
    int FMaxLength = 0;
    int FRootBits = 0;
    std::vector<uint32_t> FTable;
};

TStep TSfTree::Read(TBitReader& Reader, TBits& In, int Symbols, int RootBits)
{
    Reader.Refill(In);
    if (In.Count < 8) return TStep::Truncated;
    const uint32_t bytes = In.Take(8) + 1;
    FCount = 0;
    for (uint32_t i = 0; i < bytes; ++i) {
        Reader.Refill(In);
        if (In.Count < 8) return TStep::Truncated;
        const uint32_t b = In.Take(8);
        const int repeat = static_cast<int>(b >> 4) + 1;
        // More lengths than the tree has symbols: refused before anything is stored.
        if (FCount + repeat > Symbols) return TStep::Invalid;
        const auto len = static_cast<uint8_t>((b & 15) + 1);
        for (int r = 0; r < repeat; ++r) FLength[static_cast<size_t>(FCount++)] = len;
    }
    FRootBits = RootBits;
    return Build() ? TStep::Ok : TStep::Invalid;
}

bool TSfTree::Build()
{
    const int count = FCount;
    // Sort by length, ties by symbol: symbols are visited in order, once per length.
    int n = 0;
    FMaxLength = 0;
    for (int len = 1; len <= MaxCodeLength; ++len)
        for (int s = 0; s < count; ++s)
            if (FLength[static_cast<size_t>(s)] == len) {
                FSorted[static_cast<size_t>(n++)] = static_cast<uint8_t>(s);
                FMaxLength = len;
            }

    // Codes from the end of the sorted list: the counter advances by the code space of
    // the entry before (in walking order), and each entry takes the counter's top bits.
    std::array<uint32_t, 256> start{}; // each code's first value in the 16-bit space
    uint32_t counter = 0, step = 0;
    int last = 0;
    for (int i = count - 1; i >= 0; --i) {
        const uint8_t s = FSorted[static_cast<size_t>(i)];
        const int len = FLength[s];
        counter += step;
        if (len != last) {
            last = len;
            step = 1u << (MaxCodeLength - len);
        }
        FCode[s] = static_cast<uint16_t>((counter & 0xFFFF) >> (MaxCodeLength - len));
        start[static_cast<size_t>(i)] = static_cast<uint32_t>(FCode[s]) << (MaxCodeLength - len);
    }

    // The tree exists only when no code is the start of another (or equal to it). Each
    // code owns an aligned interval of the 16-bit space, and two codes are prefix-related
    // exactly when their intervals meet; sorted by start, it is enough to check that
    // each interval ends before the next one begins. Over-subscribed lengths always fail
    // here: their intervals cannot all fit.
    std::array<uint32_t, 256> order{};
    for (int i = 0; i < count; ++i) order[static_cast<size_t>(i)] = static_cast<uint32_t>(i);
    std::sort(order.begin(), order.begin() + count,
              [&](uint32_t a, uint32_t b) { return start[a] < start[b]; });
    for (int i = 0; i + 1 < count; ++i) {
        const uint32_t a = order[static_cast<size_t>(i)];
        const uint32_t end = start[a] + (1u << (MaxCodeLength - FLength[FSorted[a]]));
        if (end > start[order[static_cast<size_t>(i) + 1]]) return false;
    }

    // The first level: every slot whose low `len` bits are a short code's bits reversed.
    // (The root is as wide as asked even when every code is shorter: its width is then a
    // constant of the decoding loop.)
    const uint32_t rootSize = 1u << FRootBits;
    FTable.assign(rootSize, 0);
    std::array<uint8_t, 1u << LiteralRootBits> subBits{};
    for (int i = 0; i < count; ++i) {
        const uint8_t s = FSorted[static_cast<size_t>(i)];
        const int len = FLength[s];
        if (len <= FRootBits) {
            for (uint32_t k = Reverse(FCode[s], len); k < rootSize; k += 1u << len)
                FTable[k] = LeafEntry(s, len);
        } else {
            const uint32_t k = Reverse(FCode[s] >> (len - FRootBits), FRootBits);
            subBits[k] = static_cast<uint8_t>(std::max<int>(subBits[k], len - FRootBits));
        }
    }
    // Second-level tables, one per prefix that has longer codes, as wide as the longest.
    for (uint32_t k = 0; k < rootSize; ++k) {
        if (!subBits[k]) continue;
        const auto offset = static_cast<uint32_t>(FTable.size());
        FTable[k] = (offset << 16) | (static_cast<uint32_t>(subBits[k]) << 8) | Link;
        FTable.resize(FTable.size() + (size_t{1} << subBits[k]), 0);
    }
    for (int i = 0; i < count; ++i) {
        const uint8_t s = FSorted[static_cast<size_t>(i)];
        const int len = FLength[s];
        if (len <= FRootBits) continue;
        const int rest = len - FRootBits;
        const uint32_t link = FTable[Reverse(FCode[s] >> rest, FRootBits)];
        const uint32_t offset = link >> 16, size = 1u << ((link >> 8) & 0xFF);
        for (uint32_t k = Reverse(FCode[s] & ((1u << rest) - 1), rest); k < size; k += 1u << rest)
            FTable[offset + k] = LeafEntry(s, len);
    }
    return true;
}

// The table found no code in the bits at hand. Either they lead into an empty slot, or
// (only at the end of the input) they are the start of a code whose rest is missing.
// Walk the bits one at a time as the tree would: the first prefix that no code starts
// with is the empty slot.
int TSfTree::Miss(uint64_t Bits, int Count) const
{
    const int have = std::min(Count, FMaxLength);
    const auto bits = static_cast<uint32_t>(Bits);
    for (int k = 1; k <= have; ++k) {
        const uint32_t prefix = Reverse(bits & ((1u << k) - 1), k);
        bool reached = false;
        for (int i = 0; i < FCount && !reached; ++i) {
            const int len = FLength[static_cast<size_t>(i)];
            reached = len >= k &&
                      static_cast<uint32_t>(FCode[static_cast<size_t>(i)] >> (len - k)) == prefix;
        }
        if (!reached) return DecodeInvalid;
    }
    return Count < FMaxLength ? DecodeTruncated : DecodeInvalid;
}

// The state of one entry's decoding, allocated at once with its input and output buffers.
class TExploder {
public:
    TExploder(TStream32& In, TEntrySink& Out, const TVariant& V)
        : FIn(In), FSink(Out), FOut(Out, V.WindowSize, FOutBuf.data()), FVariant(V)
    {
    }
    TDecodeResult Run();

private:
    template <bool LiteralTree, int LowBits>
    TDecodeResult Decode(uint8_t* Out);
    TDecodeResult Invalid(uint8_t* Out)
    {
        FSink.Fail(E_AMBIGUOUSTREE);
        return FOut.Finish(Out, TDecodeResult::BadData);
    }
    // The input ended before the data did. Without a declared size, the input's end is
    // the data's end.
    TDecodeResult Ended(uint8_t* Out)
    {
        return FOut.Finish(Out, FSink.Expected() < 0 ? TDecodeResult::Done
                                                     : TDecodeResult::Truncated);
    }
    TDecodeResult Failed(uint8_t* Out, int Code)
    {
        return Code == DecodeInvalid ? Invalid(Out) : Ended(Out);
    }

    std::array<uint8_t, TLegacyOutput::BufferSize(8192)> FOutBuf;
    TBitReader FIn;
    TBits FBits; // for the trees, then taken over by the decoding loop
    TEntrySink& FSink;
    TLegacyOutput FOut;
    const TVariant& FVariant;
    TSfTree FLiterals, FLengths, FDistances;
};

TDecodeResult TExploder::Run()
{
    uint8_t* out = FOut.Start();
    TStep step = TStep::Ok;
    if (FVariant.LiteralTree) step = FLiterals.Read(FIn, FBits, 256, LiteralRootBits);
    if (step == TStep::Ok) step = FLengths.Read(FIn, FBits, 64, OtherRootBits);
    if (step == TStep::Ok) step = FDistances.Read(FIn, FBits, 64, OtherRootBits);
    if (step == TStep::Invalid) return Invalid(out);
    if (step == TStep::Truncated) return FOut.Finish(out, TDecodeResult::Truncated);
    // Each variant has its own loop, with its field widths as constants.
    if (FVariant.LiteralTree)
        return FVariant.LowDistanceBits == 7 ? Decode<true, 7>(out) : Decode<true, 6>(out);
    return FVariant.LowDistanceBits == 7 ? Decode<false, 7>(out) : Decode<false, 6>(out);
}

template <bool LiteralTree, int LowBits>
TDecodeResult TExploder::Decode(uint8_t* out)
{
    constexpr uint32_t minMatch = LiteralTree ? 3 : 2;
    TBits in = FBits;
    const auto literals = FLiterals.Lookup<LiteralRootBits>();
    const auto lengths = FLengths.Lookup<OtherRootBits>();
    const auto distances = FDistances.Lookup<OtherRootBits>();
    uint8_t* stop = FOut.Stop();
    for (;;) {
        if (out >= stop) {
            out = FOut.Drain(out);
            if (!FOut.Wants()) break;
            stop = FOut.Stop();
        }
        // One refill holds a whole literal or match (at most 1 + 7 + 16 + 16 + 8 bits):
        // past this point the input is short only at its end.
        FIn.Refill(in);
        if (in.Count < 1) return Ended(out);
        if (in.Take(1)) {
            int literal;
            if constexpr (LiteralTree) {
                literal = literals.Decode(in);
                if (literal < 0) return Failed(out, FLiterals.Miss(in.Buf, in.Count));
            } else {
                if (in.Count < 8) return Ended(out);
                literal = static_cast<int>(in.Take(8));
            }
            *out++ = static_cast<uint8_t>(literal);
            continue;
        }
        if (in.Count < LowBits) return Ended(out);
        const uint32_t low = in.Take(LowBits);
        const int high = distances.Decode(in);
        if (high < 0) return Failed(out, FDistances.Miss(in.Buf, in.Count));
        int length = lengths.Decode(in);
        if (length < 0) return Failed(out, FLengths.Miss(in.Buf, in.Count));
        if (length == LongLengthSymbol) {
            if (in.Count < 8) return Ended(out);
            length += static_cast<int>(in.Take(8));
        }
        // Distance 0 is the byte last produced, which CopyBack counts as 1. The whole match
        // is written; the output hands on no more than the declared size.
        const uint32_t n = static_cast<uint32_t>(length) + minMatch;
        CopyBack(out, n, ((static_cast<uint32_t>(high) << LowBits) | low) + 1);
        out += n;
    }
    return FOut.Finish(out, TDecodeResult::Done);
}

} // namespace

TDecodeResult Explode(TStream32& In, TEntrySink& Out, const TEntryInfo& Info)
{
    // An empty entry has no data to read, not even its trees.
    if (!Out.Wants()) return TDecodeResult::Done;
    const TVariant& v =
        Variants[(Info.Flags & FlagBigWindow ? 1u : 0u) | (Info.Flags & FlagLiteralTree ? 2u : 0u)];
    const auto state = std::make_unique<TExploder>(In, Out, v);
    return state->Run();
}

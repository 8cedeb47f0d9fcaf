// qvrInflateWhole: the inflate engine's whole-buffer decoder.
//
// When a stream's compressed bytes are all in memory and its output fits one buffer, the
// output buffer is the history: a match copies from earlier in the same buffer, so there is
// no window to keep, no flush and no state to save between calls. The decoder is a plain
// loop over blocks with the bit buffer and both pointers in locals, and it shares the
// resumable engine's table builder (qvrInflateTrees.cpp), word copies and the decoding
// loop of compressed blocks (qvrInflateLoop.h), with its table layout.
//
// Bit buffer: as in the fast path, a 64-bit word filled least significant bit first; a
// refill loads eight bytes at once and advances by the whole bytes that fitted. Within the
// last eight input bytes a refill takes one byte at a time and, past the end, counts the
// zero bytes it pretends to read (Phantom); the stream is cut short exactly when a decoded
// bit came from one of them, which is checked where it matters (before a stored block's
// bytes, after every slow refill and at the end), not per symbol.
//
// Output: the shared loop runs while at least FastInLoop input bytes are left and the
// output has not reached its end; it copies matches in words and writes up to three literals
// without a room test, which the caller's InflateWholeSlack bytes past the end absorb.
// Near the end of the input a slower loop refills before every symbol. Either way a
// match longer than the room left, or literals past the end, end the call with
// InflateBufError: the stream makes more than the caller allowed.

#include "qvrInflateLoop.h"

static_assert(InflateWholeSlack >= CopyOverrun, "a word copy may run CopyOverrun - 1 bytes on");

namespace {

using namespace InflateLoopParts;

// The decoder's locals, kept in one place so that the block and symbol steps below can be
// small functions the compiler inlines back into one loop.
struct TWhole {
    const uint8_t* In;
    const uint8_t* InEnd;
    uint8_t* const Out0;
    uint8_t* Out;
    uint8_t* const OutEnd;
    uint64_t Hold = 0;
    uint32_t Bits = 0;
    uint32_t Phantom = 0;  // zero bytes taken past the end of the input

    // At least 56 bits held afterwards.
    void Refill()
    {
        if (InEnd - In >= 8) {
            Hold |= LoadLE64(In) << Bits;
            In += (63 - Bits) >> 3;
            Bits |= 56;
            return;
        }
        while (Bits <= 56) {
            if (In < InEnd)
                Hold |= uint64_t{*In++} << Bits;
            else
                Phantom++;
            Bits += 8;
        }
    }
    // Whether a bit already used came from past the end of the input.
    bool Overrun() const { return Bits < 8 * Phantom; }
    void Drop(uint32_t n)
    {
        Hold >>= n;
        Bits -= n;
    }
    uint32_t Take(uint32_t n)
    {
        const uint32_t v = static_cast<uint32_t>(Hold) & ((1u << n) - 1);
        Drop(n);
        return v;
    }
    int32_t Stored();
    int32_t Dynamic(const THuffEntry*& lt, const THuffEntry*& dt, THuffEntry* space);
    template <bool Bextr>
    InflateInline int32_t Codes(const THuffEntry* lt, const THuffEntry* dt);
    InflateInline int32_t CodesTail(const THuffEntry* lt, const THuffEntry* dt);
};

int32_t TWhole::Stored()
{
    Drop(Bits & 7);  // to the byte boundary
    if (Bits < 32)
        Refill();
    const uint32_t len = Take(16);
    const uint32_t nlen = Take(16);
    if (Overrun())
        return InflateBufError;
    if (len != (~nlen & 0xFFFF))
        return InflateDataError;
    // The bit buffer holds whole bytes now; the block's bytes start with the first of them.
    In -= (Bits >> 3) - Phantom;
    Hold = 0;
    Bits = 0;
    Phantom = 0;
    if (static_cast<size_t>(InEnd - In) < len)
        return InflateBufError;
    if (OutEnd - Out < static_cast<ptrdiff_t>(len))
        return InflateBufError;
    std::memcpy(Out, In, len);
    In += len;
    Out += len;
    return InflateOk;
}

int32_t TWhole::Dynamic(const THuffEntry*& lt, const THuffEntry*& dt, THuffEntry* space)
{
    const TInflateVariant& v = InflateVariant(false);
    Refill();
    const uint32_t t = Take(14);
    if ((t & 0x1F) > v.MaxHeaderCount || ((t >> 5) & 0x1F) > v.MaxHeaderCount)
        return InflateDataError;
    const uint32_t nl = 257 + (t & 0x1F);
    const uint32_t nd = 1 + ((t >> 5) & 0x1F);
    const uint32_t ncl = 4 + (t >> 10);
    uint16_t lens[MaxLitLenCodes + MaxDistCodes];
    for (uint32_t i = 0; i < ncl; i++) {
        if (Bits < 3)
            Refill();
        lens[CodeLenOrder[i]] = static_cast<uint16_t>(Take(3));
    }
    for (uint32_t i = ncl; i < 19; i++)
        lens[CodeLenOrder[i]] = 0;
    uint32_t bbits;
    const THuffEntry* bt;
    if (InflateTreesBits(lens, bbits, bt, space) != InflateOk)
        return InflateDataError;

    const uint32_t n = nl + nd;
    const uint32_t bmask = (1u << bbits) - 1;
    for (uint32_t i = 0; i < n;) {
        if (Bits < CodeLenRootBits + 7) {
            Refill();
            if (Overrun())
                return InflateBufError;
        }
        const THuffEntry e = bt[Hold & bmask];
        if (e.Op() != OpLiteral)  // a hole of a one-code code-length code
            return InflateDataError;
        Drop(e.Bits());
        const uint32_t sym = e.Base();
        if (sym < 16) {
            lens[i++] = static_cast<uint16_t>(sym);
            continue;
        }
        // 16: the previous length 3..6 times; 17: 3..10 zeros; 18: 11..138 zeros.
        const uint32_t rep = sym == 16 ? 3 + Take(2) : sym == 17 ? 3 + Take(3) : 11 + Take(7);
        if (i + rep > n || (sym == 16 && i == 0))
            return InflateDataError;
        const uint16_t len = sym == 16 ? lens[i - 1] : 0;
        for (uint32_t k = 0; k < rep; k++)
            lens[i++] = len;
    }
    uint32_t lbits, dbits;
    if (InflateTreesDynamic(v, nl, nd, lens, lbits, dbits, lt, dt, space) !=
        InflateOk)
        return InflateDataError;
    return InflateOk;
}

// The codes of one compressed block while input and room are plentiful; hands over to
// CodesTail near the end of the input. InflateStreamEnd at the block's end.
template <bool Bextr>
InflateInline int32_t TWhole::Codes(const THuffEntry* lt, const THuffEntry* dt)
{
    if (InEnd - In < static_cast<ptrdiff_t>(FastInLoop))
        return CodesTail(lt, dt);
    // Literals may run past the end into the slack; the output is checked at the block's
    // end.
    TInflateRun run{In, InEnd - FastInLoop, Out, OutEnd, OutEnd, Out0, Hold, Bits, 0, 0};
    const int32_t r = InflateLoop<Bextr, false>(run, lt, dt);
    In = run.In;
    Out = run.Out;
    Hold = run.Hold;
    Bits = run.Bits;
    // The loop hands over with Phantom still zero, so the bits above the count that a word
    // load left there are the true next input bits, as the tail's refills expect. A match
    // longer than the room left means more output than the caller allowed.
    if (r != InflateOk)
        return r;
    return CodesTail(lt, dt);
}

// The rest of a block, one symbol per refill, with the end of the input in view.
InflateInline int32_t TWhole::CodesTail(const THuffEntry* lt, const THuffEntry* dt)
{
    for (;;) {
        Refill();
        if (Overrun())
            return InflateBufError;
        uint32_t e = lt[Hold & LMask].V;
        if ((e & KindMask) == LinkKind) {
            Drop(e & 0xFF);
            e = SubEntry(lt, e, Hold);
        }
        if (e & LitFlag) {
            if (Out >= OutEnd)
                return InflateBufError;
            Drop(e & 0xFF);
            *Out++ = static_cast<uint8_t>(e >> 16);
            continue;
        }
        if ((e & KindMask) == EndKind) {
            Drop(e & 0xFF);
            return InflateStreamEnd;
        }
        if (e & KindMask)
            return InflateDataError;
        const uint32_t len = Value(e, Hold);
        Drop(e & 0xFF);
        Refill();
        e = dt[Hold & DMask].V;
        if ((e & DistKind) == DistLink) {
            Drop(e & 0xFF);
            e = SubEntry(dt, e, Hold);
        }
        if (e & DistKind)
            return InflateDataError;
        const uint32_t dist = Value(e, Hold);
        Drop(e & 0xFF);
        if (Overrun())
            return InflateBufError;
        if (dist > static_cast<size_t>(Out - Out0))
            return InflateDataError;
        if (static_cast<ptrdiff_t>(len) > OutEnd - Out)
            return InflateBufError;
        CopyBack(Out, len, dist);
        Out += len;
    }
}

template <bool Bextr>
InflateInline int32_t DecodeWhole(const uint8_t* In, size_t InLen, uint8_t* Out, size_t OutCap,
                                size_t& OutLen, size_t& InUsed)
{
    OutLen = 0;
    InUsed = 0;
    TWhole w{In, In + InLen, Out, Out, Out + OutCap};
    THuffEntry space[HuftSpace];
    bool last = false;
    do {
        w.Refill();
        if (w.Overrun())
            return InflateBufError;
        last = w.Take(1) != 0;
        const uint32_t type = w.Take(2);
        const THuffEntry* lt = nullptr;
        const THuffEntry* dt = nullptr;
        int32_t r = InflateOk;
        if (type == 0) {
            r = w.Stored();
        } else if (type == 3) {
            r = InflateDataError;
        } else {
            if (type == 1) {
                uint32_t lbits, dbits;
                InflateTreesFixed(false, lbits, dbits, lt, dt);
            } else {
                r = w.Dynamic(lt, dt, space);
            }
            if (r == InflateOk)
                r = w.Codes<Bextr>(lt, dt);
            if (r == InflateStreamEnd)
                r = w.Out <= w.OutEnd ? InflateOk : InflateBufError;
        }
        if (r != InflateOk)
            return r;
    } while (!last);
    if (w.Overrun())
        return InflateBufError;
    OutLen = static_cast<size_t>(w.Out - Out);
    InUsed = static_cast<size_t>(w.In - In) - ((w.Bits >> 3) - w.Phantom);
    return InflateStreamEnd;
}

using TWholeProc = int32_t (*)(const uint8_t*, size_t, uint8_t*, size_t, size_t&, size_t&);

int32_t WholePlain(const uint8_t* In, size_t InLen, uint8_t* Out, size_t OutCap,
                   size_t& OutLen, size_t& InUsed)
{
    return DecodeWhole<false>(In, InLen, Out, OutCap, OutLen, InUsed);
}

#ifdef UNSPOOL_INFLATE_BMI2
InflateBmi2Target int32_t WholeBmi2(const uint8_t* In, size_t InLen,
                                                       uint8_t* Out, size_t OutCap,
                                                       size_t& OutLen, size_t& InUsed)
{
    return DecodeWhole<true>(In, InLen, Out, OutCap, OutLen, InUsed);
}

#endif

}  // namespace

int32_t InflateWhole(const uint8_t* In, size_t InLen, uint8_t* Out, size_t OutCap,
                     size_t& OutLen, size_t& InUsed)
{
    // Chosen once, in a function-local static the language initialises thread-safely.
    static const TWholeProc proc = [] {
#ifdef UNSPOOL_INFLATE_BMI2
        if (InflateCpuHasBmi2())
            return &WholeBmi2;
#endif
        return &WholePlain;
    }();
    return proc(In, InLen, Out, OutCap, OutLen, InUsed);
}

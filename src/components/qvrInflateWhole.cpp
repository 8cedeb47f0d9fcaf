// qvrInflateWhole: the inflate engine's whole-buffer decoder.
//
// When a stream's compressed bytes are all in memory and its output fits one buffer, the
// output buffer is the history: a match copies from earlier in the same buffer, so there is
// no window to keep, no flush and no state to save between calls. The decoder is a plain
// loop over blocks with the bit buffer and both pointers in locals, and it shares the
// resumable engine's table builder (qvrInflateTrees.cpp) and word copies. Its tables count
// a length's or distance's extra bits with its code (BuildTotalBits): all of them are in
// the bit buffer whenever a code is, so one shift drops both. Its literal/length table
// keeps the kinds of entries in their top bits (BuildWideKinds), which lets the entry after
// a literal be looked up before the literal is known to be one.
//
// Bit buffer: as in the fast path, a 64-bit word filled least significant bit first; a
// refill loads eight bytes at once and advances by the whole bytes that fitted. Within the
// last eight input bytes a refill takes one byte at a time and, past the end, counts the
// zero bytes it pretends to read (Phantom); the stream is cut short exactly when a decoded
// bit came from one of them, which is checked where it matters (before a stored block's
// bytes, after every slow refill and at the end), not per symbol.
//
// Output: the main loop runs while at least FastInLoop input bytes are left and the output
// has not reached its end; it copies matches in words and writes up to three literals
// without a room test, which the caller's InflateWholeSlack bytes past the end absorb.
// Near the end of the input a slower loop refills before every symbol. Either way a
// match longer than the room left, or literals past the end, end the call with
// InflateBufError: the stream makes more than the caller allowed.

#include "qvrInflateInt.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define UNSPOOL_WHOLE_BMI2 1
#include <cpuid.h>
#endif
#if defined(UNSPOOL_WHOLE_BMI2) && defined(__x86_64__)
#define UNSPOOL_WHOLE_BEXTR 1
#endif

static_assert(InflateWholeSlack >= CopyOverrun, "a word copy may run CopyOverrun - 1 bytes on");

// The decoding loops are compiled twice, for the baseline processor and with BMI2, whose
// shifts by a register cost one instruction without touching the flags (the bit buffer
// shifts by a table entry's count for every symbol); InflateWhole picks one per process.
// The BMI2 build of a 64-bit target also takes the index of the entry after a literal with
// BMI1's BEXTR (see BuildWideKinds).
#ifdef __GNUC__
#define WholeInline inline __attribute__((always_inline))
#else
#define WholeInline inline
#endif

namespace {

// Literal/length entries have their kinds in the top bits (BuildWideKinds); distance
// entries keep theirs in Op.
constexpr uint32_t LitFlag = WideLiteral;
constexpr uint32_t KindMask = WideKindMask;
constexpr uint32_t LinkKind = WideLink;
constexpr uint32_t EndKind = WideEndBlock;
constexpr uint32_t DistKind = (OpLiteral | OpKindMask) << 8;
constexpr uint32_t DistLink = OpLink << 8;
constexpr uint32_t TableFlags = BuildTotalBits | BuildWideKinds;
constexpr uint32_t LMask = (1u << LitLenRootBits) - 1;
constexpr uint32_t DMask = (1u << DistRootBits) - 1;

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
    // A length or distance: its base plus the extra bits that follow its code, taken from
    // the bits as they were before the entry was dropped. Entries count code and extra bits
    // together and keep the code's own length where the others keep their Op
    // (BuildTotalBits), so the bit buffer drops both with one shift and the extra bits are
    // one mask and one shift away.
    static uint32_t Value(uint32_t e, uint64_t saved)
    {
        // Byte-sized counts, which BMI2's BZHI takes straight from the entry.
        const uint64_t both = saved & ((uint64_t{1} << static_cast<uint8_t>(e)) - 1);
        return (e >> 16) + static_cast<uint32_t>(both >> static_cast<uint8_t>(e >> 8));
    }
    // Follows a link to its sub-table; e is the root entry, in either layout (the offset
    // is below the wide kind bits, the width in the low bits of Op).
    static uint32_t SubEntry(const THuffEntry* t, uint32_t e, uint64_t hold)
    {
        const uint32_t at = (e >> 16) & ((WideEndBlock >> 16) - 1);
        return t[at + (static_cast<uint32_t>(hold) & ((1u << ((e >> 8) & 15)) - 1))].V;
    }

    int32_t Stored();
    int32_t Dynamic(const THuffEntry*& lt, const THuffEntry*& dt, THuffEntry* space);
    template <bool Bextr>
    WholeInline int32_t Codes(const THuffEntry* lt, const THuffEntry* dt);
    WholeInline int32_t CodesTail(const THuffEntry* lt, const THuffEntry* dt);
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
    if (InflateTreesDynamic(v, nl, nd, lens, lbits, dbits, lt, dt, space, TableFlags) !=
        InflateOk)
        return InflateDataError;
    return InflateOk;
}

// The codes of one compressed block while input and room are plentiful; hands over to
// CodesTail near the end of the input. InflateStreamEnd at the block's end.
template <bool Bextr>
WholeInline int32_t TWhole::Codes(const THuffEntry* lt, const THuffEntry* dt)
{
    if (InEnd - In < static_cast<ptrdiff_t>(FastInLoop))
        return CodesTail(lt, dt);
    // Locals rather than members: the compiler keeps them in registers across the copies,
    // and byte stores, which may alias anything, cannot force them back to memory.
    const uint8_t* in = In;
    const uint8_t* const inLast = InEnd - FastInLoop;
    uint8_t* out = Out;
    uint8_t* const out0 = Out0;
    uint8_t* const outEnd = OutEnd;
    uint64_t hold = Hold;
    uint8_t bits = static_cast<uint8_t>(Bits);
    int32_t r = InflateOk;
    // The count is a byte: an entry is dropped by subtracting all of it, whose low byte is
    // its Bits (at most 28, and never more than the bits held), and byte arithmetic
    // discards the rest without a mask on the path from one table load to the next. (The
    // masks below cost nothing: they tell the compiler the count is below 64.)
    auto refill = [&] {
        hold |= LoadLE64(in) << (bits & 63);
        in += (63 ^ (bits & 63)) >> 3;
        bits |= 56;
    };
    // Every entry is dropped as soon as it is loaded, whatever it turns out to be, so that
    // the next load can start at once; saved keeps the bits from before the drop, where a
    // length or distance finds its extra bits.
    uint64_t saved;
    auto drop = [&](uint32_t e) {
        saved = hold;
        hold >>= e & 63;
        bits = static_cast<uint8_t>(bits - e);
    };
    // The entry that follows e if e is a literal, loaded whatever e is (see BuildWideKinds):
    // with BEXTR its index comes from the bits before e's drop without waiting for it.
    auto next = [&](uint32_t e) {
#ifdef UNSPOOL_WHOLE_BEXTR
        if constexpr (Bextr) {
            uint64_t at;
            asm("bextr %2, %1, %0" : "=r"(at) : "r"(saved), "r"(uint64_t{e}));
            return lt[at].V;
        }
#endif
        static_cast<void>(e);
        return lt[hold & LMask].V;
    };
    // A pass starts with the bit buffer refilled (at least 56 bits) and the entry of its
    // first code loaded. The entry that starts the next pass, or a distance's, is loaded
    // from the bits at hand before the refill that follows it (at least 11 bits are always
    // left there), so the refill's load is never on the way from one entry to the next.
    // Whether a code is a literal or a length is the branch the processor guesses wrong
    // most often, so both entries that may follow it (a literal/length entry, a distance
    // entry) are loaded before that test: the right one is at hand whichever way it goes.
    // A pass refills at most twice, each refill loading eight bytes and advancing at most
    // seven. The tail loop takes over with Phantom still zero, so the bits above the count
    // that a word load left there are the true next input bits, as the tail's refills
    // expect.
    refill();
    uint32_t e = lt[hold & LMask].V;
    while (in <= inLast && out < outEnd) {
        drop(e);
        uint32_t ne = next(e);
        uint32_t de = dt[hold & DMask].V;
        if (e & LitFlag) {
            // Up to three root literals (11 bits each) per refill.
            uint8_t lit = static_cast<uint8_t>(e >> 16);
            e = ne;
            drop(e);
            ne = next(e);
            de = dt[hold & DMask].V;
            *out++ = lit;
            if (e & LitFlag) {
                lit = static_cast<uint8_t>(e >> 16);
                e = ne;
                drop(e);
                ne = next(e);
                de = dt[hold & DMask].V;
                *out++ = lit;
                if (e & LitFlag) {
                    lit = static_cast<uint8_t>(e >> 16);
                    e = ne;
                    refill();
                    *out++ = lit;
                    continue;
                }
            }
        }
        if (e & KindMask) {
            // Rare: a code longer than the root, the end of the block or no code at all.
            if ((e & KindMask) != LinkKind) {
                r = (e & KindMask) == EndKind ? InflateStreamEnd : InflateDataError;
                break;
            }
            e = SubEntry(lt, e, hold);
            drop(e);
            if (e & LitFlag) {
                const uint8_t lit = static_cast<uint8_t>(e >> 16);
                e = lt[hold & LMask].V;
                refill();
                *out++ = lit;
                continue;
            }
            if (e & KindMask) {
                r = (e & KindMask) == EndKind ? InflateStreamEnd : InflateDataError;
                break;
            }
            de = dt[hold & DMask].V;
        }
        // A length: at most 42 bits have gone since the refill (two literals, a linked
        // code and 5 extra bits), which leaves the 8 the distance entry was loaded from.
        // The distance takes at most 28 more and the next entry is loaded from the 11 after
        // it; a refill is needed only when fewer than that are held, which after a length
        // alone seldom happens.
        const uint32_t len = Value(e, saved);
        e = de;
        if (bits < 28 + LitLenRootBits)
            refill();
        drop(e);
        if (e & DistKind) {
            if ((e & DistKind) == DistLink) {
                e = SubEntry(dt, e, hold);
                drop(e);
            }
            if (e & DistKind) {
                r = InflateDataError;
                break;
            }
        }
        const uint32_t dist = Value(e, saved);
        if (dist > static_cast<size_t>(out - out0)) {
            r = InflateDataError;  // reaches back before the start of the data
            break;
        }
        if (static_cast<ptrdiff_t>(len) > outEnd - out) {
            r = InflateBufError;  // more output than the caller allowed
            break;
        }
        e = lt[hold & LMask].V;
        refill();
        CopyBack(out, len, dist);
        out += len;
    }
    In = in;
    Out = out;
    Hold = hold;
    Bits = bits;
    if (r != InflateOk)
        return r;
    return CodesTail(lt, dt);
}

// The rest of a block, one symbol per refill, with the end of the input in view.
WholeInline int32_t TWhole::CodesTail(const THuffEntry* lt, const THuffEntry* dt)
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
WholeInline int32_t DecodeWhole(const uint8_t* In, size_t InLen, uint8_t* Out, size_t OutCap,
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
                InflateTreesFixed(false, lbits, dbits, lt, dt, TableFlags);
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

#ifdef UNSPOOL_WHOLE_BMI2
__attribute__((target("bmi,bmi2"))) int32_t WholeBmi2(const uint8_t* In, size_t InLen,
                                                       uint8_t* Out, size_t OutCap,
                                                       size_t& OutLen, size_t& InUsed)
{
    return DecodeWhole<true>(In, InLen, Out, OutCap, OutLen, InUsed);
}

bool CpuHasBmi2()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    constexpr unsigned Bmi1 = 1u << 3, Bmi2 = 1u << 8;  // CPUID.(7,0):EBX
    return (b & Bmi1) != 0 && (b & Bmi2) != 0;
}
#endif

}  // namespace

int32_t InflateWhole(const uint8_t* In, size_t InLen, uint8_t* Out, size_t OutCap,
                     size_t& OutLen, size_t& InUsed)
{
    // Chosen once, in a function-local static the language initialises thread-safely.
    static const TWholeProc proc = [] {
#ifdef UNSPOOL_WHOLE_BMI2
        if (CpuHasBmi2())
            return &WholeBmi2;
#endif
        return &WholePlain;
    }();
    return proc(In, InLen, Out, OutCap, OutLen, InUsed);
}

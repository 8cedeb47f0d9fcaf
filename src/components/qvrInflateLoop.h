// qvrInflateLoop: the decoding loop of compressed blocks that the whole-buffer decoder
// (qvrInflateWhole.cpp) and the resumable engine's fast path (qvrInflateFast.cpp) share.
//
// The loop decodes into a flat buffer whose history lies wholly behind the write pointer:
// the whole-buffer decoder's output, or the resumable engine's window, which never wraps
// (see TInflateBlocks). Each caller hands it bounds that leave a margin of input and of
// room, and takes over again, in its own careful way, where the loop stops.
//
// Tables: the literal/length table is built with BuildTotalBits | BuildWideKinds, the
// distance table with BuildTotalBits (InflateLoopTables): all of a length's or distance's
// extra bits are in the bit buffer whenever its code is, so one shift drops both, and the
// entry after a literal can be looked up before the literal is known to be one.
//
// Bit buffer: a 64-bit word filled least significant bit first. A refill loads the next
// eight input bytes at once, shifted above the bits already held, and advances the input
// only by the whole bytes that fitted, so afterwards 56 to 63 bits are counted and the
// bits above the count are the true next input bits (a later refill ORs the same values
// into the same places); the word stays filled with true input bits as far as its top
// until entries are dropped from it.
#pragma once

#include "qvrInflateInt.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// The loops are compiled twice, for the baseline processor and with BMI2, whose shifts by
// a register cost one instruction without touching the flags (the bit buffer shifts by a
// table entry's count for every symbol); each caller picks one per process with
// InflateCpuHasBmi2. The BMI2 build of a 64-bit target also takes the index of the entry
// after a literal with BMI1's BEXTR (see BuildWideKinds).
#define UNSPOOL_INFLATE_BMI2 1
#define InflateBmi2Target __attribute__((target("bmi,bmi2")))
#endif
#if defined(UNSPOOL_INFLATE_BMI2) && defined(__x86_64__)
#define UNSPOOL_INFLATE_BEXTR 1
#endif

#ifdef __GNUC__
#define InflateInline inline __attribute__((always_inline))
#else
#define InflateInline inline
#endif

#ifdef UNSPOOL_INFLATE_BMI2
// Whether the processor has BMI1 and BMI2; asked once per process.
bool InflateCpuHasBmi2();
#endif

// The table layout the loop reads.
constexpr uint32_t InflateLoopTables = BuildTotalBits | BuildWideKinds;

// The loop's bounds and the registers it hands back.
struct TInflateRun {
    const uint8_t* In;      // next input byte
    const uint8_t* InLast;  // a pass starts only while In <= InLast: FastInLoop bytes
                            // before the input's end
    uint8_t* Out;           // next output byte
    uint8_t* OutStop;       // a pass starts only while Out < OutStop; it may write up to
                            // three literals from there on
    uint8_t* OutEnd;        // a match must end here at the latest; word copies may write
                            // CopyOverrun - 1 bytes further
    const uint8_t* Out0;    // the start of the history; every distance that reaches no
                            // further back is valid
    uint64_t Hold;          // bit buffer
    uint32_t Bits;          // bits counted in it, below 64
    uint32_t Len;           // a match that did not fit before OutEnd (InflateBufError)
    uint32_t Dist;
};

namespace InflateLoopParts {

// Literal/length entries have their kinds in the top bits (BuildWideKinds); distance
// entries keep theirs in Op.
constexpr uint32_t LitFlag = WideLiteral;
constexpr uint32_t KindMask = WideKindMask;
constexpr uint32_t LinkKind = WideLink;
constexpr uint32_t EndKind = WideEndBlock;
constexpr uint32_t DistKind = (OpLiteral | OpKindMask) << 8;
constexpr uint32_t DistLink = OpLink << 8;
constexpr uint32_t LMask = (1u << LitLenRootBits) - 1;
constexpr uint32_t DMask = (1u << DistRootBits) - 1;

// A length or distance: its base plus the extra bits that follow its code, taken from
// the bits as they were before the entry was dropped. Entries count code and extra bits
// together and keep the code's own length where the others keep their Op
// (BuildTotalBits), so the extra bits are one mask and one shift away.
inline uint32_t Value(uint32_t e, uint64_t saved)
{
    // Byte-sized counts, which BMI2's BZHI takes straight from the entry.
    const uint64_t both = saved & ((uint64_t{1} << static_cast<uint8_t>(e)) - 1);
    return (e >> 16) + static_cast<uint32_t>(both >> static_cast<uint8_t>(e >> 8));
}

// Follows a link to its sub-table; e is the root entry, in either layout (the offset is
// below the wide kind bits, the width in the low bits of Op).
inline uint32_t SubEntry(const THuffEntry* t, uint32_t e, uint64_t hold)
{
    const uint32_t at = (e >> 16) & ((WideEndBlock >> 16) - 1);
    return t[at + (static_cast<uint32_t>(hold) & ((1u << ((e >> 8) & 15)) - 1))].V;
}

}  // namespace InflateLoopParts

// Decodes the codes of one block while a pass may start, from a bit buffer of fewer than
// 64 bits and with at least 8 input bytes at In. Deflate64 says which variant's tables lt
// and dt are: its distances take one extra bit more. Returns InflateOk when a bound stopped it,
// InflateStreamEnd after the end-of-block code, InflateDataError for an invalid code or a
// distance beyond the history, and InflateBufError for a match that does not fit before
// OutEnd: its codes are consumed and it is in Len and Dist. On return the bits above the
// count are the true next input bits, as after a refill.
template <bool Bextr, bool Deflate64>
InflateInline int32_t InflateLoop(TInflateRun& R, const THuffEntry* lt, const THuffEntry* dt)
{
    // The most bits a distance takes, code and extra bits.
    constexpr uint32_t DistBits = MaxCodeBits + (Deflate64 ? 14 : 13);
    using namespace InflateLoopParts;
    // Locals rather than members: the compiler keeps them in registers across the copies,
    // and byte stores, which may alias anything, cannot force them back to memory.
    const uint8_t* in = R.In;
    const uint8_t* const inLast = R.InLast;
    uint8_t* out = R.Out;
    uint8_t* const outStop = R.OutStop;
    uint8_t* const outEnd = R.OutEnd;
    const uint8_t* const out0 = R.Out0;
    uint64_t hold = R.Hold;
    uint8_t bits = static_cast<uint8_t>(R.Bits);
    int32_t r = InflateOk;
    // The count is a byte: an entry is dropped by subtracting all of it, whose low byte is
    // its Bits (at most 31, and never more than the bits held), and byte arithmetic
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
#ifdef UNSPOOL_INFLATE_BEXTR
        if constexpr (Bextr) {
            uint64_t at;
            asm("bextr %2, %1, %0" : "=r"(at) : "r"(saved), "r"(uint64_t{e}));
            return lt[at].V;
        }
#endif
        static_cast<void>(e);
        return lt[hold & LMask].V;
    };
    // A pass starts with the bit buffer refilled (at least 56 bits counted, 64 true) and
    // the entry of its first code loaded. The entry that starts the next pass, or a
    // distance's, is loaded from the bits at hand before the refill that follows it (at
    // least 11 true bits are always left there), so the refill's load is never on the way
    // from one entry to the next. Whether a code is a literal or a length is the branch the
    // processor guesses wrong most often, so both entries that may follow it (a
    // literal/length entry, a distance entry) are loaded before that test: the right one is
    // at hand whichever way it goes. A pass refills at most twice, each refill loading
    // eight bytes and advancing at most seven: FastInLoop bytes keep both in bounds.
    refill();
    uint32_t e = lt[hold & LMask].V;
    while (in <= inLast && out < outStop) {
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
        // A length: at most 53 bits have gone since the refill (two literals, a linked
        // code and 16 extra bits, the longest a Deflate64 length has; Deflate's take 5),
        // which leaves 11 true bits for the distance entry. The distance takes at most
        // DistBits more and the next entry is loaded from the 11 after it; a refill is
        // needed only when fewer than that are counted, which after a length alone seldom
        // happens.
        const uint32_t len = Value(e, saved);
        e = de;
        if (bits < DistBits + LitLenRootBits)
            refill();
        drop(e);
        if (e & DistKind) [[unlikely]] {
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
            R.Len = len;  // the caller decides what a match beyond the room means
            R.Dist = dist;
            r = InflateBufError;
            break;
        }
        e = lt[hold & LMask].V;
        refill();
        CopyBack(out, len, dist);
        out += len;
    }
    R.In = in;
    R.Out = out;
    R.Hold = hold;
    R.Bits = bits;
    return r;
}

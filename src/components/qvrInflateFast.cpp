// qvrInflateFast: the inflate engine's fast path.
//
// While plenty of input and window room are at hand, whole symbols are decoded from local
// copies of the bit buffer and pointers, without saving state after each step.
//
// Bit buffer: a 64-bit word filled least significant bit first. A refill loads the next
// eight input bytes at once, shifted above the bits already held, and advances the input
// only by the whole bytes that fitted, so afterwards 56 to 63 bits are counted and the
// bits above the count are the true next input bits (a later refill ORs the same values
// into the same places). One refill covers a literal/length code with its extra bits
// (at most 15 + 16 bits for Deflate64) and a second one, taken only when needed, the
// distance code and its extra bits (at most 15 + 14). A load never reaches past the input
// the caller handed over: see FastInLoop.
//
// Window: copies run in 8- or 16-byte words and may write up to CopyOverrun - 1 bytes
// past the match. That is safe only where those bytes are neither unflushed output nor
// history still reachable by a distance: the window buffer is WinSlack bytes longer than
// the history, and a word copy is used only when the match plus that overrun fits the
// room. Near the end of the room matches are copied exactly, and a match longer than the
// room (only Deflate64 has them) is handed to the slow path's Copy state.

#include "qvrInflateInt.h"

void CopyMatchExact(uint8_t* Q, uint32_t Len, uint32_t Dist, uint8_t* Window, uint8_t* End)
{
    size_t back = static_cast<size_t>(Q - Window);
    size_t left = Len;
    while (left > 0) {
        size_t n = left;
        if (Dist > back) {
            // The source starts in the older bytes before the window's end. It is ahead
            // of Q, so a forward copy reads every byte before it could be overwritten:
            // memmove gives the same result.
            const uint8_t* src = End - (Dist - back);
            if (n > static_cast<size_t>(End - src))
                n = static_cast<size_t>(End - src);
            std::memmove(Q, src, n);
        } else {
            // Behind Q: copy what does not overlap, and since the output repeats with
            // period Dist, each copied run doubles the distance the next one may use.
            const uint8_t* src = Q - Dist;
            uint8_t* const end = Q + n;
            uint8_t* d = Q;
            while (d < end) {
                size_t m = static_cast<size_t>(d - src);
                if (m > static_cast<size_t>(end - d))
                    m = static_cast<size_t>(end - d);
                std::memcpy(d, src, m);
                d += m;
            }
        }
        Q += n;
        back += n;
        left -= n;
    }
}

int32_t InflateFast(TInflateBlocks& S, TInflateStream& Z)
{
    constexpr uint32_t Lit = OpLiteral << 8;
    constexpr uint32_t Kind = OpKindMask << 8;
    constexpr uint32_t Link = OpLink << 8;
    constexpr uint32_t End = OpEndBlock << 8;

    TInflateCodes& c = S.Codes;
    const uint8_t* in = Z.NextIn;
    const uint8_t* const inStart = in;
    const uint8_t* const inLast = in + (Z.AvailIn - FastInLoop);
    uint8_t* const window = S.Window;
    uint8_t* q = S.Write;
    uint8_t* const qStart = q;
    uint8_t* const lim = q < S.Read ? S.Read - 1 : S.End;  // first byte that may not change
    uint64_t hold = S.BitBuf;
    uint32_t bits = S.BitCnt;
    const THuffEntry* const lt = c.LTree;
    const THuffEntry* const dt = c.DTree;
    constexpr uint32_t lmask = (1u << LitLenRootBits) - 1;  // the tables' full root widths
    constexpr uint32_t dmask = (1u << DistRootBits) - 1;
    // Distances up to distOk are valid wherever q stands; longer ones are checked against
    // the history written so far, which grows with q.
    const size_t distOk = S.WHave;
    int32_t result = InflateOk;
    c.Mode = cmStart;

    auto refill = [&] {
        hold |= LoadLE64(in) << bits;
        in += (63 - bits) >> 3;
        bits |= 56;
    };
    auto drop = [&](uint32_t n) {
        hold >>= n;
        bits -= n;
    };

    // Each pass starts with the bit buffer refilled and the entry of the next code loaded,
    // so that the load overlaps the previous match's copy. That entry is loaded from the
    // bits at hand before the refill (at least LitLenRootBits are left wherever it is), so
    // the refill's own load is not on the way from one table load to the next. A pass
    // refills at most twice, so FastInLoop bytes at its start keep both loads in bounds;
    // the first refill here is covered by the extra bytes FastInMin asks for, which also
    // make the first test below pass and the call decode at least one symbol.
    refill();
    uint32_t e = lt[hold & lmask].V;
    while (in <= inLast && q + 3 <= lim) {
        if (e & Lit) {
            // Literals come in runs; up to three fit one refill and the room check.
            drop(e & 0xFF);
            *q++ = static_cast<uint8_t>(e >> 16);
            e = lt[hold & lmask].V;
            if (e & Lit) {
                drop(e & 0xFF);
                *q++ = static_cast<uint8_t>(e >> 16);
                e = lt[hold & lmask].V;
                if (e & Lit) {
                    drop(e & 0xFF);
                    *q++ = static_cast<uint8_t>(e >> 16);
                    e = lt[hold & lmask].V;
                    refill();
                    continue;
                }
            }
        }
        if ((e & Kind) == Link) {
            drop(e & 0xFF);
            e = lt[(e >> 16) + (static_cast<uint32_t>(hold) & ((1u << ((e >> 8) & 15)) - 1))].V;
            if (e & Lit) {
                drop(e & 0xFF);
                *q++ = static_cast<uint8_t>(e >> 16);
                e = lt[hold & lmask].V;
                refill();
                continue;
            }
        }
        if (e & Kind) {
            if ((e & Kind) == End) {
                drop(e & 0xFF);
                c.Mode = cmWash;
                result = InflateStreamEnd;
            } else {
                c.Mode = cmBadCode;
                result = InflateDataError;
            }
            break;
        }

        // A length, then its distance. At least 34 bits are held here (two literals of at
        // most 11 bits may have gone), enough for the length code and its extra bits.
        uint32_t extra = (e >> 8) & 0x1F;
        const uint32_t len =
            (e >> 16) + (static_cast<uint32_t>(hold >> (e & 0xFF)) & ExtraMask[extra]);
        drop((e & 0xFF) + extra);
        if (bits < MaxCodeBits + 14 + LitLenRootBits)
            refill();
        e = dt[hold & dmask].V;
        if ((e & Kind) == Link) {
            drop(e & 0xFF);
            e = dt[(e >> 16) + (static_cast<uint32_t>(hold) & ((1u << ((e >> 8) & 15)) - 1))].V;
        }
        if (e & (Lit | Kind)) {
            c.Mode = cmBadCode;
            result = InflateDataError;
            break;
        }
        extra = (e >> 8) & 0x1F;
        const uint32_t dist =
            (e >> 16) + (static_cast<uint32_t>(hold >> (e & 0xFF)) & ExtraMask[extra]);
        drop((e & 0xFF) + extra);
        if (dist > distOk &&
            (dist > S.WSize || dist > S.WHave + static_cast<size_t>(q - qStart))) {
            c.Mode = cmBadCode;  // reaches back before the start of the data
            result = InflateDataError;
            break;
        }

        const size_t room = static_cast<size_t>(lim - q);
        if (len + CopyOverrun > room) {
            if (len > room) {
                c.Len = len;
                c.Dist = dist;
                c.Mode = cmCopy;
                break;
            }
            CopyMatchExact(q, len, dist, window, S.End);
        } else {
            e = lt[hold & lmask].V;
            refill();
            if (dist <= static_cast<size_t>(q - window)) {
                CopyBack(q, len, dist);
            } else {
                // The source starts before the window's end, at least WinSlack bytes
                // ahead of q; it may run on from the window's start.
                uint8_t* const wend = S.End;
                const size_t back = static_cast<size_t>(q - window);
                const uint8_t* src = wend - (dist - back);
                const size_t n = static_cast<size_t>(wend - src);
                if (len <= n) {
                    CopyWords16(q, src, len);
                } else {
                    CopyWords16(q, src, n);
                    CopyBack(q + n, len - n, dist);
                }
            }
            q += len;
            continue;
        }
        q += len;
        e = lt[hold & lmask].V;
        refill();
    }

    // Give back the whole bytes the bit buffer holds, but never more than this call took
    // from the current input.
    uint32_t give = bits >> 3;
    const size_t took = static_cast<size_t>(in - inStart);
    if (give > took)
        give = static_cast<uint32_t>(took);
    in -= give;
    bits -= give * 8;
    hold &= (uint64_t{1} << bits) - 1;

    const uint32_t used = static_cast<uint32_t>(in - inStart);
    Z.NextIn = in;
    Z.AvailIn -= used;
    Z.TotalIn += used;
    S.BitBuf = hold;
    S.BitCnt = bits;
    S.Write = q;
    const size_t have = S.WHave + static_cast<size_t>(q - qStart);
    S.WHave = static_cast<uint32_t>(have < S.WSize ? have : S.WSize);
    return result;
}

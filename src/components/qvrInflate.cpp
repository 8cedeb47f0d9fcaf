// qvrInflate: the inflate engine's stream, block and code levels.
//
// Deflate data (RFC 1951) is a series of blocks, each starting with three bits: a
// last-block flag and a type. Stored blocks (type 0) go to the next byte boundary and give
// LEN and its complement NLEN, then LEN raw bytes. Compressed blocks code literals,
// lengths (3..258; Deflate64: up to 65538) followed by a distance back into the output,
// and an end-of-block symbol, with two Huffman codes: the fixed ones (type 1) or ones
// described in the block header (type 2) by HLIT, HDIST, HCLEN and a code-length code.
// Type 3 is invalid. RFC 1950 optionally wraps the data in a method byte, a flag byte and
// an Adler-32 trailer, all most significant byte first.
//
// Every level is a state machine whose states wait for input bits or window room; when
// either runs out the level saves where it stands and returns, and the next call carries
// on. Decoded bytes go into a window first (matches copy from there) and are flushed to
// the caller's buffer from it; the window is flat, its history moved back to its start
// when its room runs short. Whole symbols are decoded by InflateFast while enough input
// and room are at hand; the states below handle the rest, one bit-buffer byte at a time,
// so the engine can stop anywhere.

#include "qvrInflateInt.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

constexpr uint64_t Mask(uint32_t n) { return (uint64_t{1} << n) - 1; }

// ---- bit buffer ---------------------------------------------------------------------

// Pulls input bytes until Count bits are held. False when the input ran out first; every
// byte taken turns a pending "no progress" into progress.
bool NeedBits(TInflateBlocks& s, TInflateStream& z, int32_t& r, uint32_t count)
{
    while (s.BitCnt < count) {
        if (z.AvailIn == 0)
            return false;
        r = InflateOk;
        s.BitBuf |= uint64_t{*z.NextIn++} << s.BitCnt;
        z.AvailIn--;
        z.TotalIn++;
        s.BitCnt += 8;
    }
    return true;
}

void DropBits(TInflateBlocks& s, uint32_t n)
{
    s.BitBuf >>= n;
    s.BitCnt -= n;
}

// Looks up the entry for the next code in Tree (Need index bits), pulling bytes only
// until the entry's own code is complete: missing high bits read as zero, and any entry
// whose code fits the bits held is the right one. So a symbol takes only its own bytes.
bool LookUp(TInflateBlocks& s, TInflateStream& z, int32_t& r, const THuffEntry* tree,
            uint32_t need, THuffEntry& e)
{
    for (;;) {
        e = tree[s.BitBuf & Mask(need)];
        if (e.Bits() <= s.BitCnt)
            return true;
        if (!NeedBits(s, z, r, s.BitCnt + 8))
            return false;
    }
}

// ---- window -----------------------------------------------------------------------------

size_t Room(const TInflateBlocks& s) { return static_cast<size_t>(s.End - s.Write); }

// The bytes behind Write that a distance may reach.
size_t History(const TInflateBlocks& s)
{
    const size_t have = static_cast<size_t>(s.Write - s.Window);
    return have < s.WSize ? have : s.WSize;
}

// Copies decoded bytes from Read on to the caller's buffer, as many as fit. A pending
// "no progress" becomes progress when anything was copied.
int32_t InflateFlush(TInflateBlocks& s, TInflateStream& z, int32_t r)
{
    size_t n = static_cast<size_t>(s.Write - s.Read);
    if (n > z.AvailOut)
        n = z.AvailOut;
    if (n == 0)
        return r;
    if (r == InflateBufError)
        r = InflateOk;
    std::memcpy(z.NextOut, s.Read, n);
    if (s.CheckFunc)
        z.Adler = s.Check = s.CheckFunc(s.Check, s.Read, static_cast<uint32_t>(n));
    z.NextOut += n;
    z.AvailOut -= static_cast<uint32_t>(n);
    z.TotalOut += static_cast<int64_t>(n);
    s.Read += n;
    return r;
}

// Once everything is flushed, moves the history to the window's start, which leaves
// WinRun bytes of room at least.
void SlideWindow(TInflateBlocks& s)
{
    const size_t keep = History(s);
    if (s.Read != s.Write || s.Write - keep == s.Window)
        return;
    std::memmove(s.Window, s.Write - keep, keep);
    s.Write = s.Window + keep;
    s.Read = s.Write;
}

// Makes at least one byte of room, flushing and sliding if need be. False when the caller
// must drain output before decoding can go on.
bool MakeRoom(TInflateBlocks& s, TInflateStream& z, int32_t& r)
{
    if (Room(s) != 0)
        return true;
    r = InflateFlush(s, z, r);
    SlideWindow(s);
    return Room(s) != 0;
}

// ---- code level -----------------------------------------------------------------------

void InitCodes(TInflateCodes& c, uint32_t lbits, uint32_t dbits, const THuffEntry* ltree,
               const THuffEntry* dtree)
{
    c = TInflateCodes{};
    c.Mode = cmStart;
    c.LBits = static_cast<uint8_t>(lbits);
    c.DBits = static_cast<uint8_t>(dbits);
    c.LTree = ltree;
    c.DTree = dtree;
}

// Decodes the current block's codes until its end (InflateStreamEnd), an error, or until
// input or room runs out. The slow states pull input one byte at a time and only as far as
// the code at hand needs: a length's or distance's entry is taken once its code and its
// extra bits are all held.
int32_t InflateCodes(TInflateBlocks& s, TInflateStream& z, int32_t r)
{
    TInflateCodes& c = s.Codes;
    THuffEntry e;
    for (;;) {
        switch (c.Mode) {
        case cmStart:
            // A short room is made long before the fast path runs, if the caller has
            // taken what is decoded: the loop then runs for a whole window's worth.
            if (Room(s) < s.WSize) {
                r = InflateFlush(s, z, r);
                SlideWindow(s);
            }
            if (Room(s) >= FastOutMin && z.AvailIn >= FastInMin && s.FullWindow) {
                InflateFast(s, z);
                r = InflateOk;  // the fast path always decodes a symbol
                break;          // on in the state it left
            }
            c.Tree = c.LTree;
            c.Root = c.LTree;
            c.Need = c.LBits;
            c.Mode = cmLen;
            [[fallthrough]];

        case cmLen:
            if (!LookUp(s, z, r, c.Tree, c.Need, e))
                return InflateFlush(s, z, r);
            if (e.V & WideLiteral) {
                DropBits(s, e.Bits());
                c.Lit = static_cast<uint8_t>(e.Base());
                c.Mode = cmLit;
                break;
            }
            switch (e.V & WideKindMask) {
            case 0:
                // The code's own length is in Op, its extra bits above it.
                c.Len = e.Base() + static_cast<uint32_t>((s.BitBuf & Mask(e.Bits())) >> e.Op());
                DropBits(s, e.Bits());
                c.Tree = c.DTree;
                c.Root = c.DTree;
                c.Need = c.DBits;
                c.Mode = cmDist;
                break;
            case WideLink:
                DropBits(s, e.Bits());
                c.Need = e.Op() & 15;
                c.Tree = c.Root + (e.Base() & ((WideEndBlock >> 16) - 1));
                break;
            case WideEndBlock:
                DropBits(s, e.Bits());
                c.Mode = cmEnd;
                break;
            default:
                c.Mode = cmBadCode;
                break;
            }
            break;

        case cmDist:
            if (!LookUp(s, z, r, c.Tree, c.Need, e))
                return InflateFlush(s, z, r);
            if ((e.Op() & (OpLiteral | OpKindMask)) == 0) {
                c.Dist = e.Base() + static_cast<uint32_t>((s.BitBuf & Mask(e.Bits())) >> e.Op());
                DropBits(s, e.Bits());
                // History is at most the window size: this also rejects distances that a
                // window smaller than 32 KB cannot hold.
                c.Mode = c.Dist > History(s) ? cmBadCode : cmCopy;
            } else if ((e.Op() & OpKindMask) == OpLink && !(e.Op() & OpLiteral)) {
                DropBits(s, e.Bits());
                c.Need = e.Op() & 15;
                c.Tree = c.Root + e.Base();
            } else {
                c.Mode = cmBadCode;
            }
            break;

        case cmCopy:
            while (c.Len != 0) {
                if (!MakeRoom(s, z, r))
                    return InflateFlush(s, z, r);
                size_t n = Room(s);
                if (n > c.Len)
                    n = c.Len;
                CopyMatchExact(s.Write, static_cast<uint32_t>(n), c.Dist);
                s.Write += n;
                c.Len -= static_cast<uint32_t>(n);
            }
            c.Mode = cmStart;
            break;

        case cmLit:
            if (!MakeRoom(s, z, r))
                return InflateFlush(s, z, r);
            *s.Write++ = c.Lit;
            c.Mode = cmStart;
            break;

        case cmEnd:
            return InflateStreamEnd;

        case cmBadCode:
            return InflateFlush(s, z, InflateDataError);
        }
    }
}

// ---- block level ----------------------------------------------------------------------

void BlocksReset(TInflateBlocks& s)
{
    s.Mode = bmType;
    s.Last = false;
    s.BitBuf = 0;
    s.BitCnt = 0;
    s.Read = s.Window;
    s.Write = s.Window;
    s.Codes.Mode = cmStart;
    s.Check = s.CheckFunc ? s.CheckFunc(0, nullptr, 0) : 0;
}

int32_t InflateBlocks(TInflateBlocks& s, TInflateStream& z, int32_t r)
{
    const TInflateVariant& v = *s.Variant;
    for (;;) {
        switch (s.Mode) {
        case bmType: {
            if (!NeedBits(s, z, r, 3))
                return InflateFlush(s, z, r);
            const uint32_t t = static_cast<uint32_t>(s.BitBuf & 7);
            DropBits(s, 3);
            s.Last = (t & 1) != 0;
            switch (t >> 1) {
            case 0:
                DropBits(s, s.BitCnt & 7);  // stored data starts at a byte boundary
                s.Mode = bmLens;
                break;
            case 1: {
                uint32_t lbits, dbits;
                const THuffEntry* lt;
                const THuffEntry* dt;
                InflateTreesFixed(v.DistCodes == 32, lbits, dbits, lt, dt);
                InitCodes(s.Codes, lbits, dbits, lt, dt);
                s.Mode = bmCodes;
                break;
            }
            case 2:
                s.Mode = bmTable;
                break;
            default:
                s.Mode = bmBad;
                break;
            }
            break;
        }

        case bmLens:
            if (!NeedBits(s, z, r, 32))
                return InflateFlush(s, z, r);
            if (((~s.BitBuf >> 16) & 0xFFFF) != (s.BitBuf & 0xFFFF)) {
                s.Mode = bmBad;
                break;
            }
            s.Left = static_cast<uint32_t>(s.BitBuf & 0xFFFF);
            // The buffer held no whole byte before LEN, so it is empty now.
            s.BitBuf = 0;
            s.BitCnt = 0;
            s.Mode = s.Left != 0 ? bmStored : (s.Last ? bmDry : bmType);
            break;

        case bmStored: {
            if (z.AvailIn == 0)
                return InflateFlush(s, z, r);
            if (!MakeRoom(s, z, r))
                return InflateFlush(s, z, r);
            size_t n = s.Left;
            if (n > z.AvailIn)
                n = z.AvailIn;
            if (n > Room(s))
                n = Room(s);
            std::memcpy(s.Write, z.NextIn, n);
            s.Write += n;
            z.NextIn += n;
            z.AvailIn -= static_cast<uint32_t>(n);
            z.TotalIn += static_cast<int64_t>(n);
            r = InflateOk;
            s.Left -= static_cast<uint32_t>(n);
            if (s.Left == 0)
                s.Mode = s.Last ? bmDry : bmType;
            break;
        }

        case bmTable: {
            if (!NeedBits(s, z, r, 14))
                return InflateFlush(s, z, r);
            const uint32_t t = static_cast<uint32_t>(s.BitBuf & 0x3FFF);
            if ((t & 0x1F) > v.MaxHeaderCount || ((t >> 5) & 0x1F) > v.MaxHeaderCount) {
                s.Mode = bmBad;
                break;
            }
            DropBits(s, 14);
            s.Table = t;
            s.Index = 0;
            s.Mode = bmBtree;
            [[fallthrough]];
        }

        case bmBtree: {
            const uint32_t count = 4 + (s.Table >> 10);
            while (s.Index < count) {
                if (!NeedBits(s, z, r, 3))
                    return InflateFlush(s, z, r);
                s.Lens[CodeLenOrder[s.Index++]] = static_cast<uint16_t>(s.BitBuf & 7);
                DropBits(s, 3);
            }
            while (s.Index < 19)
                s.Lens[CodeLenOrder[s.Index++]] = 0;
            const int32_t t = InflateTreesBits(s.Lens, s.BBits, s.BTree, s.Hufts);
            if (t != InflateOk) {
                if (t == InflateDataError)
                    s.Mode = bmBad;
                else
                    s.Index = count;  // retry the build on the next call
                return InflateFlush(s, z, t);
            }
            s.Index = 0;
            s.Mode = bmDtree;
            [[fallthrough]];
        }

        case bmDtree: {
            const uint32_t nl = 257 + (s.Table & 0x1F);
            const uint32_t nd = 1 + ((s.Table >> 5) & 0x1F);
            bool bad = false;
            while (s.Index < nl + nd) {
                THuffEntry e;
                if (!LookUp(s, z, r, s.BTree, s.BBits, e))
                    return InflateFlush(s, z, r);
                if (e.Op() != OpLiteral) {  // a hole of a one-code code-length code
                    bad = true;
                    break;
                }
                const uint32_t sym = e.Base();
                if (sym < 16) {
                    DropBits(s, e.Bits());
                    s.Lens[s.Index++] = static_cast<uint16_t>(sym);
                    continue;
                }
                // 16: repeat the previous length 3..6 times; 17: 3..10 zeros;
                // 18: 11..138 zeros. The code stays in the buffer until its extra bits
                // are there too.
                const uint32_t extra = sym == 16 ? 2 : (sym == 17 ? 3 : 7);
                if (!NeedBits(s, z, r, e.Bits() + extra))
                    return InflateFlush(s, z, r);
                DropBits(s, e.Bits());
                const uint32_t rep =
                    (sym == 18 ? 11 : 3) + static_cast<uint32_t>(s.BitBuf & Mask(extra));
                DropBits(s, extra);
                if (s.Index + rep > nl + nd || (sym == 16 && s.Index == 0)) {
                    bad = true;
                    break;
                }
                const uint16_t len = sym == 16 ? s.Lens[s.Index - 1] : 0;
                for (uint32_t i = 0; i < rep; i++)
                    s.Lens[s.Index++] = len;
            }
            if (bad) {
                s.Mode = bmBad;
                break;
            }
            uint32_t lbits, dbits;
            const THuffEntry* lt = nullptr;
            const THuffEntry* dt = nullptr;
            const int32_t t =
                InflateTreesDynamic(v, nl, nd, s.Lens, lbits, dbits, lt, dt, s.Hufts);
            if (t != InflateOk) {
                if (t == InflateDataError)
                    s.Mode = bmBad;
                return InflateFlush(s, z, t);
            }
            InitCodes(s.Codes, lbits, dbits, lt, dt);
            s.Mode = bmCodes;
            [[fallthrough]];
        }

        case bmCodes: {
            r = InflateCodes(s, z, r);
            if (r != InflateStreamEnd) {
                if (r == InflateDataError)
                    s.Mode = bmBad;
                return InflateFlush(s, z, r);
            }
            r = InflateOk;
            if (!s.Last) {
                s.Mode = bmType;
                break;
            }
            // The stream ends here: hand whole bytes the bit buffer still holds back to
            // the caller, as far as they came from the current input, so that NextIn
            // points just past the compressed data.
            uint32_t give = s.BitCnt >> 3;
            const size_t took = static_cast<size_t>(z.NextIn - s.CallIn);
            if (give > took)
                give = static_cast<uint32_t>(took);
            z.NextIn -= give;
            z.AvailIn += give;
            z.TotalIn -= give;
            s.BitCnt -= give * 8;
            s.BitBuf &= Mask(s.BitCnt);
            s.Mode = bmDry;
            [[fallthrough]];
        }

        case bmDry:
            r = InflateFlush(s, z, r);
            if (s.Read != s.Write)
                return InflateFlush(s, z, r);
            s.Mode = bmDone;
            [[fallthrough]];

        case bmDone:
            return InflateFlush(s, z, InflateStreamEnd);

        case bmBad:
            return InflateFlush(s, z, InflateDataError);
        }
    }
}

// Adds byte b of a big-endian 32-bit value (dictionary id, Adler-32 trailer) that the
// modes First..Last read one byte each; true once Last has taken its byte.
bool GatherWordByte(TInflateState& St, TInflateMode First, TInflateMode Last, uint32_t b)
{
    if (St.Mode == First)
        St.Need = 0;
    St.Need |= b << (8 * static_cast<uint32_t>(Last - St.Mode));
    if (St.Mode == Last)
        return true;
    St.Mode = static_cast<TInflateMode>(St.Mode + 1);
    return false;
}

// Reads one byte for the stream level; false when there is none.
bool NextByte(TInflateStream& z, int32_t& r, int32_t f, uint32_t& b)
{
    if (z.AvailIn == 0)
        return false;
    r = f;
    b = *z.NextIn++;
    z.AvailIn--;
    z.TotalIn++;
    return true;
}

}  // namespace

uint32_t Adler32(uint32_t Adler, const uint8_t* Buf, uint32_t Len)
{
    constexpr uint32_t Base = 65521, Block = 3854;
    if (!Buf) return 1;
    uint32_t a = Adler & 0xFFFF, b = Adler >> 16;
    while (Len > 0) {
        uint32_t n = std::min(Len, Block);
        Len -= n;
        while (n--) {
            a += *Buf++;
            b += a;
        }
        a %= Base;
        b %= Base;
    }
    return (b << 16) | a;
}

void* InflateAlloc(void*, uint32_t Items, uint32_t Size) { return std::calloc(Items, Size); }

void InflateFree(void*, void* Block) { std::free(Block); }

int32_t InflateReset(TInflateStream& Strm)
{
    TInflateState* st = Strm.State;
    if (!st)
        return InflateStreamError;
    Strm.TotalIn = 0;
    Strm.TotalOut = 0;
    st->Mode = st->NoWrap ? imBlocks : imMethod;
    BlocksReset(st->Blocks);
    if (!st->NoWrap)
        Strm.Adler = st->Blocks.Check;
    return InflateOk;
}

int32_t InflateEnd(TInflateStream& Strm)
{
    TInflateState* st = Strm.State;
    if (!st || !Strm.FreeFunc)
        return InflateStreamError;
    if (st->Blocks.Window)
        Strm.FreeFunc(Strm.Opaque, st->Blocks.Window);
    if (st->Blocks.Hufts)
        Strm.FreeFunc(Strm.Opaque, st->Blocks.Hufts);
    std::destroy_at(st);
    Strm.FreeFunc(Strm.Opaque, st);
    Strm.State = nullptr;
    return InflateOk;
}

int32_t InflateInit2(TInflateStream& Strm, int32_t WindowBits, int32_t RecordSize)
{
    if (RecordSize != InflateRecordSize)
        return InflateVersionError;
    if (Strm.State)  // opened before and not ended: release that stream first
        InflateEnd(Strm);
    if (!Strm.AllocFunc) {
        Strm.AllocFunc = InflateAlloc;
        Strm.Opaque = nullptr;
    }
    if (!Strm.FreeFunc)
        Strm.FreeFunc = InflateFree;

    void* mem = Strm.AllocFunc(Strm.Opaque, 1, sizeof(TInflateState));
    if (!mem)
        return InflateMemError;
    // Value-initialised: every field starts zero whatever the hook returned.
    TInflateState* st = std::construct_at(static_cast<TInflateState*>(mem));
    Strm.State = st;

    const TInflateVariant& v = InflateVariant(Strm.Deflate64Mode);
    int64_t bits = WindowBits;
    st->NoWrap = bits < 0;
    if (bits < 0)
        bits = -bits;
    bits += v.WindowBitsAdd;
    if (bits < 8 || bits > 15 + static_cast<int64_t>(v.WindowBitsAdd)) {
        InflateEnd(Strm);
        return InflateStreamError;
    }
    st->WBits = static_cast<uint32_t>(bits);
    st->Deflate64 = Strm.Deflate64Mode;

    TInflateBlocks& s = st->Blocks;
    s.Variant = &v;
    s.WSize = 1u << st->WBits;
    s.FullWindow = st->WBits == 15 + v.WindowBitsAdd;
    s.Window = static_cast<uint8_t*>(Strm.AllocFunc(Strm.Opaque, s.WSize + WinRun + WinSlack, 1));
    s.Hufts = static_cast<THuffEntry*>(
        Strm.AllocFunc(Strm.Opaque, HuftSpace, static_cast<uint32_t>(sizeof(THuffEntry))));
    if (!s.Window || !s.Hufts) {
        InflateEnd(Strm);
        return InflateMemError;
    }
    s.End = s.Window + s.WSize + WinRun;
    s.CheckFunc = st->NoWrap ? nullptr : Adler32;
    InflateReset(Strm);
    return InflateOk;
}

int32_t InflateInit(TInflateStream* Strm, int32_t WindowBits, int32_t RecordSize)
{
    if (!Strm)
        return InflateStreamError;
    return InflateInit2(*Strm, static_cast<int16_t>(WindowBits), RecordSize);
}

int32_t InflateInit(TInflateStream& Strm, int32_t WindowBits, int32_t RecordSize)
{
    return InflateInit(&Strm, WindowBits, RecordSize);
}

int32_t Inflate(TInflateStream& Strm, int32_t Flush)
{
    TInflateState* st = Strm.State;
    if (!st || !Strm.NextIn || (!Strm.NextOut && Strm.AvailOut != 0))
        return InflateStreamError;
    TInflateStream& z = Strm;
    const int32_t f = Flush == InflateFinish ? InflateBufError : InflateOk;
    int32_t r = InflateBufError;
    uint32_t b;
    st->Blocks.CallIn = z.NextIn;
    for (;;) {
        switch (st->Mode) {
        case imMethod:
            if (!NextByte(z, r, f, b))
                return r;
            st->Method = b;
            if ((b & 0x0F) != 8 || (b >> 4) + 8 > st->WBits) {
                st->Mode = imBad;
                break;
            }
            st->Mode = imFlag;
            [[fallthrough]];

        case imFlag:
            if (!NextByte(z, r, f, b))
                return r;
            if (((st->Method << 8) + b) % 31 != 0) {
                st->Mode = imBad;
                break;
            }
            st->Mode = (b & 0x20) ? imDict4 : imBlocks;
            break;

        case imDict4:
        case imDict3:
        case imDict2:
        case imDict1: {
            if (!NextByte(z, r, f, b))
                return r;
            if (!GatherWordByte(*st, imDict4, imDict1, b))
                break;
            z.Adler = st->Need;
            st->Mode = imDict0;
            return InflateNeedDict;
        }

        case imDict0:
            // There is no way to supply a dictionary; going on would decode garbage.
            st->Mode = imBad;
            return InflateStreamError;

        case imBlocks:
            r = InflateBlocks(st->Blocks, z, r);
            if (r == InflateDataError) {
                st->Mode = imBad;
                break;
            }
            if (r == InflateOk)
                r = f;
            if (r != InflateStreamEnd)
                return r;
            r = f;
            st->Was = st->Blocks.Check;
            BlocksReset(st->Blocks);
            st->Mode = st->NoWrap ? imDone : imCheck4;
            break;

        case imCheck4:
        case imCheck3:
        case imCheck2:
        case imCheck1: {
            if (!NextByte(z, r, f, b))
                return r;
            if (!GatherWordByte(*st, imCheck4, imCheck1, b))
                break;
            st->Mode = st->Need == st->Was ? imDone : imBad;
            break;
        }

        case imDone:
            return InflateStreamEnd;

        case imBad:
            return InflateDataError;
        }
    }
}

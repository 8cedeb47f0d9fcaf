// qvrInflateInt: the inflate engine's own records, shared by its three source files
// (qvrInflate.cpp: stream, block and code levels; qvrInflateTrees.cpp: the table builder;
// qvrInflateFast.cpp: the fast path, with qvrInflateLoop.h). Not part of the component
// library's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qvrByteCopy.h"
#include "qvrInflate.h"

// One entry of a decoding table: what the next Bits bits of input mean, packed in one
// 32-bit word (bits 0-7 Bits, 8-15 Op, 16-31 Base) so that the fast path loads it once
// and can shift the bit buffer by its low byte directly.
//
// Op says what the entry is:
//   OpLiteral        Base is a literal byte (or, in the code-length table, a symbol 0..18);
//   0..16            a length or distance: Base plus the next Op extra bits (tables built
//                    with BuildTotalBits keep the code's length here instead);
//   OpEndBlock       end of block;
//   OpLink | n       the code continues in a sub-table of 2^n entries that starts Base
//                    entries after the start of this table (Bits is the root width);
//   OpInvalid        no code leads here; Bits is how many bits show it (the length of
//                    an unused code, or the table's full index width), so a resumable
//                    decoder gives up as soon as, and only once, it holds those bits.
// Bits is the length of the code (its part within this table level); for lengths and
// distances the extra bits follow it.
struct THuffEntry {
    uint32_t V;

    static constexpr THuffEntry Make(uint32_t op, uint32_t bits, uint32_t base)
    {
        return THuffEntry{bits | op << 8 | base << 16};
    }
    constexpr uint32_t Bits() const { return V & 0xFF; }
    constexpr uint32_t Op() const { return (V >> 8) & 0xFF; }
    constexpr uint32_t Base() const { return V >> 16; }
};
static_assert(sizeof(THuffEntry) == 4, "table entries are one 32-bit load");

constexpr uint8_t OpLiteral = 0x80;
constexpr uint8_t OpKindMask = 0x60;  // zero for lengths/distances, else:
constexpr uint8_t OpEndBlock = 0x20;
constexpr uint8_t OpLink = 0x40;
constexpr uint8_t OpInvalid = 0x60;

// Root widths. Wider roots than a minimal table need make almost every code a single
// lookup: 11 bits cover nearly all literal/length codes that real encoders emit, 8 bits
// nearly all distance codes. Literal/length and distance tables always have these full
// widths (even when every code is shorter), so the fast path indexes them with constant
// masks.
constexpr uint32_t LitLenRootBits = 11;
constexpr uint32_t DistRootBits = 8;
constexpr uint32_t CodeLenRootBits = 7;
constexpr uint32_t MaxCodeBits = 15;

// Worst-case entry counts. A complete code with N symbols and root width r needs the root
// (2^r) plus its sub-tables; a sub-table holding codes of one length has one entry per
// symbol, and only a sub-table that straddles a change of code length can be larger (at
// most 2^(15-r) entries), which happens at most once per length above r except the
// last. Incomplete codes are only built when asked for (Deflate's fixed distances) or as
// a single one-bit code, without sub-tables either way, so these bounds cover every table
// the engine builds; the builder still checks them.
constexpr uint32_t TableBound(uint32_t root, uint32_t syms)
{
    return (1u << root) + syms + (MaxCodeBits - root - 1) * (1u << (MaxCodeBits - root));
}
constexpr uint32_t LitLenSpace = TableBound(LitLenRootBits, 288);
constexpr uint32_t DistSpace = TableBound(DistRootBits, 32);
constexpr uint32_t HuftSpace = LitLenSpace + DistSpace;  // one stream's entry space
static_assert((1u << CodeLenRootBits) <= HuftSpace, "code-length table shares the space");
// Fixed codes: full roots, no links.
constexpr uint32_t FixedSpace = (1u << LitLenRootBits) + (1u << DistRootBits);

// The window: 2^WindowBits bytes of history followed by WinRun bytes of room, so that the
// fast path decodes long runs between the moves that bring the history back to the start
// (see TInflateBlocks), and WinSlack bytes past its end that never hold output, into which
// a word copy may overrun (CopyOverrun).
constexpr uint32_t WinRun = 192 * 1024;
constexpr uint32_t WinSlack = CopyOverrun;

// Input the fast path needs at the top of each pass: a pass refills the bit buffer at
// most twice, each refill loading 8 bytes and advancing at most 7. Entering, it needs one
// refill more (the first, before the loop), which also makes sure that a call decodes at
// least one symbol, and FastOutMin bytes of window room (three literals at least).
constexpr uint32_t FastInLoop = 16;
constexpr uint32_t FastInMin = FastInLoop + 8;
constexpr uint32_t FastOutMin = 16;

constexpr uint32_t MaxLitLenCodes = 288;
constexpr uint32_t MaxDistCodes = 32;

// Order in which the code-length code's lengths are sent.
inline constexpr uint8_t CodeLenOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                             11, 4, 12, 3, 13, 2, 14, 1, 15};

// The low n bits, for extra bits of lengths and distances (n <= 16).
inline constexpr uint32_t ExtraMask[17] = {0,    1,    3,    7,     15,    31,    63,
                                           127,  255,  511,  1023,  2047,  4095,  8191,
                                           16383, 32767, 65535};

// The constant tables of one variant.
struct TInflateVariant {
    const uint16_t* LenBase;    // codes 257..287
    const uint8_t* LenExtra;    // NoBase for codes without one (286, 287)
    const uint16_t* DistBase;   // codes 0..31
    const uint8_t* DistExtra;
    uint32_t DistCodes;         // distance codes with a meaning: 30 or 32
    uint32_t MaxHeaderCount;    // largest HLIT/HDIST a dynamic header may give: 29 or 31
    uint32_t WindowBitsAdd;     // 0, or 1 for Deflate64's doubled window
};
constexpr uint8_t NoBase = 0xFF;

const TInflateVariant& InflateVariant(bool Deflate64);

enum TInflateMode : uint8_t {
    imMethod,  // waiting for the wrapper's method byte
    imFlag,    // waiting for its flag byte
    imDict4,   // four bytes of dictionary id, most significant first
    imDict3,
    imDict2,
    imDict1,
    imDict0,   // dictionary asked for; the engine cannot supply one
    imBlocks,  // decoding blocks
    imCheck4,  // four bytes of the Adler-32 trailer, most significant first
    imCheck3,
    imCheck2,
    imCheck1,
    imDone,    // finished; InflateStreamEnd on every call
    imBad      // invalid data; InflateDataError on every call
};

enum TBlockMode : uint8_t {
    bmType,    // waiting for a block header's 3 bits
    bmLens,    // stored block: waiting for LEN and NLEN
    bmStored,  // stored block: copying Left bytes
    bmTable,   // dynamic block: waiting for HLIT, HDIST, HCLEN
    bmBtree,   // reading the code-length code's lengths
    bmDtree,   // reading the literal/length and distance code lengths
    bmCodes,   // decoding a compressed block's codes
    bmDry,     // last block done: waiting until the window is flushed
    bmDone,
    bmBad
};

enum TCodeMode : uint8_t {
    cmStart,    // before a literal/length code: fast path or slow decoding
    cmLen,      // walking the literal/length table until a code and its extra bits are held
    cmDist,     // the same for a distance
    cmCopy,     // copying Len bytes from Dist back
    cmLit,      // writing a literal
    cmEnd,      // end of block seen
    cmBadCode
};

// Decoding of one compressed block.
struct TInflateCodes {
    TCodeMode Mode;
    uint8_t Lit;                // literal waiting for window room
    uint8_t LBits;              // root widths of the two tables
    uint8_t DBits;
    uint32_t Need;              // index width of Tree
    const THuffEntry* Tree;     // table (or sub-table) being walked
    const THuffEntry* Root;     // root of the table Tree belongs to; links count from it
    uint32_t Len;               // length of the match in progress
    uint32_t Dist;              // its distance
    const THuffEntry* LTree;
    const THuffEntry* DTree;
};

using TCheckFunc = uint32_t (*)(uint32_t Adler, const uint8_t* Buf, uint32_t Len);

// Block level: headers, stored data, the window and the bit buffer.
struct TInflateBlocks {
    TBlockMode Mode;
    bool Last;                  // this is the final block
    uint32_t Left;              // stored block: bytes still to copy
    uint32_t Table;             // dynamic header: HLIT | HDIST << 5 | HCLEN << 10
    uint32_t Index;             // next code length to read into Lens
    uint32_t BBits;             // code-length table's root width
    const THuffEntry* BTree;    // code-length table
    uint16_t Lens[MaxLitLenCodes + MaxDistCodes];
    // Bit buffer: BitCnt bits, least significant first; bits above BitCnt are zero
    // outside the fast path. Between symbols it holds fewer than 8 bits, so the bytes it
    // took are exactly the bytes consumed.
    uint64_t BitBuf;
    uint32_t BitCnt;
    THuffEntry* Hufts;          // the stream's entry space (HuftSpace entries)
    // The window is flat, from Window to End, and holds the stream's latest output from
    // Window up to Write: a match copies from behind Write without wrapping, as in the
    // whole-buffer decoder. Bytes from Read up to Write are decoded but not yet flushed to
    // the caller. When the room after Write runs short and everything is flushed, the last
    // WSize bytes move to the start (SlideWindow), so decoding goes on from WSize bytes in.
    uint8_t* Window;
    uint8_t* End;
    uint8_t* Read;
    uint8_t* Write;
    uint32_t WSize;             // history size: distances up to this are legal
    bool FullWindow;            // WSize is the variant's farthest distance: the fast path
                                // needs no distance check beyond the window's start
    TCheckFunc CheckFunc;       // Adler32 in wrapped mode, nullptr when raw
    uint32_t Check;             // its running value
    const TInflateVariant* Variant;
    const uint8_t* CallIn;      // NextIn when this Inflate call began
    TInflateCodes Codes;
};

// The stream level: wrapper header and trailer around the blocks.
struct TInflateState {
    TInflateMode Mode;
    bool NoWrap;                // raw data, no zlib wrapper
    bool Deflate64;
    uint32_t Method;            // wrapper method byte
    uint32_t Need;              // wrapper: expected check (or dictionary id)
    uint32_t Was;               // wrapper: computed check
    uint32_t WBits;             // window bits after the variant's adjustment
    TInflateBlocks Blocks;
};

// Table builder: a canonical Huffman decoding table for the N code lengths in Lens.
// Symbols below S are literals (256 = end of block when S is 257), the others take their
// base and extra-bit count from Base/Extra indexed by symbol - S. Bits brings the wanted
// root width and returns the one used: narrowed to the longest code unless Flags has
// BuildFullRoot, widened to the shortest, 0 for an empty code. The table goes to
// Space + Used; Used grows by its size and may not pass SpaceSize.
// Returns InflateOk, InflateDataError (over-subscribed), InflateBufError (incomplete, not
// built unless Flags has BuildKeepIncomplete; a single one-bit code counts as complete)
// or InflateMemError (the space is too small).
// With BuildTotalBits, a length's or distance's Bits counts its extra bits as well and its
// Op is the length of its code instead of the count of extra bits, so a decoder that holds
// them all drops code and extra bits with one shift and finds the extra bits above the
// code: the decoding loop's format. The resumable decoder reads it too, pulling input
// until a code's extra bits are held as well as the code.
// With BuildWideKinds as well (the decoding loop's literal/length table), an entry's
// kind moves from Op to the top bits of the word (WideLiteral and WideKindMask below) and
// Op holds a width of at most the root's: LitLenRootBits for a literal, the code's length
// for a length, the sub-table's width for a link and 0 otherwise. The bits after any
// entry's Bits, as many as its Op says, are then an index inside the root, which is the
// next code's entry when this one is a literal: BMI1's BEXTR takes that index straight
// from the bits and the entry's low half in one step, and for any other entry it is at
// least an index that stays inside the table.
constexpr uint32_t BuildKeepIncomplete = 1;
constexpr uint32_t BuildFullRoot = 2;
constexpr uint32_t BuildTotalBits = 4;
constexpr uint32_t BuildWideKinds = 8;
constexpr uint32_t WideLiteral = 0x80000000u;   // a literal, its byte in bits 16-23
constexpr uint32_t WideKindMask = 0x60000000u;  // zero for lengths, else:
constexpr uint32_t WideEndBlock = 0x20000000u;
constexpr uint32_t WideLink = 0x40000000u;      // bits 16-28: the sub-table's offset
constexpr uint32_t WideInvalid = 0x60000000u;
static_assert(LitLenSpace <= (WideEndBlock >> 16), "sub-table offsets stay below the kind");
int32_t BuildHuffmanTable(const uint16_t* Lens, uint32_t N, uint32_t S, const uint16_t* Base,
                          const uint8_t* Extra, uint32_t& Bits, THuffEntry*& Table,
                          THuffEntry* Space, uint32_t& Used, uint32_t SpaceSize,
                          uint32_t Flags);

// The three users of the builder. Literal/length and distance tables are built in the
// layout the decoding loop reads (BuildTotalBits, and BuildWideKinds for literals and
// lengths), whichever decoder uses them.
int32_t InflateTreesBits(const uint16_t* Lens, uint32_t& Bits, const THuffEntry*& Tree,
                         THuffEntry* Space);
int32_t InflateTreesDynamic(const TInflateVariant& V, uint32_t NL, uint32_t ND,
                            const uint16_t* Lens, uint32_t& LBits, uint32_t& DBits,
                            const THuffEntry*& LTree, const THuffEntry*& DTree,
                            THuffEntry* Space);
void InflateTreesFixed(bool Deflate64, uint32_t& LBits, uint32_t& DBits,
                       const THuffEntry*& LTree, const THuffEntry*& DTree);

// The fast path, entered with at least FastInMin input bytes and FastOutMin bytes of
// window room, and only with a window as large as the variant's farthest distance
// (FullWindow): decodes whole symbols with the shared loop while FastInLoop input bytes
// and room for three literals remain. It reads no input byte beyond AvailIn. Leaves
// Codes.Mode at cmStart to go on, cmCopy when a match must be finished by the slow path,
// cmEnd at the end of the block, cmBadCode for invalid data.
void InflateFast(TInflateBlocks& S, TInflateStream& Z);

// Copies a match of Len bytes from Dist back to Q exactly: no byte past Q + Len changes.
void CopyMatchExact(uint8_t* Q, uint32_t Len, uint32_t Dist);



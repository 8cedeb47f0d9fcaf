// qvrInflateTrees: decoding tables for the inflate engine.
//
// A Deflate code is given by its code lengths alone (canonical Huffman): codes of one
// length are consecutive binary numbers in symbol order, and each length continues where
// the shorter ones stopped, shifted left. The decoder reads codes bit by bit starting at
// the most significant bit but takes input bits least significant first, so tables are
// indexed by the bit-reversed code. A root table of 2^r entries decodes every code of up
// to r bits in one lookup (a code of length l fills every 2^l-th entry); longer codes
// share a root entry that links to a sub-table indexed by the bits that follow.
//
// Variants: Deflate64 gives length code 285 sixteen extra bits on base 3 (lengths 3 to
// 65538) instead of the fixed length 258, adds distance codes 30 and 31 for a 64 KB window
// and has 32 fixed distance codes. Codes 286 and 287 mean nothing in either variant.

#include "qvrInflateInt.h"

namespace {

constexpr uint16_t LenBase[2][31] = {
    {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115,
     131, 163, 195, 227, 258, 0, 0},
    {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115,
     131, 163, 195, 227, 3, 0, 0}};
constexpr uint8_t LenExtra[2][31] = {
    {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0,
     NoBase, NoBase},
    {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16,
     NoBase, NoBase}};
constexpr uint16_t DistBase[32] = {
    1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537,
    2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr uint8_t DistExtra[2][32] = {
    {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12,
     13, 13, NoBase, NoBase},
    {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12,
     13, 13, 14, 14}};

constexpr TInflateVariant Variants[2] = {
    {LenBase[0], LenExtra[0], DistBase, DistExtra[0], 30, 29, 0},
    {LenBase[1], LenExtra[1], DistBase, DistExtra[1], 32, 31, 1}};

// Distance table of a block that defines no distance codes: any lookup is invalid. Only
// reachable when the literal/length code has no length codes either, so never in
// practice; it keeps the decoders from following a null table.
constexpr struct TNoDistances {
    THuffEntry Entries[1u << DistRootBits];
    constexpr TNoDistances() : Entries{}
    {
        for (THuffEntry& e : Entries)
            e = THuffEntry::Make(OpInvalid, DistRootBits, 0);
    }
} NoDistances;

// The entries that are not lengths or distances, in the layout the flags ask for: a
// literal, the end of the block and a hole without their Bits (and the literal without its
// byte), which the builder ORs in.
struct TShapes {
    uint32_t Lit, End, Bad;
};

TShapes Shapes(uint32_t flags)
{
    if (flags & BuildWideKinds)
        return {LitLenRootBits << 8 | WideLiteral, WideEndBlock, WideInvalid};
    return {uint32_t{OpLiteral} << 8, uint32_t{OpEndBlock} << 8, uint32_t{OpInvalid} << 8};
}

THuffEntry LinkEntry(uint32_t subBits, uint32_t root, uint32_t offset, uint32_t flags)
{
    return flags & BuildWideKinds ? THuffEntry::Make(subBits, root, offset | WideLink >> 16)
                                  : THuffEntry::Make(OpLink | subBits, root, offset);
}

THuffEntry MakeEntry(uint32_t sym, uint32_t bits, uint32_t s, const uint16_t* base,
                     const uint8_t* extra, uint32_t flags, const TShapes& shapes)
{
    if (sym < s)
        return THuffEntry{(sym < 256 ? shapes.Lit | sym << 16 : shapes.End) | bits};
    if (extra[sym - s] == NoBase)
        return THuffEntry{shapes.Bad | bits};
    if (flags & BuildTotalBits)
        return THuffEntry::Make(bits, bits + extra[sym - s], base[sym - s]);
    return THuffEntry::Make(extra[sym - s], bits, base[sym - s]);
}

void FillInvalid(THuffEntry* t, uint32_t bits, const TShapes& shapes)
{
    const THuffEntry bad{shapes.Bad | bits};
    for (uint32_t i = 0; i < (1u << bits); i++)
        t[i] = bad;
}

// The fixed codes of one variant, built on first use and then shared read-only.
class TFixedTables {
public:
    explicit TFixedTables(bool deflate64)
    {
        constexpr uint32_t flags = BuildTotalBits | BuildWideKinds;
        const TInflateVariant& v = InflateVariant(deflate64);
        uint16_t lens[MaxLitLenCodes];
        uint32_t i = 0;
        for (; i < 144; i++)
            lens[i] = 8;
        for (; i < 256; i++)
            lens[i] = 9;
        for (; i < 280; i++)
            lens[i] = 7;
        for (; i < 288; i++)
            lens[i] = 8;
        uint32_t used = 0;
        THuffEntry* t = nullptr;
        LBits = LitLenRootBits;
        BuildHuffmanTable(lens, 288, 257, v.LenBase, v.LenExtra, LBits, t, Space, used,
                          FixedSpace, BuildKeepIncomplete | BuildFullRoot | flags);
        LTree = t;
        // Deflate's 30 five-bit codes leave two codes unused (30 and 31): incomplete on
        // purpose, hence KeepIncomplete.
        for (i = 0; i < v.DistCodes; i++)
            lens[i] = 5;
        DBits = DistRootBits;
        BuildHuffmanTable(lens, v.DistCodes, 0, v.DistBase, v.DistExtra, DBits, t, Space, used,
                          FixedSpace,
                          BuildKeepIncomplete | BuildFullRoot | (flags & ~BuildWideKinds));
        DTree = t;
    }
    TFixedTables(const TFixedTables&) = delete;
    TFixedTables& operator=(const TFixedTables&) = delete;

    THuffEntry Space[FixedSpace];
    const THuffEntry* LTree;
    const THuffEntry* DTree;
    uint32_t LBits;
    uint32_t DBits;
};

}  // namespace

const TInflateVariant& InflateVariant(bool Deflate64)
{
    return Variants[Deflate64 ? 1 : 0];
}

int32_t BuildHuffmanTable(const uint16_t* Lens, uint32_t N, uint32_t S, const uint16_t* Base,
                          const uint8_t* Extra, uint32_t& Bits, THuffEntry*& Table,
                          THuffEntry* Space, uint32_t& Used, uint32_t SpaceSize,
                          uint32_t Flags)
{
    if (N > MaxLitLenCodes)
        return InflateDataError;
    // Four histograms taken in turns and summed: runs of one length (zeros above all) would
    // otherwise make every count wait for the store of the one before.
    uint32_t part[4][MaxCodeBits + 1] = {};
    static_assert((MaxCodeBits & (MaxCodeBits + 1)) == 0, "lengths are masked to MaxCodeBits");
    uint32_t any = 0;  // every length ORed: above MaxCodeBits exactly when one of them is
    uint32_t i = 0;
    for (; i + 4 <= N; i += 4) {
        any |= Lens[i] | Lens[i + 1] | Lens[i + 2] | Lens[i + 3];
        part[0][Lens[i] & MaxCodeBits]++;
        part[1][Lens[i + 1] & MaxCodeBits]++;
        part[2][Lens[i + 2] & MaxCodeBits]++;
        part[3][Lens[i + 3] & MaxCodeBits]++;
    }
    for (; i < N; i++) {
        any |= Lens[i];
        part[0][Lens[i] & MaxCodeBits]++;
    }
    if (any > MaxCodeBits)
        return InflateDataError;
    uint32_t count[MaxCodeBits + 1];
    for (uint32_t len = 0; len <= MaxCodeBits; len++)
        count[len] = part[0][len] + part[1][len] + part[2][len] + part[3][len];
    Table = nullptr;
    if (count[0] == N) {  // no codes at all: the callers decide whether that is allowed
        Bits = 0;
        return InflateOk;
    }

    uint32_t max = MaxCodeBits;
    while (count[max] == 0)
        max--;
    uint32_t min = 1;
    while (count[min] == 0)
        min++;
    uint32_t root = Bits;
    if (root > max && !(Flags & BuildFullRoot))
        root = max;
    if (root < min)
        root = min;
    Bits = root;

    // Kraft sum: each length halves the code space still free.
    int32_t left = 1;
    for (uint32_t len = 1; len <= MaxCodeBits; len++) {
        left = (left << 1) - static_cast<int32_t>(count[len]);
        if (left < 0)
            return InflateDataError;  // over-subscribed
    }
    // A lone one-bit code is how Deflate says "one distance code"; treat it as complete.
    const bool incomplete = left > 0 && max != 1;
    if (incomplete && !(Flags & BuildKeepIncomplete))
        return InflateBufError;

    // Symbols sorted by code length, then by symbol: the canonical order.
    uint32_t offs[MaxCodeBits + 2];
    offs[1] = 0;
    for (uint32_t len = 1; len <= MaxCodeBits; len++)
        offs[len + 1] = offs[len] + count[len];
    uint16_t sorted[MaxLitLenCodes];
    for (uint32_t sym = 0; sym < N; sym++)
        if (Lens[sym] != 0)
            sorted[offs[Lens[sym]]++] = static_cast<uint16_t>(sym);
    const uint32_t nsyms = N - count[0];

    const TShapes shapes = Shapes(Flags);
    const uint32_t rootSize = 1u << root;
    if (Used + rootSize > SpaceSize)
        return InflateMemError;
    const uint32_t rootAt = Used;
    THuffEntry* rt = Space + rootAt;
    Used += rootSize;
    // A complete code writes every entry; an incomplete one leaves holes that must decode
    // as invalid. Holes that fit the root are filled below as unused codes of the longest
    // length, which tells a resumable decoder as early as possible that it met one; holes
    // in sub-tables take the sub-table's width.
    const bool holesInSubTables = left > 0 && max > root;
    if (holesInSubTables)
        FillInvalid(rt, root, shapes);

    uint32_t huff = 0;         // current code, bit-reversed
    uint32_t low = rootSize;   // root index of the current sub-table (none yet)
    THuffEntry* sub = nullptr;
    uint32_t subBits = 0;
    // A complete code fills the root by doubling: while the codes of length l are placed,
    // the root is a table of width l, where each such code has exactly one entry; moving
    // on to length l + 1 copies the table after itself, since one more index bit changes
    // nothing for the shorter codes. Every entry is then written once by a plain store or
    // a block copy, instead of each short code striding through the whole root (most of
    // the cost of a small block's header). Entries the copies carry that belong to longer
    // codes are overwritten later by those codes or by links. Incomplete codes keep the
    // striding fill, which leaves the holes as filled above and below.
    const bool doubling = left == 0;
    uint32_t width = min;
    for (uint32_t i = 0; i < nsyms; i++) {
        const uint32_t sym = sorted[i];
        const uint32_t len = Lens[sym];
        if (len <= root && doubling) {
            for (; width < len; width++)
                std::memcpy(rt + (1u << width), rt, (sizeof *rt) << width);
            rt[huff] = MakeEntry(sym, len, S, Base, Extra, Flags, shapes);
        } else if (len <= root) {
            const THuffEntry e = MakeEntry(sym, len, S, Base, Extra, Flags, shapes);
            for (uint32_t at = huff; at < rootSize; at += 1u << len)
                rt[at] = e;
        } else {
            for (; doubling && width < root; width++)
                std::memcpy(rt + (1u << width), rt, (sizeof *rt) << width);
            const uint32_t r = huff & (rootSize - 1);
            if (r != low) {
                // A new sub-table, as wide as the codes still to come need to fill it.
                subBits = len - root;
                int32_t room = 1 << subBits;
                while (subBits + root < max) {
                    room -= static_cast<int32_t>(count[subBits + root]);
                    if (room <= 0)
                        break;
                    subBits++;
                    room <<= 1;
                }
                if (Used + (1u << subBits) > SpaceSize)
                    return InflateMemError;
                sub = Space + Used;
                rt[r] = LinkEntry(subBits, root, Used - rootAt, Flags);
                Used += 1u << subBits;
                if (holesInSubTables)
                    FillInvalid(sub, subBits, shapes);
                low = r;
            }
            const THuffEntry e = MakeEntry(sym, len - root, S, Base, Extra, Flags, shapes);
            for (uint32_t at = huff >> root; at < (1u << subBits); at += 1u << (len - root))
                sub[at] = e;
        }
        count[len]--;  // sub-table widths look only at the codes still to come

        // Next code of this length, counting in reversed bit order.
        uint32_t inc = 1u << (len - 1);
        while (huff & inc)
            inc >>= 1;
        huff = inc != 0 ? (huff & (inc - 1)) + inc : 0;
    }
    for (; doubling && width < root; width++)
        std::memcpy(rt + (1u << width), rt, (sizeof *rt) << width);
    if (left > 0 && !holesInSubTables) {
        const THuffEntry bad{shapes.Bad | max};
        for (int32_t k = left >> (MaxCodeBits - max); k > 0; k--) {
            for (uint32_t at = huff; at < rootSize; at += 1u << max)
                rt[at] = bad;
            uint32_t inc = 1u << (max - 1);
            while (huff & inc)
                inc >>= 1;
            huff = inc != 0 ? (huff & (inc - 1)) + inc : 0;
        }
    }
    Table = rt;
    return incomplete ? InflateBufError : InflateOk;
}

int32_t InflateTreesBits(const uint16_t* Lens, uint32_t& Bits, const THuffEntry*& Tree,
                         THuffEntry* Space)
{
    uint32_t used = 0;
    THuffEntry* t = nullptr;
    Bits = CodeLenRootBits;
    const int32_t r =
        BuildHuffmanTable(Lens, 19, 19, nullptr, nullptr, Bits, t, Space, used, HuftSpace, 0);
    Tree = t;
    if (r == InflateMemError)
        return r;
    if (r != InflateOk || Bits == 0)  // over-subscribed, incomplete or empty
        return InflateDataError;
    return InflateOk;
}

int32_t InflateTreesDynamic(const TInflateVariant& V, uint32_t NL, uint32_t ND,
                            const uint16_t* Lens, uint32_t& LBits, uint32_t& DBits,
                            const THuffEntry*& LTree, const THuffEntry*& DTree,
                            THuffEntry* Space)
{
    constexpr uint32_t Flags = BuildTotalBits | BuildWideKinds;
    uint32_t used = 0;
    THuffEntry* t = nullptr;
    LBits = LitLenRootBits;
    int32_t r = BuildHuffmanTable(Lens, NL, 257, V.LenBase, V.LenExtra, LBits, t, Space, used,
                                  HuftSpace, BuildFullRoot | Flags);
    LTree = t;
    if (r == InflateMemError)
        return r;
    if (r != InflateOk || LBits == 0)
        return InflateDataError;

    DBits = DistRootBits;
    r = BuildHuffmanTable(Lens + NL, ND, 0, V.DistBase, V.DistExtra, DBits, t, Space, used,
                          HuftSpace, BuildFullRoot | (Flags & ~BuildWideKinds));
    if (r == InflateMemError)
        return r;
    // No distance codes at all is fine only if there are no length codes to need them.
    if (r != InflateOk || (DBits == 0 && NL > 257))
        return InflateDataError;
    // Complete codes of at most 288 (32) symbols cannot have all their codes longer than
    // the roots, so the roots keep their full widths, which the fast path relies on.
    if (LBits != LitLenRootBits || (DBits != 0 && DBits != DistRootBits))
        return InflateDataError;
    if (DBits == 0) {
        DBits = DistRootBits;
        DTree = NoDistances.Entries;
    } else {
        DTree = t;
    }
    return InflateOk;
}

void InflateTreesFixed(bool Deflate64, uint32_t& LBits, uint32_t& DBits,
                       const THuffEntry*& LTree, const THuffEntry*& DTree)
{
    // Function-local statics: built once per variant, safely under concurrent first use.
    static const TFixedTables deflate(false);
    static const TFixedTables deflate64(true);
    const TFixedTables& f = Deflate64 ? deflate64 : deflate;
    LBits = f.LBits;
    DBits = f.DBits;
    LTree = f.LTree;
    DTree = f.DTree;
}

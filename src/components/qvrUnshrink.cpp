// Shrunk entries (method 1): LZW with codes of 9 to 13 bits and a dictionary of 8192
// codes that is never cleared as a whole, only pruned.
//
// Codes are packed least significant bit first. Codes 0..255 stand for themselves;
// 257..8191 name dictionary entries, each of which is an earlier string (its parent)
// followed by one byte (its suffix). As in every LZW decoder the dictionary lags one code
// behind the compressor: each code after the first defines the entry "previous string +
// first byte of this string" in the lowest free slot, so a code may name the very slot it
// is about to define (the string is then the previous one plus its own first byte).
//
// Code 256 escapes a control sub-code, read with the current code size:
//   1  the code size grows by one bit (from 9 up to 13);
//   2  partial clear: every entry that is no other entry's parent is freed at once. An
//      entry that loses its last child in the same pass stays. The freed slots are
//      handed out again lowest first.
// Once every slot is in use, codes are decoded without defining new entries until a
// partial clear frees some. The data has no end marker: it ends with the entry's
// compressed bytes (the last byte padded with zero bits), or at the declared size.
//
// Strings are written straight into the output buffer. An entry whose string is known
// keeps its length and where in the output it was last made; while the output buffer
// still holds that place (the last 64 KB or more), the string is copied from there. An
// older one is rebuilt by walking its parent chain backwards from its last byte. The
// length of a new entry is its parent's plus one, and the place is where the parent's
// string was just made (the new entry's last byte is the first of the string after it).
// Nothing is allocated while decoding; the tables live in one object per entry.
//
// Hostile data: in a well-formed stream every code names a chain of live entries that
// ends at a literal, at most 7935 entries long. A damaged stream can break both: the
// previous code may be a leaf that a partial clear has just freed, and the entry made
// next still names it as parent (it is made all the same, so that slot numbers stay in
// step with the compressor), possibly in the very slot it names, which is a loop. The
// walk therefore checks each step, and a code naming a free slot other than the next
// one to be defined, or a chain that meets a free slot or outgrows the stack, is
// reported instead of read outside the tables or followed forever.
//
// Such a walk, through a stack as in every LZW decoder, is what decodes an entry whose
// string is not known. A string is known for an entry made on a parent that still
// stands, and for any entry once a checked walk has rebuilt it: every entry on its chain
// then has a child, and a partial clear frees only childless entries, so the chain
// cannot change while the entry lives. Only the entries made on a freed parent (and the
// ones made on them) are left unknown until their chain has been walked.
#include "qvrLegacyIo.h"
#include "qvrMessages.h"

#include <algorithm>
#include <array>
#include <memory>

namespace {

constexpr int32_t Control = 256;
constexpr int32_t FirstEntry = 257;
constexpr int32_t TableSize = 8192;
constexpr int32_t EntryCount = TableSize - FirstEntry;
constexpr int MinCodeSize = 9;
constexpr int MaxCodeSize = 13;
constexpr int16_t FreeSlot = -1;
static_assert((1 << MaxCodeSize) == TableSize, "a code of the largest size names any slot");
// How much recent output the strings are copied from.
constexpr uint32_t History = 65536;
static_assert(TableSize <= TLegacyOutput::Slack, "a whole string fits past the stop");

constexpr int32_t SubGrow = 1;
constexpr int32_t SubPartialClear = 2;

struct TShrinkTables {
    // The code this entry extends; FreeSlot for a free slot (and for literals, which
    // are never looked up as entries).
    std::array<int16_t, TableSize> Parent;
    std::array<uint8_t, TableSize> Suffix;
    // How many entries name this code as their parent: a partial clear frees the codes
    // at 0.
    std::array<uint16_t, TableSize> ChildCount;
    // The length of the entry's string when it is known, else 0, and the output position
    // it was last made at.
    std::array<uint16_t, TableSize> Length;
    std::array<int64_t, TableSize> MadeAt;
    // Free slots in the order they are taken: FreeCodes[FreeNext - FirstEntry] onward.
    std::array<uint16_t, EntryCount> FreeCodes;
    int32_t FreeNext;
    // A string gathered from its last byte backwards, ending at the top.
    std::array<uint8_t, TableSize> Stack;
};

// One entry's whole state, allocated at once: tables, input and output buffers.
class TUnshrinker {
public:
    TUnshrinker(TStream32& In, TEntrySink& Out)
        : FIn(In), FOut(Out, History, FOutBuf.data()), FLimit(Out.Expected()), FSink(Out)
    {
        FTables.Parent.fill(FreeSlot);
        FTables.ChildCount.fill(0);
        FTables.Length.fill(0);
        for (int32_t c = 0; c < TableSize; ++c)
            FTables.Suffix[static_cast<size_t>(c)] = static_cast<uint8_t>(c < Control ? c : 0);
        for (int32_t i = 0; i < EntryCount; ++i)
            FTables.FreeCodes[static_cast<size_t>(i)] = static_cast<uint16_t>(FirstEntry + i);
        FTables.FreeNext = FirstEntry;
    }

    TDecodeResult Run();

private:
    // Every check of untrusted data ends here: the fail code is left with the sink and
    // the bytes decoded before Out are still handed on.
    TDecodeResult Bad(uint8_t* Out, int32_t Code)
    {
        FSink.Fail(Code);
        return FOut.Finish(Out, TDecodeResult::BadData);
    }
    // The compressed bytes ran out: short of a declared size that is a cut stream.
    TDecodeResult InputEnded(uint8_t* Out)
    {
        const bool cut = FLimit >= 0 && FOut.Made(Out) < FLimit;
        return FOut.Finish(Out, cut ? TDecodeResult::Truncated : TDecodeResult::Done);
    }
    // The slot the next new entry takes, or -1 when every slot is in use.
    int32_t NextSlot() const
    {
        const int32_t next = FTables.FreeNext;
        return next < TableSize ? FTables.FreeCodes[static_cast<size_t>(next - FirstEntry)] : -1;
    }
    void AddEntry(int32_t Prefix, int32_t PrefixLength, int64_t PrefixAt, uint8_t Ch);
    void PartialClear();
    int32_t Rebuild(int32_t Code, uint8_t* Out) const;
    int32_t Walk(int32_t Code, int32_t Prev, int32_t PrevLength, uint8_t* Out);

    std::array<uint8_t, TLegacyOutput::BufferSize(History)> FOutBuf;
    TBitReader FIn;
    TLegacyOutput FOut;
    int64_t FLimit;
    TEntrySink& FSink;
    TShrinkTables FTables;
};

// Prefix's string was made at PrefixAt, PrefixLength bytes long, just before the string
// whose first byte is Ch.
void TUnshrinker::AddEntry(int32_t Prefix, int32_t PrefixLength, int64_t PrefixAt, uint8_t Ch)
{
    const int32_t c = NextSlot();
    if (c < 0) return;
    TShrinkTables& t = FTables;
    ++t.FreeNext;
    const auto slot = static_cast<size_t>(c);
    // A parent freed since its string was made leaves the new string unknown (and so
    // would a string longer than any whole chain, which a sound table cannot make).
    const bool known = (Prefix < FirstEntry || t.Parent[static_cast<size_t>(Prefix)] != FreeSlot) &&
                       PrefixLength < EntryCount + 1;
    t.Parent[slot] = static_cast<int16_t>(Prefix);
    t.Suffix[slot] = Ch;
    t.Length[slot] = static_cast<uint16_t>(known ? PrefixLength + 1 : 0);
    t.MadeAt[slot] = PrefixAt;
    ++t.ChildCount[static_cast<size_t>(Prefix)];
}

void TUnshrinker::PartialClear()
{
    // Gather every childless slot first (free ones included, so they stay free), then
    // unlink them: only the entries that were leaves when the control code came are
    // freed, and a parent whose count drops to 0 here keeps its slot until the next
    // clear.
    // Streams clear often, so the scan does not branch: every slot is written, and the
    // count moves past it only when it is childless.
    TShrinkTables& t = FTables;
    auto& freeCodes = t.FreeCodes;
    int32_t n = 0;
    for (int32_t c = FirstEntry; c < TableSize; ++c) {
        freeCodes[static_cast<size_t>(n)] = static_cast<uint16_t>(c);
        n += t.ChildCount[static_cast<size_t>(c)] == 0;
    }
    for (int32_t i = 0; i < n; ++i) {
        const size_t c = freeCodes[static_cast<size_t>(i)];
        const int16_t p = t.Parent[c];
        if (p != FreeSlot) --t.ChildCount[static_cast<size_t>(p)];
        t.Parent[c] = FreeSlot;
        t.Length[c] = 0;
    }
    // Ascending at the end of the list, so the lowest freed slot is taken first.
    std::copy_backward(freeCodes.begin(), freeCodes.begin() + n, freeCodes.end());
    t.FreeNext = TableSize - n;
}

// Writes the known string of Code to Out from its last byte back, walking its chain,
// which is whole: every step is an entry until the literal at its head. The index mask
// only keeps a broken table from reading outside itself.
int32_t TUnshrinker::Rebuild(int32_t Code, uint8_t* Out) const
{
    const TShrinkTables& t = FTables;
    const int32_t n = t.Length[static_cast<size_t>(Code)];
    auto c = static_cast<size_t>(Code);
    for (int32_t i = n - 1; i > 0; --i) {
        Out[i] = t.Suffix[c];
        c = static_cast<uint16_t>(t.Parent[c]) & (TableSize - 1);
    }
    Out[0] = static_cast<uint8_t>(c);
    return n;
}

// Decodes a code whose string is not known, checking every step: its string goes to
// Out and its length is returned, or the fail code, negated. Prev's string of
// PrevLength bytes ends at Out.
int32_t TUnshrinker::Walk(int32_t Code, int32_t Prev, int32_t PrevLength, uint8_t* Out)
{
    const TShrinkTables& t = FTables;
    const auto& parent = t.Parent;
    int32_t c = Code;
    if (c >= FirstEntry && parent[static_cast<size_t>(c)] == FreeSlot) {
        // Only the slot about to be defined may be named before it exists: its string is
        // the previous one followed by that string's first byte.
        if (c != NextSlot()) return -E_BADBLOCK;
        if (Prev < FirstEntry || parent[static_cast<size_t>(Prev)] != FreeSlot) {
            // The previous string stands as it was made, just before Out.
            CopyBack(Out, static_cast<uint32_t>(PrevLength) + 1, static_cast<uint32_t>(PrevLength));
            return PrevLength + 1;
        }
        return -E_BADBLOCK;
    }
    // One slot is kept for the first byte; a chain that would need more is a loop.
    int32_t sp = TableSize;
    auto& stack = FTables.Stack;
    while (c >= FirstEntry) {
        const int16_t p = parent[static_cast<size_t>(c)];
        if (p == FreeSlot) return -E_BADBLOCK;
        if (sp == 1) return -E_STACKOVERFLOW;
        stack[static_cast<size_t>(--sp)] = t.Suffix[static_cast<size_t>(c)];
        c = p;
    }
    stack[static_cast<size_t>(--sp)] = static_cast<uint8_t>(c);
    std::memcpy(Out, stack.data() + sp, static_cast<size_t>(TableSize - sp));
    return TableSize - sp;
}

TDecodeResult TUnshrinker::Run()
{
    uint8_t* out = FOut.Start();
    // An empty entry has nothing to decode: no byte is read and none made up.
    if (FLimit == 0) return FOut.Finish(out, TDecodeResult::Done);

    TBits in;
    int32_t code = FIn.ReadBits(in, MinCodeSize);
    // No entry is defined yet, so the first code must be a literal.
    if (code < 0 || code >= Control) return Bad(out, E_BADBLOCK);
    *out++ = static_cast<uint8_t>(code);
    int32_t prev = code;
    int32_t prevLength = 1;
    int64_t prevAt = 0;
    int codeSize = MinCodeSize;

    TShrinkTables& t = FTables;
    uint8_t* stop = FOut.Stop();
    for (;;) {
        if (out >= stop) {
            out = FOut.Drain(out);
            if (!FOut.Wants()) break;
            stop = FOut.Stop();
        }
        code = FIn.ReadBits(in, codeSize);
        if (code < 0) return InputEnded(out);
        if (code == Control) {
            const int32_t sub = FIn.ReadBits(in, codeSize);
            if (sub < 0) return InputEnded(out);
            if (sub == SubGrow && codeSize < MaxCodeSize)
                ++codeSize;
            else if (sub == SubPartialClear)
                PartialClear();
            else
                return Bad(out, E_BADBLOCK); // an unknown sub-code, or codes beyond 13 bits
            continue;
        }

        const int64_t at = FOut.Made(out);
        const auto slot = static_cast<size_t>(code);
        int32_t length = 1;
        if (code < Control) {
            *out = static_cast<uint8_t>(code);
        } else if (t.Length[slot] != 0) {
            length = t.Length[slot];
            if (const uint8_t* from = FOut.At(t.MadeAt[slot]))
                CopyBack(out, static_cast<size_t>(length), static_cast<size_t>(out - from));
            else
                Rebuild(code, out);
            t.MadeAt[slot] = at;
        } else {
            length = Walk(code, prev, prevLength, out);
            if (length < 0) return Bad(out, -length);
            // The walk found the whole chain standing: it stays so while the entry lives.
            if (t.Parent[slot] != FreeSlot) {
                t.Length[slot] = static_cast<uint16_t>(length);
                t.MadeAt[slot] = at;
            }
        }
        const uint8_t first = *out;
        out += length;
        AddEntry(prev, prevLength, prevAt, first);
        prev = code;
        prevLength = length;
        prevAt = at;
    }
    return FOut.Finish(out, TDecodeResult::Done);
}

} // namespace

TDecodeResult Unshrink(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    const auto decoder = std::make_unique<TUnshrinker>(In, Out);
    return decoder->Run();
}

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
// A string is rebuilt by walking its parent chain backwards into a stack and emitting
// the stack in order. Nothing is allocated while decoding; the tables live in one
// object per entry.
//
// Hostile data: in a well-formed stream every code names a chain of live entries that
// ends at a literal, at most 7935 entries long. A damaged stream can break both: the
// previous code may be a leaf that a partial clear has just freed, and the entry made
// next still names it as parent (it is made all the same, so that slot numbers stay in
// step with the compressor), possibly in the very slot it names, which is a loop. The
// walk therefore checks each step, and a code naming a free slot other than the next
// one to be defined, or a chain that meets a free slot or outgrows the stack, is
// reported instead of read outside the tables or followed forever.
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
    // Free slots in the order they are taken: FreeCodes[FreeNext - FirstEntry] onward.
    std::array<uint16_t, EntryCount> FreeCodes;
    int32_t FreeNext;
    // A string gathered from its last byte backwards, ending at the top.
    std::array<uint8_t, TableSize> Stack;
};

class TUnshrinker {
public:
    TUnshrinker(TStream32& In, TEntrySink& Out)
        : FIn(In), FOut(Out, 0), FLimit(Out.Expected()), FSink(Out),
          FTables(std::make_unique<TShrinkTables>())
    {
        FTables->Parent.fill(FreeSlot);
        FTables->ChildCount.fill(0);
        for (int32_t c = 0; c < TableSize; ++c)
            FTables->Suffix[static_cast<size_t>(c)] = static_cast<uint8_t>(c < Control ? c : 0);
        for (int32_t i = 0; i < EntryCount; ++i)
            FTables->FreeCodes[static_cast<size_t>(i)] = static_cast<uint16_t>(FirstEntry + i);
        FTables->FreeNext = FirstEntry;
    }

    TDecodeResult Run();

private:
    // Every check of untrusted data ends here: the fail code is left with the sink and
    // the bytes decoded so far are still handed on.
    TDecodeResult Bad(int32_t Code)
    {
        FSink.Fail(Code);
        return FOut.Finish(TDecodeResult::BadData);
    }
    // The compressed bytes ran out: short of a declared size that is a cut stream.
    TDecodeResult InputEnded()
    {
        const bool cut = FLimit >= 0 && FOut.BytesOut() < FLimit;
        return FOut.Finish(cut ? TDecodeResult::Truncated : TDecodeResult::Done);
    }
    // The slot the next new entry takes, or -1 when every slot is in use.
    int32_t NextSlot() const
    {
        const int32_t next = FTables->FreeNext;
        return next < TableSize ? FTables->FreeCodes[static_cast<size_t>(next - FirstEntry)] : -1;
    }
    void AddEntry(int32_t Prefix, uint8_t Ch);
    void PartialClear();
    void Emit(int32_t From);

    TBitReader FIn;
    TLegacyOutput FOut;
    int64_t FLimit;
    TEntrySink& FSink;
    std::unique_ptr<TShrinkTables> FTables;
};

void TUnshrinker::AddEntry(int32_t Prefix, uint8_t Ch)
{
    const int32_t c = NextSlot();
    if (c < 0) return;
    ++FTables->FreeNext;
    FTables->Parent[static_cast<size_t>(c)] = static_cast<int16_t>(Prefix);
    FTables->Suffix[static_cast<size_t>(c)] = Ch;
    ++FTables->ChildCount[static_cast<size_t>(Prefix)];
}

void TUnshrinker::PartialClear()
{
    // Gather every childless slot first (free ones included, so they stay free), then
    // unlink them: only the entries that were leaves when the control code came are
    // freed, and a parent whose count drops to 0 here keeps its slot until the next
    // clear.
    auto& freeCodes = FTables->FreeCodes;
    int32_t n = 0;
    for (int32_t c = FirstEntry; c < TableSize; ++c)
        if (FTables->ChildCount[static_cast<size_t>(c)] == 0)
            freeCodes[static_cast<size_t>(n++)] = static_cast<uint16_t>(c);
    for (int32_t i = 0; i < n; ++i) {
        const size_t c = freeCodes[static_cast<size_t>(i)];
        const int16_t p = FTables->Parent[c];
        if (p != FreeSlot) --FTables->ChildCount[static_cast<size_t>(p)];
        FTables->Parent[c] = FreeSlot;
        FTables->Suffix[c] = 0;
    }
    // Ascending at the end of the list, so the lowest freed slot is taken first.
    std::copy_backward(freeCodes.begin(), freeCodes.begin() + n, freeCodes.end());
    FTables->FreeNext = TableSize - n;
}

// Hands the string gathered in Stack[From..] to the output, no further than the
// declared size.
void TUnshrinker::Emit(int32_t From)
{
    int64_t n = TableSize - From;
    if (FLimit >= 0) n = std::min(n, FLimit - FOut.BytesOut());
    const uint8_t* s = FTables->Stack.data() + From;
    for (int64_t i = 0; i < n; ++i) FOut.Put(s[i]);
}

TDecodeResult TUnshrinker::Run()
{
    // An empty entry has nothing to decode: no byte is read and none made up.
    if (FLimit == 0) return FOut.Finish(TDecodeResult::Done);

    int32_t code = FIn.ReadBits(MinCodeSize);
    // No entry is defined yet, so the first code must be a literal.
    if (code < 0 || code >= Control) return Bad(E_BADBLOCK);
    FOut.Put(static_cast<uint8_t>(code));
    int32_t prev = code;
    uint8_t prevFirst = static_cast<uint8_t>(code);
    int codeSize = MinCodeSize;

    auto& parent = FTables->Parent;
    auto& suffix = FTables->Suffix;
    auto& stack = FTables->Stack;
    while (FOut.Wants()) {
        code = FIn.ReadBits(codeSize);
        if (code < 0) return InputEnded();
        if (code == Control) {
            const int32_t sub = FIn.ReadBits(codeSize);
            if (sub < 0) return InputEnded();
            if (sub == SubGrow && codeSize < MaxCodeSize)
                ++codeSize;
            else if (sub == SubPartialClear)
                PartialClear();
            else
                return Bad(E_BADBLOCK); // an unknown sub-code, or codes beyond 13 bits
            continue;
        }

        int32_t sp = TableSize;
        int32_t c = code;
        if (c >= FirstEntry && parent[static_cast<size_t>(c)] == FreeSlot) {
            // Only the slot about to be defined may be named before it exists: its
            // string is the previous one followed by that string's first byte.
            if (c != NextSlot()) return Bad(E_BADBLOCK);
            stack[static_cast<size_t>(--sp)] = prevFirst;
            c = prev;
        }
        // One slot is kept for the first byte; a chain that would need more is a loop.
        while (c >= FirstEntry) {
            const int16_t p = parent[static_cast<size_t>(c)];
            if (p == FreeSlot) return Bad(E_BADBLOCK);
            if (sp == 1) return Bad(E_STACKOVERFLOW);
            stack[static_cast<size_t>(--sp)] = suffix[static_cast<size_t>(c)];
            c = p;
        }
        const auto first = static_cast<uint8_t>(c);
        stack[static_cast<size_t>(--sp)] = first;
        Emit(sp);

        AddEntry(prev, first);
        prev = code;
        prevFirst = first;
    }
    return FOut.Finish(TDecodeResult::Done);
}

} // namespace

TDecodeResult Unshrink(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    TUnshrinker decoder(In, Out);
    return decoder.Run();
}

#include "qvrWrittenFiles.h"

#include "qvrPlatform.h"

#include <cstring>
#include <utility>

namespace {

uint64_t Word(const char* At)
{
    uint64_t w;
    std::memcpy(&w, At, sizeof w);
    return w;
}

// Eight bytes a step: each word is folded in by a multiply, which carries every bit of it
// into the upper half, and a shift that brings the upper half back down. A key of eight
// bytes or more ends with its last eight, which may overlap the word before; a shorter
// key is read byte by byte. The last steps spread the result over the low bits, which
// choose the slot.
uint32_t KeyHash(std::string_view Key)
{
    constexpr uint64_t Mul = 0x9E3779B97F4A7C15u;
    uint64_t h = Key.size() * Mul;
    const char* p = Key.data();
    const size_t n = Key.size();
    auto fold = [&h](uint64_t w) {
        h = (h ^ w) * Mul;
        h ^= h >> 32;
    };
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8)
            fold(Word(p + i));
        fold(Word(p + n - 8));
    } else {
        uint64_t w = 0;
        for (size_t i = 0; i < n; i++)
            w |= uint64_t{static_cast<uint8_t>(p[i])} << (8 * i);
        fold(w);
    }
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9u;
    h ^= h >> 32;
    return static_cast<uint32_t>(h);
}

} // namespace

size_t TWrittenFiles::SlotOf(std::string_view Key, uint32_t Hash) const
{
    // The table is never more than half full, so a free slot ends every search.
    const size_t mask = FSlots.size() - 1;
    for (size_t i = Hash & mask;; i = (i + 1) & mask) {
        const TSlot& s = FSlots[i];
        if (s.Length == NoKey || (s.Hash == Hash && FKeys.Get(s.Ref, s.Length) == Key)) return i;
    }
}

int32_t TWrittenFiles::FindKey(std::string_view Key) const
{
    if (FCount == 0) return -1;
    const TSlot& s = FSlots[SlotOf(Key, KeyHash(Key))];
    return s.Length == NoKey ? -1 : s.Entry;
}

void TWrittenFiles::Prefetch(const std::string& Path) const
{
    if (FSlots.empty() || !qvrOS::FileNamesExact()) return;
    __builtin_prefetch(&FSlots[KeyHash(Path) & (FSlots.size() - 1)]);
}

int32_t TWrittenFiles::Find(const std::string& Path) const
{
    // Where the path is its own key, it is looked up without a copy.
    if (qvrOS::FileNamesExact()) return FindKey(Path);
    return FindKey(qvrOS::FileNameKey(Path));
}

void TWrittenFiles::Reserve(size_t Files)
{
    size_t size = 16;
    while (size < 2 * Files)
        size *= 2;
    if (size <= FSlots.size()) return;
    const std::vector<TSlot> previous = std::exchange(FSlots, std::vector<TSlot>(size));
    const size_t mask = FSlots.size() - 1;
    for (const TSlot& s : previous) {
        if (s.Length == NoKey) continue;
        size_t i = s.Hash & mask;
        while (FSlots[i].Length != NoKey)
            i = (i + 1) & mask;
        FSlots[i] = s;
    }
}

void TWrittenFiles::Add(const std::string& Path, int32_t Entry)
{
    const std::string copy = qvrOS::FileNamesExact() ? std::string() : qvrOS::FileNameKey(Path);
    const std::string_view key = qvrOS::FileNamesExact() ? std::string_view(Path) : copy;
    if (2 * (FCount + 1) > FSlots.size()) Reserve(2 * (FCount + 1));
    const uint32_t hash = KeyHash(key);
    TSlot& s = FSlots[SlotOf(key, hash)];
    if (s.Length != NoKey) {
        // A file forgotten keeps its key, free for its next writer.
        if (s.Entry < 0) s.Entry = Entry;
        return;
    }
    s = {hash, FKeys.Add(key), static_cast<uint32_t>(key.size()), Entry};
    ++FCount;
}

void TWrittenFiles::Forget(const std::string& Path, int32_t Entry)
{
    if (FCount == 0) return;
    const std::string copy = qvrOS::FileNamesExact() ? std::string() : qvrOS::FileNameKey(Path);
    const std::string_view key = qvrOS::FileNamesExact() ? std::string_view(Path) : copy;
    TSlot& s = FSlots[SlotOf(key, KeyHash(key))];
    if (s.Length != NoKey && s.Entry == Entry) s.Entry = -1;
}

void TWrittenFiles::Clear()
{
    std::vector<TSlot>().swap(FSlots);
    FCount = 0;
    FKeys.Clear();
}

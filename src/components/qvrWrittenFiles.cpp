#include "qvrWrittenFiles.h"

#include "qvrPlatform.h"

#include <functional>
#include <utility>

namespace {

uint32_t KeyHash(std::string_view Key)
{
    const uint64_t h = std::hash<std::string_view>{}(Key);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

} // namespace

size_t TWrittenFiles::HomeOf(uint32_t Hash) const
{
    return Hash & (FSlots.size() - 1);
}

size_t TWrittenFiles::SlotOf(std::string_view Key, uint32_t Hash) const
{
    // The table is never more than half full, so a free slot ends every search.
    const size_t mask = FSlots.size() - 1;
    for (size_t i = HomeOf(Hash);; i = (i + 1) & mask) {
        const TSlot& s = FSlots[i];
        if (s.Length == NoKey || (s.Hash == Hash && FKeys.Get(s.Ref, s.Length) == Key)) return i;
    }
}

std::string_view TWrittenFiles::KeyOf(const std::string& Path, std::string& Copy)
{
    // Where the path is its own key, it is looked up without a copy.
    if (qvrOS::FileNamesExact()) return Path;
    Copy = qvrOS::FileNameKey(Path);
    return Copy;
}

uint32_t TWrittenFiles::HashOf(std::string_view Key) const
{
    return !FAheadKey.empty() && Key == FAheadKey ? FAheadHash : KeyHash(Key);
}

void TWrittenFiles::Prefetch(const std::string& Path)
{
    if (FSlots.empty() || !qvrOS::FileNamesExact()) return;
    FAheadKey.assign(Path);
    FAheadHash = KeyHash(Path);
    __builtin_prefetch(&FSlots[HomeOf(FAheadHash)]);
}

int32_t TWrittenFiles::Find(const std::string& Path) const
{
    if (FCount == 0) return -1;
    std::string copy;
    const std::string_view key = KeyOf(Path, copy);
    const TSlot& s = FSlots[SlotOf(key, HashOf(key))];
    return s.Length == NoKey ? -1 : s.Entry;
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
        size_t i = HomeOf(s.Hash);
        while (FSlots[i].Length != NoKey)
            i = (i + 1) & mask;
        FSlots[i] = s;
    }
}

void TWrittenFiles::Add(const std::string& Path, int32_t Entry)
{
    std::string copy;
    const std::string_view key = KeyOf(Path, copy);
    if (2 * (FCount + 1) > FSlots.size()) Reserve(2 * (FCount + 1));
    const uint32_t hash = HashOf(key);
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
    std::string copy;
    const std::string_view key = KeyOf(Path, copy);
    TSlot& s = FSlots[SlotOf(key, HashOf(key))];
    if (s.Length != NoKey && s.Entry == Entry) s.Entry = -1;
}

void TWrittenFiles::Clear()
{
    std::vector<TSlot>().swap(FSlots);
    FCount = 0;
    std::string().swap(FAheadKey);
    FKeys.Clear();
}

// The files one archive's run has written, by the path each entry resolved to: two
// entries whose names differ (case, or on Windows trailing dots and spaces) may still
// land on one file, and the second must not pass for a file of its own.
#pragma once

#include "qvrEntryTable.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TWrittenFiles {
public:
    // The entry (its index in the run's table) that wrote Path earlier in the run, or -1.
    // Paths are compared as the file system compares them (qvrOS::FileNameKey).
    int32_t Find(const std::string& Path) const;
    // Starts fetching the memory a Find or Add of Path will read first, and keeps Path's
    // hash for them. The table is read at a place of its own for every entry, which is
    // seldom in the cache on a run of many small files: asked for when the entry's name
    // is known, it is mostly there by the time the entry's file is begun.
    void Prefetch(const std::string& Path);
    // Records that Entry writes Path; an earlier writer of the same file stays recorded.
    void Add(const std::string& Path, int32_t Entry);
    // Entry did not write Path after all (its file was withdrawn): the next writer of
    // the file is its first.
    void Forget(const std::string& Path, int32_t Entry);
    // Forgets every file, and the memory that held them.
    void Clear();
    // Makes room for Files files at once, so that the set is not rebuilt as it grows.
    void Reserve(size_t Files);

private:
    // One slot per file written, in a table kept at most half full and searched from
    // the slot of the key's hash on (the check is constant-time for runs of many small
    // files); the keys' bytes lie one after the other in FKeys. A file written costs
    // no memory of its own, and forgetting the run's files frees a few blocks.
    struct TSlot {
        uint32_t Hash = 0;
        uint32_t Ref = 0;        // of the key in FKeys
        uint32_t Length = NoKey; // of the key; NoKey: the slot is free
        int32_t Entry = -1;
    };
    static constexpr uint32_t NoKey = UINT32_MAX;
    // The slot a search for Hash starts from.
    size_t HomeOf(uint32_t Hash) const;
    // The slot that holds Key, or the free one where it would go.
    size_t SlotOf(std::string_view Key, uint32_t Hash) const;
    // The key Path is compared by: Path itself, or its folded form made in Copy.
    static std::string_view KeyOf(const std::string& Path, std::string& Copy);
    // Key's hash, taken from the last Prefetch when that was of Key.
    uint32_t HashOf(std::string_view Key) const;
    std::vector<TSlot> FSlots; // a power of two of them, or none
    size_t FCount = 0;
    TNameStore FKeys;
    std::string FAheadKey; // the path of the last Prefetch, and its hash
    uint32_t FAheadHash = 0;
};

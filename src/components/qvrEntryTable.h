// The entry table: the entries one run selected, in archive order, each a fixed record
// (TDirEntry) with its name in a shared name store. Both grow in blocks and never move
// what they hold, so a directory of a million entries costs its records and names and
// nothing more: no copy of each directory record, and no doubling of a buffer that
// briefly needs the old and the new one at once.
#pragma once

#include "qvrZipRecords.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Names one after the other in blocks of 64 KB; a name never spans two blocks, and one
// longer than a block (a long name turned into UTF-8) has a block of its own.
class TNameStore {
public:
    // Keeps Name and returns where; throws std::bad_alloc when memory runs out, or when
    // the store would pass 4 GB, which its references cannot address.
    uint32_t Add(std::string_view Name);
    std::string_view Get(uint32_t Ref, uint32_t Length) const;
    // Bytes of the names kept.
    uint64_t Bytes() const { return FBytes; }
    void Clear();

private:
    static constexpr uint32_t BlockBits = 16;
    static constexpr uint32_t BlockSize = uint32_t{1} << BlockBits;
    std::vector<std::unique_ptr<char[]>> FBlocks;
    uint32_t FUsed = BlockSize; // of the last block
    uint64_t FBytes = 0;
};

// The entries of one run (THeaderObj is the name the walk knows it by).
class THeaderObj {
public:
    void Init() { Clear(); }
    // Appends Entry under Name (the whole name the walk selected it by, normalised).
    // Throws std::bad_alloc when memory runs out; the entries held stay as they were.
    void Add(TDirEntry Entry, std::string_view Name);
    // Bytes of the names of the entries added since the table was last cleared.
    uint64_t NameBytes() const { return FNames.Bytes(); }
    const TDirEntry& GetEntry(int32_t I) const { return FEntries[static_cast<size_t>(I)]; }
    // The name entry I was added under; valid until the table changes.
    std::string_view GetName(int32_t I) const;
    // The directory record of entry I as far as extraction reads it: flags, method,
    // date, CRC, the sizes' low words, disk and attributes.
    TCentralHeader GetHeader(int32_t I) const;
    // Removes the entries whose flag in Drop is set, keeping the order of the others.
    void Remove(const std::vector<bool>& Drop);
    // Frees the entries and names (all but the deque's first block and index).
    void Clear();
    void Done() { Clear(); }
    int32_t FCount = 0;

private:
    std::deque<TDirEntry> FEntries;
    TNameStore FNames;
};
class TUnBaseHeaderObj : public THeaderObj {};

// The entry a directory record describes (deciphered, ZIP64 values applied, bits 32-47
// in High), at the offset it stores: the walk adds its adjustment and what the local
// header tells.
TDirEntry DirEntryOf(const TCentralHeader& Header, const THighParts& High);

// Compressed bytes of an entry less its encryption header: what it adds to the run's
// packed total.
int64_t PackedBytes(const TDirEntry& Entry);

#include "qvrEntryTable.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

// A record stays within a few dozen bytes: the table's size is this times the entries.
static_assert(sizeof(TDirEntry) <= 64);

uint32_t TNameStore::Add(std::string_view Name)
{
    if (Name.size() > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
    if (FUsed + Name.size() > BlockSize) {
        if (FBlocks.size() >= (size_t{1} << (32 - BlockBits))) throw std::bad_alloc();
        FBlocks.push_back(std::make_unique<char[]>(std::max<size_t>(BlockSize, Name.size())));
        FUsed = 0;
    }
    const uint32_t ref = (static_cast<uint32_t>(FBlocks.size() - 1) << BlockBits) | FUsed;
    if (!Name.empty()) std::memcpy(FBlocks.back().get() + FUsed, Name.data(), Name.size());
    // A name that fills its block or more leaves it full.
    FUsed = static_cast<uint32_t>(std::min<size_t>(FUsed + Name.size(), BlockSize));
    FBytes += Name.size();
    return ref;
}

std::string_view TNameStore::Get(uint32_t Ref, uint32_t Length) const
{
    if (Length == 0) return {};
    return {FBlocks[Ref >> BlockBits].get() + (Ref & (BlockSize - 1)), Length};
}

void TNameStore::Clear()
{
    FBlocks.clear();
    FBlocks.shrink_to_fit();
    FUsed = BlockSize;
    FBytes = 0;
}

void THeaderObj::Add(TDirEntry Entry, std::string_view Name)
{
    if (FCount == std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    Entry.NameRef = FNames.Add(Name);
    Entry.NameLength = static_cast<uint32_t>(Name.size());
    FEntries.push_back(Entry);
    ++FCount;
}

std::string_view THeaderObj::GetName(int32_t I) const
{
    const TDirEntry& e = GetEntry(I);
    return FNames.Get(e.NameRef, e.NameLength);
}

TCentralHeader THeaderObj::GetHeader(int32_t I) const
{
    const TDirEntry& e = GetEntry(I);
    TCentralHeader h;
    h.SetU32(0, CentralSig);
    h.SetU16(8, e.Flags);
    h.SetU16(10, e.Method);
    h.SetU32(12, e.DosDateTime);
    h.SetU32(16, e.Crc);
    h.SetCompressedSize(static_cast<uint32_t>(e.CompressedSize));
    h.SetUncompressedSize(static_cast<uint32_t>(e.UncompressedSize));
    h.SetU16(34, static_cast<uint16_t>(e.DiskNumber - 1));
    h.SetU32(38, e.ExternalAttr);
    h.SetU16(4, static_cast<uint16_t>(e.Host << 8));
    return h;
}

void THeaderObj::Remove(const std::vector<bool>& Drop)
{
    size_t kept = 0;
    for (size_t i = 0; i < FEntries.size(); ++i) {
        if (i < Drop.size() && Drop[i]) continue;
        if (kept != i) FEntries[kept] = FEntries[i];
        ++kept;
    }
    FEntries.resize(kept);
    FCount = static_cast<int32_t>(kept);
}

void THeaderObj::Clear()
{
    // Never allocates: it also runs when memory has run out.
    FEntries.clear();
    FNames.Clear();
    FCount = 0;
}

TDirEntry DirEntryOf(const TCentralHeader& Header, const THighParts& High)
{
    TDirEntry e;
    e.Position = WithHigh(Header.LocalOffset(), High.Offset);
    e.CompressedSize = WithHigh(Header.CompressedSize(), High.Compressed);
    e.UncompressedSize = WithHigh(Header.UncompressedSize(), High.Uncompressed);
    e.ExternalAttr = Header.ExternalAttr();
    e.Crc = Header.Crc();
    e.DosDateTime = Header.DosDateTime();
    e.DiskNumber = static_cast<uint16_t>(Header.DiskNumberStart() + 1);
    e.Flags = Header.Flags();
    e.Method = Header.Method();
    e.Host = Header.Host();
    return e;
}

int64_t PackedBytes(const TDirEntry& Entry)
{
    return Entry.CompressedSize - ((Entry.Flags & 0x0001) ? 12 : 0);
}

// The entry table and the checks over it: names kept whole across the store's blocks,
// entries removed in order, and which of several overlapping entries are flagged.
#include "qvrEntryChecks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct TSpan {
    uint16_t Disk;
    int64_t Start;
    uint32_t Header; // 0: not read
    int64_t Packed;
};

THeaderObj TableOf(const std::vector<TSpan>& Spans)
{
    THeaderObj t;
    for (size_t i = 0; i < Spans.size(); ++i) {
        TDirEntry e;
        e.DiskNumber = Spans[i].Disk;
        e.Position = Spans[i].Start;
        e.HeaderLength = Spans[i].Header;
        e.CompressedSize = Spans[i].Packed;
        t.Add(e, "e" + std::to_string(i));
    }
    return t;
}

} // namespace

TEST(EntryTable, NamesSurviveManyBlocksAndRemoval)
{
    THeaderObj t;
    // 255-byte names fill a 64 KB block after 257 of them.
    for (int i = 0; i < 2000; ++i) {
        TDirEntry e;
        e.Crc = static_cast<uint32_t>(i);
        t.Add(e, std::to_string(i) + std::string(255 - std::to_string(i).size(), 'x'));
    }
    t.Add(TDirEntry{}, "");
    ASSERT_EQ(t.FCount, 2001);
    std::vector<bool> drop(2001);
    for (size_t i = 0; i < drop.size(); i += 3) drop[i] = true;
    t.Remove(drop);
    ASSERT_EQ(t.FCount, 1334);
    for (int32_t k = 0; k < 1333; ++k) {
        const int i = k / 2 * 3 + 1 + k % 2;
        EXPECT_EQ(t.GetEntry(k).Crc, static_cast<uint32_t>(i));
        EXPECT_EQ(t.GetName(k), std::to_string(i) + std::string(255 - std::to_string(i).size(), 'x'));
    }
    EXPECT_EQ(t.GetName(1333), "");
    t.Clear();
    EXPECT_EQ(t.FCount, 0);
}

TEST(EntryTable, HeaderImageCarriesWhatExtractionReads)
{
    TCentralHeader c;
    c.SetU32(0, CentralSig);
    c.SetU16(8, 0x0809);
    c.SetU16(10, 8);
    c.SetU32(12, 0x5A8C6B2D);
    c.SetU32(16, 0xCAFEF00D);
    c.SetCompressedSize(0xFFFFFFF0u);
    c.SetUncompressedSize(1234);
    c.SetU16(34, 4);
    c.SetU32(38, 0x81A40020);
    c.SetLocalOffset(77);
    TDirEntry e = DirEntryOf(c, {2, 0, 1});
    EXPECT_EQ(e.Position, 77 + (int64_t{1} << 32));
    EXPECT_EQ(e.CompressedSize, 0xFFFFFFF0 + (int64_t{2} << 32));
    EXPECT_EQ(e.DiskNumber, 5);
    THeaderObj t;
    t.Add(e, "n");
    const TCentralHeader h = t.GetHeader(0);
    for (size_t off : {0, 8, 12, 16, 20, 24, 34, 38}) EXPECT_EQ(h.U32(off), c.U32(off)) << off;
    EXPECT_EQ(PackedBytes(e), e.CompressedSize - 12); // flag bit 0: encrypted
}

TEST(EntryChecks, OverlapsKeepTheFirstExtentAndFlagTheRest)
{
    const TArchiveSpan dir{1, 10000, 10500};
    struct TCase {
        const char* Name;
        std::vector<TSpan> Spans;
        bool PerDisk;
        std::vector<bool> Flags;
    };
    const TCase cases[] = {
        {"Disjoint", {{1, 0, 40, 60}, {1, 100, 40, 10}, {1, 150, 0, 0}}, false, {0, 0, 0}},
        {"Touching", {{1, 0, 40, 60}, {1, 100, 40, 0}}, false, {0, 0}},
        {"SameStartTwice", {{1, 0, 40, 60}, {1, 0, 40, 60}, {1, 0, 40, 60}}, false, {0, 1, 1}},
        {"StartsInsideTheData", {{1, 0, 40, 1000}, {1, 45, 40, 10}}, false, {0, 1}},
        // Listed first but starting later: the extent that starts first is kept.
        {"ListedBeforeItsHost", {{1, 45, 40, 10}, {1, 0, 40, 1000}}, false, {1, 0}},
        // A flagged entry does not shadow the ones after it.
        {"FlaggedDoesNotExtend", {{1, 0, 40, 10}, {1, 20, 40, 5000}, {1, 100, 40, 10}}, false,
         {0, 1, 0}},
        // A local header not read counts 30 bytes.
        {"UnreadHeaderIs30Bytes", {{1, 0, 0, 10}, {1, 39, 0, 10}, {1, 80, 0, 10}}, false,
         {0, 1, 0}},
        {"IntoTheDirectory", {{1, 9000, 40, 960}, {1, 9000 + 100, 0, 0}, {1, 10499, 0, 0}},
         false, {0, 1, 1}},
        {"EndsAtTheDirectory", {{1, 9000, 40, 960}}, false, {0}},
        {"OtherDisksOfASplitSet", {{1, 0, 40, 60}, {2, 0, 40, 60}, {2, 50, 0, 0}}, true,
         {0, 0, 1}},
        {"DiskNumbersInOneFile", {{1, 0, 40, 60}, {2, 0, 40, 60}, {3, 10200, 0, 0}}, false,
         {0, 1, 1}},
        {"DirectoryOnlyOnItsDisk", {{2, 10200, 0, 0}}, true, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(FindOverlappingEntries(TableOf(c.Spans), dir, c.PerDisk), c.Flags);
    }
}

TEST(EntryTable, LongNamesAreKeptWholeBesideShortOnes)
{
    // Names as long as a record holds, and longer once turned into UTF-8 ("%XX" for each
    // byte that is not): each is kept whole, between short ones, and counted.
    struct TCase {
        const char* Name;
        std::vector<size_t> Lengths;
    };
    const TCase cases[] = {
        {"LongestStored", {10, 65535, 10}},
        {"GrownPastABlock", {65000, 196605, 3, 65536}},
        {"FillsABlockExactly", {65536, 1}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        THeaderObj t;
        uint64_t total = 0;
        for (size_t i = 0; i < c.Lengths.size(); ++i) {
            t.Add(TDirEntry{}, std::string(c.Lengths[i], static_cast<char>('a' + i)));
            total += c.Lengths[i];
        }
        EXPECT_EQ(t.NameBytes(), total);
        for (size_t i = 0; i < c.Lengths.size(); ++i)
            EXPECT_EQ(t.GetName(static_cast<int32_t>(i)),
                      std::string(c.Lengths[i], static_cast<char>('a' + i)));
        t.Clear();
        EXPECT_EQ(t.NameBytes(), 0u);
    }
}

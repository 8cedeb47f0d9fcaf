#include "qvrEntryChecks.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace {

// The local header (30 bytes at least when it was not read) and the data after it.
int64_t ExtentEnd(const TDirEntry& E)
{
    return E.Position + (E.HeaderLength ? int64_t{E.HeaderLength} : 30) +
           std::max<int64_t>(E.CompressedSize, 0);
}

} // namespace

std::vector<bool> FindOverlappingEntries(const THeaderObj& Table, const TArchiveSpan& Dir,
                                         bool PerDisk)
{
    const uint32_t n = static_cast<uint32_t>(Table.FCount);
    std::vector<bool> flags(n);
    auto disk = [&](const TDirEntry& e) { return PerDisk ? e.DiskNumber : Dir.Disk; };
    auto at = [&](uint32_t i) -> const TDirEntry& { return Table.GetEntry(static_cast<int32_t>(i)); };
    auto before = [&](uint32_t a, uint32_t b) {
        const TDirEntry& x = at(a);
        const TDirEntry& y = at(b);
        if (disk(x) != disk(y)) return disk(x) < disk(y);
        if (x.Position != y.Position) return x.Position < y.Position;
        return a < b;
    };
    // Entries are visited by where they start. Writers list them in that order, so an
    // index to sort is only made for a table that is not.
    bool ordered = true;
    for (uint32_t i = 1; i < n && ordered; ++i) ordered = before(i - 1, i);
    std::vector<uint32_t> order(ordered ? 0 : n);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), before);
    // Sorted by start, an entry overlaps a kept one exactly when it starts before the
    // furthest end reached so far on its disk.
    uint32_t current = std::numeric_limits<uint32_t>::max();
    int64_t reach = std::numeric_limits<int64_t>::min();
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t i = ordered ? k : order[k];
        const TDirEntry& e = at(i);
        if (disk(e) != current) {
            current = disk(e);
            reach = std::numeric_limits<int64_t>::min();
        }
        const int64_t end = ExtentEnd(e);
        const bool inDir = disk(e) == Dir.Disk && e.Position < Dir.End && end > Dir.Start;
        if (e.Position < reach || inDir)
            flags[i] = true;
        else
            reach = std::max(reach, end);
    }
    return flags;
}

// Checks over the entry table before anything is extracted: entries whose bytes overlap
// another entry's or the directory's.
//
// An entry's extent runs from its local header to the end of its data. Honest archives
// never share a byte between two extents, but a directory can point many records at one
// local header, or at headers quoted inside another entry's data: a small file that
// extracts to gigabytes. Each check answers one flag per entry, in table order.
#pragma once

#include "qvrEntryTable.h"

#include <cstdint>
#include <vector>

// Where a part of the archive lies: on disk Disk (1-based), from Start up to End.
struct TArchiveSpan {
    uint16_t Disk = 1;
    int64_t Start = 0;
    int64_t End = 0;
};

// Flags the entries whose extent overlaps the directory (Dir, on its disk) or the extent
// of an entry that is kept: of two that overlap, the one that starts first is kept, or
// the one listed first when both start at the same place. Flagged entries are not taken
// into account for the ones after them. With PerDisk clear, all the archive is one
// file and the entries' disk numbers mean nothing. Takes n log n at the most.
std::vector<bool> FindOverlappingEntries(const THeaderObj& Table, const TArchiveSpan& Dir,
                                         bool PerDisk);

// The disks of a set spanned over removable media: every disk holds a file with the
// archive's own name, and the host swaps disks in one drive when asked. The span
// object asks for the disk the walk needs and checks the disk in the drive before the
// archive on it is used.
#pragma once

#include "qvrFileIo.h"
#include "qvrStreams.h"

#include <cstdint>
#include <memory>

struct TVolumeHost;

class TDiskSpannObj : public TDiskCommon {
public:
    explicit TDiskSpannObj(const TVolumeHost& Host) : FHost(Host) {}

    // Before each spanned walk: the first disk wanted is the last one, with the
    // directory.
    void Init();
    // Closes Stream, obtains the disk FDiskIndex names (0 the last disk, 1 the first,
    // n the n-th), and opens the archive on it into Stream. False when the host cancels
    // or the disk cannot be read; the run is cancelled then.
    bool SpanStep(std::unique_ptr<TStream32>& Stream);
    // Whether the disk in the drive is the one wanted: a record at Position, or (a
    // disk whose file ends before it) a label carrying the wanted disk number.
    bool DiskHasData(int64_t Position);

    uint16_t FDiskIndex = 0;
    // Where the wanted disk must show a record: the offset of the entry's local header,
    // or, for data continued from the disk before, the offset its data ends at.
    int64_t FRecordAt = 0;

private:
    TDiskEvents Events();

    const TVolumeHost& FHost;
};

// The archive source of a split set: its parts read as one stream.
//
// ZIP records address a split set by part ("disk") and offset within that part, so a
// position here is the pair packed into one number: VolumePos(Disk, Offset). Reading
// past the end of a part goes on at the start of the next one, so a decoder, a cipher
// and a record reader see one run of bytes wherever a part ends; an offset beyond its
// part's end stands for the same byte in a later part (position arithmetic needs no
// knowledge of part sizes). Parts are opened one at a time, when the first byte of one
// is wanted, through the opener the component gives; a part that cannot be had reads
// as empty, and is not asked for again.
#pragma once

#include "qvrStreams.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

inline constexpr int VolumeOffsetBits = 40;
inline constexpr int64_t VolumePos(uint32_t Disk, int64_t Offset)
{
    return (static_cast<int64_t>(Disk) << VolumeOffsetBits) + Offset;
}
inline constexpr uint32_t VolumeDisk(int64_t Pos)
{
    return static_cast<uint32_t>(Pos >> VolumeOffsetBits);
}
inline constexpr int64_t VolumeOffset(int64_t Pos)
{
    return Pos & ((int64_t{1} << VolumeOffsetBits) - 1);
}

class TVolumeStream : public TStream32 {
public:
    // Opens part Disk (0-based); null when it cannot be had (the opener reports why).
    using TOpener = std::function<std::unique_ptr<TStream32>(uint32_t Disk)>;

    // LastDisk is the part with the end records; Current, when given, is part
    // CurrentDisk, already open.
    TVolumeStream(uint32_t LastDisk, TOpener Opener, std::unique_ptr<TStream32> Current = nullptr,
                  uint32_t CurrentDisk = 0);

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, int Origin) override;
    // The position just past the last part's end.
    int64_t GetSize() override;

    // Pos with the offsets of the parts whose sizes are known carried into the
    // following parts: (disk, offset) as far as can be told without opening a part.
    int64_t Normalize(int64_t Pos) const;
    // The part open now.
    uint32_t CurrentDisk() const { return FDisk; }
    bool Available(uint32_t Disk) const;
    uint32_t LastDisk() const { return FLast; }

private:
    // Makes part Disk the open one; false when it cannot be had.
    bool Enter(uint32_t Disk);
    int64_t KnownSize(uint32_t Disk) const;

    uint32_t FLast;
    TOpener FOpener;
    std::unique_ptr<TStream32> FPart;
    uint32_t FDisk = 0;
    int64_t FPartPos = -1; // the open part's own position, -1 when unknown
    int64_t FPos = 0;
    // Sizes of the parts opened so far (-1 unknown), and the parts that could not be had.
    std::vector<int64_t> FSizes;
    std::vector<bool> FMissing;
};

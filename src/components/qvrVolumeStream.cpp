#include "qvrVolumeStream.h"

#include <algorithm>

TVolumeStream::TVolumeStream(uint32_t LastDisk, TOpener Opener,
                             std::unique_ptr<TStream32> Current, uint32_t CurrentDisk)
    : FLast(LastDisk),
      FOpener(std::move(Opener)),
      FSizes(static_cast<size_t>(LastDisk) + 1, -1),
      FMissing(static_cast<size_t>(LastDisk) + 1, false)
{
    if (Current && CurrentDisk <= FLast) {
        FPart = std::move(Current);
        FDisk = CurrentDisk;
        FSizes[FDisk] = FPart->Size();
        FPos = VolumePos(FDisk, 0);
    }
}

int64_t TVolumeStream::KnownSize(uint32_t Disk) const
{
    return Disk <= FLast ? FSizes[Disk] : -1;
}

bool TVolumeStream::Available(uint32_t Disk) const { return Disk <= FLast && !FMissing[Disk]; }

bool TVolumeStream::Enter(uint32_t Disk)
{
    if (FPart && FDisk == Disk) return true;
    if (!Available(Disk)) return false;
    // One part at a time, as with disks in a drive: the old one goes before the new
    // one is asked for.
    FPart.reset();
    FPartPos = -1;
    FPart = FOpener ? FOpener(Disk) : nullptr;
    if (!FPart) {
        FMissing[Disk] = true;
        return false;
    }
    FDisk = Disk;
    FSizes[Disk] = FPart->Size();
    return true;
}

int64_t TVolumeStream::Normalize(int64_t Pos) const
{
    uint32_t d = VolumeDisk(Pos);
    int64_t o = VolumeOffset(Pos);
    while (d < FLast && KnownSize(d) >= 0 && o >= KnownSize(d)) {
        o -= KnownSize(d);
        ++d;
    }
    return VolumePos(d, o);
}

int32_t TVolumeStream::Read(void* Buffer, int32_t Count)
{
    auto* out = static_cast<uint8_t*>(Buffer);
    int32_t done = 0;
    while (done < Count) {
        FPos = Normalize(FPos);
        const uint32_t d = VolumeDisk(FPos);
        const int64_t o = VolumeOffset(FPos);
        if (!Enter(d)) break;
        const int64_t size = FSizes[d];
        if (o >= size) {
            // A part's size is known once it is open: the offset carries on next pass,
            // unless this is the last part.
            if (d >= FLast) break;
            continue;
        }
        if (FPartPos != o && FPart->Seek(o, 0) != o) break;
        const int32_t want = static_cast<int32_t>(std::min<int64_t>(Count - done, size - o));
        const int32_t got = FPart->Read(out + done, want);
        if (got <= 0) {
            // The part is shorter than it claimed (it shrank, or a read failed).
            FPartPos = -1;
            break;
        }
        done += got;
        FPos += got;
        FPartPos = o + got;
    }
    return done;
}

int64_t TVolumeStream::Seek(int64_t Offset, int Origin)
{
    int64_t target;
    switch (Origin) {
    case 0: target = Offset; break;
    case 1:
        if (Offset >= 0) {
            target = FPos + Offset;
            break;
        }
        {
            // Back across part starts: the parts behind are known, since they were read.
            const int64_t at = Normalize(FPos);
            uint32_t d = VolumeDisk(at);
            int64_t o = VolumeOffset(at) + Offset;
            while (o < 0 && d > 0 && KnownSize(d - 1) >= 0) o += KnownSize(--d);
            if (o < 0) return -1;
            target = VolumePos(d, o);
        }
        break;
    case 2: target = GetSize() + Offset; break;
    default: return -1;
    }
    if (target < 0) return -1;
    FPos = target;
    return FPos;
}

int64_t TVolumeStream::GetSize()
{
    const int64_t last = KnownSize(FLast);
    return VolumePos(FLast, std::max<int64_t>(last, 0));
}

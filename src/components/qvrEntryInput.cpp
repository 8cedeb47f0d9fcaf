#include "qvrEntryInput.h"

#include <algorithm>
#include <cstring>

TWindowStream::TWindowStream(TStream32& Source, int64_t Size)
    : FSource(Source), FStart(Source.Position()), FSize(Size)
{
}

int32_t TWindowStream::Read(void* Buffer, int32_t Count)
{
    if (Count <= 0) return 0;
    if (FSize >= 0) Count = static_cast<int32_t>(std::clamp<int64_t>(FSize - FPos, 0, Count));
    if (Count == 0) return 0;
    const int32_t n = std::max(FSource.Read(Buffer, Count), 0);
    FPos += n;
    return n;
}

int32_t TWindowStream::Borrow(const uint8_t*& Data, int32_t Count)
{
    if (Count <= 0) return 0;
    if (FSize >= 0) Count = static_cast<int32_t>(std::clamp<int64_t>(FSize - FPos, 0, Count));
    if (Count == 0) return 0;
    const int32_t n = FSource.Borrow(Data, Count);
    if (n > 0) FPos += n;
    return n;
}

int64_t TWindowStream::Seek(int64_t Offset, int Origin)
{
    if (Origin == 1 && Offset == 0) return FPos;
    int64_t to = Origin == 0 ? Offset : Origin == 1 ? FPos + Offset : -1;
    if (Origin == 2) {
        if (FSize < 0) return -1;
        to = FSize + Offset;
    }
    if (to < 0 || (FSize >= 0 && to > FSize)) return -1;
    if (FSource.Seek(FStart + to, 0) != FStart + to) return -1;
    FPos = to;
    return FPos;
}

int32_t TCipherStream::Read(void* Buffer, int32_t Count)
{
    const int32_t n = std::max(FSource.Read(Buffer, Count), 0);
    FKeys.DecipherBuffer(static_cast<uint8_t*>(Buffer), n);
    return n;
}

bool THeaderBlock::Read(THandleStream32& Source, int64_t Pos, void* Buffer, int32_t Count,
                        int32_t Ahead)
{
    if (Pos < 0 || Count <= 0) return false;
    if (!(FLength > 0 && Pos >= FStart && Pos - FStart <= FLength - Count)) {
        Ahead = std::clamp(Ahead, Count, Size);
        if (Ahead == Count) return Source.ReadAt(Pos, Buffer, Count) == Count;
        if (!FBuf) FBuf = std::make_unique_for_overwrite<uint8_t[]>(Size);
        FStart = Pos;
        FLength = Source.ReadAt(Pos, FBuf.get(), Ahead);
        if (FLength < Count) return false;
    }
    std::memcpy(Buffer, FBuf.get() + (Pos - FStart), static_cast<size_t>(Count));
    return true;
}

#include "qvrDecompressStream.h"

#include <algorithm>
#include <limits>

TCustomStream::TCustomStream(TStream32& Source, TEntryBuffers* Buffers)
    : FSource(&Source), FSourcePos(Source.Position())
{
    if (Buffers) {
        FInBuffer = Buffers->Get(TEntryBuffers::bsInput, InBufferSize);
        FStrm.AllocFunc = TEntryBuffers::EngineAlloc;
        FStrm.FreeFunc = TEntryBuffers::EngineFree;
        FStrm.Opaque = Buffers;
        return;
    }
    FOwnInBuffer = std::make_unique_for_overwrite<uint8_t[]>(InBufferSize);
    FInBuffer = FOwnInBuffer.get();
    FStrm.AllocFunc = InflateAlloc;
    FStrm.FreeFunc = InflateFree;
}

void TCustomStream::SetSource(TStream32& Source, int64_t Pos)
{
    FSource = &Source;
    FSource->Seek(Pos, 0);
    FSourcePos = Pos;
}

TDecompressStream::TDecompressStream(TStream32& Source, int8_t WindowBits, bool Deflate64Mode,
                                     TEntryBuffers* Buffers)
    : TCustomStream(Source, Buffers)
{
    FStrm.NextIn = FInBuffer;
    FStrm.AvailIn = 0;
    FStrm.Deflate64Mode = Deflate64Mode;
    // Virtual calls from a constructor reach this class's own engine, as intended.
    TDecompressStream::EngineInit(WindowBits);
}

TDecompressStream::~TDecompressStream()
{
    if (FStrm.AvailIn > 0) FSource->Seek(-static_cast<int64_t>(FStrm.AvailIn), 1);
    TDecompressStream::EngineEnd();
}

int32_t TDecompressStream::Read(void* Buffer, int32_t Count)
{
    if (Count <= 0) return 0;
    FStrm.NextOut = static_cast<uint8_t*>(Buffer);
    FStrm.AvailOut = static_cast<uint32_t>(Count);
    if (FSource->Position() != FSourcePos) FSource->Seek(FSourcePos, 0);
    while (FStrm.AvailOut > 0) {
        if (FStrm.AvailIn == 0) {
            const int32_t want = std::min(Count, InBufferSize);
            const int32_t n = std::max(FSource->Read(FInBuffer, want), 0);
            FStrm.AvailIn = static_cast<uint32_t>(n);
            FStrm.NextIn = FInBuffer;
            FSourcePos = FSource->Position();
            if (n > 0) Progress();
        }
        const int32_t rc = EngineRun();
        if (rc == InflateStreamEnd) break;
        if (rc < 0) return rc;
    }
    return Count - static_cast<int32_t>(FStrm.AvailOut);
}

int32_t TDecompressStream::Write(const void*, int32_t) { return -1; }

int64_t TDecompressStream::Seek(int64_t Offset, int Origin)
{
    if (Offset < std::numeric_limits<int32_t>::min() || Offset > std::numeric_limits<int32_t>::max())
        throw EStreamError("Range check error");
    if (Origin == 0 && Offset == 0) {
        EngineReset();
        FStrm.NextIn = FInBuffer;
        FStrm.AvailIn = 0;
        FSource->Seek(0, 0);
        FSourcePos = 0;
        return FStrm.TotalOut;
    }
    int64_t distance = -1;
    if (Origin == 1 && Offset >= 0)
        distance = Offset;
    else if (Origin == 0 && Offset > FStrm.TotalOut)
        distance = Offset - FStrm.TotalOut;
    if (distance > 0) {
        uint8_t scratch[4096];
        for (int64_t i = 0; i < distance / 4096; ++i) ReadBuffer(scratch, 4096);
        ReadBuffer(scratch, static_cast<int32_t>(distance % 4096));
    }
    return FStrm.TotalOut;
}

// The inflate engine as a read-only stream: compressed bytes come from a source stream
// (an entry's layers: its window, and its cipher layer when it is encrypted) into a
// 64 KB input buffer, and are inflated into whatever buffer the reader supplies.
#pragma once

#include "qvrEntryBuffers.h"
#include "qvrInflate.h"
#include "qvrStreams.h"

#include <cstdint>
#include <memory>

// Owns the engine record; the source is borrowed. The input buffer and the engine's
// memory are the run's when it lends its buffers, else the stream's own.
class TCustomStream : public TStream32 {
public:
    static constexpr int32_t InBufferSize = 65536;

    explicit TCustomStream(TStream32& Source, TEntryBuffers* Buffers = nullptr);
    ~TCustomStream() override = default;

    // Points the stream at another source (the next volume), reading from Pos on.
    void SetSource(TStream32& Source, int64_t Pos);

    TInflateStream FStrm;

protected:
    // Not zeroed: the engine reads only the bytes the source put in.
    std::unique_ptr<uint8_t[]> FOwnInBuffer;
    uint8_t* FInBuffer;
    TStream32* FSource;
    int64_t FSourcePos;
};

class TDecompressStream : public TCustomStream {
public:
    // Deflate64Mode picks the variant; WindowBits -15 is raw data with the variant's
    // window. A failed initialisation shows as InflateStreamError from the first Read.
    TDecompressStream(TStream32& Source, int8_t WindowBits, bool Deflate64Mode,
                      TEntryBuffers* Buffers = nullptr);
    // Gives back to the source the input that was read but not consumed, so the source
    // ends right after the compressed data.
    ~TDecompressStream() override;

    // Bytes placed in Buffer, or a negative engine code: InflateBufError when the source
    // ran dry, InflateDataError for invalid data, InflateStreamError without state.
    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    // Offset 0 from the start restarts from the source's position 0; forward moves
    // decompress and discard; anything else stays put. Returns the bytes delivered.
    int64_t Seek(int64_t Offset, int Origin) override;

    int64_t TotalOut() const { return FStrm.TotalOut; }
    int64_t TotalIn() const { return FStrm.TotalIn; }

protected:
    virtual int32_t EngineReset() { return InflateReset(FStrm); }
    virtual int32_t EngineEnd() { return InflateEnd(FStrm); }
    virtual int32_t EngineRun() { return Inflate(FStrm, InflateNoFlush); }
    virtual int32_t EngineInit(int8_t WindowBits)
    {
        return InflateInit(FStrm, WindowBits, InflateRecordSize);
    }
};

// Helpers for the suites that drive the method table's decoders directly: an output
// stream that captures what the sink writes, a run of one row over bytes in memory, and
// a writer of LSB-first bit streams.
#pragma once

#include "TestSupport.h"
#include "qvrMethods.h"

#include <cstddef>
#include <cstdint>

namespace test {

// An output stream in memory. With a Limit, every write that would take it past Limit
// bytes is refused (returns 0) and leaves it unchanged.
class TCaptureStream : public TStream32 {
public:
    explicit TCaptureStream(int64_t Limit = -1) : FLimit(Limit) {}
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* Buf, int32_t Count) override;
    int64_t Seek(int64_t, int) override { return static_cast<int64_t>(Data.size()); }
    Bytes Data;
    int Writes = 0; // the writes taken, refused ones not counted

private:
    int64_t FLimit;
};

// What one row of the method table made of an input.
struct TRowRun {
    TDecodeResult Result = TDecodeResult::Done;
    Bytes Out;
    int32_t FailCode = 0;
    bool Passes = false;   // the sink's verdict against the CRC of Out
    int Writes = 0;        // the writes the output stream took
    int64_t InputRead = 0; // how far the decoder read into its input
};
// Runs the row of Info.Method over Input, handed out at most MaxRead bytes per read (0:
// no cap), into a sink that expects Declared bytes and writes to a TCaptureStream.
// Expects the row to exist and the sink's count of bytes written to be what the stream
// took.
TRowRun DecodeRow(const Bytes& Input, const TEntryInfo& Info, int64_t Declared,
                  int32_t MaxRead);

// Packs bits into bytes least significant bit first; the last byte is padded with zero
// bits.
class TBitWriter {
public:
    // The N low bits of Value, lowest first.
    void Put(uint32_t Value, int N);
    // The N low bits of Code, highest first: the order prefix codes are read in.
    void PutCode(uint32_t Code, int N);
    const Bytes& Data() const { return FData; }

private:
    void Bit(uint32_t B);
    Bytes FData;
    size_t FUsed = 0;
};

} // namespace test

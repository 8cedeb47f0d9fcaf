// The read side of an entry's byte path, as layers over the run's archive source:
//
//   archive source -> TWindowStream (the entry's compressed bytes only)
//                  -> TCipherStream (traditional decryption, encrypted entries only)
//                  -> the method's decoder
//
// The window keeps a decoder from reading into the next record however its input is
// damaged, and ends its input exactly where the entry's data ends. The cipher layer
// owns the entry's key state, so the keys follow the bytes in the order the decoder
// consumes them, whatever size of reads it makes.
#pragma once

#include "qvrCrypt.h"
#include "qvrStreams.h"

#include <cstdint>

// Size bytes of Source from its position at construction (Size < 0: the rest of the
// source). Positions are relative to the window's start.
class TWindowStream : public TStream32 {
public:
    TWindowStream(TStream32& Source, int64_t Size);

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, int Origin) override;

private:
    TStream32& FSource;
    int64_t FStart;
    int64_t FSize;
    int64_t FPos = 0;
};

// Deciphers what it reads from Source with a key state that stands just past the
// entry's encryption header. A seek moves the source only: the key state cannot follow
// it, which is why the only seek made through it is the give-back of unused input at
// the end of an entry.
class TCipherStream : public TStream32 {
public:
    TCipherStream(TStream32& Source, const TZipCipher& Keys) : FSource(Source), FKeys(Keys) {}

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, int Origin) override { return FSource.Seek(Offset, Origin); }

private:
    TStream32& FSource;
    TZipCipher FKeys;
};

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
#include <memory>

// Size bytes of Source from its position at construction (Size < 0: the rest of the
// source). Positions are relative to the window's start.
class TWindowStream : public TStream32 {
public:
    TWindowStream(TStream32& Source, int64_t Size);

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Borrow(const uint8_t*& Data, int32_t Count) override;
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

// The directory walk checks the local header of every entry it selects before anything
// is extracted. Writers put entries one after the other in directory order, so where
// the entries are small one read of a block at a header holds the next few headers as
// well: those are copied from the block instead of costing a system call each.
class THeaderBlock {
public:
    // Reads Count bytes at Pos of Source into Buffer; Ahead is how many bytes from Pos
    // are worth reading at once (never less than Count). False when the file ends first.
    bool Read(THandleStream32& Source, int64_t Pos, void* Buffer, int32_t Count, int32_t Ahead);

    // The Count bytes at Pos when the block read last holds them all, else null.
    const uint8_t* Held(int64_t Pos, int32_t Count) const
    {
        return FLength > 0 && Count >= 0 && Pos >= FStart && Pos - FStart <= FLength - Count
                   ? FBuf.get() + (Pos - FStart)
                   : nullptr;
    }

    static constexpr int32_t Size = 32768;

private:
    std::unique_ptr<uint8_t[]> FBuf;
    int64_t FStart = 0;
    int32_t FLength = 0;
};

// Working memory of the decoders, kept from one entry to the next by whoever decodes
// entries one after the other (one set to a thread). A run of thousands of small
// entries then allocates its buffers, the inflate engine's window and its tables once,
// and nothing is zeroed that a decoder overwrites before it reads: each decoder hands
// on only the bytes it has put in, and the inflate engine reads its window only as far
// as it has written it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Memory for a decoder that holds a whole entry at once (its compressed bytes and its
// output) instead of streaming it. Each set of buffers holds one, lent to
// the sinks of the entries that may use it, so it is allocated once, grows to the largest entry decoded that way and is
// never cleared: the decoder writes every byte it reads back. Its users bound the size.
class TWholeEntryBuffer {
public:
    // The largest entry (declared size, and compressed size) decoded in it: 8 MB, less
    // where many threads each keep one, so that together they stay bounded.
    int64_t Limit() const { return FLimit; }
    void Limit(int64_t Bytes) { FLimit = Bytes; }
    static constexpr int64_t MaxLimit = int64_t{8} << 20;

    // At least Size writable bytes; earlier contents are not kept.
    uint8_t* Get(size_t Size)
    {
        if (Size > FSize) {
            FData.reset();
            FData = std::make_unique_for_overwrite<uint8_t[]>(Size);
            FSize = Size;
        }
        return FData.get();
    }

private:
    std::unique_ptr<uint8_t[]> FData;
    size_t FSize = 0;
    int64_t FLimit = MaxLimit;
};

class TEntryBuffers {
public:
    TEntryBuffers() = default;
    ~TEntryBuffers();
    TEntryBuffers(const TEntryBuffers&) = delete;
    TEntryBuffers& operator=(const TEntryBuffers&) = delete;

    enum TSlot { bsOutput, bsInput, bsCount };
    // At least Size bytes in Slot, holding whatever an earlier entry left there.
    uint8_t* Get(TSlot Slot, int32_t Size);

    // The inflate engine's allocation hooks, with the buffers as their opaque pointer: a
    // block given back is kept for the next request of the same size.
    static void* EngineAlloc(void* Buffers, uint32_t Items, uint32_t Size);
    static void EngineFree(void* Buffers, void* Block);

    TWholeEntryBuffer& Whole() { return FWhole; }

private:
    struct TBuffer {
        std::unique_ptr<uint8_t[]> Data;
        int32_t Size = 0;
    };
    TBuffer FBuffers[bsCount];
    // Blocks of the engine, each in use or free; a request past MaxBlocks is served
    // (and freed) by the C library alone.
    struct TBlock {
        void* Data = nullptr;
        size_t Size = 0;
        bool Used = false;
    };
    static constexpr size_t MaxBlocks = 8;
    TBlock FBlocks[MaxBlocks];
    TWholeEntryBuffer FWhole;
};

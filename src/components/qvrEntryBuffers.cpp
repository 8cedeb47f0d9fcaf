#include "qvrEntryBuffers.h"

#include <cstdlib>

TEntryBuffers::~TEntryBuffers()
{
    for (TBlock& b : FBlocks) std::free(b.Data);
}

uint8_t* TEntryBuffers::Get(TSlot Slot, int32_t Size)
{
    TBuffer& b = FBuffers[Slot];
    if (Size > b.Size) {
        b.Data.reset();
        b.Data = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(Size));
        b.Size = Size;
    }
    return b.Data.get();
}

void* TEntryBuffers::EngineAlloc(void* Buffers, uint32_t Items, uint32_t Size)
{
    const uint64_t bytes = uint64_t{Items} * Size;
    if (bytes == 0 || bytes > SIZE_MAX) return nullptr;
    const size_t n = static_cast<size_t>(bytes);
    auto& self = *static_cast<TEntryBuffers*>(Buffers);
    TBlock* empty = nullptr;
    for (TBlock& b : self.FBlocks) {
        if (b.Data && !b.Used && b.Size == n) {
            b.Used = true;
            return b.Data;
        }
        if (!b.Data && !empty) empty = &b;
    }
    void* p = std::malloc(n);
    if (p && empty) *empty = {p, n, true};
    return p;
}

void TEntryBuffers::EngineFree(void* Buffers, void* Block)
{
    if (!Block) return;
    for (TBlock& b : static_cast<TEntryBuffers*>(Buffers)->FBlocks)
        if (b.Data == Block) {
            b.Used = false;
            return;
        }
    std::free(Block);
}

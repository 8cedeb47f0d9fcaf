#include "qvrChunkPipe.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

TChunkPipe::TChunkPipe(TConsumer Consumer)
    : FConsumer(std::move(Consumer)), FBytes(std::make_unique<uint8_t[]>(ChunkSize * Chunks))
{
    try {
        FThread = std::thread([this] { Consume(); });
    } catch (const std::system_error&) {
        // No thread to be had: the caller's thread consumes as it goes.
    }
}

TChunkPipe::~TChunkPipe() { Finish(); }

void TChunkPipe::Put(const uint8_t* P, size_t Size)
{
    if (!FThread.joinable()) {
        if (Size) FConsumer(P, Size);
        return;
    }
    while (Size) {
        // The chunk at FHead is the caller's alone until it is queued.
        const size_t n = std::min(Size, ChunkSize - FFill[FHead]);
        std::memcpy(Free(), P, n);
        Commit(n);
        P += n;
        Size -= n;
    }
}

uint8_t* TChunkPipe::Claim(size_t Size)
{
    if (!FThread.joinable() || Size > ChunkSize) return nullptr;
    if (ChunkSize - FFill[FHead] < Size) {
        std::unique_lock<std::mutex> lock(FLock);
        Hand(lock);
    }
    return Free();
}

void TChunkPipe::Commit(size_t Count)
{
    FFill[FHead] += Count;
    if (FFill[FHead] == ChunkSize) {
        std::unique_lock<std::mutex> lock(FLock);
        Hand(lock);
    }
}

void TChunkPipe::Hand(std::unique_lock<std::mutex>& Lock)
{
    ++FQueued;
    FHead = (FHead + 1) % Chunks;
    FQueuedChanged.notify_all();
    FQueuedChanged.wait(Lock, [this] { return FQueued < Chunks; });
    FFill[FHead] = 0;
}

void TChunkPipe::Finish()
{
    if (!FThread.joinable()) return;
    {
        std::unique_lock<std::mutex> lock(FLock);
        if (FFill[FHead]) Hand(lock);
        FEnd = true;
        FQueuedChanged.notify_all();
    }
    FThread.join();
}

void TChunkPipe::Consume()
{
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        FQueuedChanged.wait(lock, [this] { return FQueued > 0 || FEnd; });
        if (!FQueued) return;
        const size_t chunk = FTail;
        lock.unlock();
        FConsumer(FBytes.get() + chunk * ChunkSize, FFill[chunk]);
        lock.lock();
        FTail = (FTail + 1) % Chunks;
        --FQueued;
        FQueuedChanged.notify_all();
    }
}

#include "qvrMacWorker.h"

#include <cstring>
#include <system_error>

TMacWorker::TMacWorker(qvrOS::THmacSha1& Mac)
    : FMac(Mac), FBytes(std::make_unique<uint8_t[]>(ChunkSize * Chunks))
{
    try {
        FThread = std::thread([this] { Hash(); });
    } catch (const std::system_error&) {
        // No thread to be had: the caller's thread hashes as it goes.
    }
}

TMacWorker::~TMacWorker() { Finish(); }

void TMacWorker::Update(const uint8_t* P, size_t Size)
{
    if (!FThread.joinable()) {
        FMac.Update(P, Size);
        return;
    }
    while (Size) {
        // The chunk at FHead is the caller's alone until it is queued.
        const size_t n = std::min(Size, ChunkSize - FFill[FHead]);
        std::memcpy(FBytes.get() + FHead * ChunkSize + FFill[FHead], P, n);
        FFill[FHead] += n;
        P += n;
        Size -= n;
        if (FFill[FHead] == ChunkSize) {
            std::unique_lock<std::mutex> lock(FLock);
            Hand(lock);
        }
    }
}

void TMacWorker::Hand(std::unique_lock<std::mutex>& Lock)
{
    ++FQueued;
    FHead = (FHead + 1) % Chunks;
    FQueuedChanged.notify_all();
    FQueuedChanged.wait(Lock, [this] { return FQueued < Chunks; });
    FFill[FHead] = 0;
}

void TMacWorker::Finish()
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

void TMacWorker::Hash()
{
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        FQueuedChanged.wait(lock, [this] { return FQueued > 0 || FEnd; });
        if (!FQueued) return;
        const size_t chunk = FTail;
        lock.unlock();
        FMac.Update(FBytes.get() + chunk * ChunkSize, FFill[chunk]);
        lock.lock();
        FTail = (FTail + 1) % Chunks;
        --FQueued;
        FQueuedChanged.notify_all();
    }
}

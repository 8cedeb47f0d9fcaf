// An HMAC fed on a thread of its own. For a large AES entry the authentication code
// costs about as much as the cipher and a third of the decoder; computed beside them,
// it leaves the decoder's thread only a copy of the bytes to pay.
#pragma once

#include "qvrPlatform.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class TMacWorker {
public:
    // Feeds Mac, which must outlive the worker and is not touched by the caller until
    // Finish returns.
    explicit TMacWorker(qvrOS::THmacSha1& Mac);
    ~TMacWorker();
    TMacWorker(const TMacWorker&) = delete;
    TMacWorker& operator=(const TMacWorker&) = delete;

    // Hands Size bytes to the HMAC, in order after the ones before; waits only while
    // every chunk is still being hashed.
    void Update(const uint8_t* P, size_t Size);
    // Waits until every byte given is hashed; the worker ends, and Mac is the caller's
    // again.
    void Finish();

private:
    static constexpr size_t ChunkSize = 256 * 1024;
    static constexpr size_t Chunks = 4;

    void Hash();
    // Queues the chunk being filled; waits for a free one to fill next.
    void Hand(std::unique_lock<std::mutex>& Lock);

    qvrOS::THmacSha1& FMac;
    std::unique_ptr<uint8_t[]> FBytes;
    size_t FFill[Chunks] = {};
    size_t FHead = 0;   // the chunk the caller fills
    size_t FTail = 0;   // the chunk the worker hashes next
    size_t FQueued = 0; // chunks given and not hashed yet
    bool FEnd = false;
    std::mutex FLock;
    std::condition_variable FQueuedChanged;
    std::thread FThread; // not joinable: no thread could be started, Update hashes itself
};

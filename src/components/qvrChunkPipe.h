// Bytes handed, in order, to a consumer on a thread of its own. The producer copies
// each block into a ring of chunks and goes on; the consumer takes whole chunks. Two
// uses: an AES entry's authentication code, which costs about as much as its cipher and
// a third of its decoder, and a large entry's writes and CRC, which cost its decoder a
// third of its time. Computed beside the decoder, either leaves the decoder's thread
// only a copy of the bytes to pay.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class TChunkPipe {
public:
    using TConsumer = std::function<void(const uint8_t* P, size_t Size)>;
    // Consumer is called on the pipe's thread only, one chunk at a time, in order.
    explicit TChunkPipe(TConsumer Consumer);
    ~TChunkPipe();
    TChunkPipe(const TChunkPipe&) = delete;
    TChunkPipe& operator=(const TChunkPipe&) = delete;

    // Hands Size bytes to the consumer, after the ones before; waits only while every
    // chunk is still being consumed.
    void Put(const uint8_t* P, size_t Size);
    // Room for Size bytes (at most ChunkSize) to be made in place, saving Put's copy:
    // valid until the next call. Commit hands over the first Count bytes made there.
    uint8_t* Claim(size_t Size);
    void Commit(size_t Count);
    static constexpr size_t ChunkSize = 256 * 1024;

    // Waits until every byte given is consumed; the thread ends, and whatever the
    // consumer works on is the caller's again.
    void Finish();

private:
    static constexpr size_t Chunks = 4;

    void Consume();
    // Where the next byte goes in the chunk the caller fills.
    uint8_t* Free() { return FBytes.get() + FHead * ChunkSize + FFill[FHead]; }
    // Queues the chunk being filled; waits for a free one to fill next.
    void Hand(std::unique_lock<std::mutex>& Lock);

    TConsumer FConsumer;
    std::unique_ptr<uint8_t[]> FBytes;
    size_t FFill[Chunks] = {};
    size_t FHead = 0;   // the chunk the caller fills
    size_t FTail = 0;   // the chunk the thread consumes next
    size_t FQueued = 0; // chunks given and not consumed yet
    bool FEnd = false;
    std::mutex FLock;
    std::condition_variable FQueuedChanged;
    std::thread FThread; // not joinable: no thread could be started, Put consumes itself
};

// Entries decoded on worker threads while the walk goes on. The calling thread opens an
// entry's output file and gives the entry to the workers as a job; a worker reads the
// entry's bytes by position through a handle of the archive of its own, decodes them
// through the method's row into the file and keeps what the sink made of them. The
// calling thread takes the jobs back in the order it gave them, and only then raises
// the entry's events: the host sees what a run on one thread shows it.
//
// The jobs given and not taken back are bounded in number and in bytes, so memory
// stays bounded however many entries an archive holds; a job not taken back when the
// workers go (a cancel, a full disk) has its file withdrawn.
#pragma once

#include "qvrBase.h"
#include "qvrEntryBuffers.h"
#include "qvrEntrySink.h"
#include "qvrMethods.h"
#include "qvrPlatform.h"
#include "qvrStreams.h"
#include "qvrZipEntry.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One entry on its way through a worker.
struct TEntryJob {
    ~TEntryJob() { qvrOS::WipeMemory(Password.data(), Password.size()); }
    TZipEntry Entry;
    int32_t Index = 0; // in the walk's table
    const TMethodRow* Method = nullptr;
    int64_t DataAt = 0;      // where the entry's data starts in the archive
    uint32_t Attributes = 0; // the external attributes as the run settled them
    std::string FileName;    // the output name
    std::string AheadFolder; // its folder, when folders were made for it (SettleAhead)
    TOutputStamp Stamp;      // given to the file when its bytes pass
    TStampSettings StampBy;  // the settings Stamp was made by
    std::unique_ptr<TOutputStream> Out;
    // A passing entry's file is stamped and closed by its worker; only its commit and
    // its events wait for its turn.
    bool Sealed = false;
    TOutputSeal Seal;
    std::unique_ptr<TEntrySink> Sink; // made by the worker
    bool Done = false;                // guarded by the workers' lock until taken back
    // Nothing to decode here: the job only keeps the entry's place in the order, and the
    // entry is extracted in its turn on the calling thread. A folder; or a file larger
    // than a job (Large), whose progress shows as it goes while the workers decode the
    // entries after it.
    bool Deferred = false;
    bool Large = false;
    // An encrypted entry is tried with the password that opened the last one; when
    // that does not open it, or its bytes fail, the entry is done again in its turn by
    // the password search, whose questions are the host's.
    std::string Password;
    bool Redo = false;
};

class TEntryWorkers {
public:
    // Threads in all over the open archive Archive of Size bytes: the calling thread,
    // which decodes jobs itself while it waits for the oldest, and Threads - 1 workers.
    // Ready() is false when the archive cannot be opened again or no worker can start.
    TEntryWorkers(qvrOS::THandle Archive, int64_t Size, int Threads);
    ~TEntryWorkers();
    TEntryWorkers(const TEntryWorkers&) = delete;
    TEntryWorkers& operator=(const TEntryWorkers&) = delete;

    bool Ready() const { return FThreads.size() > 1; }
    // Whether a job of Bytes uncompressed bytes may be given now.
    bool Room(int64_t Bytes) const;
    // The largest entry of Method decoded on a worker: about 80 ms of one core's work
    // (2 MB of bzip2, 32 MB of Deflate, 64 MB at most), since its progress is reported
    // in its turn, all at once, and a cancel lands after it. A larger entry is extracted
    // in its turn on the calling thread, where its progress shows, and a cancel lands,
    // as it goes.
    static int64_t MaxJobBytes(const TMethodRow& Method)
    {
        constexpr int64_t JobMs = 80;
        return std::clamp<int64_t>(int64_t{Method.MBPerSecond} * JobMs / 1000 << 20,
                                   int64_t{1} << 20, int64_t{64} << 20);
    }
    // Gives a job to the workers; a Deferred one is done as it is given.
    void Give(std::unique_ptr<TEntryJob> Job);
    bool Idle() const { return FGiven.empty(); }
    // Whether a job waiting for its turn (a folder, or a file too large for a job) will
    // make the file or folder Name, or a path that Name, begun now, would stand in the
    // way of (or that would stand in Name's way): a file of that name must wait for
    // its turn, so that the two meet as on one thread.
    bool Awaits(const std::string& Name) const;
    // Waits for the oldest job given and hands it back; null when none is left.
    std::unique_ptr<TEntryJob> TakeOldest();
    // Every job given and not taken back is to be done again in its turn: those not
    // started are never decoded, the others are waited for, and each is passed to Each,
    // oldest first, to let go of what was begun for it.
    void Recall(const std::function<void(TEntryJob&)>& Each);

private:
    // A worker's own archive handle and decoder buffers, kept from one job to the next.
    // The first is the calling thread's, without a thread.
    struct TWorker {
        std::unique_ptr<TStream32> Archive;
        std::unique_ptr<TEntryBuffers> Buffers;
        std::thread Thread;
    };
    void Run(TWorker& Worker);
    void Decode(TWorker& Worker, TEntryJob& Job);

    static constexpr size_t MaxJobs = 64;
    // A sleeping worker is woken once this many jobs wait (or the calling thread waits):
    // a wake-up per tiny entry costs more than decoding it.
    static constexpr size_t WakeBatch = 4;
    // The bytes given and not taken back, a large entry counted as Weight (its file
    // is written as it is decoded, so what it holds does not grow with it): bounds how
    // far the workers run ahead of the host's events.
    static constexpr int64_t MaxBytes = int64_t{64} << 20;
    static int64_t Weight(int64_t Bytes)
    {
        return std::clamp<int64_t>(Bytes, 0, TWholeEntryBuffer::MaxLimit);
    }
    // The largest entry each of Threads threads decodes whole.
    static constexpr int64_t MaxWholeBytes = int64_t{128} << 20;
    static int64_t WholeLimit(int Threads);

    std::vector<TWorker> FThreads;
    // The jobs in the order given; the calling thread's alone, but for Done.
    std::deque<std::unique_ptr<TEntryJob>> FGiven;
    int64_t FGivenBytes = 0;
    std::vector<std::string> FDeferredNames; // of the Deferred jobs given, oldest first
    // Each side is woken only when it sleeps: a futex call per job on each side would
    // cost an archive of tiny files more than its decoding.
    std::mutex FLock;
    std::condition_variable FWork;  // workers wait here for a job
    std::condition_variable FDone;  // the calling thread waits here for the oldest job
    std::deque<TEntryJob*> FWaiting; // given, not started
    int FSleeping = 0;               // workers waiting for a job
    bool FTaking = false;            // the calling thread is waiting
    bool FEnd = false;
    std::atomic<bool> FStop{false};
};

#include "qvrEntryWorkers.h"

#include "qvrAesInput.h"
#include "qvrEntryLayers.h"

#include <algorithm>
#include <system_error>

namespace {

// A handle of the archive of a worker's own, read by position only: the calling
// thread's handle keeps its file pointer and its read-ahead to itself.
class TReadAtStream : public TStream32 {
public:
    TReadAtStream(qvrOS::THandle Of, int64_t Size)
        : FHandle(qvrOS::FileReopenForReading(Of)), FSize(Size)
    {
    }
    ~TReadAtStream() override
    {
        if (Valid()) qvrOS::FileClose(FHandle);
    }
    bool Valid() const { return FHandle != qvrOS::InvalidHandle; }

    int32_t Read(void* Buffer, int32_t Count) override
    {
        if (Count <= 0 || !Valid()) return 0;
        const int32_t n = qvrOS::FileReadAt(FHandle, Buffer, Count, FPos);
        if (n <= 0) return 0;
        FPos += n;
        return n;
    }
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, int Origin) override
    {
        const int64_t base = Origin == 0 ? 0 : Origin == 1 ? FPos : FSize;
        if (base + Offset < 0) return -1;
        return FPos = base + Offset;
    }

private:
    qvrOS::THandle FHandle;
    int64_t FSize;
    int64_t FPos = 0;
};

} // namespace

TEntryWorkers::TEntryWorkers(qvrOS::THandle Archive, int64_t Size, int Threads)
{
    // Reserved first: a worker's thread holds its place in the vector.
    FThreads.reserve(static_cast<size_t>(std::max(Threads, 1)));
    for (int i = 0; i < Threads; ++i) {
        auto archive = std::make_unique<TReadAtStream>(Archive, Size);
        if (!archive->Valid()) break;
        TWorker& w = FThreads.emplace_back();
        w.Archive = std::move(archive);
        w.Buffers = std::make_unique<TEntryBuffers>();
        w.Buffers->Whole().Limit(WholeLimit(Threads));
        if (i == 0) continue; // the calling thread's
        try {
            w.Thread = std::thread([this, &w] { Run(w); });
        } catch (const std::system_error&) {
            FThreads.pop_back();
            break;
        }
    }
}

TEntryWorkers::~TEntryWorkers()
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        FEnd = true;
        FWaiting.clear();
    }
    FStop = true;
    FWork.notify_all();
    for (TWorker& w : FThreads)
        if (w.Thread.joinable()) w.Thread.join();
    // Jobs never taken back were never the host's: their files go.
    for (auto& job : FGiven)
        if (job->Out) job->Out->File().Withdraw();
}

int64_t TEntryWorkers::WholeLimit(int Threads)
{
    // Each thread keeps its buffer from entry to entry, holding an entry's compressed
    // bytes beside its output: on many cores the entries decoded whole get smaller, so
    // that all the buffers together stay near MaxWholeBytes.
    return std::clamp<int64_t>(MaxWholeBytes / 2 / std::max(Threads, 1), int64_t{1} << 20,
                               TWholeEntryBuffer::MaxLimit);
}

bool TEntryWorkers::Room(int64_t Bytes) const
{
    return FGiven.size() < MaxJobs &&
           (FGiven.empty() || FGivenBytes + Weight(Bytes) <= MaxBytes);
}

void TEntryWorkers::Give(std::unique_ptr<TEntryJob> Job)
{
    FGivenBytes += Weight(Job->Entry.Info.UncompressedSize);
    TEntryJob* job = Job.get();
    FGiven.push_back(std::move(Job));
    if (job->Deferred) {
        FDeferredNames.push_back(job->FileName);
        job->Done = true; // no worker has seen it yet
        return;
    }
    bool wake;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FWaiting.push_back(job);
        wake = FSleeping > 0 && FWaiting.size() >= WakeBatch;
    }
    if (wake) FWork.notify_one();
}

bool TEntryWorkers::Awaits(const std::string& Name) const
{
    // Whether Inner lies below the folder Outer names.
    const auto below = [](const std::string& Inner, const std::string& Outer) {
        return Inner.size() > Outer.size() && Inner.compare(0, Outer.size(), Outer) == 0 &&
               Inner[Outer.size()] == '\\';
    };
    for (const std::string& d : FDeferredNames) {
        // A folder entry's name ends with a separator: Name is that folder or above it.
        const bool folder = !d.empty() && d.back() == '\\';
        if (folder ? below(d, Name) : d == Name || below(d, Name) || below(Name, d)) return true;
    }
    return false;
}

std::unique_ptr<TEntryJob> TEntryWorkers::TakeOldest()
{
    if (FGiven.empty()) return nullptr;
    TEntryJob* oldest = FGiven.front().get();
    {
        std::unique_lock<std::mutex> lock(FLock);
        // Rather than wait, the calling thread decodes what waits, the oldest first.
        while (!oldest->Done && !FWaiting.empty()) {
            TEntryJob* job = FWaiting.front();
            FWaiting.pop_front();
            if (FSleeping > 0 && !FWaiting.empty()) FWork.notify_one();
            lock.unlock();
            Decode(FThreads.front(), *job);
            lock.lock();
            job->Done = true;
        }
        FTaking = true;
        FDone.wait(lock, [oldest] { return oldest->Done; });
        FTaking = false;
    }
    std::unique_ptr<TEntryJob> job = std::move(FGiven.front());
    FGiven.pop_front();
    FGivenBytes -= Weight(job->Entry.Info.UncompressedSize);
    if (job->Deferred) FDeferredNames.erase(FDeferredNames.begin());
    return job;
}

void TEntryWorkers::Recall(const std::function<void(TEntryJob&)>& Each)
{
    {
        std::unique_lock<std::mutex> lock(FLock);
        for (TEntryJob* job : FWaiting) job->Done = true;
        FWaiting.clear();
        FTaking = true;
        for (auto& job : FGiven) FDone.wait(lock, [&job] { return job->Done; });
        FTaking = false;
    }
    for (auto& job : FGiven) {
        if (job->Deferred) continue;
        job->Redo = true;
        Each(*job);
    }
}

void TEntryWorkers::Run(TWorker& Worker)
{
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
        while (!FEnd && FWaiting.empty()) {
            ++FSleeping;
            FWork.wait(lock);
            --FSleeping;
        }
        if (FEnd) return;
        TEntryJob* job = FWaiting.front();
        FWaiting.pop_front();
        lock.unlock();
        Decode(Worker, *job);
        lock.lock();
        job->Done = true;
        if (FTaking) FDone.notify_one();
    }
}

void TEntryWorkers::Decode(TWorker& Worker, TEntryJob& Job)
{
    TZipEntry& e = Job.Entry;
    TStream32& archive = *Worker.Archive;
    Job.Sink = std::make_unique<TEntrySink>(nullptr, Job.Out.get(), e.Info.UncompressedSize,
                                            Job.FileName);
    Job.Sink->Watch(&FStop);
    Job.Sink->UseBuffers(*Worker.Buffers);
    if (FStop || archive.Seek(Job.DataAt, 0) != Job.DataAt) return;
    if (e.Encrypted()) {
        TCipherHeader header = {};
        const bool keyed = ReadCipherHeader(archive, e, header) && KeyEntry(e, Job.Password, header);
        if (!keyed) {
            Job.Redo = true;
            return;
        }
    }
    try {
        DecodeEntryLayers(*Job.Method, archive, e, *Job.Sink, false, !e.Encrypted());
    } catch (...) {
        // Without a host the sink raises nothing; a decoder's own failure leaves the
        // entry short, and its verdict says so.
        return;
    }
    const bool pass = Job.Sink->Passes(e.ChecksCrc() ? e.Crc : Job.Sink->Crc());
    if (!pass && e.Encrypted()) Job.Redo = true;
    if (FStop || !pass) return;
    qvrOS::TOutputFile& file = Job.Out->File();
    Job.Stamp.Apply(file);
    if (!file.Close()) Job.Seal = {false, qvrOS::LastError()};
    Job.Sealed = true;
}

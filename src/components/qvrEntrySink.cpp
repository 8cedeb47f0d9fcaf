#include "qvrEntrySink.h"

#include "qvrChunkPipe.h"
#include "qvrCrc.h"
#include "qvrMessages.h"
#include "qvrPlatform.h"

#include <algorithm>
#include <utility>

TEntrySink::TEntrySink(TSinkHost* Host, TStream32* Out, int64_t Expected,
                       std::string_view Name)
    : FHost(Host), FOut(Out), FName(Name), FExpected(Expected)
{
}

// The thread writing behind the decoder, and what it has made of the bytes: once a
// write fails the rest are dropped, and the failure waits for the decoder's thread.
struct TEntrySink::TBehind {
    TStream32& Out;
    uint32_t Crc;
    std::atomic<bool> Failed{false};
    uint32_t Error = 0;
    TChunkPipe Pipe;
    TBehind(TStream32& To, uint32_t Crc)
        : Out(To), Crc(Crc), Pipe([this](const uint8_t* P, size_t Size) { Take(P, Size); })
    {
    }
    void Take(const uint8_t* P, size_t Size)
    {
        if (Failed.load(std::memory_order_relaxed)) return;
        const auto n = static_cast<int32_t>(Size);
        if (Out.Write(P, n) != n) {
            Error = qvrOS::LastError();
            Failed.store(true, std::memory_order_release);
            return;
        }
        UpdateCrc32(P, static_cast<int64_t>(Size), Crc);
    }
};

TEntrySink::~TEntrySink() { FinishWrites(false); }

void TEntrySink::WriteBehind()
{
    if (FOut && !FBehind && !FStopped && (FExpected < 0 || FExpected >= WriteBehindFrom))
        FBehind = std::make_unique<TBehind>(*FOut, FCrc);
}

uint8_t* TEntrySink::OutputBlock(int32_t Size)
{
    FClaimed = FBehind ? FBehind->Pipe.Claim(static_cast<size_t>(Size)) : nullptr;
    return FClaimed ? FClaimed : Buffers().Get(TEntryBuffers::bsOutput, Size);
}

void TEntrySink::FinishWrites(bool Report)
{
    FClaimed = nullptr;
    if (!FBehind) return;
    FBehind->Pipe.Finish();
    const std::unique_ptr<TBehind> behind = std::move(FBehind);
    FCrc = behind->Crc;
    if (!behind->Failed || FWriteFailed) return;
    // The entry ends at its first failed write.
    FWriteFailed = FStopped = true;
    if (Report && FHost) FHost->ReportWriteFailure(behind->Error, FName);
}

bool TEntrySink::Deliver(const uint8_t* Buf, int32_t Count)
{
    if (FBehind) {
        if (FBehind->Failed.load(std::memory_order_acquire)) {
            FinishWrites();
            return false;
        }
        if (Buf == FClaimed) FBehind->Pipe.Commit(static_cast<size_t>(Count));
        else FBehind->Pipe.Put(Buf, static_cast<size_t>(Count));
        FClaimed = nullptr;
        return true;
    }
    int32_t n = 0;
    try {
        n = FHost ? FHost->WriteEntryBytes(FOut, Buf, Count, FName) : FOut->Write(Buf, Count);
    } catch (...) {
        // A handler that threw at the report raises: the entry ends here, the run
        // decides what follows.
        FWriteFailed = FStopped = true;
        throw;
    }
    if (n != Count) {
        // WriteEntryBytes has reported the failure; the file cannot be completed, so
        // the entry ends at its first failed write with that one report.
        FWriteFailed = FStopped = true;
        return false;
    }
    UpdateCrc32(Buf, Count, FCrc);
    return true;
}

int32_t TEntrySink::Room(int32_t Limit) const
{
    if (FStopped) return 0;
    if (FExpected < 0) return Limit;
    return static_cast<int32_t>(std::clamp<int64_t>(FExpected - FWritten, 0, Limit));
}

bool TEntrySink::Write(const uint8_t* Buf, int32_t Count)
{
    if (FStopped) return false;
    if (Count <= 0) return true;
    int32_t take = Count;
    // Output never grows past the declared size: whatever a damaged or hostile stream
    // would add beyond it is dropped, and the verdict fails.
    if (FExpected >= 0 && FWritten + Count > FExpected) {
        take = static_cast<int32_t>(FExpected - FWritten);
        FOverflow = true;
    }
    if (take > 0) {
        if (FOut) {
            if (!Deliver(Buf, take)) return false;
        } else {
            UpdateCrc32(Buf, take, FCrc);
        }
        FWritten += take;
        FCounted += take;
        if (FHost) FHost->EntryProgress(take, std::max(FExpected, FWritten), FWritten);
    }
    if (FOverflow || (FHost && FHost->GetCancel()) || (FStop && FStop->load())) {
        FStopped = true;
        return false;
    }
    return true;
}

bool TEntrySink::Passes(uint32_t StoredCrc) const
{
    if (FWriteFailed || FOverflow || !FAuthentic || FFailCode != 0) return false;
    if (FExpected >= 0 && FWritten != FExpected) return false;
    return Crc() == StoredCrc;
}

void TEntrySink::Forged(std::string Detail)
{
    FAuthentic = false;
    FFailCode = E_CRCERR;
    FFailDetail = std::move(Detail);
}

void TEntrySink::FinishProgress()
{
    if (FExpected <= FCounted) return;
    const int64_t rest = FExpected - FCounted;
    FCounted = FExpected;
    // After a cancel nothing more is reported: the host has asked for quiet.
    if (FHost && !FHost->GetCancel()) FHost->EntryProgress(rest, FExpected, FExpected);
}

#include "qvrEntrySink.h"

#include "qvrBase.h"
#include "qvrCrc.h"

#include <algorithm>
#include <utility>

TEntrySink::TEntrySink(TZipCommon* Owner, TStream32* Out, int64_t Expected,
                       std::string_view Name)
    : FOwner(Owner), FOut(Out), FName(Name), FExpected(Expected)
{
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
            int32_t n = 0;
            try {
                n = FOwner ? FOwner->WriteEntryBytes(FOut, Buf, take, FName)
                           : FOut->Write(Buf, take);
            } catch (...) {
                // A full disk raises: the entry ends here, the run decides what follows.
                FWriteFailed = FStopped = true;
                throw;
            }
            if (n != take) {
                // WriteEntryBytes has reported the failure; the file cannot be completed, so
                // the entry ends at its first failed write with that one report.
                FWriteFailed = FStopped = true;
                return false;
            }
        }
        UpdateCrc32(Buf, take, FCrc);
        FWritten += take;
        FCounted += take;
        if (FOwner) FOwner->EntryProgress(take, std::max(FExpected, FWritten), FWritten);
    }
    if (FOverflow || (FOwner && FOwner->GetCancel())) {
        FStopped = true;
        return false;
    }
    return true;
}

bool TEntrySink::Passes(uint32_t StoredCrc) const
{
    if (FWriteFailed || FOverflow || !FAuthentic) return false;
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
    if (FOwner && !FOwner->GetCancel()) FOwner->EntryProgress(rest, FExpected, FExpected);
}

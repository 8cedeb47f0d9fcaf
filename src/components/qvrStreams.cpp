#include "qvrStreams.h"

#include <algorithm>
#include <cstring>
#include <memory>

int64_t TStream32::GetSize()
{
    int64_t pos = Seek(0, 1);
    int64_t size = Seek(0, 2);
    Seek(pos, 0);
    return size;
}

void TStream32::SetSize(int64_t) { throw EStreamError("Stream write error"); }

void TStream32::ReadBuffer(void* Buffer, int32_t Count)
{
    if (Count > 0 && ReadFull(Buffer, Count) != Count) throw EStreamError("Stream read error");
}

int32_t TStream32::ReadFull(void* Buffer, int32_t Count)
{
    int32_t done = 0;
    while (done < Count) {
        const int32_t n = Read(static_cast<uint8_t*>(Buffer) + done, Count - done);
        // A count past what was asked for is a broken stream, never bytes to keep.
        if (n <= 0 || n > Count - done) break;
        done += n;
    }
    return done;
}

int32_t TMemoryStream32::Read(void* Buffer, int32_t Count)
{
    const std::vector<uint8_t>& data = *FData;
    if (Count <= 0 || FPos < 0 || FPos >= static_cast<int64_t>(data.size())) return 0;
    int64_t n = std::min<int64_t>(Count, static_cast<int64_t>(data.size()) - FPos);
    if (FMaxRead > 0) n = std::min<int64_t>(n, FMaxRead);
    std::memcpy(Buffer, data.data() + FPos, static_cast<size_t>(n));
    FPos += n;
    return static_cast<int32_t>(n);
}

int64_t TMemoryStream32::Seek(int64_t Offset, int Origin)
{
    const int64_t base = Origin == 0 ? 0 : Origin == 1 ? FPos : static_cast<int64_t>(FData->size());
    const int64_t to = base + Offset;
    // A move before the start fails and leaves the position alone, as a file's does.
    if (to < 0) return -1;
    FPos = to;
    return FPos;
}

void TStream32::WriteBuffer(const void* Buffer, int32_t Count)
{
    if (Count > 0 && Write(Buffer, Count) != Count) throw EStreamError("Stream write error");
}

void TStream32::Progress()
{
    if (FOnProgress) FOnProgress(*this);
}

int64_t TStream32::CopyFrom(TStream32& Source, int64_t Count)
{
    FOnProgress = FOnCopyProgress;
    return CopyInChunks(Source, Count, 61440, FCancelPtr, true);
}

int64_t TStream32::CopyInChunks(TStream32& Source, int64_t Count, int64_t MaxChunk,
                                const bool* Cancel, bool CheckAfterPump)
{
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    const int64_t result = Count;
    if (Count <= 0) return result;
    const int32_t chunk = static_cast<int32_t>(std::min(Count, MaxChunk));
    std::vector<uint8_t> buf(static_cast<size_t>(chunk));
    bool never = false;
    const bool* cancel = Cancel ? Cancel : &never;
    while (Count > 0 && !*cancel) {
        int32_t n = static_cast<int32_t>(std::min<int64_t>(chunk, Count));
        if (FProcessMessages) FProcessMessages();
        if (CheckAfterPump && *cancel) break;
        Source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        Count -= n;
    }
    return result;
}

THandleStream32::~THandleStream32() { FHandle = qvrOS::InvalidHandle; }

void THandleStream32::EnableReadBuffer(int32_t Size)
{
    Unbuffer();
    FBuf.assign(static_cast<size_t>(std::max(Size, 0)), 0);
    FPhys = FHandle >= 0 ? qvrOS::FileSeek(FHandle, 0, 1) : 0;
    // A buffered stream is an archive being walked: its entries are read in order.
    if (FHandle >= 0) qvrOS::FileAdviseSequential(FHandle);
    FReadAhead = std::min<int32_t>(MinReadAhead, static_cast<int32_t>(FBuf.size()));
}

void THandleStream32::Unbuffer()
{
    if (FBufLen - FBufPos > 0 && FHandle >= 0) {
        FPhys = qvrOS::FileSeek(FHandle, FPhys - (FBufLen - FBufPos), 0);
    }
    FBufPos = FBufLen = 0;
}

int32_t THandleStream32::Read(void* Buffer, int32_t Count)
{
    if (Count <= 0 || FHandle < 0) return 0;
    if (FBuf.empty()) {
        int32_t n = qvrOS::FileRead(FHandle, Buffer, Count);
        return n < 0 ? 0 : n;
    }
    auto* out = static_cast<uint8_t*>(Buffer);
    int32_t done = 0;
    while (done < Count) {
        if (FBufPos == FBufLen) {
            const int32_t want = Count - done;
            // Large reads go straight to the caller's memory: no double copy.
            if (want >= FReadAhead) {
                int32_t n = qvrOS::FileRead(FHandle, out + done, want);
                if (n > 0) {
                    done += n;
                    FPhys += n;
                }
                FBufPos = FBufLen = 0;
                break;
            }
            if (!Refill()) break;
        }
        int32_t take = std::min(Count - done, FBufLen - FBufPos);
        std::memcpy(out + done, FBuf.data() + FBufPos, static_cast<size_t>(take));
        FBufPos += take;
        done += take;
    }
    return done;
}

bool THandleStream32::Refill()
{
    // Read-ahead grows while the reads run on from one block to the next and falls back
    // after a jump, so header-hopping costs small reads only.
    if (FBufLen > 0)
        FReadAhead = std::min<int32_t>(FReadAhead * 2, static_cast<int32_t>(FBuf.size()));
    const int32_t n = qvrOS::FileRead(FHandle, FBuf.data(), FReadAhead);
    FBufPos = 0;
    FBufLen = n > 0 ? n : 0;
    FPhys += FBufLen;
    return FBufLen > 0;
}

int32_t THandleStream32::Borrow(const uint8_t*& Data, int32_t Count)
{
    if (Count <= 0 || FHandle < 0) return 0;
    if (FBuf.empty()) return -1;
    if (FBufPos == FBufLen) {
        if (Count >= FReadAhead) return -1;
        if (!Refill()) return 0;
    }
    // Read takes what is left here and fills the buffer again for the rest, as it would
    // have without this call.
    if (FBufLen - FBufPos < Count) return -1;
    Data = FBuf.data() + FBufPos;
    FBufPos += Count;
    return Count;
}

int32_t THandleStream32::ReadAt(int64_t Pos, void* Buffer, int32_t Count)
{
    if (Count <= 0 || FHandle < 0) return 0;
    const int32_t n = qvrOS::FileReadAt(FHandle, Buffer, Count, Pos);
    return n < 0 ? 0 : n;
}

int32_t THandleStream32::Write(const void* Buffer, int32_t Count)
{
    if (Count <= 0 || FHandle < 0) return 0;
    Unbuffer();
    int32_t n = qvrOS::FileWrite(FHandle, Buffer, Count);
    if (!FBuf.empty() && n > 0) FPhys += n;
    return n < 0 ? 0 : n;
}

int64_t THandleStream32::Seek(int64_t Offset, int Origin)
{
    if (FHandle < 0) return -1;
    if (FBuf.empty()) return qvrOS::FileSeek(FHandle, Offset, Origin);
    // The file pointer stands at FPhys, the end of the buffered block: positions are
    // worked out here, and only a jump outside the block costs a system call.
    const int64_t blockStart = FPhys - FBufLen;
    const int64_t logical = blockStart + FBufPos;
    int64_t target;
    if (Origin == 0)
        target = Offset;
    else if (Origin == 1)
        target = logical + Offset;
    else {
        FBufPos = FBufLen = 0;
        FReadAhead = std::min<int32_t>(MinReadAhead, static_cast<int32_t>(FBuf.size()));
        const int64_t r = qvrOS::FileSeek(FHandle, Offset, 2);
        if (r >= 0) FPhys = r;
        return r;
    }
    if (target < 0) return -1;
    if (FBufLen > 0 && target >= blockStart && target <= FPhys) {
        FBufPos = static_cast<int32_t>(target - blockStart);
        return target;
    }
    FBufPos = FBufLen = 0;
    if (target == FPhys) return target;
    FReadAhead = std::min<int32_t>(MinReadAhead, static_cast<int32_t>(FBuf.size()));
    const int64_t r = qvrOS::FileSeek(FHandle, target, 0);
    if (r >= 0) FPhys = r;
    return r;
}

void THandleStream32::SetSize(int64_t NewSize)
{
    Unbuffer();
    if (Seek(NewSize, 0) < 0 || !qvrOS::FileSetEnd(FHandle))
        throw EStreamError(qvrOS::ErrorText(qvrOS::LastError()));
}

TFileStream32::TFileStream32(const std::string& FileName, uint16_t Mode)
{
    FCancelPtr = nullptr;
    FOnCopyProgress = nullptr;
    if (Mode == fmCreate) {
        FHandle = qvrOS::FileCreate(FileName);
        return;
    }
    const unsigned access = Mode & 3u, share = (Mode >> 4) & 0xFu;
    if (access == 3 || share > 4) return;
    static constexpr qvrOS::TAccess Access[] = {qvrOS::TAccess::Read, qvrOS::TAccess::Write,
                                                qvrOS::TAccess::ReadWrite};
    static constexpr qvrOS::TShare Share[] = {qvrOS::TShare::Exclusive, qvrOS::TShare::Exclusive,
                                              qvrOS::TShare::DenyWrite, qvrOS::TShare::DenyRead,
                                              qvrOS::TShare::DenyNone};
    FHandle = qvrOS::FileOpen(FileName, Access[access], Share[share]);
}

TFileStream32::TFileStream32(qvrOS::THandle Handle) : THandleStream32(Handle) {}

bool TFileStream32::Close()
{
    if (FHandle < 0) return true;
    Unbuffer();
    bool ok = qvrOS::FileClose(FHandle);
    FHandle = qvrOS::InvalidHandle;
    return ok;
}

TFileStream32::~TFileStream32() { Close(); }

// ---------------------------------------------------------------------------------
// TGuardedStream

TGuardedStream::TGuardedStream(std::unique_ptr<TStream32> Inner, THooks Hooks)
    : FInner(std::move(Inner)), FHooks(std::move(Hooks))
{
}

void TGuardedStream::Fail(const std::string& What)
{
    if (!FFault.empty()) return;
    FFault = What;
    if (FHooks.Failed) FHooks.Failed(FFault);
}

void TGuardedStream::Threw()
{
    // The exception is its own report (Threw): the stream only fails from here on.
    if (FFault.empty()) FFault = "an exception";
    if (FHooks.Threw) FHooks.Threw(std::current_exception());
}

int64_t TGuardedStream::GetSize()
{
    if (FSize >= 0) return FSize;
    int64_t size = -1;
    try {
        size = FInner->GetSize();
    } catch (...) {
        Threw();
        return -1;
    }
    if (size < 0) Fail("its size is " + std::to_string(size));
    return FSize = size;
}

int32_t TGuardedStream::Read(void* Buffer, int32_t Count)
{
    if (Count <= 0 || !FFault.empty()) return 0;
    int32_t n = 0;
    try {
        n = FInner->Read(Buffer, Count);
    } catch (...) {
        Threw();
        return 0;
    }
    if (n < 0 || n > Count) {
        Fail("a read of " + std::to_string(Count) + " bytes returned " + std::to_string(n));
        return 0;
    }
    FPos += n;
    return n;
}

int64_t TGuardedStream::Seek(int64_t Offset, int Origin)
{
    if (!FFault.empty()) return -1;
    // Where the seek must land when the stream works: a failure to get there inside
    // the stream is the stream's fault; a position outside it is the caller's.
    const int64_t size = Origin == 2 || Offset != 0 ? GetSize() : FSize;
    const int64_t base = Origin == 0 ? 0 : Origin == 1 ? FPos : size;
    const int64_t target = base + Offset;
    int64_t at = -1;
    try {
        at = FInner->Seek(Offset, Origin);
    } catch (...) {
        Threw();
        return -1;
    }
    if (at >= 0) FPos = at;
    if (at != target && target >= 0 && (size < 0 || target <= size))
        Fail("a seek to " + std::to_string(target) + " gave " + std::to_string(at));
    return at;
}

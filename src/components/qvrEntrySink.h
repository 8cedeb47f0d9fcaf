// The end of every entry's byte path. Each decoder pushes whole blocks of decoded bytes
// into one TEntrySink per entry; the sink is the only place that writes them out, folds
// them into the CRC-32, counts them against the entry's declared size, reports progress
// against the run's unpacked total, pumps the host's messages, watches the cancel flag
// and reports a failed write. Decoders therefore know nothing of files or events, and
// every method behaves the same at its output.
#pragma once

#include "qvrEntryBuffers.h"
#include "qvrSinkHost.h"
#include "qvrStreams.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

class TEntrySink {
public:
    // Out may be null: the entry is then decoded and checked without being written.
    // Expected is the entry's declared uncompressed size, or -1 when it is not known
    // before the data has been decoded. Without a Host the sink reports nothing: no
    // progress, no cancel, no write failures (the walk uses that to find where a stream
    // ends, a listing to read a link's target); Out, when given, still takes the bytes.
    // Name is the output name a failed write is reported under.
    TEntrySink(TSinkHost* Host, TStream32* Out, int64_t Expected, std::string_view Name = {});
    ~TEntrySink();
    TEntrySink(const TEntrySink&) = delete;
    TEntrySink& operator=(const TEntrySink&) = delete;

    // A sink without a host, filled on a worker thread, stops when Stop is raised.
    void Watch(const std::atomic<bool>* Stop) { FStop = Stop; }
    // Hands a sink filled without a host to Host, to whom none of its entry's bytes
    // have been reported yet: FinishProgress then counts the whole entry.
    void Adopt(TSinkHost* Host)
    {
        FHost = Host;
        FCounted = 0;
    }

    // Takes one decoded block. False when the entry must stop: the write failed, the
    // run was cancelled, or the block would take the entry past its declared size (the
    // bytes up to that size are still taken).
    bool Write(const uint8_t* Buf, int32_t Count);
    // Whether more output is wanted: not stopped, and short of the declared size.
    bool Wants() const { return !FStopped && (FExpected < 0 || FWritten < FExpected); }
    // Whether the sink has the declared size, and is not stopped: a decoder whose data
    // has an end goes on to it from here, with room for a byte more (see qvrMethods.h).
    bool Full() const { return !FStopped && FExpected >= 0 && FWritten >= FExpected; }
    // How many bytes a decoder may usefully produce next, at most Limit.
    int32_t Room(int32_t Limit) const;
    // From here on the bytes are written, and folded into the CRC, on a thread of their
    // own while the decoder goes on: worth it for a large entry. Out is not touched by
    // the caller until FinishWrites.
    // A smaller entry is written where it is decoded: a thread would cost it more.
    void WriteBehind();
    static constexpr int64_t WriteBehindFrom = int64_t{1} << 20;
    // Waits for the writes handed to that thread. A failed one ends the entry as a
    // failed write in Write does; with Report it is reported as there. Called once
    // decoding has ended, before the verdict; harmless when nothing writes behind.
    void FinishWrites(bool Report = true);

    // The decoder's working buffers: the run's when the walk lends them (UseBuffers),
    // else the sink's own, made on first use.
    uint8_t* Buffer(TEntryBuffers::TSlot Slot, int32_t Size) { return Buffers().Get(Slot, Size); }
    // A block of Size bytes to make the next output in, handed over by a Write from its
    // start, and the decoder's only until then: when the entry is written behind, the
    // block is a part of what that thread writes, which saves a copy of every byte.
    uint8_t* OutputBlock(int32_t Size);
    TEntryBuffers& Buffers()
    {
        if (!FBuffers) {
            FOwnBuffers = std::make_unique<TEntryBuffers>();
            FBuffers = FOwnBuffers.get();
        }
        return *FBuffers;
    }
    void UseBuffers(TEntryBuffers& Buffers) { FBuffers = &Buffers; }

    int64_t Written() const { return FWritten; }
    int64_t Expected() const { return FExpected; }
    // The finished CRC-32 of the bytes taken.
    uint32_t Crc() const { return FCrc ^ 0xFFFFFFFFu; }
    bool WriteFailed() const { return FWriteFailed; }
    bool Overflowed() const { return FOverflow; }
    // The verdict: every byte written, the size as declared, the CRC as stored and,
    // for an AES entry, the authentication code as stored; no failure left by a decoder
    // or by the check of where the data ended.
    bool Passes(uint32_t StoredCrc) const;
    // A decoder's failure that has its own message (an invalid tree, a stack overflow):
    // the first code left here is reported for the entry once decoding has ended, with
    // Detail (what a codec library said, say) as the report's extended message.
    void Fail(int32_t Code, std::string Detail = {})
    {
        if (FFailCode != 0) return;
        FFailCode = Code;
        FFailDetail = std::move(Detail);
    }
    // The entry's authentication code does not match its data: the verdict fails
    // whatever the CRC says, and this report (a CRC error with Detail) replaces any a
    // decoder left, since the decoder was given altered bytes.
    void Forged(std::string Detail);
    bool Authentic() const { return FAuthentic; }
    int32_t FailCode() const { return FFailCode; }
    const std::string& FailDetail() const { return FFailDetail; }
    // A buffer the run lends for decoding the entry whole, when its compressed bytes may
    // be read ahead of its output (not across the parts of a split set, not through a
    // cipher); null when the entry must stream.
    void LendWholeBuffer(TWholeEntryBuffer* Buffer) { FWholeBuffer = Buffer; }
    TWholeEntryBuffer* WholeBuffer() const { return FWholeBuffer; }
    // Counts the part of the entry that was never produced as done, so that the run's
    // progress still reaches its end after a failed entry.
    void FinishProgress();

private:
    struct TBehind;
    // Writes Count bytes at Buf to Out, or hands them to the thread writing behind;
    // false when a write has failed (reported, with a host).
    bool Deliver(const uint8_t* Buf, int32_t Count);

    TSinkHost* FHost;
    const std::atomic<bool>* FStop = nullptr;

    // A sink of the walk uses the run's buffers: it has none of its own to make or free.
    std::unique_ptr<TEntryBuffers> FOwnBuffers;
    TEntryBuffers* FBuffers = nullptr;
    TStream32* FOut;
    std::string_view FName;
    int64_t FExpected;
    int64_t FWritten = 0;
    int64_t FCounted = 0; // bytes already taken off the run's remaining total
    uint32_t FCrc = 0xFFFFFFFFu;
    bool FStopped = false;
    bool FWriteFailed = false;
    bool FOverflow = false;
    bool FAuthentic = true;
    int32_t FFailCode = 0;
    std::string FFailDetail;
    TWholeEntryBuffer* FWholeBuffer = nullptr;
    std::unique_ptr<TBehind> FBehind;
    uint8_t* FClaimed = nullptr; // the block lent by OutputBlock, in the writes behind
};

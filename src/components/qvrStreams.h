// The stream family every archive byte and every output byte passes through.
//
// Streams report failures as values: Read and Write return the count moved (0 on a
// failed call), a file stream whose open failed holds an invalid handle. Only the
// buffer operations (ReadBuffer, WriteBuffer) and CopyFrom raise, with EStreamError.
#pragma once

#include "qvrPlatform.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class EStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TStream32 {
public:
    TStream32() = default;
    virtual ~TStream32() = default;
    TStream32(const TStream32&) = delete;
    TStream32& operator=(const TStream32&) = delete;

    virtual int64_t GetSize();
    virtual void SetSize(int64_t NewSize);
    virtual int32_t Read(void* Buffer, int32_t Count) = 0;
    virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
    // Origin 0 from the beginning, 1 from the current position, 2 from the end.
    virtual int64_t Seek(int64_t Offset, int Origin) = 0;
    // Reads by lending: the next Count bytes, in Data, where the stream holds them
    // already, valid until the stream is next used. Returns Count when it lends them,
    // 0 at the end (or after a failed read) as Read would, and -1 when it cannot lend
    // them all: the caller reads instead, so that a block is never split where the
    // stream's memory ends. Most streams never lend.
    virtual int32_t Borrow(const uint8_t*& /*Data*/, int32_t /*Count*/) { return -1; }
    // Copies Count bytes from Source (all of it, from its start, when Count is 0) in
    // chunks of at most 61440 bytes, pumping messages between chunks and stopping when
    // the cancel flag is raised. Returns the count asked for.
    virtual int64_t CopyFrom(TStream32& Source, int64_t Count);

    void ReadBuffer(void* Buffer, int32_t Count);
    // Reads until Count bytes are in or the stream has no more; a stream may hand out
    // fewer bytes per call than asked, so every fixed-size record read goes through this.
    int32_t ReadFull(void* Buffer, int32_t Count);
    void WriteBuffer(const void* Buffer, int32_t Count);
    int64_t Position() { return Seek(0, 1); }
    void SetPosition(int64_t Pos) { Seek(Pos, 0); }
    int64_t Size() { return GetSize(); }

    // Fires FOnProgress(this); the decompression stream calls it after each refill.
    void Progress();

    std::function<void(TStream32&)> FOnCopyProgress;
    std::function<void(TStream32&)> FOnProgress;
    // The cancel flag a copy watches; null means the copy is never cancelled.
    bool* FCancelPtr = nullptr;
    // Dispatches pending window messages; installed by a windowed host.
    std::function<void()> FProcessMessages;

protected:
    // The copy loop: chunks of at most MaxChunk bytes, messages pumped before each, the
    // flag Cancel (null: never) tested before each and, with CheckAfterPump, again
    // after the pump.
    int64_t CopyInChunks(TStream32& Source, int64_t Count, int64_t MaxChunk, const bool* Cancel,
                         bool CheckAfterPump);
};

// A stream over an operating-system handle that it does not own. Reads may go
// through a read-ahead buffer (EnableReadBuffer): archives are walked header by header
// in small reads, and the buffer turns those into a few large system calls while
// keeping every stream semantic (positions, short counts at the end).
class THandleStream32 : public TStream32 {
public:
    explicit THandleStream32(qvrOS::THandle Handle = qvrOS::InvalidHandle) : FHandle(Handle) {}
    ~THandleStream32() override;

    void SetSize(int64_t NewSize) override;
    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, int Origin) override;
    // Lends from the read-ahead buffer, filling it first when a read of Count would: a
    // read that large goes to the caller's memory and is not lent.
    int32_t Borrow(const uint8_t*& Data, int32_t Count) override;

    // Reads at an absolute position, leaving the stream's position and buffer alone.
    int32_t ReadAt(int64_t Pos, void* Buffer, int32_t Count);

    qvrOS::THandle Handle() const { return FHandle; }
    bool Valid() const { return FHandle >= 0; }
    void EnableReadBuffer(int32_t Size);

protected:
    // Moves the file pointer to the logical position and forgets the buffer, before a
    // write or an unbuffered operation.
    void Unbuffer();

    qvrOS::THandle FHandle;

private:
    // Reads the next block into the emptied buffer; false when nothing came.
    bool Refill();

    static constexpr int32_t MinReadAhead = 4096;
    std::vector<uint8_t> FBuf;
    int32_t FBufPos = 0;  // next byte to hand out
    int32_t FBufLen = 0;  // valid bytes in FBuf
    int64_t FPhys = 0;    // the file pointer, at the end of the buffered block
    int32_t FReadAhead = MinReadAhead;
};

// A read-only stream over bytes held in memory: archives handed over by a host without a
// file, tests and fuzzers. MaxRead caps the bytes one Read hands out (0: no cap), so
// that every reader can be tried against a source that returns short counts.
// A stream a host hands the component (an archive source), not trusted: a count outside
// 0..asked, a size below 0, a seek that does not land where it must inside the stream,
// and an exception from any of its calls make it fail from then on, reading nothing.
// Failed hears the first fault described ("a read of 512 bytes returned 70000"), Threw
// every exception the stream threw.
class TGuardedStream : public TStream32 {
public:
    struct THooks {
        std::function<void(const std::string&)> Failed;
        std::function<void(std::exception_ptr)> Threw;
    };
    TGuardedStream(std::unique_ptr<TStream32> Inner, THooks Hooks);

    int64_t GetSize() override;
    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, int Origin) override;
    // The first fault; empty while the stream has done nothing wrong.
    const std::string& Fault() const { return FFault; }

private:
    void Fail(const std::string& What);
    void Threw();

    std::unique_ptr<TStream32> FInner;
    THooks FHooks;
    std::string FFault;
    int64_t FPos = 0;
    int64_t FSize = -1;
};

// Reads bytes held in memory. Bytes given as shared are read in place: every run over an
// archive held in memory opens a stream of its own, and none copies the archive.
class TMemoryStream32 : public TStream32 {
public:
    explicit TMemoryStream32(std::vector<uint8_t> Data, int32_t MaxRead = 0)
        : FData(std::make_shared<const std::vector<uint8_t>>(std::move(Data))), FMaxRead(MaxRead)
    {
    }
    explicit TMemoryStream32(std::shared_ptr<const std::vector<uint8_t>> Data)
        : FData(Data ? std::move(Data) : std::make_shared<const std::vector<uint8_t>>()),
          FMaxRead(0)
    {
    }

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, int Origin) override;

private:
    std::shared_ptr<const std::vector<uint8_t>> FData;
    int32_t FMaxRead;
    int64_t FPos = 0;
};

// A write-only stream that keeps what it is given in memory: small entry data the
// component needs as text (a link's target). The caller bounds the size.
class TStringOutput32 : public TStream32 {
public:
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* Buffer, int32_t Count) override
    {
        if (Count > 0) FText.append(static_cast<const char*>(Buffer), static_cast<size_t>(Count));
        return Count > 0 ? Count : 0;
    }
    // Always at the end: the text only grows.
    int64_t Seek(int64_t, int) override { return static_cast<int64_t>(FText.size()); }
    const std::string& Text() const { return FText; }

private:
    std::string FText;
};

// Open modes of TFileStream32.
inline constexpr uint16_t fmCreate = 0xFFFF;
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;

// A file stream that owns its handle. The constructor never raises: a refused mode or
// a failed open leaves Handle() == InvalidHandle for the caller to test.
class TFileStream32 : public THandleStream32 {
public:
    TFileStream32(const std::string& FileName, uint16_t Mode);
    // Takes over a handle opened elsewhere (InvalidHandle: no file).
    explicit TFileStream32(qvrOS::THandle Handle);
    ~TFileStream32() override;
    // Closes the handle now; false when the system reports a failure.
    bool Close();
};

// An entry's output file on its way to its final name (qvrOS::TOutputFile): written
// through its handle, then committed or discarded through File().
class TOutputStream : public THandleStream32 {
public:
    explicit TOutputStream(qvrOS::TOutputFile File)
        : THandleStream32(File.Handle()), FFile(std::move(File))
    {
    }
    qvrOS::TOutputFile& File() { return FFile; }

private:
    qvrOS::TOutputFile FFile;
};

// A write-only stream that hands every block written to a function: a program's way to
// take an entry's bytes without a stream class of its own.
class TBlockStream : public TStream32 {
public:
    using TBlock = std::function<void(const uint8_t* Buf, int32_t Count)>;
    explicit TBlockStream(TBlock Block) : FBlock(std::move(Block)) {}
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* Buffer, int32_t Count) override
    {
        if (Count > 0) FBlock(static_cast<const uint8_t*>(Buffer), Count);
        FPos += Count > 0 ? Count : 0;
        return Count;
    }
    int64_t Seek(int64_t, int) override { return FPos; }

private:
    TBlock FBlock;
    int64_t FPos = 0;
};

// TRegisterQuiver: the root of the component chain. It knows the archive file, finds
// out what kind of archive it holds (identification) and, for ZIP archives, where the
// walk starts (the end-record search), keeping the header slots the walk reads.
#pragma once

#include "qvrCrypt.h"
#include "qvrFileIo.h"
#include "qvrGbls.h"
#include "qvrStreams.h"
#include "qvrZipRecords.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

// Where a signature was found: at the start of the file, or inside a program.
enum class TSigMode { Plain, Exe };

// A set of TArcType in one word.
struct TArcTypeSet {
    uint64_t Bits = 0;
    constexpr TArcTypeSet(std::initializer_list<TArcType> L)
    {
        for (TArcType t : L) Bits |= uint64_t{1} << t;
    }
    constexpr bool Has(TArcType T) const { return (Bits >> T) & 1u; }
};

class TRegisterQuiver {
public:
    TRegisterQuiver();
    virtual ~TRegisterQuiver();
    TRegisterQuiver(const TRegisterQuiver&) = delete;
    TRegisterQuiver& operator=(const TRegisterQuiver&) = delete;

    // Published properties.
    const std::string& ArchiveFile() const { return FArchiveFile; }
    // Setting the archive file or type identifies the file afresh.
    void ArchiveFile(const std::string& V);
    TArcType ArcType() const { return FArcType; }
    void ArcType(TArcType V);
    int32_t ZipCmntBufSize() const { return FZipCmntBufSize; }
    void ZipCmntBufSize(int32_t V);
    int64_t ArchiveSize() const { return FArchiveSize; }
    // Where the ZIP walk starts and how identification found it.
    int64_t WalkStart() const { return FWalkStart; }
    THeaderTypeState HeaderState() const { return FHeaderState; }
    int32_t OffsetAdjust() const { return FOffsetAdjust; }
    int64_t EndRecordEnd() const { return FEndRecordEnd; }
    int32_t VolumeNumber() const { return FVolumeNumber; }
    // The number of the disk holding the end record, and of the disk where the central
    // directory starts. A plain end record that holds 0xFFFF in one leaves it to the
    // ZIP64 end record, when there is one.
    uint32_t EndDisk() const;
    uint32_t DirDisk() const;
    // Whether the archive's end record names a disk other than the first: it ends a
    // split set, whose directory and entries lie on several parts, never a whole
    // one-file archive however its last part looks.
    bool EndRecordNamesSet() const;

    virtual std::string GetArchiveFile() { return FArchiveFile; }
    virtual void SetArchiveFile(const std::string& V);
    virtual void SetArcType(TArcType V);

    // Identification of an open archive; moves the stream's position freely. Any stream
    // will do: the file itself is asked only for what a stream cannot tell (its date,
    // its disk, through ArchiveFile).
    TArcType IdentifyArchive(TStream32& Stream);
    // The signature table. Sig is four bytes at the start of the file (Plain) or found
    // inside a program (Exe). Besides the type it may note a walk start (ARC programs)
    // and, for a directory or spanning signature, ask the disk which kind of split set
    // this is (Stream is the archive being identified).
    TArcType CheckSignature(TSigMode Mode, const uint8_t Sig[4], TStream32& Stream);
    // The end-record search: fills FHeaderState and the header slots, returns the
    // directory start, the first local header, 0 or -1.
    int64_t FindEndRecord(TStream32& Stream);

protected:
    // Deciphers a record body in place with the header key state.
    void DecipherHeader(uint8_t* Record, THeaderType Kind)
    {
        FCipher.LoadHeaderKeys();
        FCipher.DecipherBuffer(Record + 4, HeaderBodyLength(GetU32(Record), Kind));
    }
    // Deciphers the name after a header, continuing the key stream.
    void DecipherHeaderName(uint8_t* Buffer, int Length) { FCipher.DecipherBuffer(Buffer, Length); }
    void SetVolumeScheme();

    // Identification helpers. Every read is bounded and a record the file ends inside
    // simply fails the test at hand.
    static constexpr TArcTypeSet InvalidArcTypes{atNA, atUnsupported, atFileOpenErr, atUnknown};
    static constexpr TArcTypeSet ZipArcTypes{atJar, atJarExe, atZip, atZipExe};
    static bool IsValidArcType(TArcType T) { return !InvalidArcTypes.Has(T); }
    // Known self-extractor stubs: archives at fixed offsets inside the program.
    TArcType ScanExeStub(TStream32& Stream);
    // Forward search for the first archive signature from Start; returns its position.
    int64_t ScanForSignature(TStream32& Stream, TArcType& Kind, int64_t Start);
    TArcType IsUUEncoded(TStream32& Stream);
    TArcType IsTarArchive(TStream32& Stream);
    // Octal digits of S in turn; any other character is skipped.
    static int64_t OctalToInt(std::string_view S);
    // A split ZIP: spanned over removable disks (atZipDS) or numbered files (atZipMV).
    TArcType GetSpanType();
    static TArcType SpanTypeOf(const TDiskManager& Disk);

    std::string FArchiveFile;
    TArcType FArcType = atNA;
    int64_t FArchiveSize = 0;
    int32_t FZipCmntBufSize = 0;

    TLocalHeader FLocalHdr;
    TCentralHeader FCentralHdr;
    TEndHeader FEndHdr;
    TWideEndHeader FWideEndHdr;
    TZip64EndHeader FZip64EndHdr;
    TZip64Locator FZip64LocHdr;
    THeaderTypeState FHeaderState;
    int64_t FWalkStart = -1;
    int32_t FOffsetAdjust = 0;
    int64_t FEndRecordEnd = 0;
    // The end-record search found the central directory (not only an end record): a
    // walk of the local headers is then chosen, not a fallback.
    bool FDirectoryFound = false;
    // The bytes of the archive comment after the plain end record, as stored.
    std::string FCommentBytes;
    THighParts FHighParts;
    uint32_t FArchiveDate = 0;
    std::array<uint8_t, 512> FTarHeader{};
    int32_t FVolumeNumber = 0;
    char FVolumeLetter = 'z';

    // The cipher's key state, for enciphered record bodies and encrypted entries.
    TZipCipher FCipher;
    TDiskManager FDiskManager;

private:
    void IdentifyProgram(TStream32& Stream, const uint8_t* Head, int32_t HeadLen, TArcType& T);
    void IdentifyPlain(TStream32& Stream, const uint8_t* Head, int32_t HeadLen, TArcType& T);
    bool ProbeStringResources(TStream32& Stream, const uint8_t* Head, int32_t HeadLen,
                              TArcType& T);
    // The walk start of a ZIP whose first local signature is at SigPos.
    void LocateZipWalk(TStream32& Stream, int64_t SigPos);
};

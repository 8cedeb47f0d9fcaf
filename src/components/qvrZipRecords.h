// ZIP records as the reader keeps them: fixed-size byte images of each header with
// little-endian accessors, the signature classification (including the library's own
// variants whose second byte is L, M or N, and the 26-byte wide end record), and the
// in-memory entry descriptors.
#pragma once

#include "qvrGbls.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetU64(const uint8_t* p)
{
    return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}
inline void PutU16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The general purpose flags read beyond one decoder.
inline constexpr uint16_t FlagEncrypted = 0x0001;
inline constexpr uint16_t FlagDescriptor = 0x0008; // CRC and sizes follow the data
inline constexpr uint16_t FlagUtf8 = 0x0800;

// Calls Fn(Tag, Body, BodySize) for each field of the extra field of Size bytes at P. A
// field whose stated size runs past the end gets the bytes that are left.
template <class TFn>
void ForEachExtraField(const uint8_t* P, size_t Size, TFn&& Fn)
{
    for (size_t pos = 0; pos + 4 <= Size;) {
        const uint16_t tag = GetU16(P + pos);
        const size_t end = std::min(Size, pos + 4 + GetU16(P + pos + 2));
        Fn(tag, P + pos + 4, end - pos - 4);
        pos = end;
    }
}

inline constexpr uint32_t LocalSig = 0x04034B50;
inline constexpr uint32_t CentralSig = 0x02014B50;
inline constexpr uint32_t EndSig = 0x06054B50;
inline constexpr uint32_t EndSigEnciphered = 0x06054C50;
inline constexpr uint32_t WideEndSig = 0x06055B50;
inline constexpr uint32_t WideEndSigEnciphered = 0x06055C50;
inline constexpr uint32_t Zip64EndSig = 0x06064B50;
inline constexpr uint32_t Zip64LocatorSig = 0x07064B50;
inline constexpr uint32_t SpanMarkerSig = 0x08074B50;
inline constexpr uint32_t DigitalSignatureSig = 0x05054B50;
inline constexpr uint32_t ArchiveExtraDataSig = 0x08064B50;

// A record image of N bytes.
template <size_t N> struct TRecord {
    std::array<uint8_t, N> B{};
    static constexpr size_t Size = N;
    uint8_t* Data() { return B.data(); }
    const uint8_t* Data() const { return B.data(); }
    void Clear() { B.fill(0); }
    uint32_t Signature() const { return GetU32(B.data()); }
    uint16_t U16(size_t Off) const { return GetU16(B.data() + Off); }
    uint32_t U32(size_t Off) const { return GetU32(B.data() + Off); }
    uint64_t U64(size_t Off) const { return GetU64(B.data() + Off); }
    void SetU16(size_t Off, uint16_t V) { PutU16(B.data() + Off, V); }
    void SetU32(size_t Off, uint32_t V) { PutU32(B.data() + Off, V); }
};

struct TLocalHeader : TRecord<30> {
    uint16_t Flags() const { return U16(6); }
    uint16_t Method() const { return U16(8); }
    uint32_t DosDateTime() const { return U32(10); }
    uint32_t Crc() const { return U32(14); }
    uint32_t CompressedSize() const { return U32(18); }
    uint32_t UncompressedSize() const { return U32(22); }
    uint16_t NameLength() const { return U16(26); }
    uint16_t ExtraLength() const { return U16(28); }
    void SetCompressedSize(uint32_t V) { SetU32(18, V); }
    void SetUncompressedSize(uint32_t V) { SetU32(22, V); }
};

struct TCentralHeader : TRecord<46> {
    uint16_t Flags() const { return U16(8); }
    uint16_t Method() const { return U16(10); }
    uint32_t DosDateTime() const { return U32(12); }
    uint32_t Crc() const { return U32(16); }
    uint32_t CompressedSize() const { return U32(20); }
    uint32_t UncompressedSize() const { return U32(24); }
    uint16_t NameLength() const { return U16(28); }
    uint16_t ExtraLength() const { return U16(30); }
    uint16_t CommentLength() const { return U16(32); }
    uint8_t Host() const { return B[5]; }
    uint16_t DiskNumberStart() const { return U16(34); }
    uint32_t ExternalAttr() const { return U32(38); }
    uint32_t LocalOffset() const { return U32(42); }
    void SetCompressedSize(uint32_t V) { SetU32(20, V); }
    void SetUncompressedSize(uint32_t V) { SetU32(24, V); }
    void SetLocalOffset(uint32_t V) { SetU32(42, V); }
};

struct TEndHeader : TRecord<22> {
    uint16_t ThisDisk() const { return U16(4); }
    uint16_t DirDisk() const { return U16(6); }
    uint16_t EntriesThisDisk() const { return U16(8); }
    uint16_t Entries() const { return U16(10); }
    uint32_t DirSize() const { return U32(12); }
    uint32_t DirOffset() const { return U32(16); }
    uint16_t CommentLength() const { return U16(20); }
};

struct TWideEndHeader : TRecord<26> {
    uint32_t DirSize() const { return U32(12); }
    uint64_t DirOffset() const { return U64(16); }
};

struct TZip64EndHeader : TRecord<56> {
    uint64_t DirSize() const { return U64(40); }
    uint64_t DirOffset() const { return U64(48); }
};

struct TZip64Locator : TRecord<20> {
    uint64_t EndOffset() const { return U64(8); }
};

// A 32-bit field with its bits 32-47.
inline int64_t WithHigh(uint32_t Low, uint16_t High)
{
    return static_cast<int64_t>(Low) + (static_cast<int64_t>(High) << 32);
}

// Bits 32-47 of compressed size, uncompressed size and local header offset.
struct THighParts {
    uint16_t Compressed = 0;
    uint16_t Uncompressed = 0;
    uint16_t Offset = 0;
};

// A modification time in UTC from an extra field: Seconds and Nanos after 1970-01-01.
struct TUtcTime {
    bool Set = false;
    int64_t Seconds = 0;
    uint32_t Nanos = 0;
};

// A TUtcTime in one word, 100 ns steps after 1970, as the entry table keeps it.
inline constexpr int64_t NoTicks = INT64_MIN;
// Seconds beyond about 29,000 years either side of 1970 (a 64-bit NTFS time reaches
// 58,000 years) are held at that bound: no file system keeps such a time, and the
// product must not overflow.
inline constexpr int64_t MaxTickSeconds = INT64_MAX / 10000000 - 1;
inline int64_t TicksOf(const TUtcTime& T)
{
    if (!T.Set) return NoTicks;
    const int64_t s = T.Seconds < -MaxTickSeconds ? -MaxTickSeconds
                      : T.Seconds > MaxTickSeconds ? MaxTickSeconds
                                                   : T.Seconds;
    return s * 10000000 + T.Nanos / 100;
}
inline TUtcTime UtcOfTicks(int64_t Ticks)
{
    if (Ticks == NoTicks) return {};
    const int64_t s = Ticks >= 0 ? Ticks / 10000000 : -((-Ticks + 9999999) / 10000000);
    return {true, s, static_cast<uint32_t>(Ticks - s * 10000000) * 100u};
}

// One selected entry of the run, in archive order, as the entry table keeps it: what
// extraction needs of the directory record, so no copy of the record is kept. Sizes
// carry their bits 32-47.
struct TDirEntry {
    int64_t Position = 0; // local header, adjusted
    int64_t CompressedSize = 0;
    int64_t UncompressedSize = 0;
    // The directory record's UTC modification time in 100 ns steps (NoTicks: none).
    int64_t ModifiedTicks = NoTicks;
    uint32_t ExternalAttr = 0;
    uint32_t Crc = 0;
    uint32_t DosDateTime = 0;
    uint32_t NameRef = 0;      // where the entry table keeps the name
    uint32_t HeaderLength = 0; // of the local header with name and extra field; 0: not read
    uint16_t DiskNumber = 1;   // 1-based
    uint16_t Flags = 0;
    uint16_t Method = 0;
    uint8_t Host = 0xFF; // high byte of "version made by"; 0xFF: unknown (no directory)
    // Found by the local-header scan with CRC and sizes deferred to a data descriptor:
    // Crc and the sizes are the descriptor's, which stand in for the header's zeros.
    bool Described : 1 = false;
    // The walk found the local header complete in what it read and saying nothing the
    // directory does not: the same name, flags, date and CRC, and no field that changes
    // the entry. Extraction then goes straight to the data at Position + HeaderLength.
    bool LocalPlain : 1 = false;
    // A stored name holds up to 65,535 bytes; turned into UTF-8 it may grow past that.
    uint32_t NameLength = 0;
};

// A data descriptor: the CRC and sizes written after an entry's data.
struct TDataDescriptor {
    uint32_t Crc = 0;
    int64_t CompressedSize = 0;
    int64_t UncompressedSize = 0;
    int32_t Length = 0; // bytes of the record, signature included
};

// The entry being extracted.
struct TEntryInfo {
    uint16_t Flags = 0;
    uint32_t Method = 0;
    int64_t CompressedSize = 0;
    int64_t UncompressedSize = 0;
    uint32_t DosDateTime = 0;
    uint8_t Host = 0xFF;
    TUtcTime Modified;
};

// Expected is htLocal, htCentral or htEnding; answers Expected or htNone, and whether
// the record's body is enciphered.
THeaderType ClassifySignature(uint32_t Sig, THeaderType Expected, bool& BodyEnciphered);
bool IsWideEndSignature(uint32_t Sig);
// Bytes after the signature that an enciphered record carries enciphered.
int HeaderBodyLength(uint32_t Sig, THeaderType Kind);

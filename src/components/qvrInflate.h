// qvrInflate: the inflate engine for Deflate (ZIP method 8) and Deflate64 (method 9).
//
// The engine turns compressed bytes from a caller-supplied input buffer into bytes in a
// caller-supplied output buffer and can stop at any point: every call consumes what input
// it can, produces what output fits, keeps each partial state (bits not yet used, a
// half-read block header, a half-copied match) in its own records and returns. The caller
// refills NextIn/AvailIn or drains NextOut/AvailOut between calls.
//
// A stream is raw Deflate data (negative window bits, what ZIP entries hold) or wrapped in
// the two-byte header and Adler-32 trailer of RFC 1950 (positive window bits). The variant
// is chosen per stream through Deflate64Mode before InflateInit; nothing is shared between
// streams except the constant fixed-code tables, so any number of streams may run on
// different threads at once.
//
// The engine reports integer result codes and never throws.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes shared by every operation of the engine.
constexpr int32_t InflateOk = 0;             // progress made
constexpr int32_t InflateStreamEnd = 1;      // end of the compressed stream reached
constexpr int32_t InflateNeedDict = 2;       // wrapped stream asks for a preset dictionary
constexpr int32_t InflateStreamError = -2;   // no state, or a call its state does not allow
constexpr int32_t InflateDataError = -3;     // the compressed data is invalid
constexpr int32_t InflateMemError = -4;      // an allocation failed
constexpr int32_t InflateBufError = -5;      // no progress possible (no input or no room)
constexpr int32_t InflateVersionError = -6;  // record-size token is not InflateRecordSize

// Flush values for Inflate. Extraction always passes InflateNoFlush; InflateFinish only
// changes "progress made" into InflateBufError, telling a caller that expected the whole
// stream in one call that it did not get it.
constexpr int32_t InflateNoFlush = 0;
constexpr int32_t InflateFinish = 4;

// The record-size token every caller passes to InflateInit/InflateInit2: it identifies
// the record layout callers were written against.
constexpr int32_t InflateRecordSize = 74;

// Allocation hooks. Items x Size bytes, zero-filled, or nullptr on failure.
using TInflateAllocFunc = void* (*)(void* Opaque, uint32_t Items, uint32_t Size);
using TInflateFreeFunc = void (*)(void* Opaque, void* Block);
// The hooks InflateInit2 installs where the caller left them nullptr: calloc and free.
void* InflateAlloc(void* Opaque, uint32_t Items, uint32_t Size);
void InflateFree(void* Opaque, void* Block);

struct TInflateState;

// The caller's record. Fill the hooks (or leave them nullptr for the defaults) and
// Deflate64Mode, call InflateInit, then set NextIn/AvailIn and NextOut/AvailOut and call
// Inflate until it returns InflateStreamEnd or an error.
struct TInflateStream {
    const uint8_t* NextIn = nullptr;  // next input byte
    uint32_t AvailIn = 0;             // bytes available at NextIn
    int64_t TotalIn = 0;              // input bytes consumed since the last reset
    uint8_t* NextOut = nullptr;       // where the next output byte goes
    uint32_t AvailOut = 0;            // room left at NextOut
    int64_t TotalOut = 0;             // output bytes produced since the last reset
    TInflateState* State = nullptr;   // owned by the engine; nullptr before init, after end
    TInflateAllocFunc AllocFunc = nullptr;  // nullptr at init: InflateAlloc is installed
    TInflateFreeFunc FreeFunc = nullptr;    // nullptr at init: InflateFree is installed
    void* Opaque = nullptr;           // passed to the hooks
    uint32_t Adler = 0;               // wrapped mode: running Adler-32 of the output, or
                                      // the dictionary id when InflateNeedDict is returned
    // The variant, read once by InflateInit2: Deflate64 has a 64 KB window, length code
    // 285 with 16 extra bits, distance codes 30 and 31 and 32 fixed distance codes.
    // Changing it after init has no effect on the running stream.
    bool Deflate64Mode = false;
};

// Opens a stream. WindowBits 8..15 (a 2^WindowBits byte window; Deflate64 adds one bit,
// so 15 means 64 KB there); negative values select raw data without the zlib wrapper.
// Returns InflateOk, InflateStreamError (bad window bits), InflateMemError or
// InflateVersionError.
int32_t InflateInit2(TInflateStream& Strm, int32_t WindowBits, int32_t RecordSize);

// As InflateInit2 with WindowBits taken as a 16-bit value; InflateStreamError for nullptr.
int32_t InflateInit(TInflateStream* Strm, int32_t WindowBits, int32_t RecordSize);
int32_t InflateInit(TInflateStream& Strm, int32_t WindowBits, int32_t RecordSize);

// Decodes as much as the buffers allow. InflateOk after any progress, InflateStreamEnd at
// the end of the stream (and on every later call), InflateBufError when no progress was
// possible, InflateDataError for invalid data (sticky until InflateReset).
int32_t Inflate(TInflateStream& Strm, int32_t Flush);

// Returns the stream to its first state for a new compressed stream, keeping its memory.
int32_t InflateReset(TInflateStream& Strm);

// Releases everything the stream owns; State becomes nullptr.
int32_t InflateEnd(TInflateStream& Strm);

// Whole-buffer decoding of raw Deflate data (not Deflate64) whose compressed bytes are all
// at In and whose output all fits at Out. The output serves as its own history, so nothing
// passes through a window and nothing is copied out; there is no state to keep, and
// nothing is allocated. Out must have OutCap + InflateWholeSlack writable bytes: matches
// are copied in words that may run past OutCap into the slack, which never holds output.
// Returns InflateStreamEnd with OutLen bytes made and InUsed bytes of input consumed (the
// stream's last byte included); InflateDataError for invalid data; InflateBufError when
// the input ends before the stream does or the stream makes more than OutCap bytes. After
// an error the buffer's contents are unspecified; a caller that must report how far the
// data was good decodes it again with Inflate.
constexpr uint32_t InflateWholeSlack = 32;
int32_t InflateWhole(const uint8_t* In, size_t InLen, uint8_t* Out, size_t OutCap, size_t& OutLen,
                     size_t& InUsed);

// Adler-32 of RFC 1950 continued from Adler, the check of a wrapped stream's trailer; a
// null buffer gives the initial value 1.
uint32_t Adler32(uint32_t Adler, const uint8_t* Buf, uint32_t Len);

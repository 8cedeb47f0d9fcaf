// The method table: ZIP compression method number -> decoder. Entry extraction looks
// the method up before it touches any output file, so an entry whose method has no row
// is reported once and leaves the destination as it was.
//
// A decoder is a plain function of input to output: it pulls the entry's compressed
// bytes from In (already cut to the entry and deciphered) and pushes whole blocks of
// decoded bytes into the entry's sink, producing no more than the sink has room for.
// Once the sink has the declared size, a decoder whose data has an end of its own goes
// on to that end, asking for a byte more than the size (output there is data past it,
// which the sink refuses), and gives back to In what it read beyond it: the entry's
// layers then judge whether the data ended where its sizes say. Info gives the method
// and the general-purpose flags, which select a decoder's variant. A decoder knows
// nothing of files, volumes, keys or events: a failure that deserves its own message is
// left with the sink (TEntrySink::Fail).
#pragma once

#include "qvrEntrySink.h"
#include "qvrStreams.h"
#include "qvrZipRecords.h"

#include <cstdint>
#include <string>

enum class TDecodeResult : uint8_t {
    Done,      // the data ended: at its own end (the format's end mark, the end of the
               // compressed bytes) or, for a format without one, at the declared size
    BadData,   // the compressed data is invalid
    Truncated, // the input ended before the data did
    Stopped    // the sink refused more (write failure, cancel, declared size exceeded)
};

using TDecoder = TDecodeResult (*)(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);

struct TMethodRow {
    uint16_t Method;
    const char* Name;
    TDecoder Decode;
    // Output its decoder makes on one core, in MB a second, rounded down from what this
    // project's benchmarks measure: how long an entry of the method keeps a thread.
    uint16_t MBPerSecond;
    // The data has an end of its own (an end mark, or stored bytes that end with the
    // compressed size): it must end exactly where the entry's compressed bytes do. The
    // legacy methods have none and end at the declared size, wherever their bytes stand.
    bool EndsInData;
};

// The row of Method, or null when the component has no decoder for it.
const TMethodRow* FindMethod(uint32_t Method);
// The name of Method: its row's, else the name the ZIP format gives it (PPMd, AES, ...);
// null for a number the format does not name.
const char* MethodName(uint32_t Method);
// Method for a report: "PPMd (98)", or "method 200" for a number without a name.
std::string DescribeMethod(uint32_t Method);

// Method 0: the data is the file.
TDecodeResult CopyStored(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);
// Methods 8 and 9: raw Deflate data with a 32 KB or a 64 KB window.
TDecodeResult InflateDeflated(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);
TDecodeResult InflateDeflate64(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);
// Method 1: Shrinking (LZW, 9 to 13-bit codes, partial clearing).
TDecodeResult Unshrink(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);
// Methods 2-5: Reducing with compression factors 1-4 (follower sets and a 4 KB window).
TDecodeResult Unreduce(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);
// Method 6: Imploding (Shannon-Fano trees, a 4 KB or 8 KB window).
TDecodeResult Explode(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);
// The methods on codec libraries. Their rows exist where the library was found when the
// component was built (CMake defines UNSPOOL_HAVE_BZIP2, _LZMA and _ZSTD).
// Method 12: bzip2 streams, one or several in a row (libbz2).
TDecodeResult DecodeBzip2(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);
// Method 14: LZMA behind the ZIP's 4-byte header and 5 property bytes (liblzma).
TDecodeResult DecodeLzma(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);
// Method 95: .xz streams, one or several in a row (liblzma).
TDecodeResult DecodeXz(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);
// Method 93: Zstandard frames, one or several in a row, windows up to 128 MB (libzstd).
TDecodeResult DecodeZstd(TStream32& In, TEntrySink& Out, const TEntryInfo& Info);

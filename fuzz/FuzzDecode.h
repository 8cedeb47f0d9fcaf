// The checked decode the decoder fuzz targets share: one row of the method table over a
// memory stream that hands out at most MaxRead bytes per read (0: no cap), into a sink
// that measures without writing. Besides the sanitizers it holds every decoder to its
// contract: output never passes the declared size, a fail code comes exactly with
// invalid data, and the sink (which has no owner) stops a decoder only for data past
// the declared size. Where the data ended against its sizes is judged by the entry's
// layers, not here.
#pragma once

#include "qvrMethods.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

struct TFuzzResult {
    TDecodeResult Result;
    int64_t Written;
    uint32_t Crc;
    int32_t FailCode;
    bool operator==(const TFuzzResult&) const = default;
};

inline TFuzzResult FuzzDecode(const std::vector<uint8_t>& Input, TEntryInfo Info,
                              int64_t Declared, int32_t MaxRead)
{
    const TMethodRow* row = FindMethod(Info.Method);
    if (!row) std::abort();
    TMemoryStream32 source(Input, MaxRead);
    TEntrySink sink(nullptr, nullptr, Declared);
    Info.UncompressedSize = Declared;
    const TDecodeResult r = row->Decode(source, sink, Info);
    if (sink.Written() > Declared) std::abort();
    if ((r == TDecodeResult::BadData) != (sink.FailCode() != 0)) std::abort();
    if ((r == TDecodeResult::Stopped) != sink.Overflowed()) std::abort();
    return {r, sink.Written(), sink.Crc(), sink.FailCode()};
}

// The same stream read whole and in short reads must give the same bytes and verdict.
inline void FuzzDecodeAlike(const std::vector<uint8_t>& Input, const TEntryInfo& Info,
                            int64_t Declared, int32_t MaxRead)
{
    if (!(FuzzDecode(Input, Info, Declared, 0) == FuzzDecode(Input, Info, Declared, MaxRead)))
        std::abort();
}

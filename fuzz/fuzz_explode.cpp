// Fuzz target for the Explode decoder (method 6): the input is the entry's compressed
// data after one control byte. Bits 1 and 2 of the control byte are the general-purpose
// flags (window size, literal tree); bit 0 picks the declared size, 1 MB or 4 KB + 1 (a
// match can expand 2 bits into 321 bytes, so the size bounds the work); bits 3-7 pick how
// many bytes each read hands out.
//
// Besides the sanitizers, the run checks the decoder against its contract: output never
// passes the declared size, a fail code comes exactly with invalid data, Done means the
// declared size was reached, and the same stream read whole or in short reads gives the
// same bytes and verdict.
#include "qvrMethods.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct TResult {
    TDecodeResult Result;
    int64_t Written;
    uint32_t Crc;
    int32_t FailCode;
};

TResult Decode(const std::vector<uint8_t>& Input, uint16_t Flags, int64_t Declared,
               int32_t MaxRead)
{
    const TMethodRow* row = FindMethod(6);
    if (!row) std::abort();
    TMemoryStream32 source(Input, MaxRead);
    TEntrySink sink(nullptr, nullptr, Declared);
    TEntryInfo info;
    info.Method = 6;
    info.Flags = Flags;
    info.UncompressedSize = Declared;
    const TDecodeResult r = row->Decode(source, sink, info);
    if (sink.Written() > Declared || sink.Overflowed()) std::abort();
    if ((r == TDecodeResult::BadData) != (sink.FailCode() != 0)) std::abort();
    // Without an owner nothing can refuse output.
    if (r == TDecodeResult::Stopped) std::abort();
    if ((r == TDecodeResult::Done) != (sink.Written() == Declared)) std::abort();
    return {r, sink.Written(), sink.Crc(), sink.FailCode()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const auto flags = static_cast<uint16_t>(data[0] & 6);
    const int64_t declared = data[0] & 1 ? 4097 : int64_t{1} << 20;
    const int32_t piece = 1 + (data[0] >> 3);
    const std::vector<uint8_t> input(data + 1, data + size);
    const TResult whole = Decode(input, flags, declared, 0);
    const TResult pieces = Decode(input, flags, declared, piece);
    if (whole.Result != pieces.Result || whole.Written != pieces.Written ||
        whole.Crc != pieces.Crc || whole.FailCode != pieces.FailCode)
        std::abort();
    return 0;
}

// Fuzz target for the Unshrink decoder (method 1): the input is the entry's compressed
// data. The first two bytes give the declared size (in steps of 16 bytes, so at most
// 1 MB: one 13-bit code can stand for almost 8 KB, and a stream without a size would run
// as long as its codes), the third picks how many bytes each read hands out.
//
// Besides the sanitizers, the run checks the decoder against itself and its contract:
// output never passes the declared size, a fail code comes exactly with invalid data,
// and the same stream read whole or in short reads gives the same bytes and verdict.
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

TResult Decode(const std::vector<uint8_t>& Input, int64_t Declared, int32_t MaxRead)
{
    const TMethodRow* row = FindMethod(1);
    if (!row) std::abort();
    TMemoryStream32 source(Input, MaxRead);
    TEntrySink sink(nullptr, nullptr, Declared);
    TEntryInfo info;
    info.Method = 1;
    info.UncompressedSize = Declared;
    const TDecodeResult r = row->Decode(source, sink, info);
    if (sink.Written() > Declared || sink.Overflowed()) std::abort();
    if ((r == TDecodeResult::BadData) != (sink.FailCode() != 0)) std::abort();
    // Without an owner nothing can refuse output.
    if (r == TDecodeResult::Stopped) std::abort();
    if (r == TDecodeResult::Done && sink.Written() != Declared) std::abort();
    return {r, sink.Written(), sink.Crc(), sink.FailCode()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const int64_t declared = static_cast<int64_t>(data[0] | (data[1] << 8)) * 16;
    const int32_t piece = 1 + data[2] % 31;
    const std::vector<uint8_t> input(data + 3, data + size);
    const TResult whole = Decode(input, declared, 0);
    const TResult pieces = Decode(input, declared, piece);
    if (whole.Result != pieces.Result || whole.Written != pieces.Written ||
        whole.Crc != pieces.Crc || whole.FailCode != pieces.FailCode)
        std::abort();
    return 0;
}

// Fuzz target for Unreduce (methods 2-5): the first byte picks the compression factor
// (its low two bits) and the size of the input's reads; the rest is the compressed data.
// The entry's declared size is capped at 1 MB, so streams that expand a lot end there.
//
// Besides the sanitizers, the run checks the decoder against itself: the data handed
// over whole and in small reads must give the same bytes and the same verdict, and the
// output never passes the declared size.
#include "qvrEntrySink.h"
#include "qvrMethods.h"
#include "qvrStreams.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr int64_t Declared = 1 << 20;

struct TResult {
    TDecodeResult Code;
    int64_t Written;
    uint32_t Crc;
    int32_t FailCode;
};

TResult Decode(const std::vector<uint8_t>& Data, uint32_t Method, int32_t MaxRead)
{
    const TMethodRow* row = FindMethod(Method);
    if (!row) std::abort();
    TMemoryStream32 in(Data, MaxRead);
    // Without an owner the sink measures and checks the output without writing it.
    TEntrySink sink(nullptr, nullptr, Declared);
    TEntryInfo info;
    info.Method = Method;
    const TDecodeResult code = row->Decode(in, sink, info);
    if (sink.Written() > Declared || sink.Overflowed()) std::abort();
    return {code, sink.Written(), sink.Crc(), sink.FailCode()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const uint32_t method = 2 + (data[0] & 3);
    const int32_t maxRead = 1 + (data[0] >> 2);
    const std::vector<uint8_t> input(data + 1, data + size);
    const TResult whole = Decode(input, method, 0);
    const TResult pieces = Decode(input, method, maxRead);
    if (whole.Code != pieces.Code || whole.Written != pieces.Written || whole.Crc != pieces.Crc ||
        whole.FailCode != pieces.FailCode)
        std::abort();
    return 0;
}

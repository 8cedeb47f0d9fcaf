// Fuzz target for Unreduce (methods 2-5): the first byte picks the compression factor
// (its low two bits) and the size of the input's reads; the rest is the compressed data.
// The entry's declared size is capped at 1 MB, so streams that expand a lot end there.
//
// Besides the sanitizers, the run holds the decoder to the contract of FuzzDecode.h and
// checks that the data handed over whole and in small reads gives the same bytes and
// the same verdict.
#include "FuzzDecode.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    TEntryInfo info;
    info.Method = 2 + (data[0] & 3);
    const std::vector<uint8_t> input(data + 1, data + size);
    FuzzDecodeAlike(input, info, int64_t{1} << 20, 1 + (data[0] >> 2));
    return 0;
}

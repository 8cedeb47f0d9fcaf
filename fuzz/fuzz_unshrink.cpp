// Fuzz target for the Unshrink decoder (method 1): the input is the entry's compressed
// data. The first two bytes give the declared size (in steps of 16 bytes, so at most
// 1 MB: one 13-bit code can stand for almost 8 KB, and a stream without a size would run
// as long as its codes), the third picks how many bytes each read hands out.
//
// Besides the sanitizers, the run checks the decoder against itself and its contract:
// output never passes the declared size, a fail code comes exactly with invalid data,
// and the same stream read whole or in short reads gives the same bytes and verdict.
#include "FuzzDecode.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    TEntryInfo info;
    info.Method = 1;
    const int64_t declared = static_cast<int64_t>(data[0] | (data[1] << 8)) * 16;
    const std::vector<uint8_t> input(data + 3, data + size);
    FuzzDecodeAlike(input, info, declared, 1 + data[2] % 31);
    return 0;
}

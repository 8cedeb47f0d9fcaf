// Fuzz target for the decoders on codec libraries: bzip2 (12), LZMA (14), zstd (93) and
// xz (95). The input is the entry's compressed data after one control byte: bits 0-1 pick
// the method, bit 2 is general-purpose flag bit 1 (LZMA's end marker), bit 3 picks the
// declared size, 64 KB or 1 MB (the size bounds the work a small stream can ask for), and
// bits 4-7 pick how many bytes each read hands out. A build without a method's library
// has no row for it, and such inputs are skipped.
//
// Besides the sanitizers, the run holds the decoders to the table's contract (output
// never past the declared size, a fail code exactly with refused data, a stop only for
// data past the declared size) and checks that the same stream read whole or in short reads gives the
// same verdict, and the same bytes when it passes. How much a library hands out before
// it refuses the data depends on how the input came in (a zstd block waits in the
// library until its frame's checksum has been checked), so failed decodes may differ
// in their length.
#include "FuzzDecode.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    static constexpr uint16_t Methods[4] = {12, 14, 93, 95};
    TEntryInfo info;
    info.Method = Methods[data[0] & 3];
    if (!FindMethod(info.Method)) return 0;
    info.Flags = static_cast<uint16_t>(data[0] & 4 ? 2 : 0);
    const int64_t declared = data[0] & 8 ? int64_t{1} << 20 : int64_t{1} << 16;
    const std::vector<uint8_t> input(data + 1, data + size);
    const TFuzzResult whole = FuzzDecode(input, info, declared, 0);
    const TFuzzResult pieces = FuzzDecode(input, info, declared, 1 + (data[0] >> 4));
    if (whole.Result != pieces.Result || whole.FailCode != pieces.FailCode) std::abort();
    if (whole.Result == TDecodeResult::Done && !(whole == pieces)) std::abort();
    return 0;
}

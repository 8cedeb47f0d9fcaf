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
#include "FuzzDecode.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    TEntryInfo info;
    info.Method = 6;
    info.Flags = static_cast<uint16_t>(data[0] & 6);
    const int64_t declared = data[0] & 1 ? 4097 : int64_t{1} << 20;
    const std::vector<uint8_t> input(data + 1, data + size);
    FuzzDecodeAlike(input, info, declared, 1 + (data[0] >> 3));
    // Explode stops exactly at the declared size: reaching it is always Done.
    const TFuzzResult r = FuzzDecode(input, info, declared, 0);
    if (r.Written == declared && r.Result != TDecodeResult::Done) std::abort();
    return 0;
}

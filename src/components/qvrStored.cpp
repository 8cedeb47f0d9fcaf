// Stored entries (method 0): the compressed bytes are the file's bytes. They move in
// blocks of 256 KB: few enough system calls that a large file costs little more than
// its copy, small enough that the block stays in the cache between the read, the CRC
// and the write, and that the sink's progress and cancel still run often.
#include "qvrMethods.h"

TDecodeResult CopyStored(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    constexpr int32_t Block = 256 * 1024;
    while (Out.Wants()) {
        const int32_t want = Out.Room(Block);
        uint8_t* buf = Out.OutputBlock(want);
        const int32_t n = In.Read(buf, want);
        // Without a declared size (a data descriptor that was not found) the window ends
        // the data; with one, running out first means the archive is cut short.
        if (n <= 0) return Out.Expected() < 0 ? TDecodeResult::Done : TDecodeResult::Truncated;
        if (!Out.Write(buf, n)) return TDecodeResult::Stopped;
    }
    return TDecodeResult::Done;
}

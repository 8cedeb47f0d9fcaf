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
        // Bytes the archive's stream holds already (a small file's, read ahead with its
        // header) are written from where they are, without a copy.
        const uint8_t* bytes = nullptr;
        int32_t n = In.Borrow(bytes, want);
        if (n < 0) {
            uint8_t* buf = Out.OutputBlock(want);
            n = In.Read(buf, want);
            bytes = buf;
        }
        // Without a declared size (a data descriptor that was not found) the window ends
        // the data; with one, running out first means the archive is cut short.
        if (n <= 0) return Out.Expected() < 0 ? TDecodeResult::Done : TDecodeResult::Truncated;
        if (!Out.Write(bytes, n)) return TDecodeResult::Stopped;
    }
    // The compressed size is the stored size: a byte more is data past the declared
    // size, which the sink refuses. At the window's end the read costs no system call.
    uint8_t more = 0;
    if (Out.Full() && In.Read(&more, 1) > 0 && !Out.Write(&more, 1)) return TDecodeResult::Stopped;
    return TDecodeResult::Done;
}

// Stored entries (method 0): the compressed bytes are the file's bytes. They move in
// blocks of 32 KB, so the sink's CRC, progress and cancel run once per block.
#include "qvrMethods.h"

#include <vector>

TDecodeResult CopyStored(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    constexpr int32_t Block = 32768;
    std::vector<uint8_t> buf(static_cast<size_t>(Out.Room(Block)));
    while (Out.Wants()) {
        const int32_t want = Out.Room(Block);
        if (static_cast<size_t>(want) > buf.size()) buf.resize(static_cast<size_t>(want));
        const int32_t n = In.Read(buf.data(), want);
        // Without a declared size (a data descriptor that was not found) the window ends
        // the data; with one, running out first means the archive is cut short.
        if (n <= 0) return Out.Expected() < 0 ? TDecodeResult::Done : TDecodeResult::Truncated;
        if (!Out.Write(buf.data(), n)) return TDecodeResult::Stopped;
    }
    return TDecodeResult::Done;
}

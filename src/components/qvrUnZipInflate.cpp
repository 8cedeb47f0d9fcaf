// Deflate and Deflate64 entries: the drivers between the archive stream, the inflate
// engine and WriteOutput.
#include "qvrDecompressStream.h"
#include "qvrUnZip.h"

#include <algorithm>
#include <memory>
#include <vector>

void TUnZip::InflateDeflated(TStream32& Stream, TStream32* Out, int WindowBits)
{
    InflateEntry(Stream, Out, WindowBits, false);
}

void TUnZip::InflateDeflate64(TStream32& Stream, TStream32* Out, int WindowBits)
{
    InflateEntry(Stream, Out, WindowBits, true);
}

void TUnZip::InflateEntry(TStream32& Stream, TStream32* Out, int WindowBits, bool Deflate64)
{
    constexpr int64_t MaxChunk = 32768;
    const int64_t size = FEntryInfo.UncompressedSize;
    if (size <= 0) return;
    TDecompressStream inflater(Stream, static_cast<int8_t>(WindowBits), Deflate64);
    inflater.FDecryptInput = (FEntryInfo.Flags & 0x0001) != 0;
    inflater.FCipher = &FCipher;

    int64_t remaining = size;
    int64_t entryLeft = size;
    int64_t chunk = std::min(remaining, MaxChunk);
    std::vector<uint8_t> buf(static_cast<size_t>(chunk));
    auto progress = [&](int64_t produced) {
        FBytesLeft -= produced;
        entryLeft -= produced;
        UpdateProgress(FTotalUnpacked, size, size - entryLeft);
    };
    while (remaining > 0) {
        if (GetCancel()) break;
        if (ProcessMessages) ProcessMessages();
        const int32_t h = inflater.Read(buf.data(), static_cast<int32_t>(chunk));
        if (h > 0) {
            try {
                if (WriteBlock(Out, buf.data(), 1, h, 32, false) == 0)
                    RaiseError(FFileName, E_WRITEERR, "0", "");
            } catch (const E_RAISE& e) {
                // A full disk ends the entry; any other write failure was reported and
                // decoding goes on with the next chunk.
                if (e.Code() == E_DISKFULL) throw;
            }
            progress(h);
            remaining -= chunk;
            chunk = std::min(remaining, MaxChunk);
            continue;
        }
        // End of data before the entry's size, corrupt data or no more input: the rest
        // of the entry is accounted as done and the CRC verdict tells the story.
        progress(entryLeft);
        FPackedLeft = 0;
        break;
    }
}

// Deflate and Deflate64 entries: the drivers between the archive stream, the inflate
// engine and WriteOutput.
#include "qvrDecompressStream.h"
#include "qvrUnZip.h"

#include <algorithm>
#include <memory>
#include <vector>

void TUnZip::InflateDeflated(std::unique_ptr<TStream32>& Stream, TStream32* Out, int WindowBits)
{
    InflateEntry(Stream, Out, WindowBits, false);
}

void TUnZip::InflateDeflate64(std::unique_ptr<TStream32>& Stream, TStream32* Out, int WindowBits)
{
    InflateEntry(Stream, Out, WindowBits, true);
}

void TUnZip::InflateEntry(std::unique_ptr<TStream32>& Stream, TStream32* Out, int WindowBits,
                          bool Deflate64)
{
    constexpr int64_t MaxChunk = 32768;
    const int64_t size = FEntryInfo.UncompressedSize;
    if (size <= 0) return;
    TDecompressStream inflater(*Stream, static_cast<int8_t>(WindowBits), Deflate64);
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
            // WriteOutput has reported a failed write (and raised for a full disk): the
            // file cannot be completed, so the entry ends at its first failure instead
            // of reporting the same failure for every later chunk.
            if (WriteBlock(Out, buf.data(), 1, h, 32, false) != h) {
                progress(entryLeft);
                break;
            }
            progress(h);
            remaining -= chunk;
            chunk = std::min(remaining, MaxChunk);
            continue;
        }
        if (h == InflateBufError && inflater.TotalOut() < size &&
            (FArcType == atZipDS || FArcType == atZipMV)) {
            // The compressed data runs on into the next volume: write what this chunk
            // got, then go on from the start of the next volume with the engine's state
            // untouched.
            const int32_t part = static_cast<int32_t>(chunk) - static_cast<int32_t>(inflater.FStrm.AvailOut);
            if (part > 0 && WriteBlock(Out, buf.data(), 1, part, 32, false) != part) {
                progress(entryLeft);
                break;
            }
            if (!NextVolume(Stream)) {
                if (FArcType == atZipMV) SetCancel(true);
                break;
            }
            remaining -= part;
            chunk = std::min(remaining, MaxChunk);
            inflater.SetSource(*Stream, 0);
            progress(part);
            continue;
        }
        // End of data before the entry's size, corrupt data or no more input: the rest
        // of the entry is accounted as done and the CRC verdict tells the story.
        progress(entryLeft);
        FPackedLeft = 0;
        break;
    }
}

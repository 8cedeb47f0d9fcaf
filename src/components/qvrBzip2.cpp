// bzip2 entries (method 12). The entry's data is a bzip2 stream exactly as the bzip2
// tool writes it: the "BZh" signature with the block size digit, blocks of up to 900 KB
// of Burrows-Wheeler transformed data each with its own CRC, and an end-of-stream mark
// carrying the stream's combined CRC. Some writers put several whole streams one after
// the other (a parallel compressor's pieces); they decode as one entry. libbz2 does the
// decoding; its memory is bounded by the 900 KB block size.
#include "qvrCodecPump.h"

#include <bzlib.h>

#include <climits>

namespace {

// One libbz2 decompression stream, ended with its holder.
class TBzip2Codec final : public TCodec {
public:
    TBzip2Codec() { Begin(); }
    ~TBzip2Codec() override { End(); }
    TBzip2Codec(const TBzip2Codec&) = delete;
    TBzip2Codec& operator=(const TBzip2Codec&) = delete;

    TCodecState Step(TCodecIo& Io) override
    {
        if (!FOpen) return Refuse(BZ_MEM_ERROR);
        // libbz2 counts in unsigned int; the pump's buffers are far below that.
        FStream.next_in = const_cast<char*>(reinterpret_cast<const char*>(Io.In));
        FStream.avail_in = static_cast<unsigned>(Io.InLeft);
        FStream.next_out = reinterpret_cast<char*>(Io.Out);
        FStream.avail_out = static_cast<unsigned>(Io.OutLeft);
        const int rc = BZ2_bzDecompress(&FStream);
        Io.In += Io.InLeft - FStream.avail_in;
        Io.InLeft = FStream.avail_in;
        Io.Out += Io.OutLeft - FStream.avail_out;
        Io.OutLeft = FStream.avail_out;
        if (rc == BZ_STREAM_END) return TCodecState::StreamEnd;
        if (rc == BZ_OK) return TCodecState::Going;
        return Refuse(rc);
    }

    bool Restart() override
    {
        End();
        Begin();
        return FOpen;
    }

    bool Foreign() const override { return FError == BZ_DATA_ERROR_MAGIC; }

    std::string Failure() const override
    {
        switch (FError) {
        case BZ_DATA_ERROR_MAGIC: return "bzip2: not a bzip2 stream";
        case BZ_MEM_ERROR: return "bzip2: out of memory";
        default: return "bzip2: invalid compressed data";
        }
    }

private:
    void Begin() { FOpen = BZ2_bzDecompressInit(&FStream, 0, 0) == BZ_OK; }
    void End()
    {
        if (FOpen) BZ2_bzDecompressEnd(&FStream);
        FOpen = false;
        FStream = bz_stream{};
    }
    TCodecState Refuse(int Error)
    {
        FError = Error;
        return TCodecState::Bad;
    }

    bz_stream FStream{};
    bool FOpen = false;
    int FError = BZ_OK;
};

} // namespace

TDecodeResult DecodeBzip2(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    TBzip2Codec codec;
    return PumpCodec(codec, In, Out);
}

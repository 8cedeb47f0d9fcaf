// Zstandard entries (method 93). The entry's data is one or more zstd frames in a row, as
// the zstd tool writes them: each a magic number, a frame header (window size, and
// optionally content size, dictionary id and checksum flag), compressed blocks, and an
// optional 4-byte checksum; skippable frames may sit between them. The decoder's memory
// is its window, which each frame declares: a frame asking for more than the limit is
// refused before anything is allocated for it. libzstd does the decoding.
#include "qvrCodecPump.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <string>

namespace {

// 2^27 bytes = 128 MB: the zstd tool's own default limit, above every level's window
// except --long and --ultra with explicit window sizes.
constexpr int WindowLogMax = 27;

// One libzstd decompression context, freed with its holder.
class TZstdCodec final : public TCodec {
public:
    TZstdCodec() : FContext(ZSTD_createDCtx())
    {
        if (FContext) ZSTD_DCtx_setParameter(FContext, ZSTD_d_windowLogMax, WindowLogMax);
    }
    ~TZstdCodec() override { ZSTD_freeDCtx(FContext); }
    TZstdCodec(const TZstdCodec&) = delete;
    TZstdCodec& operator=(const TZstdCodec&) = delete;

    TCodecState Step(TCodecIo& Io) override
    {
        if (!FContext) return TCodecState::Bad;
        ZSTD_inBuffer in{Io.In, Io.InLeft, 0};
        ZSTD_outBuffer out{Io.Out, Io.OutLeft, 0};
        const size_t rc = ZSTD_decompressStream(FContext, &out, &in);
        Io.In += in.pos;
        Io.InLeft -= in.pos;
        Io.Out += out.pos;
        Io.OutLeft -= out.pos;
        if (ZSTD_isError(rc)) {
            FError = rc;
            return TCodecState::Bad;
        }
        // 0: a frame ended and all of it has been handed out. The context starts on the
        // next frame by itself.
        return rc == 0 ? TCodecState::StreamEnd : TCodecState::Going;
    }

    bool Restart() override { return FContext != nullptr; }

    std::string Failure() const override
    {
        if (!FContext) return "zstd: out of memory";
        if (ZSTD_getErrorCode(FError) == ZSTD_error_frameParameter_windowTooLarge)
            return "zstd: the frame's window is over the " +
                   std::to_string((size_t{1} << WindowLogMax) >> 20) + " MB limit";
        return std::string("zstd: ") + ZSTD_getErrorName(FError);
    }

private:
    ZSTD_DCtx* FContext;
    size_t FError = 0;
};

} // namespace

TDecodeResult DecodeZstd(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    TZstdCodec codec;
    return PumpCodec(codec, In, Out);
}

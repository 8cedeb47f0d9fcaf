// Zstandard entries (method 93). The entry's data is one or more zstd frames in a row, as
// the zstd tool writes them: each a magic number, a frame header (window size, and
// optionally content size, dictionary id and checksum flag), compressed blocks, and an
// optional 4-byte checksum; skippable frames may sit between them. The decoder's memory
// is its window, which each frame declares: a frame asking for more than the limit is
// refused before anything is allocated for it. libzstd does the decoding.
//
// Frames of the formats before zstd 1.0 (magic numbers 0xFD2FB51E-0xFD2FB527) are
// refused: ZIP entries never held them, the Windows build's library has no decoder for
// them, and a library that has one takes or refuses such a frame depending on whether
// its magic number arrived in one read or in two.
#include "qvrCodecPump.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// 2^27 bytes = 128 MB: the zstd tool's own default limit, above every level's window
// except --long and --ultra with explicit window sizes.
constexpr int WindowLogMax = 27;
constexpr uint32_t FirstLegacyMagic = 0xFD2FB51Eu;
constexpr uint32_t LastLegacyMagic = 0xFD2FB527u;

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
        // A frame's magic number is gathered whole before libzstd sees any of it.
        if (FHeadLength < sizeof FHead) {
            const size_t take = std::min(sizeof FHead - FHeadLength, Io.InLeft);
            if (take == 0) return TCodecState::Going;
            std::memcpy(FHead + FHeadLength, Io.In, take);
            FHeadLength += take;
            Io.In += take;
            Io.InLeft -= take;
            if (FHeadLength < sizeof FHead) return TCodecState::Going;
            const uint32_t magic = static_cast<uint32_t>(FHead[0]) | FHead[1] << 8 |
                                   FHead[2] << 16 | static_cast<uint32_t>(FHead[3]) << 24;
            if (magic >= FirstLegacyMagic && magic <= LastLegacyMagic) {
                FLegacy = true;
                return TCodecState::Bad;
            }
            ZSTD_inBuffer head{FHead, sizeof FHead, 0};
            ZSTD_outBuffer none{Io.Out, 0, 0};
            const size_t rc = ZSTD_decompressStream(FContext, &none, &head);
            if (ZSTD_isError(rc)) {
                FError = rc;
                return TCodecState::Bad;
            }
        }
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

    bool Restart() override
    {
        FHeadLength = 0;
        return FContext != nullptr;
    }

    bool Foreign() const override
    {
        return FError != 0 && ZSTD_getErrorCode(FError) == ZSTD_error_prefix_unknown;
    }

    std::string Failure() const override
    {
        if (!FContext) return "zstd: out of memory";
        if (FLegacy) return "zstd: a frame of a format older than zstd 1.0";
        if (ZSTD_getErrorCode(FError) == ZSTD_error_frameParameter_windowTooLarge)
            return "zstd: the frame's window is over the " +
                   std::to_string((size_t{1} << WindowLogMax) >> 20) + " MB limit";
        return std::string("zstd: ") + ZSTD_getErrorName(FError);
    }

private:
    ZSTD_DCtx* FContext;
    size_t FError = 0;
    uint8_t FHead[4] = {};
    size_t FHeadLength = 0;
    bool FLegacy = false;
};

} // namespace

TDecodeResult DecodeZstd(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    TZstdCodec codec;
    return PumpCodec(codec, In, Out);
}

// LZMA (method 14) and xz (method 95) entries, both decoded by liblzma.
//
// An LZMA entry starts with a 4-byte header of its own: the LZMA SDK version that wrote
// it (major, minor), then the size of the properties that follow as a little-endian
// 16-bit count, always 5: one byte packing lc, lp and pb, and the dictionary size as a
// little-endian 32-bit number. The raw LZMA1 stream follows. General-purpose flag bit 1
// says the stream ends with an end-of-stream marker; without it the stream has no end of
// its own and the declared uncompressed size ends it (the sink stops the decoder there).
// The dictionary is allocated whole, so it is bounded: never more than the entry's
// declared size needs, and never more than the limit below.
//
// An xz entry is a complete .xz file: stream header, blocks each naming its filter
// chain, index and stream footer; several streams may follow each other, with stream
// padding between them. The stream decoder checks every block's integrity check and
// refuses a stream whose decoding would need more memory than the limit.
#include "qvrCodecPump.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

// The most a single entry's decoder may allocate: enough for every preset of xz and
// 7-Zip's largest common dictionary, far below what a hostile header could ask for.
constexpr uint64_t MemoryLimit = uint64_t{256} << 20;
constexpr uint16_t FlagEndMarker = 0x0002;

// One liblzma stream, ended with its holder. Opening it is the caller's choice of
// decoder; a stream that failed to open refuses its first step.
class TLzmaCodec final : public TCodec {
public:
    // Label names the format in reports; Finishes: several streams may follow each other
    // until the input ends.
    TLzmaCodec(const char* Label, bool Finishes) : FLabel(Label), FFinishes(Finishes) {}
    ~TLzmaCodec() override { lzma_end(&FStream); }
    TLzmaCodec(const TLzmaCodec&) = delete;
    TLzmaCodec& operator=(const TLzmaCodec&) = delete;

    lzma_stream& Stream() { return FStream; }
    void Opened(lzma_ret Rc) { FError = Rc; }

    TCodecState Step(TCodecIo& Io) override
    {
        if (FError != LZMA_OK) return TCodecState::Bad;
        FStream.next_in = Io.In;
        FStream.avail_in = Io.InLeft;
        FStream.next_out = Io.Out;
        FStream.avail_out = Io.OutLeft;
        // The xz decoder learns that the last of several streams has ended only when told
        // the input has; the raw LZMA decoder without an end marker never ends, so it
        // only ever runs.
        const lzma_action action = FFinishes && Io.InputEnded ? LZMA_FINISH : LZMA_RUN;
        const lzma_ret rc = lzma_code(&FStream, action);
        Io.In = FStream.next_in;
        Io.InLeft = FStream.avail_in;
        Io.Out = FStream.next_out;
        Io.OutLeft = FStream.avail_out;
        if (rc == LZMA_STREAM_END) return TCodecState::StreamEnd;
        // No progress is possible: the pump sees the input has ended and calls it cut.
        if (rc == LZMA_OK || rc == LZMA_BUF_ERROR) return TCodecState::Going;
        FError = rc;
        return TCodecState::Bad;
    }

    std::string Failure() const override
    {
        const std::string label = std::string(FLabel) + ": ";
        switch (FError) {
        case LZMA_MEMLIMIT_ERROR:
        case LZMA_MEM_ERROR:
            return label + "needs more memory than the " + std::to_string(MemoryLimit >> 20) +
                   " MB limit";
        case LZMA_FORMAT_ERROR: return label + "not an xz stream";
        case LZMA_OPTIONS_ERROR: return label + "unsupported options";
        // A block whose integrity check does not match is data refused too.
        case LZMA_DATA_ERROR: return label + "invalid compressed data";
        default: return label + "liblzma failed (" + std::to_string(FError) + ")";
        }
    }

private:
    lzma_stream FStream = LZMA_STREAM_INIT;
    const char* FLabel;
    bool FFinishes;
    lzma_ret FError = LZMA_OK;
};

// Filter options that lzma_properties_decode allocates, freed with their holder.
struct TLzmaOptions {
    lzma_filter Filter{LZMA_FILTER_LZMA1, nullptr};
    TLzmaOptions() = default;
    TLzmaOptions(const TLzmaOptions&) = delete;
    TLzmaOptions& operator=(const TLzmaOptions&) = delete;
    ~TLzmaOptions() { std::free(Filter.options); }
};

} // namespace

TDecodeResult DecodeLzma(TStream32& In, TEntrySink& Out, const TEntryInfo& Info)
{
    uint8_t header[9] = {};
    if (In.ReadFull(header, 4) != 4) return TDecodeResult::Truncated;
    const unsigned propsSize = header[2] | (header[3] << 8);
    if (propsSize != 5)
        return RefuseData(Out, "LZMA: " + std::to_string(propsSize) +
                                   " property bytes where 5 belong");
    if (In.ReadFull(header + 4, 5) != 5) return TDecodeResult::Truncated;
    TLzmaOptions options;
    if (lzma_properties_decode(&options.Filter, nullptr, header + 4, 5) != LZMA_OK)
        return RefuseData(Out, "LZMA: invalid properties");
    auto* lzma = static_cast<lzma_options_lzma*>(options.Filter.options);
    // No match reaches back past the entry's first byte, so a dictionary larger than
    // the declared size would never be filled.
    if (Out.Expected() >= 0 && Out.Expected() < lzma->dict_size)
        lzma->dict_size =
            static_cast<uint32_t>(std::max<int64_t>(Out.Expected(), LZMA_DICT_SIZE_MIN));
    if (lzma->dict_size > MemoryLimit)
        return RefuseData(Out, "LZMA: a dictionary of " + std::to_string(lzma->dict_size >> 20) +
                                   " MB is over the " + std::to_string(MemoryLimit >> 20) +
                                   " MB limit");
    // Without an end marker only the declared size can end the stream.
    if (!(Info.Flags & FlagEndMarker) && Out.Expected() < 0)
        return RefuseData(Out, "LZMA: no end marker and no declared size");
    const lzma_filter chain[2] = {options.Filter, {LZMA_VLI_UNKNOWN, nullptr}};
    TLzmaCodec codec("LZMA", false);
    codec.Opened(lzma_raw_decoder(&codec.Stream(), chain));
    return PumpCodec(codec, In, Out);
}

TDecodeResult DecodeXz(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    TLzmaCodec codec("xz", true);
    codec.Opened(lzma_stream_decoder(&codec.Stream(), MemoryLimit, LZMA_CONCATENATED));
    return PumpCodec(codec, In, Out);
}

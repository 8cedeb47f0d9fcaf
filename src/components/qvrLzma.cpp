// LZMA (method 14) and xz (method 95) entries, both decoded by liblzma.
//
// An LZMA entry starts with a 4-byte header of its own: the LZMA SDK version that wrote
// it (major, minor), then the size of the properties that follow as a little-endian
// 16-bit count, always 5: one byte packing lc, lp and pb, and the dictionary size as a
// little-endian 32-bit number. The raw LZMA1 stream follows. General-purpose flag bit 1
// says the stream ends with an end-of-stream marker; without it the stream has no end of
// its own and the declared uncompressed size ends it, where the range coder must have
// used up its bytes exactly.
// The dictionary is allocated whole, so it is bounded: never more than the entry's
// declared size needs, and never more than the limit below.
//
// An xz entry is a complete .xz file: stream header, blocks each naming its filter
// chain, index and stream footer; several streams may follow each other, with stream
// padding (zero bytes, a multiple of 4) between them and after the last. The stream
// decoder checks every block's integrity check and refuses a stream whose decoding would
// need more memory than the limit.
#include "qvrCodecPump.h"

#include <lzma.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// The most a single entry's decoder may allocate: enough for every preset of xz and
// 7-Zip's largest common dictionary, far below what a hostile header could ask for.
constexpr uint64_t MemoryLimit = uint64_t{256} << 20;
constexpr uint16_t FlagEndMarker = 0x0002;

// One liblzma stream, ended with its holder. Opening it is the caller's choice of
// decoder; a stream that failed to open refuses its first step.
class TLzmaCodec : public TCodec {
public:
    // Label names the format in reports.
    explicit TLzmaCodec(const char* Label) : FLabel(Label) {}
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
        // Each decoder here ends at the end of its own stream, never told the input has.
        const lzma_ret rc = lzma_code(&FStream, LZMA_RUN);
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

    bool Foreign() const override { return FError == LZMA_FORMAT_ERROR; }

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
        case LZMA_DATA_ERROR: return label + DataFailure();
        default: return label + "liblzma failed (" + std::to_string(FError) + ")";
        }
    }

protected:
    virtual std::string DataFailure() const { return "invalid compressed data"; }

    lzma_stream FStream = LZMA_STREAM_INIT;
    lzma_ret FError = LZMA_OK;

private:
    const char* FLabel;
};

// An LZMA entry's stream. With an end marker it ends there; without one, at its
// declared size, which the decoder is told.
class TLzmaEntryCodec final : public TLzmaCodec {
public:
    explicit TLzmaEntryCodec(int64_t SizeWithoutMarker)
        : TLzmaCodec("LZMA"), FSize(SizeWithoutMarker)
    {
    }

private:
    std::string DataFailure() const override
    {
        // Refused once the declared size was decoded: the stream goes on past it.
        if (FSize < 0 || FStream.total_out != static_cast<uint64_t>(FSize))
            return TLzmaCodec::DataFailure();
        return "an end marker or more data after its stated size, where its flags say it "
               "has no end marker";
    }

    int64_t FSize; // -1 with an end marker
};

// .xz streams one after the other, each opened when the one before has ended, with
// stream padding between them and after the last: zero bytes in groups of 4.
class TXzCodec final : public TLzmaCodec {
public:
    TXzCodec() : TLzmaCodec("xz") { Open(); }

    TCodecState Step(TCodecIo& Io) override
    {
        if (FPadding >= 0) {
            while (Io.InLeft > 0 && *Io.In == 0) {
                ++Io.In;
                --Io.InLeft;
                ++FPadding;
            }
            if (Io.InLeft == 0 && !Io.InputEnded) return TCodecState::Going;
            if (FPadding % 4 != 0) {
                FError = LZMA_DATA_ERROR;
                FBadPadding = true;
                return TCodecState::Bad;
            }
            // The data ends with the padding, or the next stream starts after it.
            if (Io.InLeft == 0) return TCodecState::StreamEnd;
            FPadding = -1;
            Open();
        }
        return TLzmaCodec::Step(Io);
    }

    bool Restart() override
    {
        FPadding = 0;
        return FError == LZMA_OK;
    }

private:
    void Open() { Opened(lzma_stream_decoder(&FStream, MemoryLimit, 0)); }
    std::string DataFailure() const override
    {
        return FBadPadding ? "stream padding not a multiple of 4 bytes" : TLzmaCodec::DataFailure();
    }

    int64_t FPadding = -1; // zero bytes after a stream, while between streams
    bool FBadPadding = false;
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
    const bool marker = Info.Flags & FlagEndMarker;
    if (!marker && Out.Expected() < 0)
        return RefuseData(Out, "LZMA: no end marker and no declared size");
    // Without one, the decoder is told the declared size: the stream ends there, with
    // its range coder's bytes used up exactly, and an end marker is refused. With one,
    // the decoder runs to it: the sink refuses output past the declared size.
    if (!marker) {
        const auto size = static_cast<uint64_t>(Out.Expected());
        options.Filter.id = LZMA_FILTER_LZMA1EXT;
        lzma->ext_flags = 0;
        lzma->ext_size_low = static_cast<uint32_t>(size);
        lzma->ext_size_high = static_cast<uint32_t>(size >> 32);
    }
    const lzma_filter chain[2] = {options.Filter, {LZMA_VLI_UNKNOWN, nullptr}};
    TLzmaEntryCodec codec(marker ? -1 : Out.Expected());
    codec.Opened(lzma_raw_decoder(&codec.Stream(), chain));
    return PumpCodec(codec, In, Out);
}

TDecodeResult DecodeXz(TStream32& In, TEntrySink& Out, const TEntryInfo& /*Info*/)
{
    TXzCodec codec;
    return PumpCodec(codec, In, Out);
}

// The loop shared by the decoders that stand on codec libraries (bzip2, LZMA, xz, zstd):
// fixed 32 KB input and output buffers between the entry's input and its sink, so that
// an entry of any size decodes in bounded memory. A codec is one library stream behind
// TCodec; the pump refills its input, hands it no more output room than the sink takes,
// and turns what the codec says into the decoder's result.
#pragma once

#include "qvrMethods.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The buffers of one codec step: the codec moves In and Out forward and lowers the counts.
struct TCodecIo {
    const uint8_t* In = nullptr;
    size_t InLeft = 0;
    uint8_t* Out = nullptr;
    size_t OutLeft = 0;
    bool InputEnded = false; // no input follows what In holds
};

enum class TCodecState : uint8_t {
    Going,     // more to do (a step without progress at the input's end: truncated)
    StreamEnd, // one stream (bzip2, xz, LZMA) or frame (zstd) ended
    Bad        // the library refused the data: Failure() says why
};

class TCodec {
public:
    virtual ~TCodec() = default;
    virtual TCodecState Step(TCodecIo& Io) = 0;
    // Begins the next of several streams in a row; false when the format has no such
    // thing or the library cannot start another.
    virtual bool Restart() { return false; }
    // What the library said about the data it refused, for the entry's report.
    virtual std::string Failure() const = 0;
    // Whether the data refused does not start a stream of the format at all (a wrong
    // signature): after a stream that ended, such bytes are not another stream.
    virtual bool Foreign() const { return false; }
};

// Decodes In into Out through Codec, to the end of its last stream. Library refusals are
// reported once per entry as a bad block with the codec's words; input that ends inside
// a stream is Truncated. Bytes after a stream that start no other are given back to In,
// unread: the data ended before them.
TDecodeResult PumpCodec(TCodec& Codec, TStream32& In, TEntrySink& Out);
// Reports Why as the entry's bad block and answers BadData, for a decoder that refuses
// its data before the codec starts (an unreadable header, a dictionary past the limit).
TDecodeResult RefuseData(TEntrySink& Out, std::string Why);

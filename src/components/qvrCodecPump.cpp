#include "qvrCodecPump.h"

#include "qvrMessages.h"

#include <vector>

namespace {

constexpr int32_t Chunk = 32768;

} // namespace

TDecodeResult RefuseData(TEntrySink& Out, std::string Why)
{
    Out.Fail(E_BADBLOCK, std::move(Why));
    return TDecodeResult::BadData;
}

TDecodeResult PumpCodec(TCodec& Codec, TStream32& In, TEntrySink& Out)
{
    std::vector<uint8_t> input(Chunk), output(Chunk);
    TCodecIo io;
    const auto refill = [&] {
        if (io.InLeft > 0 || io.InputEnded) return;
        const int32_t n = In.Read(input.data(), Chunk);
        if (n <= 0) {
            io.InputEnded = true;
            return;
        }
        io.In = input.data();
        io.InLeft = static_cast<size_t>(n);
    };
    while (Out.Wants()) {
        refill();
        const size_t room = static_cast<size_t>(Out.Room(Chunk));
        const size_t inBefore = io.InLeft;
        io.Out = output.data();
        io.OutLeft = room;
        const TCodecState state = Codec.Step(io);
        const size_t made = room - io.OutLeft;
        if (made > 0 && !Out.Write(output.data(), static_cast<int32_t>(made)))
            return TDecodeResult::Stopped;
        if (state == TCodecState::Bad) return RefuseData(Out, Codec.Failure());
        if (state == TCodecState::StreamEnd) {
            // Another stream may follow in the same entry (bzip2 and zstd writers
            // concatenate them); without one the data ends here.
            refill();
            if (io.InLeft == 0 || !Out.Wants()) break;
            if (!Codec.Restart()) break;
            continue;
        }
        if (made == 0 && io.InLeft == inBefore && io.InputEnded) return TDecodeResult::Truncated;
    }
    // A stream that ends short of the declared size has lost its tail, or was damaged.
    if (Out.Wants() && Out.Expected() >= 0)
        return RefuseData(Out, "the compressed data ends before the declared size");
    return TDecodeResult::Done;
}

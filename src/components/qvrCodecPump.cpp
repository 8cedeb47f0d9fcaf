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
    // Where in In the last stream ended while bytes followed it, until the next one
    // makes output: bytes that do not start another stream are left after the data's
    // end, not a damaged stream, and go back to In for the entry's layers to judge.
    int64_t endedAt = -1;
    const auto giveBack = [&](int64_t To) {
        In.Seek(To - In.Position(), 1);
        return TDecodeResult::Done;
    };
    for (;;) {
        refill();
        // With the declared size in the sink the codec runs on to its data's end, with
        // room for one byte that only data past that size would fill.
        const bool full = Out.Full();
        if (!full && !Out.Wants()) return TDecodeResult::Stopped;
        const size_t room = full ? 1 : static_cast<size_t>(Out.Room(Chunk));
        const size_t inBefore = io.InLeft;
        io.Out = output.data();
        io.OutLeft = room;
        const TCodecState state = Codec.Step(io);
        const size_t made = room - io.OutLeft;
        if (made > 0) endedAt = -1;
        if (made > 0 && !Out.Write(output.data(), static_cast<int32_t>(made)))
            return TDecodeResult::Stopped;
        if (state == TCodecState::Bad) {
            if (endedAt >= 0 && Codec.Foreign()) return giveBack(endedAt);
            return RefuseData(Out, Codec.Failure());
        }
        if (state == TCodecState::StreamEnd) {
            // Another stream may follow in the same entry (bzip2, xz and zstd writers
            // concatenate them); without one the data ends here.
            refill();
            if (io.InLeft == 0) return TDecodeResult::Done;
            endedAt = In.Position() - static_cast<int64_t>(io.InLeft);
            if (!Codec.Restart()) return giveBack(endedAt);
            continue;
        }
        if (made == 0 && io.InLeft == inBefore && io.InputEnded)
            return endedAt >= 0 ? giveBack(endedAt) : TDecodeResult::Truncated;
    }
}

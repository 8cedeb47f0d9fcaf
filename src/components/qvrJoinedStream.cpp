#include "qvrJoinedStream.h"

#include <algorithm>

TJoinedStream::TJoinedStream(std::vector<std::unique_ptr<TStream32>> Pieces)
    : FPieces(std::move(Pieces))
{
    FStarts.push_back(0);
    for (const auto& p : FPieces) FStarts.push_back(FStarts.back() + std::max<int64_t>(p->Size(), 0));
}

int32_t TJoinedStream::Read(void* Buffer, int32_t Count)
{
    auto* out = static_cast<uint8_t*>(Buffer);
    int32_t done = 0;
    while (done < Count && FPos < FStarts.back()) {
        // The piece holding FPos: the last start at or before it.
        const size_t i = static_cast<size_t>(
            std::upper_bound(FStarts.begin(), FStarts.end(), FPos) - FStarts.begin() - 1);
        TStream32& piece = *FPieces[i];
        const int64_t offset = FPos - FStarts[i];
        if (piece.Position() != offset && piece.Seek(offset, 0) != offset) break;
        const int32_t want =
            static_cast<int32_t>(std::min<int64_t>(Count - done, FStarts[i + 1] - FPos));
        const int32_t got = piece.Read(out + done, want);
        if (got <= 0) break;
        done += got;
        FPos += got;
    }
    return done;
}

int64_t TJoinedStream::Seek(int64_t Offset, int Origin)
{
    const int64_t to = Origin == 0 ? Offset : Origin == 1 ? FPos + Offset : FStarts.back() + Offset;
    if (Origin < 0 || Origin > 2 || to < 0) return -1;
    FPos = to;
    return FPos;
}

std::unique_ptr<TJoinedStream> TJoinedStream::Open(const std::vector<std::string>& Names)
{
    std::vector<std::unique_ptr<TStream32>> pieces;
    for (const std::string& n : Names) {
        auto f = std::make_unique<TFileStream32>(n, fmOpenRead | fmShareDenyWrite);
        if (!f->Valid()) return nullptr;
        f->EnableReadBuffer(64 * 1024);
        pieces.push_back(std::move(f));
    }
    if (pieces.empty()) return nullptr;
    return std::make_unique<TJoinedStream>(std::move(pieces));
}

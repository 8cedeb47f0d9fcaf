// Pieces of one archive file cut at arbitrary points (x.zip.001, x.zip.002, ... as
// 7-Zip's volumes and split(1) write them), read as the one file they were cut from.
// Unlike the parts of a ZIP split set, the pieces know nothing of ZIP: the archive's
// offsets count from the start of the first piece.
#pragma once

#include "qvrStreams.h"

#include <memory>
#include <string>
#include <vector>

class TJoinedStream : public TStream32 {
public:
    explicit TJoinedStream(std::vector<std::unique_ptr<TStream32>> Pieces);

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, int Origin) override;
    int64_t GetSize() override { return FStarts.back(); }

    // Opens the pieces; null when one cannot be opened.
    static std::unique_ptr<TJoinedStream> Open(const std::vector<std::string>& Names);

private:
    std::vector<std::unique_ptr<TStream32>> FPieces;
    std::vector<int64_t> FStarts; // start of each piece, then the total size
    int64_t FPos = 0;
};

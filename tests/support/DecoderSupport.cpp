#include "DecoderSupport.h"

#include <gtest/gtest.h>

#include <utility>

namespace test {

int32_t TCaptureStream::Write(const void* Buf, int32_t Count)
{
    if (FLimit >= 0 && static_cast<int64_t>(Data.size()) + Count > FLimit) return 0;
    const auto* p = static_cast<const uint8_t*>(Buf);
    Data.insert(Data.end(), p, p + Count);
    ++Writes;
    return Count;
}

TRowRun DecodeRow(const Bytes& Input, const TEntryInfo& Info, int64_t Declared,
                  int32_t MaxRead)
{
    TRowRun r;
    const TMethodRow* row = FindMethod(Info.Method);
    EXPECT_NE(row, nullptr) << Info.Method;
    if (!row) return r;
    TMemoryStream32 source(Input, MaxRead);
    TUnZip owner;
    TCaptureStream out;
    TEntrySink sink(&owner, &out, Declared);
    r.Result = row->Decode(source, sink, Info);
    r.InputRead = source.Position();
    r.FailCode = sink.FailCode();
    r.Passes = sink.Passes(Crc32Of(out.Data));
    EXPECT_EQ(sink.Written(), static_cast<int64_t>(out.Data.size()));
    r.Out = std::move(out.Data);
    r.Writes = out.Writes;
    return r;
}

void TBitWriter::Put(uint32_t Value, int N)
{
    for (int i = 0; i < N; ++i) Bit((Value >> i) & 1);
}

void TBitWriter::PutCode(uint32_t Code, int N)
{
    for (int i = N - 1; i >= 0; --i) Bit((Code >> i) & 1);
}

void TBitWriter::Bit(uint32_t B)
{
    if (FUsed % 8 == 0) FData.push_back(0);
    FData.back() = static_cast<uint8_t>(FData.back() | (B << (FUsed % 8)));
    ++FUsed;
}

} // namespace test

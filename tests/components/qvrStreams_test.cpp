#include "TestSupport.h"
#include "qvrGbls.h"
#include "qvrStreams.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace test;

namespace {

// A source that counts what is asked of it.
class TCountingStream : public TStream32 {
public:
    explicit TCountingStream(Bytes D) : FData(std::move(D)) {}
    int32_t Read(void* Buf, int32_t Count) override
    {
        ++Reads;
        LastRead = Count;
        const int64_t n = std::min<int64_t>(Count, static_cast<int64_t>(FData.size()) - FPos);
        if (n <= 0) return 0;
        std::memcpy(Buf, FData.data() + FPos, static_cast<size_t>(n));
        FPos += n;
        return static_cast<int32_t>(n);
    }
    int32_t Write(const void* Buf, int32_t Count) override
    {
        auto* p = static_cast<const uint8_t*>(Buf);
        Written.insert(Written.end(), p, p + Count);
        return Count;
    }
    int64_t Seek(int64_t Offset, int Origin) override
    {
        const int64_t base = Origin == 0 ? 0 : Origin == 1 ? FPos : static_cast<int64_t>(FData.size());
        FPos = base + Offset;
        return FPos;
    }
    int Reads = 0;
    int32_t LastRead = 0;
    Bytes Written;

private:
    Bytes FData;
    int64_t FPos = 0;
};

} // namespace

TEST(FileStream, FailedOpenLeavesAnInvalidHandleAndRaisesNothing)
{
    TTempDir tmp;
    TFileStream32 missing(Inside(tmp / "nope"), fmOpenRead | fmShareDenyWrite);
    EXPECT_FALSE(missing.Valid());
    EXPECT_EQ(missing.Handle(), qvrOS::InvalidHandle);
    uint8_t b[4];
    EXPECT_EQ(missing.Read(b, 4), 0);
    EXPECT_EQ(missing.Write(b, 4), 0);
    // Refused modes: access 3 and sharing above 4.
    WriteText(tmp / "f", "data");
    EXPECT_FALSE(TFileStream32(Inside(tmp / "f"), 0x0003).Valid());
    EXPECT_FALSE(TFileStream32(Inside(tmp / "f"), 0x0050).Valid());
    EXPECT_TRUE(TFileStream32(Inside(tmp / "f"), fmOpenReadWrite).Valid());
}

TEST(FileStream, ReadsPastTheEndReturnZeroAndBufferOpsRaise)
{
    TTempDir tmp;
    WriteText(tmp / "f", "0123456789");
    TFileStream32 s(Inside(tmp / "f"), fmOpenRead | fmShareDenyWrite);
    ASSERT_TRUE(s.Valid());
    EXPECT_EQ(s.Size(), 10);
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, 16), 10);
    EXPECT_EQ(s.Read(buf, 16), 0);
    s.SetPosition(8);
    EXPECT_THROW(s.ReadBuffer(buf, 4), EStreamError);
}

TEST(FileStream, CreateTruncatesAndSetSizeCuts)
{
    TTempDir tmp;
    WriteText(tmp / "f", "old contents that are long");
    {
        TFileStream32 s(Inside(tmp / "f"), fmCreate);
        ASSERT_TRUE(s.Valid());
        s.WriteBuffer("abcdef", 6);
        s.SetSize(3);
    }
    EXPECT_EQ(ReadText(tmp / "f"), "abc");
}

TEST(FileStream, ReadBufferKeepsPositionsExact)
{
    // The read-ahead layer must be invisible: random seeks and reads give the bytes a
    // plain file would, and a write lands at the logical position.
    TTempDir tmp;
    const Bytes data = RandomBytes(200000, 5);
    WriteFile(tmp / "f", data);
    TFileStream32 s(Inside(tmp / "f"), fmOpenReadWrite);
    s.EnableReadBuffer(4096);
    std::mt19937 rng(9);
    for (int i = 0; i < 2000; ++i) {
        const int64_t pos = rng() % data.size();
        const int32_t len = static_cast<int32_t>(rng() % 9000);
        const int origin = static_cast<int>(rng() % 2);
        const int64_t cur = s.Position();
        ASSERT_EQ(s.Seek(origin == 0 ? pos : pos - cur, origin), pos);
        Bytes got(static_cast<size_t>(len));
        const int32_t n = s.Read(got.data(), len);
        const int32_t want = static_cast<int32_t>(std::min<int64_t>(len, static_cast<int64_t>(data.size()) - pos));
        ASSERT_EQ(n, want);
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + n, data.begin() + pos));
        ASSERT_EQ(s.Position(), pos + n);
    }
    s.Seek(100, 0);
    uint8_t one;
    s.Read(&one, 1);
    s.WriteBuffer("ZZ", 2);
    s.Close();
    const Bytes after = ReadFile(tmp / "f");
    EXPECT_EQ(after[101], 'Z');
    EXPECT_EQ(after[102], 'Z');
    EXPECT_EQ(after[103], data[103]);
}

TEST(CopyFrom, ChunksRewindsAndCancels)
{
    TCountingStream src(RandomBytes(61441, 1));
    TCountingStream dst({});
    EXPECT_EQ(dst.CopyFrom(src, 61441), 61441);
    EXPECT_EQ(src.Reads, 2); // 61440, then 1
    EXPECT_EQ(src.LastRead, 1);
    EXPECT_EQ(dst.Written.size(), 61441u);

    // Count 0 rewinds the source and copies all of it.
    TCountingStream src2(TextBytes(5000, 2));
    src2.Seek(100, 0);
    TCountingStream dst2({});
    EXPECT_EQ(dst2.CopyFrom(src2, 0), 5000);
    EXPECT_EQ(dst2.Written, TextBytes(5000, 2));

    // A flag already raised: nothing read, the count asked for still returned.
    bool cancel = true;
    TCountingStream src3(RandomBytes(100, 3)), dst3({});
    dst3.FCancelPtr = &cancel;
    EXPECT_EQ(dst3.CopyFrom(src3, 100), 100);
    EXPECT_EQ(src3.Reads, 0);

    // Raised from the message pump: the copy stops before the next chunk is read.
    bool flag = false;
    int pumps = 0;
    TCountingStream src4(RandomBytes(200000, 4)), dst4({});
    dst4.FCancelPtr = &flag;
    dst4.FProcessMessages = [&] {
        if (++pumps == 2) flag = true;
    };
    dst4.CopyFrom(src4, 200000);
    EXPECT_EQ(src4.Reads, 1);
    EXPECT_EQ(dst4.Written.size(), 61440u);

    // A short source ends the copy with the read error.
    TCountingStream shortSrc(RandomBytes(10, 5)), dst5({});
    EXPECT_THROW(dst5.CopyFrom(shortSrc, 20), EStreamError);
}

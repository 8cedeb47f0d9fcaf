// The decompression stream and the inflate drivers: reads in pieces, giving back the
// input it did not use, seeking, decryption of refills, and the driver's chunks,
// progress, cancel and corrupt data.
#include "TestSupport.h"
#include "qvrDecompressStream.h"
#include "qvrEntryInput.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

using namespace test;

namespace {

using TMemoryStream = TMemoryStream32;


Bytes ReadAll(TDecompressStream& S, int32_t Piece)
{
    Bytes out;
    Bytes buf(static_cast<size_t>(Piece));
    for (;;) {
        const int32_t n = S.Read(buf.data(), Piece);
        if (n <= 0) break;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    }
    return out;
}

} // namespace

TEST(DecompressStream, ReadsInAnyPieceSizeAndGivesBackUnusedInput)
{
    const Bytes data = TextBytes(300000, 7);
    Bytes packed = RawDeflate(data);
    const size_t packedSize = packed.size();
    const std::string tail = "TRAILING RECORD";
    packed.insert(packed.end(), tail.begin(), tail.end());
    for (int32_t piece : {1, 7, 4096, 32768, 100000}) {
        TMemoryStream src(packed);
        {
            TDecompressStream s(src, -15, false);
            EXPECT_EQ(ReadAll(s, piece), data) << piece;
            EXPECT_EQ(s.TotalOut(), static_cast<int64_t>(data.size()));
        }
        // The source ends right after the compressed bytes the engine used.
        EXPECT_EQ(src.Position(), static_cast<int64_t>(packedSize)) << piece;
    }
}

TEST(DecompressStream, SeeksRestartSkipOrStay)
{
    const Bytes data = RandomBytes(20000, 3);
    TMemoryStream src(RawDeflate(data));
    TDecompressStream s(src, -15, false);
    Bytes buf(100);
    ASSERT_EQ(s.Read(buf.data(), 100), 100);
    EXPECT_EQ(s.Seek(-10, 1), 100);  // backwards: no effect
    EXPECT_EQ(s.Seek(5, 2), 100);    // from the end: no effect
    EXPECT_EQ(s.Seek(5000, 0), 5000); // forward: decompress and discard
    ASSERT_EQ(s.Read(buf.data(), 100), 100);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + 5000));
    EXPECT_EQ(s.Seek(0, 0), 0); // restart from the source's start
    ASSERT_EQ(s.Read(buf.data(), 100), 100);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin()));
    EXPECT_THROW(s.Seek(30000, 0), EStreamError); // past the end of the data
    EXPECT_EQ(s.Write(buf.data(), 10), -1);
}

TEST(DecompressStream, ReportsTruncatedAndCorruptData)
{
    const Bytes data = TextBytes(50000, 4);
    Bytes packed = RawDeflate(data);
    packed.resize(packed.size() / 2);
    TMemoryStream cut(packed);
    TDecompressStream a(cut, -15, false);
    Bytes buf(100000);
    EXPECT_EQ(a.Read(buf.data(), 100000), InflateBufError);

    TMemoryStream bad(Bytes{0x07, 0x00, 0x00, 0x00}); // block type 3
    TDecompressStream b(bad, -15, false);
    EXPECT_EQ(b.Read(buf.data(), 10), InflateDataError);
}

TEST(DecompressStream, DecipheredRefillsFeedTheEngine)
{
    const Bytes data = TextBytes(150000, 5);
    Bytes packed = RawDeflate(data);
    TZipCipher writer;
    writer.LoadPassword("secret");
    writer.EncipherBuffer(packed.data(), static_cast<int64_t>(packed.size()));
    TMemoryStream src(packed);
    TZipCipher reader;
    reader.LoadPassword("secret");
    TCipherStream deciphered(src, reader);
    TDecompressStream s(deciphered, -15, false);
    EXPECT_EQ(ReadAll(s, 32768), data);
}

namespace {

fs::path DeflatedArchive(const TTempDir& Tmp, const Bytes& Data, bool Corrupt = false)
{
    std::vector<TZipEntrySpec> e(2);
    e[0].Name = "big.txt";
    e[0].Method = 8;
    e[0].Raw = true;
    e[0].Data = RawDeflate(Data);
    if (Corrupt) e[0].Data[e[0].Data.size() / 2] ^= 0x55;
    e[0].Crc = Crc32Of(Data);
    e[0].UncompressedSize = Data.size();
    e[1].Name = "after.txt";
    e[1].Data = TextBytes(100, 9);
    WriteFile(Tmp / "d.zip", BuildZip(e));
    return Tmp / "d.zip";
}

} // namespace

TEST(InflateDriver, WritesInChunksWithProgressAfterEach)
{
    TTempDir tmp;
    const Bytes data = TextBytes(32769, 6);
    TUnZip z;
    z.ArchiveFile(DeflatedArchive(tmp, data).string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"big.txt"});
    std::vector<int> filePercents;
    z.OnProgress = [&](TZipCommon&, uint8_t f, uint8_t) { filePercents.push_back(f); };
    EXPECT_EQ(z.ExtractFiles(), 1);
    EXPECT_EQ(ReadFile(tmp / "out/big.txt"), data);
    EXPECT_EQ(filePercents, (std::vector<int>{100, 100})); // 32768 of 32769, then all
}

TEST(InflateDriver, CorruptDataFailsTheVerdictAndTheRunGoesOn)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile(DeflatedArchive(tmp, TextBytes(200000, 1), true).string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    std::vector<bool> verdicts;
    z.OnEnd = [&](TZipCommon&, const std::string&, bool p) { verdicts.push_back(p); };
    z.ExtractFiles();
    EXPECT_EQ(verdicts, (std::vector<bool>{false, true}));
    EXPECT_EQ(ReadFile(tmp / "out/after.txt"), TextBytes(100, 9));
}

TEST(InflateDriver, CancelStopsWithinAChunk)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile(DeflatedArchive(tmp, TextBytes(1000000, 2)).string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    int reports = 0;
    z.OnProgress = [&](TZipCommon& c, uint8_t, uint8_t) {
        if (++reports == 3) c.SetCancel(true);
    };
    z.ExtractFiles();
    EXPECT_EQ(reports, 3);
    EXPECT_EQ(fs::file_size(tmp / "out/big.txt"), 3u * 32768u);
    EXPECT_FALSE(fs::exists(tmp / "out/after.txt"));
}

TEST(InflateDriver, CorpusCorruptDeflateIsAFailedVerdict)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile((CorpusDir() / "bad_deflate.zip").string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    std::map<std::string, bool> verdicts;
    z.OnEnd = [&](TZipCommon&, const std::string& f, bool p) { verdicts[ExtractFileName(f)] = p; };
    z.ExtractFiles();
    ASSERT_TRUE(verdicts.count("readme.txt"));
    EXPECT_FALSE(verdicts["readme.txt"]);
    int passes = 0;
    for (const auto& [n, p] : verdicts) passes += p;
    EXPECT_GE(passes, 1);
}

TEST(InflateDriver, Deflate64ArchivesFromSevenZip)
{
    if (!HaveTool("7z")) GTEST_SKIP() << "7z not installed";
    TTempDir tmp;
    Bytes block = RandomBytes(50000, 8);
    Bytes data;
    for (int i = 0; i < 6; ++i) data.insert(data.end(), block.begin(), block.end()); // distances > 32 KB
    data.insert(data.end(), 70000, 'z');                                              // long runs
    WriteFile(tmp / "src/d64.bin", data);
    ASSERT_EQ(Shell("cd " + Quote((tmp / "src").string()) + " && 7z a -tzip -mm=Deflate64 ../d.zip d64.bin").Status, 0);
    TUnZip z;
    z.ArchiveFile((tmp / "d.zip").string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    bool pass = false;
    z.OnEnd = [&](TZipCommon&, const std::string&, bool p) { pass = p; };
    EXPECT_EQ(z.ExtractFiles(), 1);
    EXPECT_TRUE(pass);
    EXPECT_EQ(ReadFile(tmp / "out/d64.bin"), data);
}

TEST(InflateDriver, WholeEntryDecodingEndsAsStreamingDoes)
{
    // A Deflate entry decoded whole (its sink has a buffer lent) must leave the sink and
    // the source as streaming does, however its declared size or its data lie.
    const Bytes data = TextBytes(70000, 3);
    const Bytes packed = RawDeflate(data);
    Bytes damaged = packed;
    damaged[packed.size() / 2] ^= 0x20;
    const Bytes cut(packed.begin(), packed.begin() + static_cast<ptrdiff_t>(packed.size() / 2));
    Bytes trailing = packed;
    for (char c : std::string("NEXT RECORD"))
        trailing.push_back(static_cast<uint8_t>(c));
    const int64_t n = static_cast<int64_t>(data.size());
    const struct {
        const char* Name;
        const Bytes& In;
        int64_t Declared;
    } cases[] = {
        {"as declared", packed, n},
        {"declared too large", packed, n + 1000},
        {"declared too small", packed, n - 1000},
        {"declared one short", packed, n - 1},
        {"damaged", damaged, n},
        {"cut short", cut, n},
        {"bytes after the stream", trailing, n},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TEntryInfo info;
        info.Method = 8;
        info.CompressedSize = static_cast<int64_t>(c.In.size());
        info.UncompressedSize = c.Declared;
        TWholeEntryBuffer buffer;
        struct TRun {
            TDecodeResult Result;
            Bytes Out;
            int64_t Written, SourceAt;
            uint32_t Crc;
            bool Overflowed;
        } runs[2];
        for (int whole = 0; whole < 2; whole++) {
            TMemoryStream src(c.In);
            TStringOutput32 out;
            TEntrySink sink(nullptr, &out, c.Declared);
            if (whole) sink.LendWholeBuffer(&buffer);
            const TDecodeResult r = InflateDeflated(src, sink, info);
            runs[whole] = {r,
                           Bytes(out.Text().begin(), out.Text().end()),
                           sink.Written(),
                           src.Position(),
                           sink.Crc(),
                           sink.Overflowed()};
        }
        EXPECT_EQ(runs[1].Result, runs[0].Result);
        EXPECT_TRUE(runs[1].Out == runs[0].Out);
        EXPECT_EQ(runs[1].Written, runs[0].Written);
        EXPECT_EQ(runs[1].SourceAt, runs[0].SourceAt);
        EXPECT_EQ(runs[1].Crc, runs[0].Crc);
        EXPECT_EQ(runs[1].Overflowed, runs[0].Overflowed);
    }
}

// CRC-32 and CRC-16: published check values, the tables against independent constructions,
// every implementation against zlib over all short lengths and alignments, and the CRCs
// that Info-ZIP writes into real archives.
#include "qvrCrc.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {


std::vector<uint8_t> RandomBytes(std::size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}

// zlib keeps the finished (complemented) value; we keep the raw register.
uint32_t ZlibRegister(uint32_t reg, const uint8_t* p, std::size_t n)
{
    return ~static_cast<uint32_t>(crc32(~reg, p, static_cast<uInt>(n)));
}

// CRC-16/ARC by polynomial division one bit at a time, without any table.
uint16_t Crc16Bitwise(const uint8_t* p, std::size_t n, uint16_t crc)
{
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

TEST(CrcTables, NamedEntries)
{
    EXPECT_EQ(Crc32Table[0], 0u);
    EXPECT_EQ(Crc32Table[1], 0x77073096u);
    EXPECT_EQ(Crc32Table[255], 0x2D02EF8Du);
    EXPECT_EQ(Crc16Table[0], 0u);
    EXPECT_EQ(Crc16Table[1], 0xC0C1u);
    EXPECT_EQ(Crc16Table[255], 0x4040u);
}

TEST(CrcTables, Crc32TableEqualsZlibs)
{
    const z_crc_t* z = get_crc_table();
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(Crc32Table[i], static_cast<uint32_t>(z[i])) << "entry " << i;
}

TEST(CrcTables, Crc16TableEqualsBitwiseDivision)
{
    for (int i = 0; i < 256; ++i) {
        const uint8_t b = static_cast<uint8_t>(i);
        EXPECT_EQ(Crc16Table[i], Crc16Bitwise(&b, 1, 0)) << "entry " << i;
    }
}

TEST(CrcKnownValues, CheckString)
{
    const char* check = "123456789";
    uint32_t crc = 0xFFFFFFFF;
    UpdateCrc32(check, 9, crc);
    EXPECT_EQ(crc ^ 0xFFFFFFFF, 0xCBF43926u);

    uint32_t crc16 = 0;
    UpdateCrc16(check, 9, crc16);
    EXPECT_EQ(crc16, 0xBB3Du);

    uint32_t stepped = 0xFFFFFFFF;
    for (int i = 0; i < 9; ++i)
        stepped = Crc32Step(static_cast<uint8_t>(check[i]), stepped);
    EXPECT_EQ(stepped, crc);
}

TEST(CrcKnownValues, EmptyEntryGivesZero)
{
    uint32_t crc = 0xFFFFFFFF;
    UpdateCrc32("", 0, crc);
    EXPECT_EQ(crc ^ 0xFFFFFFFF, 0u);
}

TEST(CrcKnownValues, NonPositiveCountLeavesRegister)
{
    const auto data = RandomBytes(64, 7);
    for (int32_t count : {0, -1, -64, INT32_MIN}) {
        uint32_t crc = 0x12345678;
        UpdateCrc32(data.data(), count, crc);
        EXPECT_EQ(crc, 0x12345678u) << count;
        UpdateCrc32(data.data(), static_cast<int64_t>(count), crc);
        EXPECT_EQ(crc, 0x12345678u) << count;
        uint32_t crc16 = 0xBEEF;
        UpdateCrc16(data.data(), count, crc16);
        EXPECT_EQ(crc16, 0xBEEFu) << count;
    }
    uint32_t crc = 0x12345678;
    UpdateCrc32(data.data(), INT64_MIN, crc);
    EXPECT_EQ(crc, 0x12345678u);
}

TEST(CrcKnownValues, Crc16MatchesBitwiseDivision)
{
    const auto data = RandomBytes(3000, 11);
    std::mt19937 gen(12);
    for (std::size_t n = 0; n <= data.size(); n += 1 + gen() % 97) {
        const uint16_t start = static_cast<uint16_t>(gen());
        uint32_t crc = start;
        UpdateCrc16(data.data(), static_cast<int32_t>(n), crc);
        EXPECT_EQ(crc, Crc16Bitwise(data.data(), n, start)) << "length " << n;
    }
}

struct Crc32Path {
    const char* Name;
    detail::TCrc32Proc Proc;
    bool NeedsClmul;
};

uint32_t ThroughUpdateCrc32(const uint8_t* p, std::size_t n, uint32_t crc)
{
    UpdateCrc32(p, static_cast<int32_t>(n), crc);
    return crc;
}

class Crc32Paths : public testing::TestWithParam<Crc32Path> {
protected:
    void SetUp() override
    {
        if (GetParam().NeedsClmul && !detail::CpuHasClmul())
            GTEST_SKIP() << "processor has no PCLMULQDQ";
    }
};

TEST_P(Crc32Paths, EveryLengthAndAlignmentAgainstZlib)
{
    const auto proc = GetParam().Proc;
    const auto data = RandomBytes(1100 + 16, 21);
    std::mt19937 gen(22);
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t n = 0; n <= 1100; ++n) {
            const uint8_t* p = data.data() + offset;
            const uint32_t start = (n % 3 == 0) ? 0xFFFFFFFF : static_cast<uint32_t>(gen());
            const uint32_t expected = ZlibRegister(start, p, n);
            const uint32_t got = proc(p, n, start);
            if (got != expected) {
                ADD_FAILURE() << "offset " << offset << " length " << n << std::hex
                              << " start " << start << " got " << got << " want " << expected;
                return;
            }
        }
    }
}

TEST_P(Crc32Paths, RandomPiecesFoldLikeOneBuffer)
{
    const auto proc = GetParam().Proc;
    const auto data = RandomBytes((1 << 20) + 333, 31);
    std::mt19937 gen(32);
    for (int round = 0; round < 4; ++round) {
        uint32_t crc = 0xFFFFFFFF;
        std::size_t pos = 0;
        while (pos < data.size()) {
            // Mostly short pieces, now and then a long one, sometimes empty.
            std::size_t piece = (gen() % 8 == 0) ? gen() % 70000 : gen() % 300;
            piece = std::min(piece, data.size() - pos);
            crc = proc(data.data() + pos, piece, crc);
            pos += piece;
        }
        EXPECT_EQ(crc ^ 0xFFFFFFFF, crc32(0, data.data(), static_cast<uInt>(data.size())));
    }
}

TEST_P(Crc32Paths, UniformBytesAgainstZlib)
{
    // All-zero and all-one data exercise the folding with degenerate operands.
    const auto proc = GetParam().Proc;
    for (uint8_t fill : {0x00, 0xFF}) {
        const std::vector<uint8_t> data(4096 + 5, fill);
        for (std::size_t n : {64u, 65u, 128u, 1000u, 4096u, 4101u}) {
            EXPECT_EQ(proc(data.data(), n, 0xFFFFFFFF), ZlibRegister(0xFFFFFFFF, data.data(), n))
                << "fill " << int(fill) << " length " << n;
            EXPECT_EQ(proc(data.data(), n, 0), ZlibRegister(0, data.data(), n));
        }
    }
}

Crc32Path AllPaths[] = {
    {"Bytewise", &detail::Crc32Bytewise, false},
    {"Slicing16", &detail::Crc32Slicing16, false},
#ifdef UNSPOOL_HAVE_CRC32_CLMUL
    {"Clmul", &detail::Crc32Clmul, true},
#endif
    {"Dispatched", &ThroughUpdateCrc32, false},
};

INSTANTIATE_TEST_SUITE_P(, Crc32Paths, testing::ValuesIn(AllPaths),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Crc32Dispatch, UsesClmulWhenTheProcessorHasIt)
{
#ifdef UNSPOOL_HAVE_CRC32_CLMUL
    if (detail::CpuHasClmul())
        EXPECT_EQ(detail::Crc32Impl(), &detail::Crc32Clmul);
    else
        EXPECT_EQ(detail::Crc32Impl(), &detail::Crc32Slicing16);
#else
    EXPECT_EQ(detail::Crc32Impl(), &detail::Crc32Slicing16);
#endif
}

TEST(Crc32Dispatch, SixtyFourBitCountAgainstZlib)
{
    const auto data = RandomBytes(3 * (1 << 20) + 17, 41);
    uint32_t crc = 0xFFFFFFFF;
    UpdateCrc32(data.data(), static_cast<int64_t>(data.size()), crc);
    EXPECT_EQ(crc ^ 0xFFFFFFFF, crc32(0, data.data(), static_cast<uInt>(data.size())));
}

// The CRC that Info-ZIP stores for each file of a stored (method 0) archive, whose data
// follows each local header unchanged.
TEST(Crc32RealArchives, MatchesInfoZipStoredEntries)
{
    if (!test::HaveTool("zip")) GTEST_SKIP() << "zip not installed";
    const test::TTempDir tmp;
    const fs::path& dir = tmp.Path();

    const std::size_t sizes[] = {0, 1, 15, 16, 63, 64, 65, 4103, (1 << 20) + 3};
    std::vector<std::vector<uint8_t>> files;
    std::string names;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        files.push_back(RandomBytes(sizes[i], 50 + static_cast<uint32_t>(i)));
        const std::string name = "f" + std::to_string(i) + ".bin";
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(files.back().data()),
                   static_cast<std::streamsize>(files.back().size()));
        names += " " + name;
    }
    ASSERT_EQ(test::Shell("cd " + test::Quote(dir.string()) + " && zip -q -0 -X out.zip" + names).Status,
              0);

    std::ifstream in(dir / "out.zip", std::ios::binary);
    const std::vector<uint8_t> zip((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    auto le = [&](std::size_t at, int bytes) {
        uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = (v << 8) | zip.at(at + i);
        return v;
    };

    std::size_t pos = 0, seen = 0;
    while (pos + 30 <= zip.size() && le(pos, 4) == 0x04034B50) {
        const uint32_t stored = le(pos + 14, 4);
        const uint32_t size = le(pos + 18, 4);
        const std::size_t data = pos + 30 + le(pos + 26, 2) + le(pos + 28, 2);
        ASSERT_LE(data + size, zip.size());
        ASSERT_LT(seen, files.size());
        ASSERT_EQ(size, files[seen].size());
        uint32_t crc = 0xFFFFFFFF;
        UpdateCrc32(zip.data() + data, static_cast<int32_t>(size), crc);
        EXPECT_EQ(crc ^ 0xFFFFFFFF, stored) << "entry " << seen;
        pos = data + size;
        ++seen;
    }
    EXPECT_EQ(seen, files.size());
}

} // namespace

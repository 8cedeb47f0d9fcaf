// Explode (method 6): hand-built bit streams for each rule of the format and each kind
// of invalid data; random streams of all four variants checked against a model of the
// format (and against a second implementation when one is installed); and every
// imploded archive of the corpus and of the legacy benchmark set, extracted and
// compared with its manifest, from its file and in reads of 31 bytes.
#include "DecoderSupport.h"
#include "TestSupport.h"
#include "qvrMethods.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

using namespace test;

namespace {

Bytes Hex(const std::string& S)
{
    Bytes b;
    for (size_t i = 0; i + 1 < S.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(S.substr(i, 2), nullptr, 16)));
    return b;
}

std::string Times(const std::string& HexByte, size_t N)
{
    std::string s;
    for (size_t i = 0; i < N; ++i) s += HexByte;
    return s;
}

// The method table's row 6 on In, read at most MaxRead bytes at a time (0: no limit).
TRowRun Decode(const Bytes& In, uint16_t Flags, int64_t Declared, int32_t MaxRead)
{
    TEntryInfo info;
    info.Method = 6;
    info.Flags = Flags;
    return DecodeRow(In, info, Declared, MaxRead);
}

// ---------------------------------------------------------------------------------
// Hand-built streams. Trees used below, as descriptions (count byte, then bytes of
// repeat count - 1 and length - 1):
//   U6 = 03 f5f5f5f5          64 symbols of 6 bits: symbol s has code 63 - s
//   U8 = 0f f7 (16 times)     256 symbols of 8 bits: symbol s has code 255 - s
//   EX = 00 11                symbols 0 and 1, 2 bits each: 1 is 00, 0 is 01, and no
//                             code starts with 1
//   L12 = 00 1b               symbols 0 and 1, 12 bits: 1 is twelve 0s, 0 ends in a 1
// Flags 0: 4 KB, two trees; 2: 8 KB, two trees; 4: 4 KB, three trees.

struct TVector {
    std::string Name;
    uint16_t Flags;
    std::string In;
    int64_t Declared; // -1: not known
    TDecodeResult Result;
    std::string Out;
    bool Ambiguous;   // reported as an ambiguous tree
};

void PrintTo(const TVector& V, std::ostream* Os) { *Os << V.Name; }

const std::string U6 = "03f5f5f5f5";
const std::string U8 = "0f" + Times("f7", 16);

const std::vector<TVector>& Vectors()
{
    using R = TDecodeResult;
    static const std::vector<TVector> rows = {
        // EX twice. Literal 'A' (8 raw bits); match: low 000000, distance 01 (symbol 0),
        // length 00 (symbol 1): 1 + 2 bytes from distance 0.
        {"ExampleTreeCodes", 0, "00110011830002", 4, R::Done, "41414141", false},
        {"ExampleTreeWithoutDeclaredSize", 0, "00110011830002", -1, R::Done, "41414141", false},
        // A match whose distance code starts with 1: no code does.
        {"ExampleTreeEmptySlot", 0, "0011001180", 4, R::BadData, "", true},
        // U8 U6 U6: literal 'a' through the tree, match distance 0 length symbol 0 + 3.
        {"LiteralTreeMinMatch3", 4, U8 + U6 + U6 + "f300ff0f", 4, R::Done, "61616161", false},
        // U6 U6: literal 'a' as 8 raw bits, match distance 0 length symbol 0 + 2.
        {"RawLiteralsMinMatch2", 0, U6 + U6 + "c300ff0f", 3, R::Done, "616161", false},
        // Length symbol 63 and the extra byte 255: 63 + 255 + 2 (+ 3) bytes after 'x'.
        {"LongestMatchTwoTrees", 0, U6 + U6 + "f1003ff00f", 321, R::Done, Times("78", 321), false},
        {"LongestMatchThreeTrees", 4, U8 + U6 + U6 + "c3013ff00f", 322, R::Done,
         Times("78", 322), false},
        // First a match 6 bytes back for 4 bytes, then 'z': the window starts as zeros.
        {"MatchBeforeTheFirstByte", 0, U6 + U6 + "8affad07", 5, R::Done, "000000007a", false},
        // 8 KB: 7 low bits; distance 127 + 63 * 128, the window's far end.
        {"MatchAtTheFarEndOf8K", 2, U6 + U6 + "fec0570f", 4, R::Done, "0000007a", false},
        // 'a' 'b' 'c', then 7 low bits of distance 2 with high bits 0: "abc" again.
        {"EightKLowBits", 2, U6 + U6 + "c38a1d23f83f", 6, R::Done, "616263616263", false},
        // 'q'; distance 0 + 1 * 64 (before the first byte) for 2; distance 2 for 2.
        {"FourKHighBits", 0, U6 + U6 + "e300df4ff87f", 5, R::Done, "7100007100", false},
        // Codes longer than the first table level: 'k', distance symbol 0 (12 bits).
        {"TwelveBitCodes", 0, U6 + "001bd70000f801", 4, R::Done, "6b6b6b6b", false},
        // ... a 12-bit path that leaves the codes after 11 bits.
        {"EmptySlotPastTheFirstLevel", 0, U6 + "001bd700000400", 4, R::BadData, "6b", true},
        // ... the input ends 8 bits into a 12-bit code.
        {"CutInsideACode", 0, U6 + "001bd70000", 4, R::Truncated, "6b", false},
        {"CutInsideACodeWithoutDeclaredSize", 0, U6 + "001bd70000", -1, R::Done, "6b", false},
        // Three codes of 1 bit: more than the code space holds.
        {"OverSubscribedTree", 0, "0020" + U6 + "0000", 4, R::BadData, "", true},
        // Symbol 0 of 1 bit, symbol 1 of 2: the codes come out as 0 and 00.
        {"CodeIsThePrefixOfAnother", 0, "010001" + U6 + "0000", 4, R::BadData, "", true},
        // 5 x 16 lengths of 7 bits for a 64-symbol tree, 17 x 16 of 9 bits for the
        // 256-symbol one: codes that would fit, for symbols the tree does not have.
        {"TooManyLengths", 0, U6 + "04f6f6f6f6f60000", 4, R::BadData, "", true},
        {"TooManyLiteralLengths", 4, "10" + Times("f8", 17) + U6 + U6 + "0000", 4, R::BadData, "",
         true},
        {"CutInsideTheTrees", 0, "03f5f5", 3, R::Truncated, "", false},
        {"NoDataAfterTheTrees", 0, U6 + U6, 3, R::Truncated, "", false},
        {"CutInsideTheData", 0, U6 + U6 + "c300", 3, R::Truncated, "61", false},
        // The declared size ends the entry in the middle of a match.
        {"DeclaredSizeEndsAMatch", 0, U6 + U6 + "c300ff0f", 2, R::Done, "6161", false},
        // The same bytes under another variant mean another thing: here a 64-entry
        // literal tree, then a description that runs off the end.
        {"FlagsChooseTheTrees", 4, U6 + U6 + "c300ff0f", 3, R::Truncated, "", false},
    };
    return rows;
}

class ExplodeVector : public ::testing::TestWithParam<TVector> {};

TEST_P(ExplodeVector, DecodesAsExpected)
{
    const TVector& v = GetParam();
    // Whole, and one byte per read: every field may straddle a read.
    for (const int32_t maxRead : {0, 1}) {
        const TRowRun d = Decode(Hex(v.In), v.Flags, v.Declared, maxRead);
        EXPECT_EQ(d.Result, v.Result) << maxRead;
        EXPECT_EQ(d.FailCode, v.Ambiguous ? E_AMBIGUOUSTREE : 0) << maxRead;
        EXPECT_EQ(d.Out, Hex(v.Out)) << maxRead;
    }
}

INSTANTIATE_TEST_SUITE_P(ExplodeStreams, ExplodeVector, ::testing::ValuesIn(Vectors()),
                         [](const auto& Info) { return Info.param.Name; });

TEST(ExplodeEdges, AnEmptyEntryReadsNothing)
{
    for (const uint16_t flags : {0, 2, 4, 6}) {
        const TRowRun d = Decode(Hex("ffffffff"), flags, 0, 0);
        EXPECT_EQ(d.Result, TDecodeResult::Done);
        EXPECT_EQ(d.FailCode, 0);
        EXPECT_TRUE(d.Out.empty());
        EXPECT_EQ(d.InputRead, 0);
    }
}

// ---------------------------------------------------------------------------------
// Streams written here from random trees and random symbols, decoded by a model of
// the format as they are written.

// A complete set of code lengths (1..16) for N symbols: leaves of a random binary tree,
// split often at the deepest leaf so that long codes come up too.
std::vector<int> CompleteLengths(std::mt19937& Rng, size_t N)
{
    std::vector<int> depth{0};
    size_t last = 0;
    while (depth.size() < N) {
        size_t i = Rng() % 2 ? last : Rng() % depth.size();
        if (depth[i] == 16)
            i = static_cast<size_t>(std::min_element(depth.begin(), depth.end()) - depth.begin());
        ++depth[i];
        depth.push_back(depth[i]);
        last = Rng() % 2 ? i : depth.size() - 1;
    }
    std::shuffle(depth.begin(), depth.end(), Rng);
    return depth;
}

// Each symbol's code: sorted by length then symbol, numbered from the end of that list.
std::vector<uint32_t> SfCodes(const std::vector<int>& Lengths)
{
    std::vector<size_t> order(Lengths.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return Lengths[a] < Lengths[b]; });
    std::vector<uint32_t> codes(Lengths.size());
    uint32_t counter = 0, step = 0;
    int last = 0;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const int len = Lengths[*it];
        counter += step;
        if (len != last) {
            last = len;
            step = 1u << (16 - len);
        }
        codes[*it] = (counter & 0xFFFF) >> (16 - len);
    }
    return codes;
}

void WriteTree(TBitWriter& W, const std::vector<int>& Lengths)
{
    Bytes desc;
    for (size_t i = 0; i < Lengths.size();) {
        size_t run = 1;
        while (i + run < Lengths.size() && run < 16 && Lengths[i + run] == Lengths[i]) ++run;
        const auto length = static_cast<size_t>(Lengths[i]);
        desc.push_back(static_cast<uint8_t>(((run - 1) << 4) | (length - 1)));
        i += run;
    }
    W.Put(static_cast<uint32_t>(desc.size() - 1), 8);
    for (const uint8_t b : desc) W.Put(b, 8);
}

struct TImploded {
    Bytes Packed;
    Bytes Plain;
};

TImploded RandomImploded(uint16_t Flags, uint32_t Seed, size_t Size)
{
    std::mt19937 rng(Seed);
    const bool literalTree = Flags & 4;
    const int lowBits = Flags & 2 ? 7 : 6;
    const uint32_t window = Flags & 2 ? 8192 : 4096;
    const uint32_t minMatch = literalTree ? 3 : 2;
    TBitWriter w;
    std::vector<int> literalLengths;
    if (literalTree) {
        literalLengths = CompleteLengths(rng, 256);
        WriteTree(w, literalLengths);
    }
    const std::vector<int> lengthLengths = CompleteLengths(rng, 64);
    const std::vector<int> distanceLengths = CompleteLengths(rng, 64);
    WriteTree(w, lengthLengths);
    WriteTree(w, distanceLengths);
    const auto literalCodes = SfCodes(literalLengths);
    const auto lengthCodes = SfCodes(lengthLengths);
    const auto distanceCodes = SfCodes(distanceLengths);

    TImploded r;
    Bytes& out = r.Plain;
    while (out.size() < Size) {
        if (rng() % 3 == 0) {
            const auto b = static_cast<uint8_t>(rng() % 4 ? 'a' + rng() % 26 : rng());
            w.Put(1, 1);
            if (literalTree)
                w.PutCode(literalCodes[b], literalLengths[b]);
            else
                w.Put(b, 8);
            out.push_back(b);
            continue;
        }
        // Mostly near matches; some anywhere in the window, before the first byte too.
        const uint32_t distance = rng() % 4 ? rng() % 300 : rng() % window;
        uint32_t symbol = rng() % 8 ? rng() % 20 : rng() % 64;
        const uint32_t extra = symbol == 63 ? rng() % 256 : 0;
        w.Put(0, 1);
        w.Put(distance & ((1u << lowBits) - 1), lowBits);
        const uint32_t high = distance >> lowBits;
        w.PutCode(distanceCodes[high], distanceLengths[high]);
        w.PutCode(lengthCodes[symbol], lengthLengths[symbol]);
        if (symbol == 63) w.Put(extra, 8);
        const uint32_t length = symbol + extra + minMatch;
        for (uint32_t k = 0; k < length; ++k) {
            const int64_t from = static_cast<int64_t>(out.size()) - distance - 1;
            out.push_back(from < 0 ? 0 : out[static_cast<size_t>(from)]);
        }
    }
    r.Packed = w.Data();
    return r;
}

Bytes ImplodedZip(const std::string& Name, const TImploded& I, uint16_t Flags)
{
    TZipEntrySpec e;
    e.Name = Name;
    e.Data = I.Packed;
    e.Method = 6;
    e.Flags = Flags;
    e.Raw = true;
    e.Crc = Crc32Of(I.Plain);
    e.UncompressedSize = I.Plain.size();
    return BuildZip({e});
}

} // namespace

TEST(ExplodeRandom, EveryVariantMatchesTheModel)
{
    for (const uint16_t flags : {0, 2, 4, 6}) {
        for (uint32_t seed = 1; seed <= 6; ++seed) {
            const TImploded im = RandomImploded(flags, seed * 7919 + flags, seed * 17000);
            const auto declared = static_cast<int64_t>(im.Plain.size());
            for (const int32_t maxRead : {0, 31}) {
                const TRowRun d = Decode(im.Packed, flags, declared, maxRead);
                EXPECT_EQ(d.Result, TDecodeResult::Done) << flags << " " << seed;
                EXPECT_EQ(d.FailCode, 0);
                EXPECT_TRUE(d.Out == im.Plain) << flags << " " << seed << " " << maxRead;
                // Output leaves in whole 32 KB blocks and one last piece.
                EXPECT_EQ(d.Writes, (declared + 32767) / 32768);
            }
            if (im.Plain.size() >= 32768) {
                // Exactly one block: one write, and nothing left for the end.
                const TRowRun one = Decode(im.Packed, flags, 32768, 0);
                EXPECT_EQ(one.Result, TDecodeResult::Done);
                EXPECT_EQ(one.Writes, 1);
                EXPECT_TRUE(one.Out == Bytes(im.Plain.begin(), im.Plain.begin() + 32768));
            }
            // Every cut leaves a correct prefix and says so.
            const auto half = static_cast<long>(im.Packed.size() / 2);
            const Bytes cut(im.Packed.begin(), im.Packed.begin() + half);
            const TRowRun c = Decode(cut, flags, declared, 31);
            EXPECT_EQ(c.Result, TDecodeResult::Truncated);
            EXPECT_LT(c.Out.size(), im.Plain.size());
            EXPECT_TRUE(std::equal(c.Out.begin(), c.Out.end(), im.Plain.begin()));
        }
    }
}

TEST(ExplodeRandom, ThroughTheComponentAndASecondImplementation)
{
    const bool second = HaveTool("unzip");
    for (const uint16_t flags : {0, 2, 4, 6}) {
        TTempDir tmp;
        const TImploded im = RandomImploded(flags, 100 + flags, 70000);
        WriteFile(tmp / "r.zip", ImplodedZip("r.bin", im, flags));
        TUnZip z;
        z.ArchiveFile((tmp / "r.zip").string());
        const TRunLog log = RunLogged(z, tmp / "out");
        EXPECT_TRUE(log.Errors.empty()) << flags;
        EXPECT_EQ(log.Verdicts, (std::map<std::string, bool>{{"r.bin", true}})) << flags;
        EXPECT_TRUE(ReadFile(tmp / "out/r.bin") == im.Plain) << flags;
        if (!second) continue;
        const TRunResult u = Shell("unzip -o -qq " + Quote((tmp / "r.zip").string()) + " -d " +
                                   Quote((tmp / "second").string()));
        EXPECT_EQ(u.Status, 0) << u.Err;
        EXPECT_TRUE(ReadFile(tmp / "second/r.bin") == im.Plain) << flags;
    }
}

TEST(ExplodeEdges, AnAmbiguousTreeIsReportedOnceAndTheRunGoesOn)
{
    TTempDir tmp;
    TZipEntrySpec bad;
    bad.Name = "bad.bin";
    bad.Data = Hex("0020" + U6 + "0000");
    bad.Method = 6;
    bad.Raw = true;
    bad.Crc = 0x12345678;
    bad.UncompressedSize = 10;
    WriteFile(tmp / "b.zip", BuildZip({bad, Entry("next.txt", TextBytes(700, 5))}));
    TUnZip z;
    z.ArchiveFile((tmp / "b.zip").string());
    const TRunLog log = RunLogged(z, tmp / "out");
    EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_AMBIGUOUSTREE});
    EXPECT_EQ(log.Verdicts, (std::map<std::string, bool>{{"bad.bin", false}, {"next.txt", true}}));
    EXPECT_EQ(ReadFile(tmp / "out/next.txt"), TextBytes(700, 5));
}

// ---------------------------------------------------------------------------------
// Real archives

TEST(ExplodeArchives, CorpusArchivesMatchTheirManifest)
{
    for (const char* name : {"gh_pkzip110_implode.zip", "c18_hwzip_implode8k3t.zip",
                             "gh_cc_imploding_8k3t.zip"}) {
        const TManifestRecord* r = FindManifest(name);
        ASSERT_NE(r, nullptr) << name;
        for (const bool shortReads : {false, true})
            ExpectExtractsAsManifest(CorpusDir() / name, *r, shortReads);
    }
}

TEST(ExplodeArchives, LegacyBenchmarkArchivesMatchTheirManifest)
{
    if (const std::string why = LegacyBenchMissing(); !why.empty()) GTEST_SKIP() << why;
    const fs::path dir = LegacyBenchDir();
    int seen = 0;
    for (const auto& r : LegacyBenchManifest()) {
        if (r.File.rfind("implode-", 0) != 0) continue;
        ++seen;
        ASSERT_EQ(r.Entries.size(), 74u) << r.File;
        for (const bool shortReads : {false, true})
            ExpectExtractsAsManifest(dir / r.File, r, shortReads);
    }
    EXPECT_EQ(seen, 4);
}

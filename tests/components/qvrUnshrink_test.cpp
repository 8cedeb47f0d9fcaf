// Unshrink (method 1): hand-built code streams through the method table's decoder, then
// every Shrink archive of the corpus and of the legacy bench set through the component,
// and a comparison with Info-ZIP unzip.
#include "DecoderSupport.h"
#include "TestSupport.h"
#include "qvrMessages.h"
#include "qvrMethods.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

using namespace test;

namespace {

// Markers in a code list: the control code with its sub-code.
constexpr int Grow = -1;  // 256, 1: the codes that follow are one bit wider
constexpr int Clear = -2; // 256, 2: partial clear

// Packs a code list least significant bit first, 9 bits per code to begin with and one
// more after every Grow; the last byte is padded with zero bits.
Bytes PackCodes(const std::vector<int>& Codes)
{
    TBitWriter w;
    int size = 9;
    for (const int c : Codes) {
        if (c == Grow) {
            w.Put(256, size);
            w.Put(1, size);
            ++size;
        } else if (c == Clear) {
            w.Put(256, size);
            w.Put(2, size);
        } else {
            w.Put(static_cast<uint32_t>(c), size);
        }
    }
    return w.Data();
}

// Runs the method table's row for method 1 over Input, handed out 31 bytes per read,
// into a sink that expects Declared bytes.
TRowRun Decode(const Bytes& Input, int64_t Declared)
{
    TEntryInfo info;
    info.Method = 1;
    info.UncompressedSize = Declared;
    return DecodeRow(Input, info, Declared, 31);
}

struct TCodeCase {
    const char* Name;
    std::vector<int> Codes;
    std::string Expected;        // the bytes decoded
    TDecodeResult Result = TDecodeResult::Done;
    int32_t FailCode = 0;
    // -2: the size of Expected, one more for a stream that must fail, so that the
    // verdict cannot pass on the size alone.
    int64_t Declared = -2;
    size_t KeepBytes = SIZE_MAX; // the input cut to this many bytes
};

void PrintTo(const TCodeCase& C, std::ostream* Os) { *Os << C.Name; }

const std::vector<TCodeCase>& CodeCases()
{
    constexpr auto Bad = TDecodeResult::BadData;
    static const std::vector<TCodeCase> cases = {
        {"Literals", {'A', 'B', 'C'}, "ABC"},
        // The second code defines 257 = "AB" from the first code and its own first byte.
        {"EntryOfTwoLiterals", {'A', 'B', 257}, "ABAB"},
        // 258 = "B" + "A" (first byte of 257), 259 = "AB" + "B".
        {"EntriesBuildOnEntries", {'A', 'B', 257, 258, 259}, "ABABBAABB"},
        // A code naming the slot about to be defined: the previous string plus its own
        // first byte.
        {"KwKwKAfterALiteral", {'A', 257}, "AAA"},
        // After 257 "AB", 258 is "BA" already; 259 is next: "AB" + "A".
        {"KwKwKAfterAnEntry", {'A', 'B', 257, 259}, "ABABABA"},
        {"KwKwKTwiceInARow", {'A', 257, 258}, "AAAAAA"},
        {"KwKwKWithLiteralsBefore", {'A', 'B', 258}, "ABBB"},
        // After 256,1 the codes are 10 bits wide: read at 9 they would be other codes.
        {"GrowTo10Bits", {'A', Grow, 'B', 257, 'Z'}, "ABABZ"},
        {"GrowTo13Bits", {'A', Grow, Grow, Grow, Grow, 'B', 257, 258}, "ABABBA"},
        {"GrowBeyond13BitsIsABadBlock", {'A', Grow, Grow, Grow, Grow, Grow, 'B'}, "A", Bad,
         E_BADBLOCK},
        // 257 "AB", 258 "BA", 259 "ABB" (child of 257), 260 "BAC" (child of 258). The
        // clear frees 259, 260 and the never used slots; 257 and 258 lose their children
        // in the same pass and stay. New entries then take 259 "CD", 260 "DA", 261 "ABC",
        // 262 "CDA" and 263, which the last code names before it is defined.
        {"PartialClearKeepsParentsAndReusesTheLowestSlot",
         {'A', 'B', 257, 258, 'C', Clear, 'D', 257, 259, 261, 263},
         "ABABBAC" "D" "AB" "CD" "ABC" "ABCA"},
        // Right after the clear 259 is the next slot: naming it is the KwKwK case.
        {"KwKwKOnTheLowestFreedSlot", {'A', 'B', 257, 258, 'C', Clear, 259}, "ABABBACCC"},
        // 260 is free but 259 comes first.
        {"FreedSlotThatIsNotNextIsABadBlock", {'A', 'B', 257, 258, 'C', Clear, 260},
         "ABABBAC", Bad, E_BADBLOCK},
        // The second clear frees what the first one left: 257 is the next slot again.
        {"SecondClearFreesTheEmptiedParents", {'A', 'B', 257, 258, 'C', Clear, Clear, 257},
         "ABABBACCC"},
        {"EntryFreedBySecondClearIsABadBlock", {'A', 'B', 257, 258, 'C', Clear, Clear, 258},
         "ABABBAC", Bad, E_BADBLOCK},
        {"UndefinedSlotIsABadBlock", {'A', 'B', 300, 'C'}, "AB", Bad, E_BADBLOCK},
        {"SlotAfterTheNextIsABadBlock", {'A', 258}, "A", Bad, E_BADBLOCK},
        {"UnknownSubCodeIsABadBlock", {'A', 'B', 256, 3, 'C'}, "AB", Bad, E_BADBLOCK},
        {"SubCodeZeroIsABadBlock", {'A', 256, 0}, "A", Bad, E_BADBLOCK},
        {"ControlCodeFirstIsABadBlock", {256, 1, 'A'}, "", Bad, E_BADBLOCK},
        {"EntryCodeFirstIsABadBlock", {257, 'A'}, "", Bad, E_BADBLOCK},
        // 257 is freed by the clear while it is the previous code; the next entry then
        // takes slot 257 with 257 as its own parent.
        {"EntryThatIsItsOwnParentOverflowsTheStack", {'A', 'B', 257, Clear, 'C', 257},
         "ABABC", Bad, E_STACKOVERFLOW},
        // 258 is freed while it is the previous code; the next entry takes 257 with the
        // free 258 as its parent.
        {"ChainThroughAFreedSlotIsABadBlock", {'A', 'B', 'C', 258, Clear, 'D', 257},
         "ABCBCD", Bad, E_BADBLOCK},
        {"TruncatedFirstCodeIsABadBlock", {'A', 'B'}, "", Bad, E_BADBLOCK, 5, 1},
        {"NoInputIsABadBlock", {}, "", Bad, E_BADBLOCK, 5},
        {"InputEndsShortOfTheDeclaredSize", {'A', 'B', 257}, "AB", TDecodeResult::Truncated, 0,
         10, 3},
        // A sub-code cut off: the stream just ends.
        {"InputEndsInsideAControlCode", {'A', 'B', 256, 1}, "AB", TDecodeResult::Truncated, 0,
         10, 4},
        {"DeclaredSizeReachedMidString", {'A', 'B', 257, 258}, "ABA", TDecodeResult::Done, 0, 3},
        // Codes after the declared size, even invalid ones, are never looked at.
        {"CodesAfterTheDeclaredSizeAreNotRead", {'A', 'B', 256, 9}, "AB", TDecodeResult::Done,
         0, 2},
        {"UnknownSizeEndsWithTheInput", {'A', 'B', 257}, "ABAB", TDecodeResult::Done, 0, -1},
    };
    return cases;
}

} // namespace

class UnshrinkCodes : public ::testing::TestWithParam<TCodeCase> {};

TEST_P(UnshrinkCodes, DecodeAsExpected)
{
    const TCodeCase& c = GetParam();
    Bytes input = PackCodes(c.Codes);
    if (c.KeepBytes < input.size()) input.resize(c.KeepBytes);
    const bool done = c.Result == TDecodeResult::Done;
    const int64_t declared =
        c.Declared == -2 ? static_cast<int64_t>(c.Expected.size() + (done ? 0 : 1)) : c.Declared;
    const TRowRun d = Decode(input, declared);
    EXPECT_EQ(d.Result, c.Result);
    EXPECT_EQ(std::string(d.Out.begin(), d.Out.end()), c.Expected);
    EXPECT_EQ(d.FailCode, c.FailCode);
    // Only a stream that delivered its declared size (or the whole of an unknown one)
    // passes; a bad or cut stream fails its verdict whatever its bytes.
    EXPECT_EQ(d.Passes, done);
}

INSTANTIATE_TEST_SUITE_P(Unshrink, UnshrinkCodes, ::testing::ValuesIn(CodeCases()),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(UnshrinkEntry, AnEmptyEntryReadsNothingAndMakesNothing)
{
    const TRowRun d = Decode(PackCodes({'A', 'B'}), 0);
    EXPECT_EQ(d.Result, TDecodeResult::Done);
    EXPECT_TRUE(d.Out.empty());
    EXPECT_EQ(d.InputRead, 0);
    EXPECT_EQ(d.FailCode, 0);
    EXPECT_TRUE(d.Passes);
}

// 7936 literals define every slot from 257 to 8191 ("xy" for neighbouring literals).
// Then codes go on being decoded without new entries, and a partial clear (every entry
// is a leaf) starts the slots over at 257.
TEST(UnshrinkTable, AFullTableKeepsDecodingUntilAPartialClear)
{
    std::vector<int> codes;
    std::string expected;
    auto lit = [](int I) { return static_cast<char>('a' + I % 26 + (I / 26) % 2 * ('A' - 'a')); };
    for (int i = 0; i < 7936; ++i) {
        codes.push_back(lit(i));
        expected += lit(i);
    }
    codes.insert(codes.end(), {Grow, Grow, Grow, Grow});
    codes.push_back(8191); // the last slot: literals 7934 and 7935
    expected += std::string{lit(7934), lit(7935)};
    codes.push_back(257); // not overwritten by the codes that found the table full
    expected += std::string{lit(0), lit(1)};
    codes.push_back(4000);
    expected += std::string{lit(4000 - 257), lit(4000 - 256)};
    codes.push_back('Z');
    expected += "Z";
    codes.push_back(Clear);
    codes.push_back('Q'); // 257 = "ZQ"
    codes.push_back(258); // KwKwK: "QQ"
    codes.push_back(257);
    codes.push_back(8191); // free again, and not the next slot
    expected += "QQQZQ";
    const TRowRun d = Decode(PackCodes(codes), 100000);
    EXPECT_EQ(d.Result, TDecodeResult::BadData);
    EXPECT_EQ(d.FailCode, E_BADBLOCK);
    EXPECT_EQ(std::string(d.Out.begin(), d.Out.end()), expected);
}

// 'A' and then every slot from 257 to Last in turn, each named just before it is
// defined: a string of 'A's one byte longer than the one before (code c: c - 255 bytes).
std::vector<int> GrowingRun(int Last)
{
    std::vector<int> codes = {'A'};
    for (int c = 257; c <= Last; ++c) {
        if (c == 512 || c == 1024 || c == 2048 || c == 4096) codes.push_back(Grow);
        codes.push_back(c);
    }
    return codes;
}

// Code 8191 of the run is a chain of 7935 entries over a literal: the longest string a
// table can hold must not be taken for a loop, also when named once more from a full
// table.
TEST(UnshrinkTable, TheLongestChainFitsTheStack)
{
    std::vector<int> codes = GrowingRun(8191);
    codes.push_back(8191);
    const int64_t total = 1 + (2 + 7936) * 7935 / 2 + 7936;
    TMemoryStream32 source(PackCodes(codes), 31);
    TEntrySink sink(nullptr, nullptr, total);
    EXPECT_EQ(FindMethod(1)->Decode(source, sink, TEntryInfo{}), TDecodeResult::Done);
    EXPECT_EQ(sink.FailCode(), 0);
    EXPECT_EQ(sink.Written(), total);
    EXPECT_TRUE(sink.Passes(Crc32Of(Bytes(static_cast<size_t>(total), 'A'))));
}

// A refused write and a cancel both end the decoder at the block the sink refused, long
// before the 31 MB the run would make, and a failed write is reported once.
TEST(UnshrinkSink, ARefusingSinkStopsTheDecoder)
{
    for (const bool cancel : {false, true}) {
        const Bytes input = PackCodes(GrowingRun(8191));
        TMemoryStream32 source(input, 31);
        TUnZip owner;
        owner.SetCancel(cancel);
        std::vector<int32_t> reports;
        owner.OnError = [&](TZipCommon&, const std::string&, const std::string&,
                            const std::string&, int32_t code) { reports.push_back(code); };
        TCaptureStream out(cancel ? -1 : 1000);
        TEntrySink sink(&owner, &out, 40000000);
        EXPECT_EQ(FindMethod(1)->Decode(source, sink, TEntryInfo{}), TDecodeResult::Stopped);
        EXPECT_EQ(sink.WriteFailed(), !cancel);
        EXPECT_EQ(reports, cancel ? std::vector<int32_t>{} : std::vector<int32_t>{E_WRITEERR});
        // The sink takes one 32 KB block before it sees the flag.
        EXPECT_EQ(out.Data.size(), cancel ? 32768u : 0u);
        EXPECT_LT(source.Position(), static_cast<int64_t>(input.size()) / 4);
    }
}

// ---------------------------------------------------------------------------------
// Real archives

namespace {

size_t CountMethod(const TManifestRecord& R, const std::string& Method)
{
    return static_cast<size_t>(std::count(R.Methods.begin(), R.Methods.end(), Method));
}

struct TArchiveCase {
    const char* Name;
    bool Bench; // in the legacy bench set rather than the corpus
    const char* File;
    bool ShortReads;
};

void PrintTo(const TArchiveCase& C, std::ostream* Os) { *Os << C.Name; }

} // namespace

class UnshrinkArchives : public ::testing::TestWithParam<TArchiveCase> {};

TEST_P(UnshrinkArchives, ExtractByteExact)
{
    const TArchiveCase& c = GetParam();
    if (const std::string why = c.Bench ? LegacyBenchMissing() : ""; !why.empty())
        GTEST_SKIP() << why;
    const TManifestRecord* rec =
        FindManifest(c.Bench ? LegacyBenchManifest() : Manifest(), c.File);
    ASSERT_NE(rec, nullptr) << c.File;
    ASSERT_GT(CountMethod(*rec, "1"), 0u) << "no Shrink entry expected in " << c.File;
    ExpectExtractsAsManifest((c.Bench ? LegacyBenchDir() : CorpusDir()) / c.File, *rec,
                             c.ShortReads);
}

INSTANTIATE_TEST_SUITE_P(
    Unshrink, UnshrinkArchives,
    ::testing::Values(TArchiveCase{"Pkzip110", false, "gh_pkzip110_shrink.zip", false},
                      TArchiveCase{"Pkzip110ShortReads", false, "gh_pkzip110_shrink.zip", true},
                      TArchiveCase{"Hwzip", false, "c16_hwzip_shrink.zip", false},
                      TArchiveCase{"HwzipShortReads", false, "c16_hwzip_shrink.zip", true},
                      TArchiveCase{"Bench", true, "shrink.zip", false},
                      TArchiveCase{"BenchShortReads", true, "shrink.zip", true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// The PKZIP 0.90 archives of the Reduce set each hold one shrunk entry, TEST.ANS.
TEST(UnshrinkArchives, Pkzip090ShrunkEntries)
{
    for (const char* file : {"gh_pkzip090_reduce1.zip", "gh_pkzip090_reduce2.zip",
                             "gh_pkzip090_reduce3.zip", "gh_pkzip090_reduce4.zip"}) {
        const TManifestRecord* r = FindManifest(file);
        ASSERT_NE(r, nullptr) << file;
        TManifestRecord only = *r;
        only.Entries.clear();
        for (size_t i = 0; i < r->Entries.size(); ++i)
            if (r->Methods[i] == "1") only.Entries.push_back(r->Entries[i]);
        ASSERT_EQ(only.Entries.size(), 1u) << file;
        TTempDir tmp;
        const TRunLog log =
            ExtractLogged(CorpusDir() / file, tmp / "out", false, {only.Entries[0].Name});
        EXPECT_TRUE(log.Errors.empty()) << file;
        EXPECT_EQ(CompareWithManifest(only, tmp / "out"), "") << file;
        EXPECT_EQ(log.Count, 1) << file;
    }
}

// Info-ZIP unzip decodes Shrink: every file must come out as it makes it. Without the
// legacy benchmark set the corpus archives are still compared before the test is skipped.
TEST(UnshrinkArchives, SameBytesAsInfoZipUnzip)
{
    if (!HaveTool("unzip")) GTEST_SKIP() << "unzip is not installed";
    const std::string benchMissing = LegacyBenchMissing();
    for (const fs::path& archive :
         {LegacyBenchDir() / "shrink.zip", CorpusDir() / "gh_pkzip110_shrink.zip",
          CorpusDir() / "c16_hwzip_shrink.zip"}) {
        if (!benchMissing.empty() && archive.parent_path() == LegacyBenchDir()) continue;
        TTempDir tmp;
        const TRunResult ref = Shell("unzip -qq -o " + Quote(archive.string()) + " -d " +
                                     Quote((tmp / "ref").string()));
        ASSERT_EQ(ref.Status, 0) << archive << ": " << ref.Err;
        const TRunLog log = ExtractLogged(archive, tmp / "out");
        EXPECT_TRUE(log.Errors.empty()) << archive;
        size_t compared = 0;
        for (const auto& f : fs::recursive_directory_iterator(tmp / "ref")) {
            if (!f.is_regular_file()) continue;
            const fs::path rel = fs::relative(f.path(), tmp / "ref");
            EXPECT_TRUE(ReadFile(f.path()) == ReadFile(tmp / "out" / rel)) << archive << " " << rel;
            ++compared;
        }
        EXPECT_GT(compared, 0u) << archive;
    }
    if (!benchMissing.empty()) GTEST_SKIP() << benchMissing;
}

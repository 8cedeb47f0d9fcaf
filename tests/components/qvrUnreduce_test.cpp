// Unreduce (methods 2-5): hand-built bit streams through the method table's decoder,
// then every Reduce archive of the shared corpus and of the legacy benchmark set through
// the component, compared with their manifests (no tool here decodes Reduce, so the
// manifests' sizes, CRCs and sha256 sums are the reference).
#include "DecoderSupport.h"
#include "TestSupport.h"
#include "qvrMessages.h"
#include "qvrMethods.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <map>
#include <set>
#include <sstream>

using namespace test;

namespace {

// Writes a Reduce stream: the follower sets first, then bytes coded against them.
class TReduceWriter {
public:
    explicit TReduceWriter(std::map<uint8_t, Bytes> Sets = {}) : FSets(std::move(Sets))
    {
        for (int x = 255; x >= 0; --x) {
            const Bytes& s = Set(static_cast<uint8_t>(x));
            W.Put(static_cast<uint32_t>(s.size()), 6);
            for (uint8_t b : s) W.Put(b, 8);
        }
    }
    // C as itself: a flag bit 1 first unless the set of the byte before is empty.
    TReduceWriter& Plain(uint8_t C)
    {
        if (!Set(FLast).empty()) W.Put(1, 1);
        W.Put(C, 8);
        FLast = C;
        return *this;
    }
    TReduceWriter& Plain(const Bytes& B)
    {
        for (uint8_t c : B) Plain(c);
        return *this;
    }
    // Follower I of the set of the byte before (I may lie outside the set).
    TReduceWriter& Index(uint32_t I)
    {
        const Bytes& s = Set(FLast);
        W.Put(0, 1);
        W.Put(I, std::max(1, static_cast<int>(std::bit_width(s.size() - 1))));
        FLast = I < s.size() ? s[I] : 0;
        return *this;
    }
    TReduceWriter& Bits(uint32_t V, int N)
    {
        W.Put(V, N);
        return *this;
    }
    Bytes Data() const { return W.Data(); }

private:
    const Bytes& Set(uint8_t X) const
    {
        static const Bytes none;
        auto it = FSets.find(X);
        return it == FSets.end() ? none : it->second;
    }
    std::map<uint8_t, Bytes> FSets;
    TBitWriter W;
    uint8_t FLast = 0;
};

Bytes Str(const std::string& S) { return Bytes(S.begin(), S.end()); }

// N bytes that are never the escape, and not periodic, so that a copy from a wrong
// distance shows.
Bytes Literals(size_t N)
{
    Bytes b = RandomBytes(N, 77);
    for (auto& c : b)
        if (c == 144) c = 145;
    return b;
}

// Expected output: Prefix, then Length bytes copied from Distance back one by one.
Bytes WithCopy(Bytes Prefix, size_t Distance, size_t Length)
{
    for (size_t i = 0; i < Length; ++i)
        Prefix.push_back(Prefix.size() >= Distance ? Prefix[Prefix.size() - Distance] : 0);
    return Prefix;
}

constexpr int64_t Exact = -2; // the sink is told the expected output's size

struct TVector {
    const char* Name;
    int Factor;
    std::function<Bytes()> Input;
    int64_t Declared; // Exact, -1 (unknown) or a size
    TDecodeResult Result;
    std::function<Bytes()> Output;
    int32_t FailCode = 0;
};

void PrintTo(const TVector& V, std::ostream* Os) { *Os << V.Name; }

const Bytes& Hello() { static const Bytes b = Str("hello"); return b; }

const std::vector<TVector>& Vectors()
{
    using R = TDecodeResult;
    static const std::vector<TVector> rows = {
        {"EscapeThenZeroIsOne144", 1,
         [] { return TReduceWriter().Plain({'A', 144, 0, 'B'}).Data(); }, Exact, R::Done,
         [] { return Bytes{'A', 144, 'B'}; }},
        {"Factor1LongMatchAtDistance11", 1,
         [] { return TReduceWriter().Plain(Str("0123456789a")).Plain({144, 0x7F, 5, 10}).Data(); },
         Exact, R::Done, [] { return WithCopy(Str("0123456789a"), 11, 0x7F + 5 + 3); }},
        {"Factor2MatchAtDistance785", 2,
         [] { return TReduceWriter().Plain(Literals(800)).Plain({144, 0xC5, 0x10}).Data(); },
         Exact, R::Done, [] { return WithCopy(Literals(800), 3 * 256 + 0x10 + 1, 5 + 3); }},
        {"Factor3ExtraLengthByte", 3,
         [] { return TReduceWriter().Plain(Literals(1300)).Plain({144, 0xBF, 20, 0}).Data(); },
         Exact, R::Done, [] { return WithCopy(Literals(1300), 5 * 256 + 1, 0x1F + 20 + 3); }},
        {"Factor4MatchAtDistance801", 4,
         [] { return TReduceWriter().Plain(Literals(801)).Plain({144, 0x35, 0x20}).Data(); },
         Exact, R::Done, [] { return WithCopy(Literals(801), 801, 8); }},
        {"Factor4ReachesTheWholeWindow", 4,
         [] { return TReduceWriter().Plain(Literals(5000)).Plain({144, 0xF3, 0xFF}).Data(); },
         Exact, R::Done, [] { return WithCopy(Literals(5000), 4096, 6); }},
        {"Factor1HighDistanceBit", 1,
         [] { return TReduceWriter().Plain(Literals(600)).Plain({144, 0x82, 0x00}).Data(); },
         Exact, R::Done, [] { return WithCopy(Literals(600), 257, 5); }},
        {"MatchBeforeTheFirstByteGivesZeros", 1,
         [] { return TReduceWriter().Plain({'A', 'B', 144, 0x01, 2}).Data(); }, Exact, R::Done,
         [] { return Bytes{'A', 'B', 0, 'A', 'B', 0}; }},
        {"LongRunPastTheOutputBuffer", 1,
         [] {
             TReduceWriter w;
             w.Plain('Z');
             for (int i = 0; i < 200; ++i) w.Plain({144, 0x7F, 0xFF, 0});
             return w.Data();
         },
         Exact, R::Done, [] { return Bytes(1 + 200 * 385, 'Z'); }},
        {"EmptySetMeansEightBitsWithoutAFlag", 1,
         [] { return TReduceWriter({{'A', Str("x")}}).Plain({'A', 'B', 'C'}).Data(); }, Exact,
         R::Done, [] { return Str("ABC"); }},
        {"FollowerIndexes", 1,
         [] {
             return TReduceWriter({{0, Str("helo")}, {'h', Str("e")}, {'e', Str("lxy")},
                                   {'l', Str("lo")}})
                 .Index(0).Index(0).Index(0).Index(0).Index(1).Plain('!')
                 .Data();
         },
         Exact, R::Done, [] { return Str("hello!"); }},
        {"FullSetTakesFiveIndexBits", 2,
         [] {
             Bytes full;
             for (int i = 0; i < 32; ++i) full.push_back(static_cast<uint8_t>('A' + i));
             return TReduceWriter({{0, full}}).Index(31).Plain(0).Index(17).Data();
         },
         Exact, R::Done, [] { return Bytes{'A' + 31, 0, 'A' + 17}; }},
        {"EscapeAndZeroFromFollowerSets", 3,
         [] {
             return TReduceWriter({{0, Bytes{144}}, {144, Bytes{7, 0}}})
                 .Index(0).Index(1).Plain('Q').Data();
         },
         Exact, R::Done, [] { return Bytes{144, 'Q'}; }},
        {"CountAbove32IsRefused", 1,
         [] {
             TBitWriter w;
             w.Put(33, 6);
             for (int i = 0; i < 40; ++i) w.Put('a', 8);
             return w.Data();
         },
         10, R::BadData, [] { return Bytes{}; }, E_BADBLOCK},
        {"IndexAtCountIsRefused", 1,
         [] { return TReduceWriter({{0, Str("abc")}}).Index(0).Plain(0).Index(3).Data(); },
         10, R::BadData, [] { return Bytes{'a', 0}; }, E_BADBLOCK},
        {"IndexPastASingleFollowerIsRefused", 1,
         [] { return TReduceWriter({{0, Str("a")}}).Index(1).Plain({'b', 'c'}).Data(); },
         10, R::BadData, [] { return Bytes{}; }, E_BADBLOCK},
        {"TruncatedInTheFollowerSets", 1, [] { return Bytes(100, 0); }, 5, R::Truncated,
         [] { return Bytes{}; }},
        {"UnknownSizeEndingInTheFollowerSets", 1, [] { return Bytes(100, 0); }, -1, R::Done,
         [] { return Bytes{}; }},
        {"TruncatedBetweenCodes", 1, [] { return TReduceWriter().Plain(Hello()).Data(); }, 10,
         R::Truncated, [] { return Hello(); }},
        {"TruncatedInsideACode", 1,
         [] {
             // The flagged '!' after 'o' takes 9 bits across a byte boundary; the byte
             // holding its last bit is cut off.
             Bytes b = TReduceWriter({{'o', Str("x")}}).Plain(Hello()).Plain('!').Data();
             b.pop_back();
             return b;
         },
         10, R::Truncated, [] { return Hello(); }},
        {"TruncatedAfterTheEscape", 4, [] { return TReduceWriter().Plain({'A', 144}).Data(); },
         2, R::Truncated, [] { return Bytes{'A'}; }},
        {"DeclaredSizeReachedMidMatch", 1,
         [] { return TReduceWriter().Plain({'A', 'B', 'C', 144, 0x05, 2, 'D'}).Data(); }, 6,
         R::Done, [] { return Str("ABCABC"); }},
        {"PaddingBitsAfterTheLastByteAreIgnored", 1,
         [] { return TReduceWriter().Plain(Hello()).Bits(0x3F, 6).Data(); }, 5, R::Done,
         [] { return Hello(); }},
        {"UnknownSizeEndsWithTheInput", 2, [] { return TReduceWriter().Plain(Hello()).Data(); },
         -1, R::Done, [] { return Hello(); }},
        {"EmptyEntryReadsNothing", 1, [] { return Bytes(10, 0xFF); }, 0, R::Done,
         [] { return Bytes{}; }},
    };
    return rows;
}

} // namespace

class UnreduceVectors : public ::testing::TestWithParam<std::tuple<TVector, int32_t>> {};

TEST_P(UnreduceVectors, Decode)
{
    const auto& [v, maxRead] = GetParam();
    const Bytes expected = v.Output();
    const int64_t declared = v.Declared == Exact ? static_cast<int64_t>(expected.size())
                                                 : v.Declared;
    TMemoryStream32 source(v.Input(), maxRead);
    TUnZip owner;
    TCaptureStream out;
    TEntrySink sink(&owner, &out, declared);
    TEntryInfo info;
    info.Method = static_cast<uint32_t>(v.Factor + 1);
    const TMethodRow* row = FindMethod(info.Method);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->Decode(source, sink, info), v.Result);
    EXPECT_EQ(out.Data, expected);
    EXPECT_EQ(sink.FailCode(), v.FailCode);
    EXPECT_FALSE(sink.Overflowed());
    if (declared >= 0) {
        EXPECT_LE(sink.Written(), declared);
    }
    if (v.Result == TDecodeResult::Done) {
        EXPECT_TRUE(sink.Passes(Crc32Of(expected)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    UnreduceHandBuilt, UnreduceVectors,
    ::testing::Combine(::testing::ValuesIn(Vectors()), ::testing::Values(31, 1)),
    [](const auto& Info) {
        return std::string(std::get<0>(Info.param).Name) + "_" +
               std::to_string(std::get<1>(Info.param)) + "ByteReads";
    });

TEST(UnreduceSink, AFailedWriteStopsTheDecoderWithOneReport)
{
    TReduceWriter w;
    w.Plain('Z');
    for (int i = 0; i < 200; ++i) w.Plain({144, 0x7F, 0xFF, 0});
    TMemoryStream32 source(w.Data());
    TUnZip owner;
    std::vector<int32_t> codes;
    owner.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                        int32_t code) { codes.push_back(code); };
    TCaptureStream out(40000);
    TEntrySink sink(&owner, &out, 1 + 200 * 385);
    TEntryInfo info;
    info.Method = 2;
    EXPECT_EQ(FindMethod(2)->Decode(source, sink, info), TDecodeResult::Stopped);
    EXPECT_EQ(codes, std::vector<int32_t>{E_WRITEERR});
    EXPECT_TRUE(sink.WriteFailed());
}

TEST(UnreduceSink, TheFactorComesFromTheMethod)
{
    // One stream, four meanings: V = 0xF3 is length 6 at factor 4 (distance 15 * 256 +
    // D + 1) but length 0x73 + 3 at factor 1 (distance 256 + D + 1).
    const Bytes lits = Literals(5000);
    const Bytes input = TReduceWriter().Plain(lits).Plain({144, 0xF3, 0x10}).Data();
    const std::map<uint32_t, Bytes> expected = {
        {2, WithCopy(lits, 1 * 256 + 0x11, 0x73 + 3)},
        {3, WithCopy(lits, 3 * 256 + 0x11, 0x33 + 3)},
        {4, WithCopy(lits, 7 * 256 + 0x11, 0x13 + 3)},
        {5, WithCopy(lits, 15 * 256 + 0x11, 0x03 + 3)}};
    for (const auto& [method, want] : expected) {
        TMemoryStream32 source(input, 31);
        TUnZip owner;
        TCaptureStream out;
        TEntrySink sink(&owner, &out, static_cast<int64_t>(want.size()));
        TEntryInfo info;
        info.Method = method;
        EXPECT_EQ(FindMethod(method)->Decode(source, sink, info), TDecodeResult::Done) << method;
        EXPECT_EQ(out.Data, want) << method;
    }
}

// ---------------------------------------------------------------------------------
// Real archives

namespace {

// sha256 of every file in Dir, by name.
std::map<std::string, std::string> Sha256Sums(const fs::path& Dir)
{
    std::map<std::string, std::string> sums;
    const TRunResult r = Shell("cd " + Quote(Dir.string()) + " && sha256sum -- *");
    std::istringstream in(r.Out);
    std::string line;
    while (std::getline(in, line))
        if (line.size() > 66) sums[line.substr(66)] = line.substr(0, 64);
    return sums;
}

struct TArchiveCase {
    bool Bench; // in the legacy benchmark set rather than the corpus
    const char* File;
    bool ShortReads;
};

void PrintTo(const TArchiveCase& C, std::ostream* Os) { *Os << C.File; }

} // namespace

class UnreduceArchives : public ::testing::TestWithParam<TArchiveCase> {};

// Every reduced entry (and the stored ones beside it) comes out byte for byte as the
// manifest says. Entries of other methods in the same archives belong to their own
// decoders' suites and are not judged here.
TEST_P(UnreduceArchives, ExtractAsTheManifestSays)
{
    const TArchiveCase& c = GetParam();
    if (const std::string why = c.Bench ? LegacyBenchMissing() : ""; !why.empty())
        GTEST_SKIP() << why;
    const TManifestRecord* rec =
        FindManifest(c.Bench ? LegacyBenchManifest() : Manifest(), c.File);
    ASSERT_NE(rec, nullptr) << c.File << " not in the manifest";
    const auto isFile = [](const TExpectedEntry& e) { return !e.IsDir; };
    ASSERT_TRUE(std::any_of(rec->Entries.begin(), rec->Entries.end(), isFile))
        << c.File << " lists no file";

    TTempDir tmp;
    const fs::path archive = (c.Bench ? LegacyBenchDir() : CorpusDir()) / c.File;
    const TRunLog log = ExtractLogged(archive, tmp / "out", c.ShortReads);
    const std::map<std::string, std::string> sums = Sha256Sums(tmp / "out");

    const std::set<std::string> judged = {"0", "2", "3", "4", "5"};
    int reduced = 0;
    for (size_t i = 0; i < rec->Entries.size(); ++i) {
        const TExpectedEntry& e = rec->Entries[i];
        if (e.IsDir || !judged.count(rec->Methods[i])) continue;
        reduced += rec->Methods[i] != "0";
        const fs::path p = tmp / "out" / e.Name;
        ASSERT_TRUE(fs::is_regular_file(p)) << e.Name;
        const Bytes data = ReadFile(p);
        EXPECT_EQ(data.size(), e.Size) << e.Name;
        EXPECT_EQ(Crc32Of(data), e.Crc) << e.Name;
        // sha256sum runs through the shell, which the Windows build has not: there the size
        // and the CRC judge alone.
        if (!e.Sha256.empty() && !OnWindows()) {
            const auto sum = sums.find(e.Name);
            EXPECT_TRUE(sum != sums.end() && sum->second == e.Sha256) << e.Name << " sha256";
        }
        EXPECT_TRUE(log.Verdicts.count(e.Name) && log.Verdicts.at(e.Name)) << e.Name;
        for (const auto& [name, code] : log.Errors)
            EXPECT_NE(name, e.Name) << e.Name << " reported " << code;
    }
    EXPECT_GT(reduced, 0) << c.File << " has no reduced entry";
}

INSTANTIATE_TEST_SUITE_P(
    UnreduceShared, UnreduceArchives,
    ::testing::Values(TArchiveCase{false, "gh_pkzip090_reduce1.zip", false},
                      TArchiveCase{false, "gh_pkzip090_reduce2.zip", false},
                      TArchiveCase{false, "gh_pkzip090_reduce3.zip", false},
                      TArchiveCase{false, "gh_pkzip090_reduce4.zip", false},
                      TArchiveCase{false, "c17_hwzip_reduce4.zip", false},
                      TArchiveCase{false, "gh_pkzip090_reduce1.zip", true},
                      TArchiveCase{false, "c17_hwzip_reduce4.zip", true},
                      TArchiveCase{true, "reduce1.zip", false},
                      TArchiveCase{true, "reduce2.zip", false},
                      TArchiveCase{true, "reduce3.zip", false},
                      TArchiveCase{true, "reduce4.zip", false}),
    [](const auto& Info) {
        std::string n = Info.param.File;
        if (Info.param.ShortReads) n += "_31ByteReads";
        for (char& ch : n)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

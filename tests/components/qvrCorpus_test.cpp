// Every archive of the shared corpus, extracted through the component and compared
// with the manifest written from independent extractors.
#include "TestSupport.h"
#include "qvrMethods.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

using namespace test;

namespace {

// Whether the component has a decoder for the manifest's method; the others must be
// reported as unsupported, entry by entry, while the rest of the archive extracts.
bool Supported(const std::string& Method)
{
    const bool number = !Method.empty() && Method.size() < 6 &&
                        std::all_of(Method.begin(), Method.end(),
                                    [](unsigned char c) { return std::isdigit(c); });
    return number && FindMethod(static_cast<uint32_t>(std::stoul(Method)));
}

std::vector<std::string> ExtractableArchives()
{
    std::vector<std::string> names;
    for (const auto& r : Manifest())
        if (r.Kind == "zip" || r.Kind == "sfx") names.push_back(r.File);
    return names;
}

std::string Leaf(const std::string& Name)
{
    const size_t p = Name.find_last_of('/');
    return p == std::string::npos ? Name : Name.substr(p + 1);
}

} // namespace

class CorpusArchive : public ::testing::TestWithParam<std::tuple<std::string, bool>> {};

TEST_P(CorpusArchive, ExtractsAsTheManifestSays)
{
    const TManifestRecord* r = FindManifest(std::get<0>(GetParam()));
    ASSERT_NE(r, nullptr);
    if (r->File == "c04_python_stream_dd_utf8.zip") SKIP_ON_WINDOWS(Utf8PathsOnWindows);
    TTempDir tmp;
    // With the second parameter the archive is read from memory, at most 31 bytes per
    // read, instead of from its file: every reader must cope with short counts.
    const TRunLog log =
        ExtractLogged(CorpusDir() / r->File, tmp / "out", std::get<1>(GetParam()), {}, r->Password);
    const std::map<std::string, int32_t> errors = log.ErrorsByName();
    for (size_t i = 0; i < r->Entries.size(); ++i) {
        const TExpectedEntry& e = r->Entries[i];
        if (e.IsDir) continue;
        const std::string method = r->Methods[i];
        const fs::path p = tmp / "out" / e.Name;
        if (!Supported(method)) {
            auto it = errors.find(Leaf(e.Name));
            ASSERT_NE(it, errors.end()) << e.Name << ": method " << method << " not reported";
            EXPECT_EQ(it->second, E_UNSUPPORTEDMETHOD) << e.Name;
            continue;
        }
        ASSERT_TRUE(fs::is_regular_file(p)) << e.Name;
        const Bytes data = ReadFile(p);
        EXPECT_EQ(data.size(), e.Size) << e.Name;
        EXPECT_EQ(Crc32Of(data), e.Crc) << e.Name;
        EXPECT_TRUE(log.Verdicts.count(Leaf(e.Name)) && log.Verdicts.at(Leaf(e.Name))) << e.Name;
        EXPECT_FALSE(errors.count(Leaf(e.Name))) << e.Name << " reported " << errors.at(Leaf(e.Name));
    }
}

INSTANTIATE_TEST_SUITE_P(Shared, CorpusArchive,
                         ::testing::Combine(::testing::ValuesIn(ExtractableArchives()),
                                            ::testing::Bool()),
                         [](const auto& Info) {
                             std::string n = std::get<0>(Info.param) +
                                             (std::get<1>(Info.param) ? "_31ByteReads" : "");
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

TEST(CorpusBroken, BadCrcIsReportedAndTheOtherEntriesExtract)
{
    TTempDir tmp;
    const TRunLog log = ExtractLogged(CorpusDir() / "bad_crc.zip", tmp / "out");
    ASSERT_TRUE(log.Verdicts.count("small.txt"));
    EXPECT_FALSE(log.Verdicts.at("small.txt"));
    // The file stays on disk whatever the verdict.
    EXPECT_TRUE(fs::exists(tmp / "out/small.txt"));
    int passes = 0;
    for (const auto& [name, pass] : log.Verdicts) passes += pass;
    EXPECT_GE(passes, 2);
}

TEST(CorpusBroken, BadLocalOffsetIsABadHeaderAndTheRestExtracts)
{
    TTempDir tmp;
    const TRunLog log = ExtractLogged(CorpusDir() / "bad_local_offset.zip", tmp / "out");
    const std::map<std::string, int32_t> errors = log.ErrorsByName();
    ASSERT_TRUE(errors.count("random.bin"));
    EXPECT_EQ(errors.at("random.bin"), E_BADHEADER);
    EXPECT_FALSE(fs::exists(tmp / "out/random.bin"));
    EXPECT_GE(log.Count, 1);
}

TEST(CorpusBroken, TruncatedArchiveEndsWithoutCrashing)
{
    TTempDir tmp;
    const TRunLog log = ExtractLogged(CorpusDir() / "bad_truncated.zip", tmp / "out");
    // The last entry is cut: whatever was found before it extracts, the cut one fails.
    bool anyFailed = false;
    for (const auto& [name, pass] : log.Verdicts) anyFailed |= !pass;
    EXPECT_TRUE(anyFailed || !log.Errors.empty());
}

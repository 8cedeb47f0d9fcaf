// Every archive of the shared corpus, extracted through the component and compared
// with the manifest written from independent extractors.
#include "TestSupport.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <set>

using namespace test;

namespace {

// Methods whose decoders the component has; the others must be reported as
// unsupported, entry by entry, while the rest of the archive extracts.
const std::set<std::string> SupportedMethods = {"0", "1", "2", "3", "4", "5", "6", "8", "9"};

std::vector<std::string> ExtractableArchives()
{
    std::vector<std::string> names;
    for (const auto& r : Manifest())
        if (r.Kind == "zip" || r.Kind == "sfx") names.push_back(r.File);
    return names;
}

struct TCorpusLog {
    std::map<std::string, int32_t> Errors; // by leaf name
    std::map<std::string, bool> Verdicts;
    int32_t Count = 0;
};

// ShortReads reads the archive from memory, at most 31 bytes per read, instead of from
// its file: every reader must cope with a source that hands out short counts.
TCorpusLog ExtractWithComponent(const fs::path& Archive, const fs::path& Out,
                                const std::string& Password, bool ShortReads = false)
{
    TCorpusLog log;
    TUnZip z;
    if (ShortReads) {
        const Bytes data = ReadFile(Archive);
        z.ArchiveSource(Archive.string(),
                        [data] { return std::make_unique<TMemoryStream32>(data, 31); });
    } else {
        z.ArchiveFile(Archive.string());
    }
    z.ExtractDir(Out.string());
    z.FileSpec({"*.*"});
    if (!Password.empty()) z.Passwords({Password});
    z.OnError = [&](TZipCommon&, const std::string& f, const std::string&, const std::string&,
                    int32_t code) { log.Errors[ExtractFileName(f)] = code; };
    z.OnEnd = [&](TZipCommon&, const std::string& f, bool pass) {
        log.Verdicts[ExtractFileName(f)] = pass;
    };
    log.Count = z.ExtractFiles();
    return log;
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
    TTempDir tmp;
    const TCorpusLog log = ExtractWithComponent(CorpusDir() / r->File, tmp / "out", r->Password,
                                                std::get<1>(GetParam()));
    for (size_t i = 0; i < r->Entries.size(); ++i) {
        const TExpectedEntry& e = r->Entries[i];
        if (e.IsDir) continue;
        const std::string method = r->Methods[i];
        const fs::path p = tmp / "out" / e.Name;
        if (!SupportedMethods.count(method)) {
            auto it = log.Errors.find(Leaf(e.Name));
            ASSERT_NE(it, log.Errors.end()) << e.Name << ": method " << method << " not reported";
            EXPECT_EQ(it->second, E_UNSUPPORTEDMETHOD) << e.Name;
            continue;
        }
        ASSERT_TRUE(fs::is_regular_file(p)) << e.Name;
        const Bytes data = ReadFile(p);
        EXPECT_EQ(data.size(), e.Size) << e.Name;
        EXPECT_EQ(Crc32Of(data), e.Crc) << e.Name;
        EXPECT_TRUE(log.Verdicts.count(Leaf(e.Name)) && log.Verdicts.at(Leaf(e.Name))) << e.Name;
        EXPECT_FALSE(log.Errors.count(Leaf(e.Name))) << e.Name << " reported " << log.Errors.at(Leaf(e.Name));
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
    const TCorpusLog log = ExtractWithComponent(CorpusDir() / "bad_crc.zip", tmp / "out", "");
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
    const TCorpusLog log = ExtractWithComponent(CorpusDir() / "bad_local_offset.zip", tmp / "out", "");
    ASSERT_TRUE(log.Errors.count("random.bin"));
    EXPECT_EQ(log.Errors.at("random.bin"), E_BADHEADER);
    EXPECT_FALSE(fs::exists(tmp / "out/random.bin"));
    EXPECT_GE(log.Count, 1);
}

TEST(CorpusBroken, TruncatedArchiveEndsWithoutCrashing)
{
    TTempDir tmp;
    const TCorpusLog log = ExtractWithComponent(CorpusDir() / "bad_truncated.zip", tmp / "out", "");
    // The last entry is cut: whatever was found before it extracts, the cut one fails.
    bool anyFailed = false;
    for (const auto& [name, pass] : log.Verdicts) anyFailed |= !pass;
    EXPECT_TRUE(anyFailed || !log.Errors.empty());
}

TEST(CorpusSplit, VolumeSetsAreRefusedCleanly)
{
    // Until sets can be read volume by volume, the last volume alone must not be read
    // as though it held the whole archive: one open error, nothing written.
    for (const char* name : {"c15_split.zip", "gh_winrar_split.zip"}) {
        TTempDir tmp;
        const TCorpusLog log = ExtractWithComponent(CorpusDir() / name, tmp / "out", "");
        EXPECT_EQ(log.Count, 0) << name;
        ASSERT_EQ(log.Errors.size(), 1u) << name;
        EXPECT_EQ(log.Errors.begin()->second, E_OPENERR) << name;
        EXPECT_FALSE(fs::exists(tmp / "out")) << name;
    }
}

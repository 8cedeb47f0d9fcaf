// The legacy methods through the whole walk: every entry of the corpus' PKZIP archives
// (Shrink, Reduce 1-4, Implode) repacked with traditional encryption must extract as
// the plain archive does, so the cipher layer feeds each legacy decoder its bytes in
// the order it consumes them.
#include "TestSupport.h"
#include "qvrCrypt.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

using namespace test;

namespace {

uint16_t U16(const Bytes& B, size_t P) { return static_cast<uint16_t>(B[P] | (B[P + 1] << 8)); }
uint32_t U32(const Bytes& B, size_t P) { return U16(B, P) | (static_cast<uint32_t>(U16(B, P + 2)) << 16); }

// The entries of an archive whose local headers carry their sizes, as written.
std::vector<TZipEntrySpec> RawEntries(const Bytes& Zip)
{
    std::vector<TZipEntrySpec> out;
    size_t p = 0;
    while (p + 30 <= Zip.size() && U32(Zip, p) == 0x04034B50) {
        TZipEntrySpec e;
        e.Flags = U16(Zip, p + 6);
        e.Method = U16(Zip, p + 8);
        e.DosTime = U32(Zip, p + 10);
        e.Crc = U32(Zip, p + 14);
        const uint32_t packed = U32(Zip, p + 18);
        e.UncompressedSize = U32(Zip, p + 22);
        const size_t name = U16(Zip, p + 26), extra = U16(Zip, p + 28);
        e.Name.assign(Zip.begin() + static_cast<std::ptrdiff_t>(p + 30),
                      Zip.begin() + static_cast<std::ptrdiff_t>(p + 30 + name));
        const size_t data = p + 30 + name + extra;
        e.Data.assign(Zip.begin() + static_cast<std::ptrdiff_t>(data),
                      Zip.begin() + static_cast<std::ptrdiff_t>(data + packed));
        e.Raw = true;
        out.push_back(e);
        p = data + packed;
    }
    return out;
}

} // namespace

TEST(LegacyMethods, EncryptedEntriesExtractLikePlainOnes)
{
    for (const char* name : {"gh_pkzip110_shrink.zip", "gh_pkzip090_reduce1.zip",
                             "gh_pkzip090_reduce2.zip", "gh_pkzip090_reduce3.zip",
                             "gh_pkzip090_reduce4.zip", "gh_pkzip110_implode.zip"}) {
        const TManifestRecord* r = FindManifest(name);
        ASSERT_NE(r, nullptr) << name;
        std::vector<TZipEntrySpec> entries = RawEntries(ReadFile(CorpusDir() / name));
        ASSERT_FALSE(entries.empty()) << name;
        int legacy = 0;
        for (auto& e : entries) {
            legacy += e.Method >= 1 && e.Method <= 6;
            Encrypt(e, "legacy-pw");
        }
        EXPECT_GT(legacy, 0) << name;
        TTempDir tmp;
        WriteFile(tmp / "enc.zip", BuildZip(entries));
        TUnZip z;
        z.ArchiveFile((tmp / "enc.zip").string());
        z.Passwords({"legacy-pw"});
        const TRunLog log = RunLogged(z, tmp / "out");
        EXPECT_TRUE(log.Errors.empty()) << name << ": first code "
                                        << (log.Errors.empty() ? 0 : log.Errors[0].second);
        EXPECT_EQ(CompareWithManifest(*r, tmp / "out"), "") << name;
    }
}

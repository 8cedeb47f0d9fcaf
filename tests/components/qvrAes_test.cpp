// WinZip AES entries (method 99) over archives 7-Zip writes at test time: each strength
// over Stored, Deflate and LZMA extracts byte-exact (read whole and 31 bytes at a time)
// and is listed with its strength and inner method; the password search runs as for
// traditional entries; a damaged byte fails the entry's verdict with one report; and
// the AES field, rewritten, selects AE-1's CRC check or is refused when unknown.
#include "TestSupport.h"
#include "qvrMessages.h"
#include "qvrMethods.h"

#include <gtest/gtest.h>

#include <functional>

using namespace test;

namespace {

const std::string Secret = "SECRET";

// Text that compresses, bytes that do not, and a file shorter than one AES block.
const std::vector<std::pair<std::string, Bytes>>& Contents()
{
    static const std::vector<std::pair<std::string, Bytes>> c = {
        {"text.txt", TextBytes(200000, 1)}, {"noise.bin", RandomBytes(7000, 2)},
        {"tiny.txt", Bytes{'a', 'b', 'c'}}};
    return c;
}

using TFiles = std::vector<std::pair<std::string, Bytes>>;

// Tmp/a.zip, written by 7-Zip with AES of Strength (128, 192, 256) over Method (its
// name for it) and the password SECRET, of Files.
fs::path MakeAesZip(const TTempDir& Tmp, int Strength, const std::string& Method,
                    const TFiles& Files = Contents())
{
    for (const auto& [name, data] : Files) WriteFile(Tmp / "src" / name, data);
    const fs::path zip = Tmp / "a.zip";
    const TRunResult r = Shell("cd " + Quote((Tmp / "src").string()) + " && 7zz a -tzip -mem=AES" +
                               std::to_string(Strength) + " -mm=" + Method + " -p" + Secret +
                               " " + Quote(zip.string()) + " . >/dev/null");
    EXPECT_EQ(r.Status, 0) << r.Err;
    return zip;
}

void ExpectContents(const fs::path& Out)
{
    for (const auto& [name, data] : Contents()) EXPECT_EQ(ReadFile(Out / name), data) << name;
}

// Calls Visit with the name of each local header and directory record of Zip (an
// archive without comment), the offsets of its CRC field and of its AES field's body
// (0 when it has none), and where a local header's data starts (0 for a record).
using TVisit = std::function<void(const std::string&, size_t, size_t, size_t)>;
void VisitRecords(const Bytes& Zip, const TVisit& Visit)
{
    const auto visit = [&](size_t Head, size_t NameAt, size_t CrcAt) {
        const size_t nameLen = GetU16(&Zip[Head + 26 + (NameAt == 30 ? 0 : 2)]);
        const size_t extraLen = GetU16(&Zip[Head + 28 + (NameAt == 30 ? 0 : 2)]);
        size_t aes = 0;
        for (size_t p = Head + NameAt + nameLen; p + 4 <= Head + NameAt + nameLen + extraLen;
             p += 4 + GetU16(&Zip[p + 2]))
            if (GetU16(&Zip[p]) == 0x9901) aes = p + 4;
        const size_t end = Head + NameAt + nameLen + extraLen;
        Visit(std::string(Zip.begin() + Head + NameAt, Zip.begin() + Head + NameAt + nameLen),
              Head + CrcAt, aes, NameAt == 30 ? end : 0);
        return NameAt + nameLen + extraLen;
    };
    for (size_t p = 0; GetU32(&Zip[p]) == 0x04034B50;) p += visit(p, 30, 14) + GetU32(&Zip[p + 18]);
    for (size_t p = CentralRecordOffset(Zip, 0); GetU32(&Zip[p]) == 0x02014B50;)
        p += visit(p, 46, 16) + GetU16(&Zip[p + 32]);
}

void PutLe(Bytes& B, size_t P, uint32_t V, int Size)
{
    for (int i = 0; i < Size; ++i) B[P + static_cast<size_t>(i)] = static_cast<uint8_t>(V >> 8 * i);
}

struct TAesCase {
    const char* Name;
    int Strength;
    const char* Method; // 7-Zip's name
    uint16_t Inner;     // the method beneath the cipher
    const char* Listed; // of text.txt
};

void PrintTo(const TAesCase& C, std::ostream* Os) { *Os << C.Name; }

} // namespace

class AesArchives : public ::testing::TestWithParam<TAesCase> {};

TEST_P(AesArchives, ExtractByteExactAndListTheirMethod)
{
    const TAesCase& c = GetParam();
    if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
    if (!FindMethod(c.Inner)) GTEST_SKIP() << "no row for method " << c.Inner;
    TTempDir tmp;
    const fs::path zip = MakeAesZip(tmp, c.Strength, c.Method);
    for (const bool shortReads : {false, true}) {
        SCOPED_TRACE(shortReads ? "31-byte reads" : "whole reads");
        const fs::path out = tmp / (shortReads ? "short" : "whole");
        const TRunLog log = ExtractLogged(zip, out, shortReads, {}, Secret);
        EXPECT_EQ(log.Codes(), std::vector<int32_t>{});
        EXPECT_EQ(log.Count, 3);
        for (const auto& [name, pass] : log.Verdicts) EXPECT_TRUE(pass) << name;
        ExpectContents(out);
    }
    TUnZip z;
    z.ArchiveFile(zip.string());
    const std::vector<TEntryListing> listed = z.Entries();
    ASSERT_EQ(listed.size(), 3u);
    for (const TEntryListing& e : listed) {
        EXPECT_EQ(e.Method, 99) << e.Name;
        EXPECT_EQ(e.AesStrength, c.Strength / 64 - 1) << e.Name;
        EXPECT_EQ(e.AesMethod, e.Name == "text.txt" ? c.Inner : e.AesMethod) << e.Name;
    }
    const TRunResult r = Shell(Quote(CliPath().string()) + " -l " + Quote(zip.string()));
    EXPECT_NE(r.Out.find(std::string(c.Listed) + " "), std::string::npos) << r.Out;
}

INSTANTIATE_TEST_SUITE_P(
    SevenZip, AesArchives,
    ::testing::Values(TAesCase{"Aes128Deflate", 128, "Deflate", 8, "AES-128/Deflated"},
                      TAesCase{"Aes192Stored", 192, "Copy", 0, "AES-192/Stored"},
                      TAesCase{"Aes256Deflate", 256, "Deflate", 8, "AES-256/Deflated"},
                      TAesCase{"Aes256Lzma", 256, "LZMA", 14, "AES-256/LZMA"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// The search of traditional entries: the list in order, the handler, its refusal, and
// a wrong password told once, with no file made.
TEST(AesPasswords, FollowTheSearchOfTraditionalEntries)
{
    if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
    TTempDir tmp;
    const fs::path zip = MakeAesZip(tmp, 256, "Deflate");
    struct TCase {
        const char* Name;
        TStringList List;
        std::vector<std::string> Answers; // of the handler ("" declines); none: no handler
        std::vector<int32_t> Codes;
        int Extracted;
    };
    const TCase cases[] = {
        {"ListInOrder", {"secret", "x", Secret}, {}, {}, 3},
        {"HandlerAtTheSecondTry", {}, {"x", Secret}, {E_INVALIDPASSWORD}, 3},
        {"HandlerDeclines", {"wrong"}, {""}, {E_INVALIDPASSWORD}, 0},
    };
    // With threads the entries are first tried beside the walk with the list's first
    // password; those it does not open go through the same search in their turn.
    for (const TCase& c : cases)
    for (const int threads : {1, 4}) {
        SCOPED_TRACE(std::string(c.Name) + " threads " + std::to_string(threads));
        TUnZip z;
        z.ArchiveFile(zip.string());
        z.Passwords(c.List);
        z.Threads(threads);
        size_t calls = 0;
        if (!c.Answers.empty())
            z.OnGetPassword = [&](TZipCommon&, const std::string&, std::string& pw, bool& again) {
                pw = c.Answers[std::min(calls++, c.Answers.size() - 1)];
                again = !pw.empty();
            };
        const fs::path out = tmp / (c.Name + std::to_string(threads));
        const TRunLog log = RunLogged(z, out);
        EXPECT_EQ(log.Codes(), c.Codes);
        EXPECT_EQ(log.Count, c.Extracted);
        EXPECT_EQ(calls, c.Answers.size());
        if (c.Extracted) {
            ExpectContents(out);
        } else {
            EXPECT_EQ(FilesBelow(out), std::vector<std::string>{});
        }
    }
    // The command, off a terminal, tries its -p passwords and says the refusal once.
    const TRunResult r = Shell(Quote(CliPath().string()) + " -q -p WRONG " + Quote(zip.string()) +
                               " " + Quote((tmp / "cli").string()));
    EXPECT_EQ(r.Status, 1);
    const std::string said = r.Out + r.Err;
    const size_t first = said.find("(26517)");
    EXPECT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find("(26517)", first + 1), std::string::npos) << said;
    EXPECT_EQ(FilesBelow(tmp / "cli"), std::vector<std::string>{});
}

// A byte changed in the encrypted data fails that entry alone, with one report however
// the decoder took the altered bytes, and an existing file of its name is kept.
TEST(AesDamage, AChangedByteFailsTheAuthenticationCode)
{
    if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
    for (const char* method : {"Copy", "Deflate"}) {
        SCOPED_TRACE(method);
        TTempDir tmp;
        Bytes zip = ReadFile(MakeAesZip(tmp, 128, method));
        VisitRecords(zip, [&](const std::string& Name, size_t, size_t, size_t DataAt) {
            // Past the 8-byte salt and the verifier.
            if (Name == "text.txt" && DataAt) zip[DataAt + 10 + 500] ^= 4;
        });
        WriteFile(tmp / "bad.zip", zip);
        for (const bool existing : {false, true}) {
            SCOPED_TRACE(existing ? "replacing a file" : "new file");
            const fs::path out = tmp / (existing ? "existing" : "new");
            if (existing) WriteText(out / "text.txt", "old");
            const TRunLog log = ExtractLogged(tmp / "bad.zip", out, false, {}, Secret);
            std::vector<int32_t> codes{E_CRCERR};
            if (existing) codes.push_back(E_KEPTEXISTING);
            EXPECT_EQ(log.Codes(), codes);
            ASSERT_FALSE(log.Extended.empty());
            EXPECT_EQ(log.Extended[0], "authentication code does not match");
            EXPECT_FALSE(log.Verdicts.at("text.txt"));
            EXPECT_TRUE(log.Verdicts.at("noise.bin"));
            EXPECT_EQ(ReadFile(out / "tiny.txt"), Contents()[2].second);
            EXPECT_EQ(existing, ReadText(out / "text.txt") == "old");
        }
    }
}

// The AES field rewritten in every header: AE-1 is judged by its CRC as well as its
// code, and a field this reader does not know is refused naming what it holds.
TEST(AesField, SelectsTheCrcCheckOrIsRefused)
{
    if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
    TTempDir tmp;
    const Bytes made = ReadFile(MakeAesZip(tmp, 192, "Deflate"));
    struct TCase {
        const char* Name;
        uint16_t Version;
        uint8_t Strength;
        uint32_t CrcFlip; // XORed into the file's true CRC; AE-2 stores 0 whatever it is
        bool Passes;
        std::string Refusal; // the extended message of the unsupported-method report
    };
    const TCase cases[] = {
        {"Ae1RightCrc", 1, 2, 0, true, ""},
        {"Ae1WrongCrc", 1, 2, 1, false, ""},
        {"UnknownStrength", 2, 4, 0, false, "AES (99) with an unknown strength 4"},
        {"UnknownVersion", 3, 2, 0, false, "AES (99) with an unknown vendor version 3"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Bytes zip = made;
        VisitRecords(made, [&](const std::string& Name, size_t CrcAt, size_t AesAt, size_t) {
            ASSERT_NE(AesAt, 0u) << Name;
            for (const auto& [name, data] : Contents())
                if (name == Name) PutLe(zip, CrcAt, Crc32Of(data) ^ c.CrcFlip, 4);
            PutLe(zip, AesAt, c.Version, 2);
            zip[AesAt + 4] = c.Strength;
        });
        WriteFile(tmp / (std::string(c.Name) + ".zip"), zip);
        const fs::path out = tmp / c.Name;
        const TRunLog log = ExtractLogged(tmp / (std::string(c.Name) + ".zip"), out, false, {},
                                          Secret);
        if (c.Refusal.empty()) {
            EXPECT_EQ(log.Codes(), std::vector<int32_t>{});
            for (const auto& [name, data] : Contents()) EXPECT_EQ(log.Verdicts.at(name), c.Passes);
        } else {
            EXPECT_EQ(log.Codes(), std::vector<int32_t>(3, E_UNSUPPORTEDMETHOD));
            EXPECT_EQ(log.Extended, std::vector<std::string>(3, c.Refusal));
            EXPECT_EQ(FilesBelow(out), std::vector<std::string>{});
        }
    }
}

// With threads, a large entry's code is computed beside the decoder: the bytes and the
// verdict are those of one thread, and a byte changed deep in the data still fails it.
TEST(Concurrency, AesCodeComputedBesideTheDecoder)
{
    if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
    TTempDir tmp;
    const Bytes big = RandomBytes(3 << 20, 9);
    Bytes zip = ReadFile(MakeAesZip(tmp, 256, "Copy", {{"big.bin", big}}));
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "intact");
        if (damaged)
            VisitRecords(zip, [&](const std::string&, size_t, size_t, size_t DataAt) {
                if (DataAt) zip[DataAt + 18 + (5 << 19) + 3] ^= 1;
            });
        WriteFile(tmp / "t.zip", zip);
        TUnZip z;
        z.ArchiveFile((tmp / "t.zip").string());
        z.Passwords({Secret});
        z.Threads(4);
        // A host that may rename files keeps every entry on the calling thread, where the
        // code is computed beside the decoder and the file is written beside it.
        z.OnRenameFile = [](TZipCommon&, const std::string&, std::string&) {};
        const fs::path out = tmp / (damaged ? "bad" : "good");
        const TRunLog log = RunLogged(z, out);
        EXPECT_EQ(log.Verdicts.at("big.bin"), !damaged);
        if (damaged) {
            EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_CRCERR});
            ASSERT_FALSE(log.Extended.empty());
            EXPECT_EQ(log.Extended[0], "authentication code does not match");
        } else {
            EXPECT_EQ(log.Codes(), std::vector<int32_t>{});
            EXPECT_EQ(ReadFile(out / "big.bin"), big);
        }
    }
}

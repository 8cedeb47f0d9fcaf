// The path of an entry's bytes: the method table's decoders into the entry sink, and
// what the walk does around them (method lookup before any file is touched, password
// search, progress against the unpacked total, descriptors of streamed archives, names
// and folders of output files, the subject of each report); and the block interface
// that decoders of other archive types read and write through.
#include "DecoderSupport.h"
#include "TestSupport.h"
#include "qvrEntryInput.h"
#include "qvrMethods.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using namespace test;

namespace {

struct TDecodeCase {
    const char* Name;
    uint16_t Method;
    int64_t Declared;     // the size the sink is told; -1: the data's own size
    size_t CutInputTo;    // 0: the whole compressed input
    bool Corrupt;
    TDecodeResult Result;
    bool Passes;
};

const Bytes& Plain()
{
    static const Bytes data = TextBytes(100000, 21);
    return data;
}

void PrintTo(const TDecodeCase& C, std::ostream* Os) { *Os << C.Name; }

Bytes Packed(uint16_t Method)
{
    return Method == 8 ? RawDeflate(Plain()) : Plain();
}

} // namespace

class DecoderRows : public ::testing::TestWithParam<TDecodeCase> {};

// Every row of the method table, fed 31 bytes per read and pushing into a sink.
TEST_P(DecoderRows, DecodeIntoTheSink)
{
    const TDecodeCase& c = GetParam();
    const TMethodRow* row = FindMethod(c.Method);
    ASSERT_NE(row, nullptr);
    Bytes input = Packed(c.Method);
    if (c.CutInputTo) input.resize(c.CutInputTo);
    if (c.Corrupt) input[0] |= 0x06; // block type 3, which does not exist
    TMemoryStream32 source(input, 31);
    const int64_t declared = c.Declared < 0 ? static_cast<int64_t>(Plain().size()) : c.Declared;
    TUnZip owner;
    TCaptureStream out;
    TEntrySink sink(&owner, &out, declared);
    EXPECT_EQ(row->Decode(source, sink, TEntryInfo{}), c.Result);
    EXPECT_EQ(sink.Passes(Crc32Of(Plain())), c.Passes);
    // Output never grows past the declared size, and what there is is the right prefix.
    EXPECT_LE(static_cast<int64_t>(out.Data.size()), declared);
    EXPECT_EQ(sink.Written(), static_cast<int64_t>(out.Data.size()));
    if (!c.Corrupt) {
        EXPECT_TRUE(std::equal(out.Data.begin(), out.Data.end(), Plain().begin()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    MethodTable, DecoderRows,
    ::testing::Values(
        TDecodeCase{"StoredWhole", 0, -1, 0, false, TDecodeResult::Done, true},
        TDecodeCase{"StoredCut", 0, -1, 5000, false, TDecodeResult::Truncated, false},
        // Data past the declared size is refused by the sink, which stops the decoder.
        TDecodeCase{"StoredDeclaredShort", 0, 777, 0, false, TDecodeResult::Stopped, false},
        TDecodeCase{"DeflateWhole", 8, -1, 0, false, TDecodeResult::Done, true},
        TDecodeCase{"DeflateCut", 8, -1, 3000, false, TDecodeResult::Truncated, false},
        TDecodeCase{"DeflateCorrupt", 8, -1, 0, true, TDecodeResult::BadData, false},
        TDecodeCase{"DeflateDeclaredShort", 8, 40000, 0, false, TDecodeResult::Stopped, false},
        TDecodeCase{"DeflateDeclaredLong", 8, 150000, 0, false, TDecodeResult::Done, false}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST(EntrySink, AFailedWriteEndsEveryDecoderWithOneReport)
{
    for (const uint16_t method : {0, 8, 9}) {
        const TMethodRow* row = FindMethod(method);
        ASSERT_NE(row, nullptr) << method;
        // Deflate64 reads plain Deflate data without long-length codes the same way.
        const Bytes input = method == 0 ? Plain() : RawDeflate(TextBytes(100000, 3), 1);
        TMemoryStream32 source(input);
        TUnZip owner;
        std::vector<int32_t> codes;
        owner.OnError = [&](TZipCommon&, const std::string&, const std::string&,
                            const std::string&, int32_t code) { codes.push_back(code); };
        TCaptureStream out(40000);
        TEntrySink sink(&owner, &out, 100000);
        EXPECT_EQ(row->Decode(source, sink, TEntryInfo{}), TDecodeResult::Stopped) << method;
        EXPECT_EQ(codes, std::vector<int32_t>{E_WRITEERR}) << method;
        EXPECT_TRUE(sink.WriteFailed());
        EXPECT_FALSE(sink.Passes(sink.Crc()));
    }
}

namespace {

// A decoder of another archive type, which reads and writes through the component's
// block interface with the component's cipher, password and CRC accumulators.
class TBlockDecoder : public TUnZip {
public:
    TBlockDecoder(TArcType Type, const std::string& Password)
    {
        FArcType = Type;
        FPassword = Password;
        FCipher.LoadPassword(Password);
        FFileName = "out.bin";
        Crc32Acc = 0xFFFFFFFFu;
        Crc16Acc = 0;
    }
};

} // namespace

TEST(BlockInterface, FoldsTheCrcAskedForAndDeciphersAsAsked)
{
    // The check string of both CRCs: CRC-32 0xCBF43926, CRC-16/ARC 0xBB3D.
    const Bytes plain = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    const Bytes none;
    Bytes zipped = plain, xored = plain;
    TZipCipher enc;
    enc.LoadPassword("pw");
    enc.EncipherBuffer(zipped.data(), static_cast<int64_t>(zipped.size()));
    for (size_t i = 0; i < xored.size(); ++i) xored[i] ^= "pw"[i % 2];
    struct TCase {
        const char* Name;
        char Op; // 'r' ReadBlock, 'w' WriteBlock, '2' WriteBlock2
        TArcType Type;
        const Bytes& In;
        int Mode;
        uint8_t CrcKind;
        bool Decrypt;
        const Bytes& Want;
        bool Folds;         // the CRC of kind CrcKind takes Want
        int64_t Limit = -1; // what the output takes
    };
    const TCase cases[] = {
        {"read, CRC-32", 'r', atZip, plain, 1, 32, false, plain, true},
        {"read, CRC-16", 'r', atArj, plain, 1, 16, false, plain, true},
        {"read, no CRC", 'r', atZip, plain, 1, 0, false, plain, false},
        {"read deciphers ZIP data", 'r', atZip, zipped, 1, 32, true, plain, true},
        {"read deciphers ARJ data", 'r', atArj, xored, 1, 32, true, plain, true},
        {"read leaves data it is not asked to decipher", 'r', atZip, zipped, 1, 32, false,
         zipped, true},
        {"write deciphers the block", 'w', atZip, zipped, 1, 32, true, plain, true},
        {"write deciphers byte by byte", '2', atZip, zipped, 1, 32, true, plain, true},
        {"mode 0 writes as given, CRC left to the caller", 'w', atZip, zipped, 0, 32, true,
         zipped, false},
        {"a write deciphers only ZIP data", '2', atArj, xored, 1, 32, true, xored, true},
        {"a failed write folds nothing", 'w', atZip, plain, 1, 32, false, none, false, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TBlockDecoder d(c.Type, "pw");
        std::vector<int32_t> codes;
        d.OnError = [&](TZipCommon&, const std::string& File, const std::string&,
                        const std::string&, int32_t Code) {
            EXPECT_EQ(File, "out.bin");
            codes.push_back(Code);
        };
        Bytes buf = c.In;
        const auto n = static_cast<int32_t>(buf.size());
        TCaptureStream out(c.Limit);
        int32_t done = 0;
        if (c.Op == 'r') {
            TMemoryStream32 source(c.In);
            done = d.ReadBlock(source, buf.data(), n, c.CrcKind, c.Decrypt);
        } else if (c.Op == 'w') {
            done = d.WriteBlock(&out, buf.data(), c.Mode, n, c.CrcKind, c.Decrypt);
        } else {
            done = d.WriteBlock2(&out, buf.data(), c.Mode, n, c.CrcKind, c.Decrypt);
        }
        EXPECT_EQ(done, static_cast<int32_t>(c.Want.size()));
        EXPECT_EQ(c.Op == 'r' ? buf : out.Data, c.Want);
        EXPECT_EQ(d.Crc32Acc ^ 0xFFFFFFFFu, c.Folds && c.CrcKind == 32 ? Crc32Of(c.Want) : 0u);
        EXPECT_EQ(d.Crc16Acc, c.Folds && c.CrcKind == 16 ? 0xBB3Du : 0u);
        EXPECT_EQ(codes, c.Limit == 0 ? std::vector<int32_t>{E_WRITEERR} : std::vector<int32_t>{});
    }
}

TEST(EntryInput, TheWindowEndsTheEntrysBytesAndTheCipherFollowsThem)
{
    const Bytes plain = TextBytes(1000, 4);
    Bytes archive = plain;
    TZipCipher enc;
    enc.LoadPassword("pw");
    Bytes secret(archive.begin() + 100, archive.begin() + 400);
    enc.EncipherBuffer(secret.data(), static_cast<int64_t>(secret.size()));
    std::copy(secret.begin(), secret.end(), archive.begin() + 100);
    TMemoryStream32 source(archive, 31);
    source.Seek(100, 0);
    TWindowStream window(source, 300);
    TZipCipher keys;
    keys.LoadPassword("pw");
    TCipherStream cipher(window, keys);
    Bytes got(1000);
    EXPECT_EQ(cipher.ReadFull(got.data(), 1000), 300);
    got.resize(300);
    EXPECT_EQ(got, Bytes(plain.begin() + 100, plain.begin() + 400));
    EXPECT_EQ(window.Position(), 300);
}

// ---------------------------------------------------------------------------------
// The walk around the pipeline

TEST(Pipeline, ArchiveProgressNeverFallsBackOverMixedMethods)
{
    TTempDir tmp;
    const std::vector<TZipEntrySpec> e = {Entry("s1.bin", RandomBytes(200000, 1)),
                                          Entry("d.txt", TextBytes(900000, 2), 8),
                                          Entry("s2.bin", RandomBytes(300000, 3))};
    WriteFile(tmp / "m.zip", BuildZip(e));
    TUnZip z;
    z.ArchiveFile((tmp / "m.zip").string());
    const TRunLog log = RunLogged(z, tmp / "out");
    ASSERT_FALSE(log.ArchivePercents.empty());
    EXPECT_TRUE(std::is_sorted(log.ArchivePercents.begin(), log.ArchivePercents.end()));
    EXPECT_EQ(log.ArchivePercents.back(), 100);
}

TEST(Pipeline, AnEntryWithoutADecoderTouchesNoFile)
{
    // PPMd, AES, IBM TERSE, numbers no method has, and the methods on codec libraries in
    // a build without them.
    for (const uint16_t method : {7, 10, 12, 14, 18, 93, 95, 98, 99, 300}) {
        if (FindMethod(method)) continue;
        TTempDir tmp;
        auto e = std::vector<TZipEntrySpec>{Entry("keep.txt", TextBytes(500, 1)),
                                            Entry("next.txt", TextBytes(600, 2))};
        e[0].Method = method;
        WriteFile(tmp / "u.zip", BuildZip(e));
        WriteText(tmp / "out/keep.txt", "a good file already there");
        TUnZip z;
        z.ArchiveFile((tmp / "u.zip").string());
        const TRunLog log = RunLogged(z, tmp / "out");
        EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_UNSUPPORTEDMETHOD}) << method;
        EXPECT_EQ(log.Subjects, std::vector<TReportSubject>{rsEntry}) << method;
        EXPECT_FALSE(log.Verdicts.count("keep.txt")) << method;
        EXPECT_EQ(ReadText(tmp / "out/keep.txt"), "a good file already there") << method;
        EXPECT_EQ(ReadFile(tmp / "out/next.txt"), TextBytes(600, 2)) << method;
        EXPECT_EQ(log.Count, 1) << method;
    }
}

// ---------------------------------------------------------------------------------
// Passwords: the corpus archive of Info-ZIP with seven entries, five of them files.

namespace {

struct TPasswordCase {
    const char* Name;
    TStringList Passwords;
    bool Handler;
    std::vector<std::string> Answers; // "" declines
    int32_t Attempts;
    std::vector<int32_t> Codes;
    int HandlerCalls;
    int Extracted; // files
};

void PrintTo(const TPasswordCase& C, std::ostream* Os) { *Os << C.Name; }

} // namespace

class PasswordSearch : public ::testing::TestWithParam<TPasswordCase> {};

TEST_P(PasswordSearch, FollowsTheProtocol)
{
    const TPasswordCase& c = GetParam();
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile((CorpusDir() / "c07_infozip_zipcrypto.zip").string());
    z.Passwords(c.Passwords);
    z.PasswordAttempts(c.Attempts);
    int calls = 0;
    if (c.Handler)
        z.OnGetPassword = [&](TZipCommon&, const std::string&, std::string& pw, bool& again) {
            const std::string a = c.Answers[std::min<size_t>(calls, c.Answers.size() - 1)];
            ++calls;
            if (a.empty()) again = false;
            pw = a;
        };
    const TRunLog log = RunLogged(z, tmp / "out");
    EXPECT_EQ(log.Codes(), c.Codes);
    EXPECT_EQ(calls, c.HandlerCalls);
    EXPECT_EQ(log.Count, c.Extracted);
    // Nothing but the search's own reports: no verdict for a skipped entry.
    for (const auto& [name, pass] : log.Verdicts) EXPECT_TRUE(pass) << name;
    if (c.Extracted == 5) {
        EXPECT_EQ(z.Password(), "corpus-pw");
        EXPECT_EQ(z.Passwords().front(), c.Handler ? "corpus-pw" : c.Passwords.front());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, PasswordSearch,
    ::testing::Values(
        TPasswordCase{"ListInOrder", {"corpus-PW", "x", "corpus-pw"}, false, {}, 3, {}, 0, 5},
        TPasswordCase{"HandlerRightAtTheSecondTry", {}, true, {"corpus-PW", "corpus-pw"}, 3,
                      {E_INVALIDPASSWORD}, 2, 5},
        TPasswordCase{"HandlerDeclinesOnceForTheRun", {}, true, {""}, 3, {E_INVALIDPASSWORD}, 1, 0},
        TPasswordCase{"ThreeWrongThenSkipped", {}, true, {"corpus-PW"}, 3,
                      {E_INVALIDPASSWORD, E_INVALIDPASSWORD, E_INVALIDPASSWORD}, 3, 0},
        TPasswordCase{"NoHandler", {}, false, {}, 3, {E_REQUIREDEVENT}, 0, 0},
        TPasswordCase{"NoAttempts", {}, true, {"corpus-pw"}, 0, {E_INVALIDPASSWORD}, 0, 0}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// One wrong password in 256 passes the check byte and only fails at the data: the next
// password of the list still gets its turn, and the entry comes out whole.
TEST(PasswordSearchList, AWrongPasswordPassingTheCheckByteGivesWayToTheNext)
{
    TTempDir tmp;
    const Bytes data = TextBytes(50000, 3);
    TZipEntrySpec e = Entry("secret.txt", data, 8);
    Encrypt(e, "right");
    const std::string twin = CheckByteTwin(e, "right");
    WriteFile(tmp / "a.zip", BuildZip({e, Entry("plain.txt", Bytes{'p'})}));
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "replacing a file" : "new file");
        if (existing) WriteText(tmp / "out/secret.txt", "old");
        TUnZip z;
        z.ArchiveFile((tmp / "a.zip").string());
        z.Passwords({twin, "wrong", "right"});
        const TRunLog log = RunLogged(z, tmp / "out");
        EXPECT_EQ(log.Codes(), std::vector<int32_t>{});
        EXPECT_EQ(ReadFile(tmp / "out/secret.txt"), data);
        EXPECT_EQ(z.Password(), "right");
        EXPECT_EQ(log.ArchivePercents.back(), 100);
    }
}

// ---------------------------------------------------------------------------------
// Streamed entries met by the local-header scan

TEST(LocalScan, StreamedCorpusArchivesWithoutTheirDirectoryExtractWhole)
{
    SKIP_ON_WINDOWS(Utf8PathsOnWindows);
    for (const char* name : {"c03_infozip_stream_dd.zip", "c04_python_stream_dd_utf8.zip",
                             "c08_infozip_zipcrypto_stream.zip", "c10_jdk.jar"}) {
        const TManifestRecord* r = FindManifest(name);
        ASSERT_NE(r, nullptr) << name;
        TTempDir tmp;
        WriteFile(tmp / "cut.zip", WithoutDirectory(ReadFile(CorpusDir() / name)));
        TUnZip z;
        z.ArchiveFile((tmp / "cut.zip").string());
        ASSERT_TRUE(z.HeaderState().Only(htLocal)) << name;
        if (!r->Password.empty()) z.Passwords({r->Password});
        const TRunLog log = RunLogged(z, tmp / "out");
        // Every entry is found, and the run says once that it had no directory.
        EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_BADHEADER}) << name;
        EXPECT_EQ(log.Subjects, std::vector<TReportSubject>{rsRun}) << name;
        EXPECT_EQ(CompareWithManifest(*r, tmp / "out"), "") << name;
    }
}

TEST(LocalScan, DescriptorsWithoutSignatureOrNotFound)
{
    const Bytes text = TextBytes(70000, 5);
    struct TCase {
        uint16_t FirstMethod;
        size_t Unsigned; // the entry whose descriptor has no signature
        std::vector<int32_t> Codes;
        bool SecondExtracted;
    };
    // Deflated data is decoded to its end to find the descriptor after it. Stored data
    // of unknown size without a findable descriptor is reported, never taken for an
    // empty file; what came before it is extracted. Either way the run says that it
    // had no directory.
    for (const TCase& c : {TCase{8, 0, {E_BADHEADER}, true},
                           TCase{0, 1, {E_BADHEADER, E_BADHEADER}, false}}) {
        TTempDir tmp;
        auto e = std::vector<TZipEntrySpec>{Entry("a.txt", text, c.FirstMethod),
                                            Entry("s.txt", text)};
        e[c.Unsigned].DataDescriptor = e[c.Unsigned].UnsignedDescriptor = true;
        TZipBuildOptions o;
        o.NoCentral = true;
        WriteFile(tmp / "a.zip", BuildZip(e, o));
        TUnZip z;
        z.ArchiveFile((tmp / "a.zip").string());
        const TRunLog log = RunLogged(z, tmp / "out");
        EXPECT_EQ(log.Codes(), c.Codes);
        EXPECT_EQ(log.Subjects, std::vector<TReportSubject>(c.Codes.size(), rsRun));
        EXPECT_EQ(ReadFile(tmp / "out/a.txt"), text);
        EXPECT_EQ(fs::exists(tmp / "out/s.txt"), c.SecondExtracted);
        if (c.SecondExtracted) {
            EXPECT_EQ(ReadFile(tmp / "out/s.txt"), text);
        }
    }
}

TEST(LocalScan, ATruncatedArchiveNeverPassesForComplete)
{
    std::vector<TZipEntrySpec> e;
    for (int i = 0; i < 5; ++i)
        e.push_back(Entry("f" + std::to_string(i) + ".txt", TextBytes(3000 + 500 * i, i),
                          i % 2 ? 8 : 0));
    const Bytes whole = BuildZip(e);
    // A download cut inside a later entry's header or data: the end record is gone, so
    // the walk scans local headers and meets the cut.
    std::vector<size_t> cuts;
    for (size_t h = 1; h + 4 < whole.size(); ++h)
        if (whole[h] == 'P' && whole[h + 1] == 'K' && whole[h + 2] == 3 && whole[h + 3] == 4)
            for (size_t d : {1, 15, 29, 40, 400}) cuts.push_back(h + d);
    ASSERT_EQ(cuts.size(), 20u);
    for (const size_t cut : cuts) {
        TTempDir tmp;
        WriteFile(tmp / "cut.zip", Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
        TUnZip z;
        z.ArchiveFile((tmp / "cut.zip").string());
        const TRunLog log = RunLogged(z, tmp / "out");
        int passed = 0, failed = 0;
        for (const auto& [name, pass] : log.Verdicts) (pass ? passed : failed) += 1;
        // Fewer files than the archive had: a report or a failed verdict must say so.
        EXPECT_TRUE(passed == 5 || failed > 0 || !log.Errors.empty())
            << "cut at " << cut << ": " << passed << " files, no report";
    }
}

// ---------------------------------------------------------------------------------
// Output names and folders

TEST(OutputFiles, AColonIsPartOfTheName)
{
    SKIP_ON_WINDOWS("Windows refuses a colon in a name");
    TTempDir tmp;
    const auto e = std::vector<TZipEntrySpec>{Entry("notes 12:30.txt", TextBytes(10, 1)),
                                              Entry("a:1.txt", TextBytes(20, 2)),
                                              Entry("y/b:1.txt", TextBytes(30, 3))};
    WriteFile(tmp / "c.zip", BuildZip(e));
    TUnZip z;
    z.ArchiveFile((tmp / "c.zip").string());
    z.UseStoredDirs(false);
    const TRunLog log = RunLogged(z, tmp / "out");
    EXPECT_TRUE(log.Errors.empty());
    EXPECT_EQ(ReadFile(tmp / "out/notes 12:30.txt"), TextBytes(10, 1));
    EXPECT_EQ(ReadFile(tmp / "out/a:1.txt"), TextBytes(20, 2));
    EXPECT_EQ(ReadFile(tmp / "out/b:1.txt"), TextBytes(30, 3));
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp / "out"), fs::directory_iterator()), 3);
}

TEST(OutputFiles, AFolderRemovedBetweenEntriesIsMadeAgain)
{
    TTempDir tmp;
    const auto e = std::vector<TZipEntrySpec>{Entry("d/one.txt", TextBytes(10, 1)),
                                              Entry("d/two.txt", TextBytes(20, 2))};
    WriteFile(tmp / "f.zip", BuildZip(e));
    TUnZip z;
    z.ArchiveFile((tmp / "f.zip").string());
    z.ExtractDir((tmp / "out").string());
    z.FileSpec({"*.*"});
    std::vector<int32_t> codes;
    z.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                    int32_t code) { codes.push_back(code); };
    // A host that moves each file away as soon as it is finished.
    z.OnEnd = [&](TZipCommon&, const std::string& f, bool) {
        fs::rename(tmp / "out/d" / ExtractFileName(f), tmp / ExtractFileName(f));
        fs::remove(tmp / "out/d");
    };
    EXPECT_EQ(z.ExtractFiles(), 2);
    EXPECT_TRUE(codes.empty());
    EXPECT_EQ(ReadFile(tmp / "two.txt"), TextBytes(20, 2));
}

// ---------------------------------------------------------------------------------
// Report subjects and concurrency

TEST(Reports, CarryTheirSubject)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile((CorpusDir() / "c01_infozip_store.zip").string());
    fs::copy_file(CorpusDir() / "c01_infozip_store.zip", tmp / "gone.zip");
    z.ArchiveFile((tmp / "gone.zip").string());
    fs::remove(tmp / "gone.zip");
    const TRunLog log = RunLogged(z, tmp / "out");
    EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_OPENERR});
    EXPECT_EQ(log.Subjects, std::vector<TReportSubject>{rsArchive});

    TUnZip cancelled;
    cancelled.ArchiveFile((CorpusDir() / "c01_infozip_store.zip").string());
    cancelled.OnBegin = [](TZipCommon& s, const std::string&, int32_t, bool&) { s.SetCancel(true); };
    const TRunLog c = RunLogged(cancelled, tmp / "out2");
    ASSERT_FALSE(c.Subjects.empty());
    EXPECT_EQ(c.Subjects.front(), rsRun);
    EXPECT_EQ(c.Codes().front(), E_USERCANCELED);
}

TEST(Concurrency, TwoComponentsOnTwoThreadsExtractAsAlone)
{
    const char* names[] = {"c07_infozip_zipcrypto.zip", "c06_7z_deflate64.zip"};
    TTempDir tmp;
    auto run = [&](int i, const fs::path& out) {
        const TManifestRecord* r = FindManifest(names[i]);
        TUnZip z;
        z.ArchiveFile((CorpusDir() / names[i]).string());
        if (!r->Password.empty()) z.Passwords({r->Password});
        z.ExtractDir(out.string());
        z.FileSpec({"*.*"});
        z.ExtractFiles();
        return CompareWithManifest(*r, out);
    };
    for (int round = 0; round < 3; ++round) {
        std::string a, b;
        const fs::path dir = tmp / std::to_string(round);
        std::thread t1([&] { a = run(0, dir / "a"); });
        std::thread t2([&] { b = run(1, dir / "b"); });
        t1.join();
        t2.join();
        EXPECT_EQ(a, "");
        EXPECT_EQ(b, "");
    }
}

TEST(OutputFiles, AnEntryNamedLikeTheArchiveNeverOverwritesIt)
{
    TTempDir tmp;
    // The archive holds an entry with its own name and is extracted into its own folder.
    const Bytes zip = BuildZip({Entry("self.zip", TextBytes(100, 1)), Entry("x.txt", TextBytes(9, 2))});
    WriteFile(tmp / "self.zip", zip);
    TUnZip z;
    z.ArchiveFile((tmp / "self.zip").string());
    const TRunLog log = RunLogged(z, tmp.Path());
    EXPECT_EQ(ReadFile(tmp / "self.zip"), zip);
    ASSERT_EQ(log.Errors.size(), 1u);
    EXPECT_EQ(log.Errors[0], std::make_pair(std::string("self.zip"), E_OPENERR));
    EXPECT_EQ(ReadFile(tmp / "x.txt"), TextBytes(9, 2));
}

TEST(OutputFiles, AnEntryWithoutANameIsReported)
{
    for (const bool local : {false, true}) {
        TTempDir tmp;
        TZipBuildOptions o;
        o.NoCentral = local;
        WriteFile(tmp / "n.zip", BuildZip({Entry("", TextBytes(10, 1)),
                                           Entry(std::string("\0hidden", 7), TextBytes(11, 2)),
                                           Entry("kept.txt", TextBytes(12, 3))},
                                          o));
        TUnZip z;
        z.ArchiveFile((tmp / "n.zip").string());
        const TRunLog log = RunLogged(z, tmp / "out");
        // Each nameless entry is reported; a walk without a directory says so besides.
        EXPECT_EQ(log.Codes(), std::vector<int32_t>(local ? 3 : 2, E_BADHEADER)) << local;
        EXPECT_EQ(FilesBelow(tmp / "out"), std::vector<std::string>{"kept.txt"}) << local;
    }
}

// Four threads give what one gives: the same files, the same events in the same order,
// over the whole corpus, into fresh folders and over a folder where every other file
// is already there (those entries wait for their turn and their question).
TEST(Concurrency, FourThreadsExtractTheCorpusAsOne)
{
    SKIP_ON_WINDOWS(Utf8PathsOnWindows);
    TTempDir tmp;
    int n = 0;
    for (const TManifestRecord& r : Manifest()) {
        SCOPED_TRACE(r.File);
        const fs::path dir = tmp / std::to_string(n++);
        // CancelAt: the host cancels at that begin step; a negative one declines every
        // other entry instead.
        // SkipFromFirst: the host turns to keeping existing files at the first begin step.
        auto run = [&](int Threads, const fs::path& Out, bool Ask, int CancelAt = 0,
                       bool SkipFromFirst = false) {
            TUnZip z;
            int begun = 0;
            if (CancelAt || SkipFromFirst)
                z.OnBegin = [&begun, CancelAt, SkipFromFirst](TZipCommon& s, const std::string&,
                                                              int32_t, bool& Take) {
                    ++begun;
                    if (SkipFromFirst && begun == 1) static_cast<TUnZip&>(s).OverwriteMode(omSkip);
                    if (CancelAt < 0) Take = begun % 2;
                    else if (CancelAt && begun == CancelAt) s.SetCancel(true);
                };
            z.ArchiveFile((CorpusDir() / r.File).string());
            if (!r.Password.empty()) z.Passwords({r.Password});
            z.Threads(Threads);
            z.ConfirmOverwrites(Ask);
            z.OnFileExists = [](TZipCommon&, const std::string&, std::string&,
                                TOverwriteMode& Mode) { Mode = omOverwrite; };
            return RunLogged(z, Out);
        };
        const TRunLog one = run(1, dir / "one", true), four = run(4, dir / "four", true);
        EXPECT_EQ(four.Events, one.Events);
        EXPECT_EQ(four.Count, one.Count);
        EXPECT_EQ(TreeOf(dir / "four"), TreeOf(dir / "one"));
        // Half of the files in place: asked about, in the order of one thread.
        int k = 0;
        for (const std::string& name : FilesBelow(dir / "one"))
            if (k++ % 2) {
                fs::remove(dir / "one" / name);
                fs::remove(dir / "four" / name);
            }
        const TRunLog again1 = run(1, dir / "one", true), again4 = run(4, dir / "four", true);
        EXPECT_EQ(again4.Events, again1.Events);
        EXPECT_EQ(TreeOf(dir / "four"), TreeOf(dir / "one"));
        // Replaced unasked, as the command's -o does.
        const TRunLog over1 = run(1, dir / "one", false), over4 = run(4, dir / "four", false);
        EXPECT_EQ(over4.Events, over1.Events);
        EXPECT_EQ(TreeOf(dir / "four"), TreeOf(dir / "one"));
        // The user's own files kept by a host that turns to skipping at the first begin
        // step, after the entries given to workers were begun.
        for (const fs::path& d : {dir / "one", dir / "four"})
            for (const std::string& name : FilesBelow(d)) {
                WriteText(d / name, "user's own");
                fs::last_write_time(d / name, fs::file_time_type{});
            }
        const TRunLog keep1 = run(1, dir / "one", false, 0, true),
                      keep4 = run(4, dir / "four", false, 0, true);
        EXPECT_EQ(keep4.Events, keep1.Events);
        EXPECT_EQ(TreeDifferences(TreeOf(dir / "four"), TreeOf(dir / "one")), "");
        // Cancelled at the second entry: the files begun ahead of their turn are gone.
        const TRunLog cut1 = run(1, dir / "cut1", true, 2), cut4 = run(4, dir / "cut4", true, 2);
        EXPECT_EQ(cut4.Events, cut1.Events);
        EXPECT_EQ(TreeOf(dir / "cut4"), TreeOf(dir / "cut1"));
        // Every other entry declined by the host: no file of it.
        const TRunLog odd1 = run(1, dir / "odd1", true, -1), odd4 = run(4, dir / "odd4", true, -1);
        EXPECT_EQ(odd4.Events, odd1.Events);
        EXPECT_EQ(TreeOf(dir / "odd4"), TreeOf(dir / "odd1"));
    }
}

// A file given to a worker is opened, and its folders made, before its begin step. A
// host that declines it there, or cancels, finds the folders one thread leaves: those
// made for declined files alone are gone, the ones a folder entry or a kept file needs
// stay, wherever those come in the order. A later entry of a declined file's name is
// the first to write it.
TEST(Concurrency, FoldersOfDeclinedFilesAreNotLeftBehind)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e;
    int seed = 0;
    for (const char* name :
         {"kept/a.txt", "gone/skip.txt", "held/", "held/skip.txt", "deep/er/skip1.txt",
          "deep/er/b.txt", "late/skip.txt", "late/", "p/q/r/skip.txt", "p/ok.txt",
          "two/skip1.txt", "two/skip2.txt", "mid/x/skip.txt", "mid/y.txt", "again.txt",
          "again.txt", "tail/skip.txt"})
        e.push_back(Entry(name, TextBytes(std::string_view(name).back() == '/' ? 0 : 300, ++seed)));
    WriteFile(tmp / "a.zip", BuildZip(e));
    // Cancelled at the first file, a run makes nothing at all, not even the destination.
    for (const int cancelAt : {0, 5, 1}) {
        SCOPED_TRACE(cancelAt);
        const fs::path dir = tmp / std::to_string(cancelAt);
        ExpectThreadsAsOne(tmp / "a.zip", dir, [&](TUnZip& z) {
            z.CreateStoredDirs(true);
            auto begun = std::make_shared<int>(0);
            auto again = std::make_shared<int>(0);
            z.OnBegin = [begun, again, cancelAt](TZipCommon& s, const std::string& Name,
                                                 int32_t, bool& Take) {
                const std::string leaf = ExtractFileName(Name);
                Take = leaf.rfind("skip", 0) != 0 && (leaf != "again.txt" || ++*again == 2);
                if (++*begun == cancelAt) s.SetCancel(true);
            };
        });
        EXPECT_EQ(fs::exists(dir / "four"), cancelAt != 1);
        EXPECT_EQ(fs::exists(dir / "one"), cancelAt != 1);
        if (cancelAt != 0) continue;
        for (const char* folder : {"kept", "held", "deep/er", "late", "p", "mid"})
            EXPECT_TRUE(fs::is_directory(dir / "four" / folder)) << folder;
    }
    for (const char* folder : {"gone", "p/q", "two", "mid/x", "tail"})
        EXPECT_FALSE(fs::exists(tmp / "0/four" / folder)) << folder;
}

// With threads to spare, a large entry on the calling thread is written, and its CRC
// computed, on a thread of its own (a host that may rename keeps every entry there).
// Streamed and whole Deflate, stored data, a wrong CRC and a cancel half-way into a
// large file end as they do on one thread.
TEST(Concurrency, LargeEntriesWrittenBesideTheirDecoding)
{
    TTempDir tmp;
    const Bytes streamed = TextBytes(9 << 20, 1), stored = RandomBytes(3 << 19, 3);
    std::vector<TZipEntrySpec> e = {Entry("streamed.txt", streamed, 8),
                                    Entry("whole.bin", RandomBytes(2 << 20, 2), 8),
                                    Entry("stored.bin", stored),
                                    Entry("bad.txt", TextBytes(2 << 20, 4), 8),
                                    Entry("after.txt", TextBytes(300, 5))};
    e[3].Crc ^= 0x1234; // a wrong CRC for bad.txt
    WriteFile(tmp / "a.zip", BuildZip(e));
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "whole run");
        const fs::path dir = tmp / (cancel ? "cancelled" : "whole");
        const TRunLog log = ExpectThreadsAsOne(tmp / "a.zip", dir, [&](TUnZip& z) {
            z.OnRenameFile = [](TZipCommon&, const std::string&, std::string&) {};
            if (cancel)
                z.OnProgress = [](TZipCommon& s, uint8_t ByFile, uint8_t) {
                    if (ByFile >= 50) s.SetCancel(true);
                };
        });
        if (!cancel) {
            EXPECT_EQ(log.Verdicts, (std::map<std::string, bool>{{"after.txt", true},
                                                                 {"bad.txt", false},
                                                                 {"stored.bin", true},
                                                                 {"streamed.txt", true},
                                                                 {"whole.bin", true}}));
            EXPECT_EQ(ReadFile(dir / "four/streamed.txt"), streamed);
            EXPECT_EQ(ReadFile(dir / "four/stored.bin"), stored);
        }
    }
}

// A file too large for a worker keeps its place and is extracted in its turn on the
// calling thread while the workers decode the entries after it; a later entry of the
// same name waits for it, so the last one written wins as on one thread.
TEST(Concurrency, AFileTooLargeForAWorkerIsExtractedInItsTurn)
{
    TTempDir tmp;
    Bytes big(static_cast<size_t>(TEntryWorkers::MaxJobBytes(*FindMethod(8))) + 4096);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 % 251);
    WriteFile(tmp / "a.zip",
              BuildZip({Entry("a.txt", TextBytes(500, 1), 8), Entry("big.bin", big, 8),
                        Entry("b.txt", TextBytes(700, 2), 8), Entry("big.bin", TextBytes(90, 3)),
                        Entry("c.txt", TextBytes(900, 4), 8)}));
    for (const bool ask : {false, true}) {
        SCOPED_TRACE(ask ? "asked" : "replaced unasked");
        const fs::path dir = tmp / (ask ? "asked" : "unasked");
        ExpectThreadsAsOne(tmp / "a.zip", dir, [&](TUnZip& z) {
            z.ConfirmOverwrites(ask);
            z.OnFileExists = [](TZipCommon&, const std::string&, std::string&,
                                TOverwriteMode& Mode) { Mode = omOverwrite; };
        });
        EXPECT_EQ(ReadFile(dir / "four/big.bin"), TextBytes(90, 3));
    }
}

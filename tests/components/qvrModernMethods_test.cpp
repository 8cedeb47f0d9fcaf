// The methods on codec libraries (bzip2 12, LZMA 14, zstd 93, xz 95) through the whole
// walk, over archives written at test time by real tools: Python's zipfile, 7-Zip, and
// entries framed by the builder around the output of the xz, zstd and bzip2 tools. Then
// damaged, cut and hostile streams of each, declared sizes shorter than the data, and
// methods without a row. A build without a codec library has no row for its method: its
// cases are skipped, and the method is then reported as one without a row.
#include "TestSupport.h"
#include "qvrMessages.h"
#include "qvrMethods.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace test;

namespace {

uint32_t Le(const Bytes& B, size_t P, int N)
{
    uint32_t v = 0;
    for (int i = N - 1; i >= 0; --i) v = v << 8 | B.at(P + static_cast<size_t>(i));
    return v;
}

// The methods of Zip's entries (an archive without comment), from its directory.
std::vector<uint16_t> MethodsOf(const Bytes& Zip)
{
    const size_t end = Zip.size() - 22;
    std::vector<uint16_t> methods;
    size_t p = Le(Zip, end + 16, 4);
    for (uint32_t i = 0; i < Le(Zip, end + 10, 2); ++i) {
        methods.push_back(static_cast<uint16_t>(Le(Zip, p + 10, 2)));
        p += 46 + Le(Zip, p + 28, 2) + Le(Zip, p + 30, 2) + Le(Zip, p + 32, 2);
    }
    return methods;
}

// The entries every case packs: text that compresses well, and bytes that do not.
const std::vector<std::pair<std::string, Bytes>>& Contents()
{
    static const std::vector<std::pair<std::string, Bytes>> files = {
        {"text.txt", TextBytes(300000, 7)},
        {"random.bin", RandomBytes(70000, 8)},
        {"one.txt", Bytes{'x'}},
    };
    return files;
}

// What Tool makes of Input, run as a filter at test time.
Bytes Filter(const TTempDir& Tmp, const std::string& Tool, const Bytes& Input)
{
    WriteFile(Tmp / "filter.in", Input);
    const TRunResult r = Shell(Tool + " < " + Quote((Tmp / "filter.in").string()) + " > " +
                               Quote((Tmp / "filter.out").string()));
    EXPECT_EQ(r.Status, 0) << Tool << ": " << r.Err;
    return ReadFile(Tmp / "filter.out");
}

// An entry of the builder holding Packed, the compressed form of Content.
TZipEntrySpec Packed(const std::string& Name, uint16_t Method, const Bytes& Packed,
                     const Bytes& Content, uint16_t Flags = 0)
{
    TZipEntrySpec e;
    e.Name = Name;
    e.Method = Method;
    e.Flags = Flags;
    e.Raw = true;
    e.Data = Packed;
    e.Crc = Crc32Of(Content);
    e.UncompressedSize = Content.size();
    return e;
}

Bytes Twice(const Bytes& B)
{
    Bytes out = B;
    out.insert(out.end(), B.begin(), B.end());
    return out;
}

// The ZIP form of LZMA data: the 4-byte header before the 5 property bytes of Alone (an
// .lzma file), whose 8-byte size field is dropped.
Bytes ZipLzma(const Bytes& Alone)
{
    if (Alone.size() < 13) return {};
    Bytes out(Alone.size() - 4);
    out[0] = 9; // the version of the LZMA SDK, 9.20
    out[1] = 20;
    out[2] = 5; // 5 property bytes follow
    std::copy(Alone.begin(), Alone.begin() + 5, out.begin() + 4);
    std::copy(Alone.begin() + 13, Alone.end(), out.begin() + 9);
    return out;
}

// How each codec's data is made by its own tool.
struct TCodecTool {
    uint16_t Method;
    std::string Tool;    // the tool that must be installed
    std::string Command; // a filter from the file to its compressed form
    uint16_t Flags;      // the entry's general-purpose flags
};

const std::vector<TCodecTool>& CodecTools()
{
    static const std::vector<TCodecTool> tools = {
        {12, "bzip2", "bzip2 -c", 0},
        {14, "xz", "xz --format=lzma -c", 2},
        {93, "zstd", "zstd -q -c", 0},
        {95, "xz", "xz --format=xz -c", 0},
    };
    return tools;
}

// The compressed form of Content by T's tool, in the entry's framing.
Bytes Compress(const TTempDir& Tmp, const TCodecTool& T, const Bytes& Content)
{
    const Bytes out = Filter(Tmp, T.Command, Content);
    return T.Method == 14 ? ZipLzma(out) : out;
}

bool Ready(const TCodecTool& T) { return FindMethod(T.Method) && HaveTool(T.Tool); }

// Extracts Archive twice (whole reads and short ones) and expects every file of
// Contents() back byte for byte, without a report.
void ExpectExtractsContents(const fs::path& Archive)
{
    for (const bool shortReads : {false, true}) {
        SCOPED_TRACE(shortReads ? "short reads" : "whole reads");
        TTempDir tmp;
        const TRunLog log = ExtractLogged(Archive, tmp / "out", shortReads);
        EXPECT_TRUE(log.Errors.empty()) << "first code " << log.Codes().front();
        for (const auto& [name, data] : Contents()) {
            EXPECT_TRUE(log.Verdicts.count(name) && log.Verdicts.at(name)) << name;
            EXPECT_EQ(ReadFile(tmp / "out" / name), data) << name;
        }
    }
}

// A failed entry without an earlier file keeps what was decoded of it: never more than
// the content, and only bytes of it.
void ExpectKeptPrefix(const fs::path& File, const Bytes& Content)
{
    if (!fs::exists(File)) return;
    const Bytes kept = ReadFile(File);
    ASSERT_LE(kept.size(), Content.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), Content.begin()));
}

} // namespace

// Archives the archivers write themselves.
TEST(ModernMethods, ToolArchivesExtractByteExact)
{
    struct TCase {
        const char* Label;
        uint16_t Method;
        const char* Tool;
        std::string Command; // run in the folder of the files, writes ../a.zip
    };
    const std::string python = "python3 -c \"import sys, zipfile; z = zipfile.ZipFile("
                               "'../a.zip', 'w', zipfile.%s); [z.write(f) for f in "
                               "sys.argv[1:]]; z.close()\" text.txt random.bin one.txt";
    const auto py = [&](const char* Kind) {
        std::string c = python;
        c.replace(c.find("%s"), 2, Kind);
        return c;
    };
    const char* files = " text.txt random.bin one.txt";
    const std::vector<TCase> cases = {
        {"zipfile bzip2", 12, "python3", py("ZIP_BZIP2")},
        {"zipfile LZMA (end marker)", 14, "python3", py("ZIP_LZMA")},
        {"7-Zip bzip2", 12, "7z", std::string("7z a -bd -tzip -mm=BZip2 ../a.zip") + files},
        {"7-Zip LZMA (end marker)", 14, "7z",
         std::string("7z a -bd -tzip -mm=LZMA ../a.zip") + files},
        {"7-Zip LZMA (declared size only)", 14, "7z",
         std::string("7z a -bd -tzip -mm=LZMA:eos=off ../a.zip") + files},
        {"7-Zip xz", 95, "7z", std::string("7z a -bd -tzip -mm=XZ ../a.zip") + files},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Label);
        if (!FindMethod(c.Method) || !HaveTool(c.Tool)) continue;
        TTempDir tmp;
        for (const auto& [name, data] : Contents()) WriteFile(tmp / "src" / name, data);
        const TRunResult r = Shell("cd " + Quote((tmp / "src").string()) + " && " + c.Command);
        ASSERT_EQ(r.Status, 0) << r.Err;
        const Bytes zip = ReadFile(tmp / "a.zip");
        // The text compresses: the tool has not fallen back to storing it.
        const std::vector<uint16_t> methods = MethodsOf(zip);
        ASSERT_EQ(methods.size(), Contents().size());
        EXPECT_NE(std::find(methods.begin(), methods.end(), c.Method), methods.end());
        ExpectExtractsContents(tmp / "a.zip");
    }
}

// Entries framed around each codec tool's output: one stream, and two in a row.
TEST(ModernMethods, FramedToolStreamsExtractByteExact)
{
    for (const TCodecTool& t : CodecTools()) {
        SCOPED_TRACE(t.Command);
        if (!Ready(t)) continue;
        for (const bool twice : {false, true}) {
            // LZMA has one stream per entry.
            if (twice && t.Method == 14) continue;
            TTempDir tmp;
            std::vector<TZipEntrySpec> entries;
            std::vector<std::pair<std::string, Bytes>> expected;
            for (const auto& [name, data] : Contents()) {
                const Bytes packed = Compress(tmp, t, data);
                // Two streams of the content decode as the content twice.
                const Bytes content = twice ? Twice(data) : data;
                entries.push_back(Packed(name, t.Method, twice ? Twice(packed) : packed,
                                         content, t.Flags));
                expected.emplace_back(name, content);
            }
            WriteFile(tmp / "a.zip", BuildZip(entries));
            const TRunLog log = ExtractLogged(tmp / "a.zip", tmp / "out");
            EXPECT_TRUE(log.Errors.empty()) << "first code " << log.Codes().front();
            for (const auto& [name, data] : expected)
                EXPECT_EQ(ReadFile(tmp / "out" / name), data) << name << (twice ? " twice" : "");
        }
    }
}

// Damaged and cut streams: each entry fails with one report at most, and no file stays.
TEST(ModernMethods, DamagedAndTruncatedStreamsFail)
{
    enum class TDamage { CutHalf, KeepHead, BadHeader };
    struct TCase {
        TDamage Damage;
        const char* Label;
        bool BadBlock; // reported as a bad block (a cut stream leaves only the verdict)
    };
    const std::vector<TCase> cases = {
        {TDamage::CutHalf, "cut in half", false},
        {TDamage::KeepHead, "only the first 20 bytes", false},
        {TDamage::BadHeader, "first bytes replaced", true},
    };
    const Bytes content = TextBytes(200000, 21);
    for (const TCodecTool& t : CodecTools()) {
        if (!Ready(t)) continue;
        TTempDir tmp;
        const Bytes packed = Compress(tmp, t, content);
        for (const TCase& c : cases) {
            SCOPED_TRACE(t.Command + ": " + c.Label);
            Bytes data = packed;
            if (c.Damage == TDamage::CutHalf) data.resize(data.size() / 2);
            if (c.Damage == TDamage::KeepHead) data.resize(20);
            // The LZMA header's property bytes (a byte past lc/lp/pb's range); every
            // other format's signature.
            if (c.Damage == TDamage::BadHeader) data[t.Method == 14 ? 4 : 0] = 0xFF;
            WriteFile(tmp / "a.zip", BuildZip({Packed("f.txt", t.Method, data, content, t.Flags)}));
            fs::remove_all(tmp / "out");
            const TRunLog log = ExtractLogged(tmp / "a.zip", tmp / "out");
            ASSERT_TRUE(log.Verdicts.count("f.txt"));
            EXPECT_FALSE(log.Verdicts.at("f.txt"));
            EXPECT_LE(log.Errors.size(), 1u);
            if (c.BadBlock) {
                EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_BADBLOCK});
            }
            ExpectKeptPrefix(tmp / "out" / "f.txt", content);
        }
    }
}

// Data changed inside a stream with integrity checks (bzip2 blocks, xz's check, zstd's
// frame checksum) is refused by the library, reported as a bad block with its words.
TEST(ModernMethods, CorruptedChecksummedStreamsReportBadBlock)
{
    const Bytes content = TextBytes(200000, 22);
    for (const TCodecTool& t : CodecTools()) {
        if (!Ready(t) || t.Method == 14) continue; // LZMA data carries no check of its own
        SCOPED_TRACE(t.Command);
        TTempDir tmp;
        Bytes data = Compress(tmp, t, content);
        data[data.size() / 2] ^= 0x55;
        WriteFile(tmp / "a.zip", BuildZip({Packed("f.txt", t.Method, data, content)}));
        const TRunLog log = ExtractLogged(tmp / "a.zip", tmp / "out");
        EXPECT_FALSE(log.Verdicts.at("f.txt"));
        ASSERT_EQ(log.Codes(), std::vector<int32_t>{E_BADBLOCK});
        EXPECT_FALSE(log.Extended.front().empty());
        EXPECT_LE(fs::file_size(tmp / "out" / "f.txt"), content.size());
    }
}

namespace {

// What one run (an extraction or a test) said of the entry Name: its verdict, and its
// reports as "code text".
struct TEntryOutcome {
    bool Pass = true;
    std::vector<std::string> Reports;
};

TEntryOutcome OutcomeOf(const TRunLog& Log, const std::string& Name)
{
    TEntryOutcome o;
    o.Pass = Log.Verdicts.count(Name) && Log.Verdicts.at(Name);
    for (size_t i = 0; i < Log.Errors.size(); ++i)
        if (Log.Errors[i].first == Name)
            o.Reports.push_back(std::to_string(Log.Errors[i].second) + " " + Log.Extended[i]);
    return o;
}

TEntryOutcome TestedOutcome(const fs::path& Archive, const std::string& Name)
{
    TUnZip z;
    z.ArchiveFile(Archive.string());
    z.FileSpec({"*.*"});
    TRunLog log;
    z.OnError = [&log](TZipCommon&, const std::string& f, const std::string& ext,
                       const std::string&, int32_t code) {
        log.Errors.emplace_back(ExtractFileName(f), code);
        log.Extended.push_back(ext);
    };
    z.OnEnd = [&log](TZipCommon&, const std::string& f, bool pass) {
        log.Verdicts[ExtractFileName(f)] = pass;
    };
    z.TestFiles();
    return OutcomeOf(log, Name);
}

} // namespace

// An entry passes only when its data ends exactly where its sizes say: a declared size
// lowered (the rest of the data is past it) or raised, bytes after the end of a stream
// inside the compressed size, xz padding that is not whole 4-byte groups, an LZMA end
// marker the entry's flags say it does not have. Each is one bad block for the entry, the
// same on extraction, testing, reading and several threads; the entries around it pass.
TEST(ModernMethods, DataThatDoesNotEndAtItsSizesFails)
{
    const Bytes content = TextBytes(200000, 23);
    const Bytes head(content.begin(), content.begin() + 1000);
    const Bytes trailer = {'t', 'r', 'a', 'i', 'l', 'e', 'r'};
    TTempDir tmp;
    const auto tool = [&](uint16_t Method) -> const TCodecTool* {
        for (const TCodecTool& t : CodecTools())
            if (t.Method == Method && Ready(t)) return &t;
        return nullptr;
    };
    // The entry of Method's tool for Content, with Tail after the stream, declared as Of.
    const auto framed = [&](uint16_t Method, const Bytes& Tail, const Bytes& Of, uint16_t Flags) {
        Bytes data = Compress(tmp, *tool(Method), content);
        data.insert(data.end(), Tail.begin(), Tail.end());
        return Packed("bad.bin", Method, data, Of, Flags);
    };
    struct TRow {
        const char* Label;
        uint16_t Method; // the codec's method, for rows that need its row and tool; 0 none
        std::function<TZipEntrySpec()> Make;
        const char* Text; // in the one report's extended text
    };
    const std::vector<TRow> rows = {
        {"stored, size lowered", 0, [&] { return Packed("bad.bin", 0, content, head); },
         "data goes on past its stated size"},
        {"Deflate, size lowered", 0,
         [&] { return Packed("bad.bin", 8, RawDeflate(content), head); },
         "data goes on past its stated size"},
        {"Deflate, size raised", 0,
         [&] {
             TZipEntrySpec e = Packed("bad.bin", 8, RawDeflate(content), content);
             e.UncompressedSize += 100;
             return e;
         },
         "stream ends before its stated size"},
        {"bzip2, bytes after the stream", 12, [&] { return framed(12, trailer, content, 0); },
         "bytes left after the end of the stream"},
        {"LZMA, bytes after the stream", 14, [&] { return framed(14, trailer, content, 2); },
         "bytes left after the end of the stream"},
        {"zstd, bytes after the frame", 93, [&] { return framed(93, trailer, content, 0); },
         "bytes left after the end of the stream"},
        {"xz, bytes after the stream", 95, [&] { return framed(95, trailer, content, 0); },
         "bytes left after the end of the stream"},
        {"xz, padding of 3 bytes", 95, [&] { return framed(95, Bytes(3, 0), content, 0); },
         "padding"},
        {"LZMA, end marker without its flag", 14, [&] { return framed(14, {}, content, 0); },
         "end marker"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Label);
        if (row.Method && !tool(row.Method)) continue;
        const fs::path zip = tmp / "a.zip";
        WriteFile(zip, BuildZip({Entry("a.txt", TextBytes(3000, 1), 8), row.Make(),
                                 Entry("c.txt", TextBytes(5000, 2))}));
        const fs::path dir = tmp / "threads";
        fs::remove_all(dir);
        const TRunLog threads = ExpectThreadsAsOne(zip, dir, [](TUnZip&) {});
        const TEntryOutcome extracted = OutcomeOf(threads, "bad.bin");
        const TEntryOutcome tested = TestedOutcome(zip, "bad.bin");
        for (const TEntryOutcome& o : {extracted, tested}) {
            EXPECT_FALSE(o.Pass);
            EXPECT_EQ(o.Reports.size(), 1u);
            if (o.Reports.empty()) continue;
            EXPECT_EQ(o.Reports.front().rfind(std::to_string(E_BADBLOCK) + " ", 0), 0u)
                << o.Reports.front();
            EXPECT_NE(o.Reports.front().find(row.Text), std::string::npos) << o.Reports.front();
        }
        EXPECT_TRUE(threads.Verdicts.at("a.txt") && threads.Verdicts.at("c.txt"));
        TUnZip z;
        z.ArchiveFile(zip.string());
        TStringOutput32 read;
        EXPECT_FALSE(z.ReadEntry("bad.bin", read));
        ExpectKeptPrefix(dir / "one" / "bad.bin", content);
    }
}

// A zstd frame that declares a 2 GB window is refused before its window is allocated.
TEST(ModernMethods, ZstdWindowOverTheLimitIsRefused)
{
    if (!FindMethod(93) || !HaveTool("zstd")) GTEST_SKIP() << "no zstd row or tool";
    TTempDir tmp;
    const Bytes content = TextBytes(5000, 24);
    // Read from a pipe, the tool cannot shrink the window to the input's size.
    const Bytes frame = Filter(tmp, "cat | zstd -q -c --long=31", content);
    ASSERT_GE(frame.size(), 6u);
    ASSERT_EQ(frame[5] >> 3, 31 - 10); // the frame header's window exponent
    WriteFile(tmp / "a.zip", BuildZip({Packed("big.txt", 93, frame, content)}));
    const TRunLog log = ExtractLogged(tmp / "a.zip", tmp / "out");
    EXPECT_FALSE(log.Verdicts.at("big.txt"));
    ASSERT_EQ(log.Codes(), std::vector<int32_t>{E_BADBLOCK});
    EXPECT_NE(log.Extended.front().find("window"), std::string::npos) << log.Extended.front();
    // Refused at the frame header: not a byte was decoded.
    EXPECT_EQ(fs::file_size(tmp / "out" / "big.txt"), 0u);
}

// An entry whose method has no row is reported with the method's name, and the file of
// its name is left untouched. AES (99) is a cipher with no row of its own: without the
// field that names the method beneath it, it is refused the same way.
TEST(ModernMethods, MethodWithoutRowIsNamedAndTouchesNothing)
{
    const std::vector<std::pair<uint16_t, std::string>> cases = {
        {98, "PPMd (98)"},           {99, "AES (99) without its 0x9901 field"},
        {18, "IBM TERSE (18)"},      {19, "IBM LZ77 z/Architecture (19)"},
        {96, "JPEG (96)"},           {97, "WavPack (97)"},
        {10, "PKWARE DCL Implode (10)"}, {200, "method 200"},
    };
    for (const auto& [method, name] : cases) {
        SCOPED_TRACE(name);
        ASSERT_EQ(FindMethod(method), nullptr);
        TTempDir tmp;
        const Bytes content = TextBytes(1000, method);
        WriteFile(tmp / "a.zip", BuildZip({Packed("f.txt", method, content, content)}));
        WriteText(tmp / "out" / "f.txt", "kept");
        const TRunLog log = ExtractLogged(tmp / "a.zip", tmp / "out");
        ASSERT_EQ(log.Codes(), std::vector<int32_t>{E_UNSUPPORTEDMETHOD});
        EXPECT_EQ(log.Extended.front(), name);
        EXPECT_EQ(ReadText(tmp / "out" / "f.txt"), "kept");
        EXPECT_EQ(FilesBelow(tmp / "out"), std::vector<std::string>{"f.txt"});
    }
}

// 7-Zip's PPMd entries: a real archive of a method without a row.
TEST(ModernMethods, SevenZipPpmdIsReportedByName)
{
    if (!HaveTool("7z")) GTEST_SKIP() << "7z not installed";
    TTempDir tmp;
    WriteFile(tmp / "src" / "text.txt", TextBytes(5000, 25));
    ASSERT_EQ(Shell("cd " + Quote((tmp / "src").string()) +
                    " && 7z a -bd -tzip -mm=PPMd ../a.zip text.txt").Status, 0);
    const TRunLog log = ExtractLogged(tmp / "a.zip", tmp / "out");
    ASSERT_EQ(log.Codes(), std::vector<int32_t>{E_UNSUPPORTEDMETHOD});
    EXPECT_EQ(log.Extended.front(), "PPMd (98)");
    EXPECT_TRUE(FilesBelow(tmp / "out").empty());
}

// An LZMA dictionary is allocated whole: one over the limit, for an entry declared large
// enough to use it, is refused before anything is allocated.
TEST(ModernMethods, LzmaDictionaryOverTheLimitIsRefused)
{
    const TCodecTool& lzma = CodecTools()[1];
    if (!Ready(lzma)) GTEST_SKIP() << "no LZMA row or xz tool";
    TTempDir tmp;
    const Bytes content = TextBytes(5000, 26);
    Bytes data = Compress(tmp, lzma, content);
    // The dictionary size: 1 GB, after the version, the properties size and lc/lp/pb.
    data[5] = data[6] = data[7] = 0;
    data[8] = 0x40;
    TZipEntrySpec e = Packed("big.txt", 14, data, content, lzma.Flags);
    e.UncompressedSize = uint64_t{3} << 30;
    WriteFile(tmp / "a.zip", BuildZip({e}));
    const TRunLog log = ExtractLogged(tmp / "a.zip", tmp / "out");
    EXPECT_FALSE(log.Verdicts.at("big.txt"));
    ASSERT_EQ(log.Codes(), std::vector<int32_t>{E_BADBLOCK});
    EXPECT_NE(log.Extended.front().find("dictionary"), std::string::npos) << log.Extended.front();
}

// Archive type identification on real files: archives written by real tools at test
// time, the identification files of the shared corpus, programs with archives behind
// them, and damaged or hostile files that must still be identified without harm.
//
// Where a ZIP archive's walk should start, Python's zipfile is the second opinion: its
// start_dir is the position of the central directory it found.
#include "TestSupport.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <locale.h>
#include <sstream>
#if defined(__SANITIZE_ADDRESS__)
#define UNSPOOL_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNSPOOL_LEAK_CHECKED 1
#endif
#endif
#ifdef UNSPOOL_LEAK_CHECKED
#include <sanitizer/lsan_interface.h>
#endif

using namespace test;

namespace {

constexpr int64_t AnyWalk = -100;    // the walk start is not checked
constexpr int64_t AtDirectory = -101; // where Python's zipfile finds the directory

enum class TState { Any, LocalOnly, WithDirectory };

struct TExpect {
    TArcType Type;
    int64_t Walk = AnyWalk;
    TState State = TState::Any;
};

// The component with the facts identification keeps for later, readable by the tests.
class TIdentProbe : public TUnZip {
public:
    using TRegisterQuiver::SpanTypeOf;
    char VolumeLetter() const { return FVolumeLetter; }
    uint32_t ArchiveDate() const { return FArchiveDate; }
};

std::string Name(TArcType T) { return ArcTypeName(T); }

bool IsZipType(TArcType T)
{
    return T == atZip || T == atZipExe || T == atJar || T == atJarExe || T == atZipDS ||
           T == atZipMV;
}

// Python's start_dir for each file, -1 where zipfile cannot open it; one run for all.
std::vector<int64_t> PythonStartDirs(const std::vector<fs::path>& Files)
{
    std::string cmd = "python3 -c 'import sys, zipfile\nfor f in sys.argv[1:]:\n try:\n"
                      "  print(zipfile.ZipFile(f).start_dir)\n except Exception:\n"
                      "  print(-1)'";
    for (const fs::path& f : Files) cmd += " " + Quote(f.string());
    const TRunResult r = Shell(cmd);
    std::vector<int64_t> out;
    std::istringstream in(r.Out);
    std::string line;
    while (std::getline(in, line)) out.push_back(std::stoll(line));
    EXPECT_EQ(out.size(), Files.size()) << r.Err;
    out.resize(Files.size(), -2);
    return out;
}

int64_t PythonStartDir(const fs::path& File) { return PythonStartDirs({File})[0]; }

int64_t FindBytes(const Bytes& B, std::string_view Pattern, size_t From = 0)
{
    auto it = std::search(B.begin() + static_cast<std::ptrdiff_t>(std::min(From, B.size())),
                          B.end(), Pattern.begin(), Pattern.end(),
                          [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
    return it == B.end() ? -1 : it - B.begin();
}

void ExpectIdentified(const fs::path& File, const TExpect& E)
{
    SCOPED_TRACE(File.filename().string());
    TUnZip z;
    z.ArchiveFile(File.string());
    EXPECT_EQ(Name(z.ArcType()), Name(E.Type));
    if (E.Walk != AnyWalk) {
        const int64_t walk = E.Walk == AtDirectory ? PythonStartDir(File) : E.Walk;
        EXPECT_GE(walk, 0) << "Python's zipfile cannot read it";
        EXPECT_EQ(z.WalkStart(), walk);
    }
    switch (E.State) {
    case TState::Any: break;
    case TState::LocalOnly:
        EXPECT_TRUE(z.HeaderState().Only(htLocal)) << int(z.HeaderState().Bits);
        break;
    case TState::WithDirectory:
        EXPECT_TRUE(z.HeaderState().Has(htEnding) && z.HeaderState().Has(htCentral))
            << int(z.HeaderState().Bits);
        break;
    }
}

bool HaveTools(const std::string& Tools, std::string& Missing)
{
    std::istringstream in(Tools);
    std::string t;
    while (in >> t)
        if (!HaveTool(t)) {
            Missing = t;
            return false;
        }
    return true;
}

// Runs Command in Dir; fails the test with the command's own words when it fails.
bool RunIn(const fs::path& Dir, const std::string& Command)
{
    const TRunResult r = Shell("cd " + Quote(Dir.string()) + " && " + Command);
    EXPECT_EQ(r.Status, 0) << Command << "\n" << r.Out << r.Err;
    return r.Status == 0;
}

// The files every tool is given.
void WriteInputs(const fs::path& Dir)
{
    WriteFile(Dir / "readme.txt", TextBytes(40000, 7));
    WriteText(Dir / "small.txt", "A small file, long enough for one full uuencoded line.\n");
    WriteFile(Dir / "random.bin", RandomBytes(150000, 3));
    fs::permissions(Dir / "readme.txt", fs::perms(0644));
}

// ---------------------------------------------------------------------------------------
// Archives written by the tools themselves.

struct TToolCase {
    const char* Name;
    const char* Tools;   // each must be installed
    const char* Command; // run in a folder holding readme.txt, small.txt and random.bin
    const char* File;    // what the command made
    TExpect Expect;
};

void PrintTo(const TToolCase& C, std::ostream* Os) { *Os << C.Name; }

const TToolCase ToolCases[] = {
    {"Gzip", "gzip", "gzip -9 -c readme.txt > a.gz", "a.gz", {atGZip, 0}},
    {"UnixCompress", "compress", "compress -c readme.txt > a.Z", "a.Z", {atGZip, 0}},
    {"TarThroughGzip", "tar gzip", "tar czf a.tgz readme.txt small.txt", "a.tgz", {atGZip, 0}},
    {"SevenZipGzip", "7z", "7z a -tgzip -bd a.gz readme.txt > /dev/null", "a.gz", {atGZip, 0}},
    {"GnuTarUstar", "tar", "tar --format=ustar -cf a.tar readme.txt small.txt", "a.tar",
     {atTar, 0}},
    {"GnuTarGnu", "tar", "tar --format=gnu -cf a.tar readme.txt small.txt", "a.tar", {atTar, 0}},
    {"GnuTarV7", "tar", "tar --format=v7 -cf a.tar readme.txt small.txt", "a.tar", {atTar, 0}},
    {"GnuTarPax", "tar", "tar --format=pax -cf a.tar readme.txt small.txt", "a.tar", {atTar, 0}},
    {"GnuTarVolumeLabel", "tar", "tar -V 'Backup 1' -cf a.tar readme.txt", "a.tar",
     {atTar, 512}},
    {"BsdtarUstar", "bsdtar", "bsdtar --format ustar -cf a.tar readme.txt small.txt", "a.tar",
     {atTar, 0}},
    {"BsdtarPax", "bsdtar", "bsdtar --format pax -cf a.tar readme.txt small.txt", "a.tar",
     {atTar, 0}},
    {"SevenZipTar", "7z", "7z a -ttar -bd a.tar readme.txt > /dev/null", "a.tar", {atTar, 0}},
    {"InfoZip", "zip", "zip -q a.zip readme.txt small.txt", "a.zip",
     {atZip, AtDirectory, TState::WithDirectory}},
    {"InfoZipStored", "zip", "zip -q -0 a.zip readme.txt small.txt", "a.zip",
     {atZip, AtDirectory, TState::WithDirectory}},
    {"InfoZipFromPipe", "zip", "zip -q a.zip - < readme.txt", "a.zip",
     {atZip, AtDirectory, TState::WithDirectory}},
    {"InfoZipWithComment", "zip",
     "zip -q a.zip readme.txt && echo 'an archive comment' | zip -q -z a.zip", "a.zip",
     {atZip, AtDirectory, TState::WithDirectory}},
    {"InfoZipZip64", "zip", "zip -q -fz a.zip readme.txt small.txt", "a.zip",
     {atZip, AtDirectory, TState::WithDirectory}},
    {"InfoZipNamedJar", "zip", "zip -q a.jar readme.txt", "a.jar",
     {atJar, AtDirectory, TState::WithDirectory}},
    {"JdkJar", "jar", "jar cf a.jar readme.txt small.txt", "a.jar",
     {atJar, AtDirectory, TState::WithDirectory}},
    {"SevenZipZip", "7z", "7z a -tzip -bd a.zip readme.txt small.txt > /dev/null", "a.zip",
     {atZip, AtDirectory, TState::WithDirectory}},
    {"BsdtarZip", "bsdtar", "bsdtar --format zip -cf a.zip readme.txt small.txt", "a.zip",
     {atZip, AtDirectory, TState::WithDirectory}},
    {"PythonZipfile", "python3",
     "python3 -c \"import zipfile; z = zipfile.ZipFile('a.zip', 'w', zipfile.ZIP_DEFLATED); "
     "z.write('readme.txt'); z.close()\"",
     "a.zip", {atZip, AtDirectory, TState::WithDirectory}},
    {"UnzipsfxProgram", "zip unzipsfx",
     "zip -q a.zip readme.txt small.txt && cat \"$(command -v unzipsfx)\" a.zip > a.sfx && "
     "zip -q -A a.sfx",
     "a.sfx", {atZip, AtDirectory, TState::WithDirectory}},
    {"WindowsProgramAdjusted", "zip i686-w64-mingw32-gcc",
     "echo 'int main(void){return 0;}' > m.c && i686-w64-mingw32-gcc -s -o stub.exe m.c && "
     "zip -q a.zip readme.txt && cat stub.exe a.zip > a.exe && zip -q -A a.exe",
     "a.exe", {atZipExe, AtDirectory, TState::WithDirectory}},
    {"WindowsProgramAppended", "zip i686-w64-mingw32-gcc",
     "echo 'int main(void){return 0;}' > m.c && i686-w64-mingw32-gcc -s -o stub.exe m.c && "
     "zip -q a.zip readme.txt && cat stub.exe a.zip > a.exe",
     "a.exe", {atZipExe, AtDirectory, TState::WithDirectory}},
    {"InfoZipSplitFirstPart", "zip", "zip -q -s 64k a.zip readme.txt random.bin", "a.z01",
     {atZipMV, 0, TState::LocalOnly}},
    {"InfoZipSplitLastPart", "zip", "zip -q -s 64k a.zip readme.txt random.bin", "a.zip",
     {atZipMV, AtDirectory}},
    {"Arj", "arj", "arj a -y a.arj readme.txt small.txt > /dev/null", "a.arj", {atArj, 0}},
    {"Lha", "lha", "lha a a.lzh readme.txt small.txt > /dev/null", "a.lzh", {atLha, 0}},
    {"Arc", "arc", "arc a a.arc readme.txt small.txt > /dev/null", "a.arc", {atArc, 0}},
    {"Uuencode", "uuencode", "uuencode readme.txt readme.txt > a.uue", "a.uue", {atUUE, 0}},
    {"UuencodeReadOnlyMode", "uuencode",
     "cp readme.txt r.txt && chmod 444 r.txt && uuencode r.txt r.txt > a.uue", "a.uue",
     {atUUE, 0}},
    {"UuencodeInsideMail", "uuencode",
     "printf 'From: a@example.org\\nSubject: files\\n\\nHere they are.\\n\\n' > a.txt && "
     "uuencode small.txt small.txt >> a.txt",
     "a.txt", {atUUE, 0}},
    {"Cabinet", "gcab", "gcab -c a.cab readme.txt small.txt", "a.cab", {atCab, 0}},
    {"CompressedCabinet", "gcab", "gcab -z -c a.cab readme.txt small.txt", "a.cab",
     {atCab, 0}},
    {"PlainText", "", "cp readme.txt a.txt", "a.txt", {atNA}},
};

class ToolMadeArchive : public ::testing::TestWithParam<TToolCase> {};

TEST_P(ToolMadeArchive, IsIdentified)
{
    SKIP_ON_WINDOWS("the archives are made by tools through /bin/sh");
    const TToolCase& c = GetParam();
    std::string missing;
    if (!HaveTools(c.Tools, missing)) GTEST_SKIP() << missing << " is not installed";
    TTempDir tmp;
    WriteInputs(tmp.Path());
    if (!RunIn(tmp.Path(), c.Command)) return;
    ExpectIdentified(tmp / c.File, c.Expect);
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolMadeArchive, ::testing::ValuesIn(ToolCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// ---------------------------------------------------------------------------------------
// The shared corpus.

// The manifest names each identification file's format in words; these are the words
// and the type each stands for, the most specific first.
const std::pair<const char*, TArcType> FormatWords[] = {
    {"none", atNA},   {"JAR", atJar},   {"multi-volume", atZipMV}, {"self-extractor", atZipExe},
    {"ZIP", atZip},   {"ARJ", atArj},   {"ARC", atArc},            {"LHA", atLha},
    {"CAB", atCab},   {"GZip", atGZip}, {"TAR", atTar},            {"UUE", atUUE},
    {"ZOO", atZoo},   {"PAK", atPak},   {"RAR", atRar},            {"ACE", atAce},
};

// Checks every file, asking Python for all the directory positions at once.
void ExpectAllIdentified(std::vector<std::pair<fs::path, TExpect>>& Cases)
{
    std::vector<fs::path> zips;
    for (const auto& [file, e] : Cases)
        if (e.Walk == AtDirectory) zips.push_back(file);
    const std::vector<int64_t> dirs = PythonStartDirs(zips);
    size_t next = 0;
    for (auto& [file, e] : Cases) {
        if (e.Walk == AtDirectory) e.Walk = dirs[next++];
        ExpectIdentified(file, e);
    }
}

TEST(CorpusIdentification, IdentFilesHaveTheManifestsFormat)
{
    SKIP_ON_WINDOWS("compares with Python's zipfile, run through /bin/sh");
    std::vector<std::pair<fs::path, TExpect>> cases;
    int seen = 0;
    for (const TManifestRecord& r : Manifest()) {
        if (r.Kind != "ident") continue;
        SCOPED_TRACE(r.File + ": " + r.ExpectedFormat);
        const auto word = std::find_if(std::begin(FormatWords), std::end(FormatWords),
                                       [&](const auto& W) {
                                           return r.ExpectedFormat.find(W.first) !=
                                                  std::string::npos;
                                       });
        if (word == std::end(FormatWords)) {
            ADD_FAILURE() << "no type for this format";
            continue;
        }
        const fs::path file = CorpusDir() / r.File;
        TExpect e{word->second};
        if (IsZipType(e.Type)) {
            // The first part of a split set has no directory: its local headers are
            // walked from the start.
            const bool firstPart = file.extension() == ".z01";
            e.Walk = firstPart ? 0 : AtDirectory;
            e.State = firstPart ? TState::LocalOnly : TState::WithDirectory;
        }
        cases.emplace_back(file, e);
        ++seen;
    }
    ExpectAllIdentified(cases);
    EXPECT_GE(seen, 15);
}

TEST(CorpusIdentification, ZipArchivesStartAtTheirDirectory)
{
    SKIP_ON_WINDOWS("compares with Python's zipfile, run through /bin/sh");
    std::vector<fs::path> files;
    std::vector<std::string> kinds;
    for (const TManifestRecord& r : Manifest())
        if ((r.Kind == "zip" || r.Kind == "sfx" || r.Kind == "split" || r.Kind == "broken") &&
            fs::exists(CorpusDir() / r.File)) {
            files.push_back(CorpusDir() / r.File);
            kinds.push_back(r.Kind);
        }
    const std::vector<int64_t> dirs = PythonStartDirs(files);
    for (size_t i = 0; i < files.size(); ++i) {
        const fs::path& file = files[i];
        const Bytes data = ReadFile(file);
        TExpect e{atZip, dirs[i], TState::WithDirectory};
        if (kinds[i] == "split")
            e = {atZipMV, dirs[i]}; // the last part: the local headers are elsewhere
        else if (file.extension() == ".jar")
            e.Type = atJar;
        else if (data.size() > 2 && data[0] == 'M' && data[1] == 'Z')
            e.Type = atZipExe;
        if (dirs[i] < 0) {
            // No directory to be found (a truncated archive): its local headers are
            // walked from the first one.
            e.Walk = FindBytes(data, std::string_view("PK\3\4", 4));
            e.State = TState::LocalOnly;
        }
        ExpectIdentified(file, e);
    }
    EXPECT_GE(files.size(), 25u);
}

TEST(CorpusIdentification, FirstPartsOfSplitSetsAreMultiVolume)
{
    int seen = 0;
    for (const auto& f : fs::directory_iterator(CorpusDir()))
        if (f.path().extension() == ".z01") {
            ExpectIdentified(f.path(), {atZipMV, 0, TState::LocalOnly});
            ++seen;
        }
    EXPECT_GE(seen, 2);
}

// ---------------------------------------------------------------------------------------
// Files built around real archives, for the layouts no tool writes by itself.

// Real archives made once for the cases below; each stays empty when its tool is
// missing. Function-local static: built on first use, removed at exit.
struct TArchives {
    TTempDir Dir;
    Bytes Zip, Arj, Lha, Arc, Gzip, Cab, Uue, Tar;
    Bytes ZipNoDirectory, ZipDirectory; // Zip cut where its central directory starts
    Bytes Rar, Ace, Pak; // from the corpus: no tool here writes these

    static const TArchives& Get()
    {
        static const TArchives a;
        return a;
    }

private:
    TArchives()
    {
        WriteInputs(Dir.Path());
        auto make = [&](const char* Tool, const std::string& Cmd, const char* File) {
            if (!HaveTool(Tool) || Shell("cd " + Quote(Dir.Path().string()) + " && " + Cmd)
                                           .Status != 0)
                return Bytes{};
            return ReadFile(Dir / File);
        };
        Zip = make("zip", "zip -q a.zip readme.txt small.txt", "a.zip");
        if (!Zip.empty()) {
            const int64_t dir = PythonStartDir(Dir / "a.zip");
            if (dir > 0) {
                ZipNoDirectory.assign(Zip.begin(), Zip.begin() + dir);
                ZipDirectory.assign(Zip.begin() + dir, Zip.end());
            }
        }
        Arj = make("arj", "arj a -y a.arj readme.txt small.txt > /dev/null", "a.arj");
        Lha = make("lha", "lha a a.lzh readme.txt small.txt > /dev/null", "a.lzh");
        Arc = make("arc", "arc a a.arc readme.txt small.txt > /dev/null", "a.arc");
        Gzip = make("gzip", "gzip -9 -c readme.txt > a.gz", "a.gz");
        Cab = make("gcab", "gcab -c a.cab small.txt", "a.cab");
        Uue = make("uuencode", "uuencode small.txt small.txt > a.uue", "a.uue");
        // One 512-byte record per block: a header, the data block, the end blocks.
        Tar = make("tar", "tar --format=ustar -b 1 -cf a.tar small.txt", "a.tar");
        Rar = ReadFile(CorpusDir() / "id_rar4_gh.rar");
        Ace = ReadFile(CorpusDir() / "id_ace_gh.ace");
        Pak = ReadFile(CorpusDir() / "id_pak_gh.pak");
    }
};

Bytes operator+(Bytes A, const Bytes& B)
{
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

// A DOS program image of End bytes: "MZ", the bytes used in the last 512-byte page, the
// number of pages, and zeros.
Bytes DosImage(uint32_t End)
{
    Bytes b(std::max<uint32_t>(End, 64), 0);
    b[0] = 'M';
    b[1] = 'Z';
    PutU16(&b[2], static_cast<uint16_t>(End % 512));
    PutU16(&b[4], static_cast<uint16_t>((End + 511) / 512));
    return b;
}

// Prefix padded with zeros to Offset, then Archive.
Bytes At(Bytes Prefix, size_t Offset, const Bytes& Archive)
{
    Prefix.resize(Offset, 0);
    return Prefix + Archive;
}

// A 128-byte Macintosh file wrapper: a zero, the name's length and the name.
Bytes MacWrapper()
{
    Bytes b(128, 0);
    const char name[] = "archive.lzh";
    b[1] = sizeof name - 1;
    std::memcpy(&b[2], name, sizeof name - 1);
    return b;
}

Bytes Text(std::string_view S) { return Bytes(S.begin(), S.end()); }

using TArchive = const Bytes TArchives::*;

// Prefix, padded with zeros to Offset (when not 0), then Archive, cut to Keep bytes.
struct TBuiltCase {
    const char* Name;
    Bytes (*Prefix)();
    size_t Offset;
    TArchive Archive; // null: the prefix alone
    TExpect Expect;
    size_t Keep = SIZE_MAX;
};

void PrintTo(const TBuiltCase& C, std::ostream* Os) { *Os << C.Name; }

Bytes Nothing() { return {}; }
Bytes Zeros() { return Bytes(300, 0); }
Bytes ManyZeros() { return Bytes(70000, 0); }
Bytes Pkg4() { return Text("PKG4"); }
Bytes Pkg5() { return Text("PKG5") + Bytes(100, 'x'); }
Bytes TextLine() { return Text("Not an archive header.\n"); }
template <uint32_t End> Bytes Dos() { return DosImage(End); }

constexpr size_t BeyondScan = 17000 + 11 * 32768; // where a program's forward scan ends

const TBuiltCase BuiltCases[] = {
    // Plain files.
    {"ZeroBytesBeforeZip", Zeros, 0, &TArchives::Zip,
     {atZip, AtDirectory, TState::WithDirectory}},
    {"ZeroBytesBeforeZipWithoutDirectory", Zeros, 0, &TArchives::ZipNoDirectory,
     {atZip, 300, TState::LocalOnly}},
    {"ZipWithoutDirectory", Nothing, 0, &TArchives::ZipNoDirectory,
     {atZip, 0, TState::LocalOnly}},
    // The last part of a split set whose directory starts it.
    {"DirectoryFirst", Nothing, 0, &TArchives::ZipDirectory,
     {atZipMV, 0, TState::WithDirectory}},
    {"Pkg5", Pkg5, 0, nullptr, {atUnknown}},
    {"Pkg4ThenZip", Pkg4, 0, &TArchives::Zip, {atZip, AtDirectory, TState::WithDirectory}},
    {"LhaInMacWrapper", MacWrapper, 0, &TArchives::Lha, {atLha, 128}},
    {"NineteenBytesOfGzip", Nothing, 0, &TArchives::Gzip, {atNA}, 19},
    {"TwentyBytesOfGzip", Nothing, 0, &TArchives::Gzip, {atGZip, 0}, 20},
    {"EmptyFile", Nothing, 0, nullptr, {atNA}},
    {"ZerosOnly", ManyZeros, 0, nullptr, {atNA}},
    {"RarFoundByScanAfterText", TextLine, 0, &TArchives::Rar, {atRarExe, 23}},

    // Programs: archives behind the DOS image or at a self-extractor's fixed offset.
    {"ArjTwoBytesAfterDosImage", Dos<1000>, 1002, &TArchives::Arj, {atArjExe, 1002}},
    {"ArjAfterFullLastPage", Dos<1024>, 1026, &TArchives::Arj, {atArjExe, 1026}},
    {"LhaStubAt1945", Dos<600>, 1945, &TArchives::Lha, {atLhaExe, 1945}},
    {"ZipStubAt7612", Dos<600>, 7612, &TArchives::Zip, {atZipExe, 7612, TState::LocalOnly}},
    {"ZipStubAt25661", Dos<600>, 25661, &TArchives::Zip,
     {atZipExe, 25661, TState::LocalOnly}},
    {"ArcStubAt6674", Dos<600>, 6674, &TArchives::Arc, {atArcExe, 6674}},
    {"ArcStubAt13138", Dos<600>, 13138, &TArchives::Arc, {atArcExe, 13138}},
    {"PakStubAt8601", Dos<600>, 8601, &TArchives::Pak, {atPakExe, 8601}},
    {"ZipAfterDosImage", Dos<1024>, 0, &TArchives::Zip,
     {atZipExe, AtDirectory, TState::WithDirectory}},
    {"ZipWithoutDirectoryAfterDosImage", Dos<1024>, 0, &TArchives::ZipNoDirectory,
     {atZipExe, 1024, TState::LocalOnly}},
    {"GzipInsideProgram", Dos<1024>, 0, &TArchives::Gzip, {atNA}},
    {"ArjFoundByScan", Dos<600>, 20000, &TArchives::Arj, {atArjExe, 20000}},
    {"LhaFoundByScan", Dos<600>, 20000, &TArchives::Lha, {atLhaExe, 20000}},
    {"CabinetFoundByScan", Dos<600>, 20000, &TArchives::Cab, {atCabExe, 20000}},
    {"RarFoundByScan", Dos<600>, 20000, &TArchives::Rar, {atRarExe, 20000}},
    {"AceFoundByScan", Dos<600>, 20000, &TArchives::Ace, {atAceExe, 20000}},
    {"ZipWithoutDirectoryFoundByScan", Dos<600>, 20000, &TArchives::ZipNoDirectory,
     {atZipExe, 20000, TState::LocalOnly}},
    {"RarBeyondTheScansReach", Dos<600>, BeyondScan, &TArchives::Rar, {atNA}},
};

class BuiltFile : public ::testing::TestWithParam<TBuiltCase> {};

TEST_P(BuiltFile, IsIdentified)
{
    const TBuiltCase& c = GetParam();
    Bytes data = c.Prefix();
    if (c.Archive) {
        const Bytes& archive = TArchives::Get().*c.Archive;
        if (archive.empty()) GTEST_SKIP() << "the tool that writes its archive is not installed";
        if (c.Offset > 0) data.resize(c.Offset, 0);
        data = data + archive;
    }
    if (data.size() > c.Keep) data.resize(c.Keep);
    TTempDir tmp;
    WriteFile(tmp / "file.bin", data);
    ExpectIdentified(tmp / "file.bin", c.Expect);
}

INSTANTIATE_TEST_SUITE_P(Layouts, BuiltFile, ::testing::ValuesIn(BuiltCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// ---------------------------------------------------------------------------------------
// Programs that name the archive's offset in their string table: real Windows programs,
// built with the MinGW resource compiler and linker.

struct TStringCase {
    const char* Name;
    std::vector<const char*> Strings; // string table entries 1, 2, ...
    const Bytes TArchives::*Archive;  // placed at 40960
    TExpect Expect;
};

void PrintTo(const TStringCase& C, std::ostream* Os) { *Os << C.Name; }

const TStringCase StringCases[] = {
    {"OffsetInFirstString", {"40960"}, &TArchives::Arc, {atArcExe, 40960}},
    {"FirstOffsetMissesSecondHits", {"20000", "40960"}, &TArchives::Arc, {atArcExe, 40960}},
    {"OnlyFiveCharactersAreSeen", {"409601"}, &TArchives::Arc, {atArcExe, 40960}},
    {"RarAtNamedOffset", {"40960"}, &TArchives::Rar, {atRarExe, 40960}},
    {"GzipAtNamedOffsetIsUnsupported", {"40960"}, &TArchives::Gzip, {atUnsupported, 40960}},
    {"ZipWithoutDirectoryAtNamedOffset", {"40960"}, &TArchives::ZipNoDirectory,
     {atZipExe, 40960, TState::LocalOnly}},
};

// A stripped Windows program whose string table holds Strings as entries 1, 2, ...; no
// resources at all when there are no strings.
Bytes BuildProgram(const fs::path& Dir, const std::vector<const char*>& Strings)
{
    WriteText(Dir / "m.c", "int main(void) { return 0; }\n");
    std::string build = "i686-w64-mingw32-gcc -s -o p.exe m.c";
    if (!Strings.empty()) {
        std::string rc = "STRINGTABLE\nBEGIN\n";
        for (size_t i = 0; i < Strings.size(); ++i)
            rc += "  " + std::to_string(i + 1) + ", \"" + Strings[i] + "\"\n";
        rc += "END\n";
        WriteText(Dir / "s.rc", rc);
        build = "i686-w64-mingw32-windres s.rc -O coff -o s.o && " + build + " s.o";
    }
    if (!RunIn(Dir, build)) return {};
    return ReadFile(Dir / "p.exe");
}

bool HaveMinGW(std::string& Missing)
{
    return HaveTools("i686-w64-mingw32-windres i686-w64-mingw32-gcc", Missing);
}

class ProgramStringTable : public ::testing::TestWithParam<TStringCase> {};

TEST_P(ProgramStringTable, NamesTheArchiveOffset)
{
    const TStringCase& c = GetParam();
    std::string missing;
    if (!HaveMinGW(missing)) GTEST_SKIP() << missing << " is not installed";
    const Bytes& archive = TArchives::Get().*c.Archive;
    if (archive.empty()) GTEST_SKIP() << "the tool that writes the archive is not installed";
    TTempDir tmp;
    const Bytes program = BuildProgram(tmp.Path(), c.Strings);
    ASSERT_FALSE(program.empty());
    ASSERT_LT(program.size(), 40960u);
    WriteFile(tmp / "sfx.exe", At(program, 40960, archive));
    ExpectIdentified(tmp / "sfx.exe", c.Expect);
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramStringTable, ::testing::ValuesIn(StringCases),
                         [](const auto& I) { return std::string(I.param.Name); });

// The same ARC archive at 40960, which no other probe finds, is not found when the
// table does not lead to it.
TEST(ProgramStringTableEnds, AtTextBeyondTheFileOrNoTable)
{
    std::string missing;
    if (!HaveMinGW(missing)) GTEST_SKIP() << missing << " is not installed";
    const Bytes& arc = TArchives::Get().Arc;
    if (arc.empty()) GTEST_SKIP() << "arc is not installed";
    const std::vector<std::vector<const char*>> tables = {
        {"4O960", "40960"}, // a letter O: the search ends at the first string
        {"99999", "40960"}, // beyond the file: the search ends
        {"", "40960"},      // an empty string ends the search
        {},                 // no string table
    };
    for (const auto& t : tables) {
        SCOPED_TRACE(t.empty() ? std::string("no table") : std::string(t[0]));
        TTempDir tmp;
        const Bytes program = BuildProgram(tmp.Path(), t);
        ASSERT_FALSE(program.empty());
        WriteFile(tmp / "sfx.exe", At(program, 40960, arc));
        TUnZip z;
        z.ArchiveFile((tmp / "sfx.exe").string());
        EXPECT_NE(Name(z.ArcType()), Name(atArcExe));
    }
}

// ---------------------------------------------------------------------------------------
// Tape archives: the header checksum decides.

struct TTarCase {
    const char* Name;
    std::function<void(Bytes&)> Change; // of the first 1024 bytes of a real archive
    TArcType Type;
};

void PrintTo(const TTarCase& C, std::ostream* Os) { *Os << C.Name; }

void SetChecksumField(Bytes& H, std::string_view Field)
{
    std::fill(H.begin() + 148, H.begin() + 156, 0);
    std::memcpy(&H[148], Field.data(), std::min<size_t>(Field.size(), 8));
}

// The checksum of a header as its writer computes it: the byte sum with the field
// itself counted as eight spaces.
unsigned HeaderSum(const Bytes& H)
{
    unsigned s = 0;
    for (size_t i = 0; i < 512; ++i) s += i >= 148 && i < 156 ? ' ' : H[i];
    return s;
}

std::string Octal(unsigned V, int Width)
{
    std::string s(static_cast<size_t>(Width), '0');
    for (int i = Width - 1; i >= 0; --i, V /= 8) s[static_cast<size_t>(i)] = char('0' + V % 8);
    return s;
}

const TTarCase TarCases[] = {
    {"AsWritten", [](Bytes&) {}, atTar},
    {"OneChecksumDigitWrong",
     [](Bytes& H) {
         char& d = reinterpret_cast<char&>(H[153]);
         d = d == '7' ? '6' : char(d + 1);
     },
     atNA},
    {"LetterInPlaceOfLeadingZero",
     [](Bytes& H) { SetChecksumField(H, "x" + Octal(HeaderSum(H), 6)); }, atTar},
    {"SpacesBetweenDigits",
     [](Bytes& H) {
         const std::string o = Octal(HeaderSum(H), 6);
         SetChecksumField(H, o.substr(0, 3) + " " + o.substr(3));
     },
     atTar},
    {"ChecksumFieldAllSevens", [](Bytes& H) { SetChecksumField(H, "77777777"); }, atNA},
    {"ChecksumFieldEmpty", [](Bytes& H) { SetChecksumField(H, ""); }, atNA},
    {"ChecksumFieldLetters", [](Bytes& H) { SetChecksumField(H, "zzzzzzz"); }, atNA},
    {"VolumeLabelWithNothingAfterIt",
     [](Bytes& H) {
         H[156] = 'V';
         SetChecksumField(H, Octal(HeaderSum(H), 6));
     },
     atNA},
};

class TarHeader : public ::testing::TestWithParam<TTarCase> {};

TEST_P(TarHeader, ChecksumDecides)
{
    const Bytes& tar = TArchives::Get().Tar;
    if (tar.size() < 1024) GTEST_SKIP() << "tar is not installed";
    Bytes file(tar.begin(), tar.begin() + 1024);
    GetParam().Change(file);
    TTempDir tmp;
    WriteFile(tmp / "a.tar", file);
    ExpectIdentified(tmp / "a.tar", {GetParam().Type});
}

INSTANTIATE_TEST_SUITE_P(Checksums, TarHeader, ::testing::ValuesIn(TarCases),
                         [](const auto& I) { return std::string(I.param.Name); });

TEST(TarHeaderSize, AHeaderAloneIsNotAnArchive)
{
    const Bytes& tar = TArchives::Get().Tar;
    if (tar.size() < 1024) GTEST_SKIP() << "tar is not installed";
    TTempDir tmp;
    WriteFile(tmp / "a.tar", Bytes(tar.begin(), tar.begin() + 512));
    ExpectIdentified(tmp / "a.tar", {atNA});
    WriteFile(tmp / "b.tar", Bytes(tar.begin(), tar.begin() + 513));
    ExpectIdentified(tmp / "b.tar", {atTar, 0});
}

// ---------------------------------------------------------------------------------------
// Uuencoded text: the "begin" line must start within the first 5000 bytes.

TEST(UuencodedText, BeginLineMustLieInTheFirst5000Bytes)
{
    const Bytes& uue = TArchives::Get().Uue;
    if (uue.empty()) GTEST_SKIP() << "uuencode is not installed";
    ASSERT_EQ(FindBytes(uue, "begin 6"), 0);
    const struct {
        size_t Before;
        TArcType Type;
    } cases[] = {{0, atUUE}, {1, atUUE}, {2000, atUUE}, {4993, atUUE}, {4994, atNA}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Before);
        // Lines of text of exactly Before bytes, the last ending in a line feed.
        Bytes text(c.Before, 'x');
        for (size_t i = 59; i < text.size(); i += 60) text[i] = '\n';
        if (!text.empty()) text.back() = '\n';
        TTempDir tmp;
        WriteFile(tmp / "a.txt", text + uue);
        ExpectIdentified(tmp / "a.txt", {c.Type});
    }
}

TEST(UuencodedText, BeginInsideALineDoesNotCount)
{
    const Bytes& uue = TArchives::Get().Uue;
    if (uue.empty()) GTEST_SKIP() << "uuencode is not installed";
    TTempDir tmp;
    WriteFile(tmp / "a.txt", Text("see: ") + uue);
    ExpectIdentified(tmp / "a.txt", {atNA});
}

// ---------------------------------------------------------------------------------------
// The volume numbering taken from the file name.

struct TVolumeCase {
    const Bytes TArchives::*Archive;
    const char* Name;
    TArcType Type;
    char Letter;
    int32_t Number;
};

TEST(VolumeScheme, FollowsTheExtension)
{
    const TArchives& a = TArchives::Get();
    const TVolumeCase cases[] = {
        {&TArchives::Arj, "x.arj", atArj, 'a', 1},
        {&TArchives::Arj, "x.a01", atArj, 'a', 2},
        {&TArchives::Arj, "x.A07", atArj, 'A', 8},
        {&TArchives::Arj, "x", atArj, 'a', 1},
        {&TArchives::Arj, "x.a1b2", atArj, 'a', 3},
        {&TArchives::Arj, "x.a1b", atArj, 'a', 1},
        {&TArchives::Rar, "x.rar", atRar, 'q', 0},
        {&TArchives::Rar, "x.r00", atRar, 'r', 1},
        {&TArchives::Rar, "x.r41", atRar, 'r', 42},
        {&TArchives::Rar, "x.r1a", atRar, 'q', 0},
        {&TArchives::Rar, "x.r99999999999", atRar, 'r', INT32_MAX},
        {&TArchives::Rar, "dir.r05/x", atRar, 'q', 0},
        {&TArchives::Ace, "x.ace", atAce, 'C', 0},
        {&TArchives::Ace, "x.c05", atAce, 'c', 6},
        {&TArchives::Zip, "x.jar", atJar, 'j', 0},
        {&TArchives::Zip, "x.z05", atZip, 'z', 0},
    };
    for (const TVolumeCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const Bytes& data = a.*c.Archive;
        if (data.empty()) continue; // its tool is missing; the other cases still run
        TTempDir tmp;
        const fs::path file = tmp / c.Name;
        fs::create_directories(file.parent_path());
        WriteFile(file, data);
        TIdentProbe z;
        EXPECT_NO_THROW(z.ArchiveFile(file.string()));
        EXPECT_EQ(Name(z.ArcType()), Name(c.Type));
        EXPECT_EQ(z.VolumeLetter(), c.Letter);
        EXPECT_EQ(z.VolumeNumber(), c.Number);
    }
}

// ---------------------------------------------------------------------------------------
// Split sets: spanned over labelled removable disks, or numbered files anywhere else.

TEST(SpanType, RemovableDisksLabelledPkbackAreSpanned)
{
    const struct {
        uint8_t DriveType;
        const char* Label;
        TArcType Type;
    } cases[] = {
        {2, "PKBACK# 001", atZipDS}, {2, "pkback# 002", atZipDS}, {2, "PKBACK#", atZipDS},
        {2, "PKBACK#1", atZipMV},    {2, "BACKUP 001", atZipMV},  {2, "", atZipMV},
        {3, "PKBACK# 001", atZipMV}, {4, "PKBACK# 001", atZipMV}, {5, "PKBACK# 001", atZipMV},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.DriveType) + " " + c.Label);
        TDiskManager disk;
        disk.FDriveType = c.DriveType;
        disk.FVolumeLabel = c.Label;
        EXPECT_EQ(Name(TIdentProbe::SpanTypeOf(disk)), Name(c.Type));
    }
}

// ---------------------------------------------------------------------------------------
// The setters and what identification leaves behind.

TEST(Setters, WritingArcTypeReidentifiesTheFile)
{
    const TArchives& a = TArchives::Get();
    if (a.Zip.empty() || a.Gzip.empty()) GTEST_SKIP() << "zip or gzip is not installed";
    TTempDir tmp;
    const fs::path file = tmp / "a.bin";
    WriteFile(file, a.Zip);
    TUnZip z;
    z.ArchiveFile(file.string());
    EXPECT_EQ(Name(z.ArcType()), Name(atZip));
    WriteFile(file, a.Gzip);
    z.ArcType(atZip); // the value is ignored
    EXPECT_EQ(Name(z.ArcType()), Name(atGZip));
    EXPECT_EQ(z.WalkStart(), 0);
}

TEST(Setters, WritingArcTypeWhenTheFileIsGoneRaisesTheOpenError)
{
    TTempDir tmp;
    const fs::path file = tmp / "a.zip";
    WriteFile(file, Text("PK\5\6"));
    TUnZip z;
    z.ArchiveFile(file.string());
    fs::remove(file);
    try {
        z.ArcType(atZip);
        FAIL() << "no exception";
    } catch (const E_RAISE& e) {
        EXPECT_EQ(e.Code(), E_OPENERR);
        EXPECT_STREQ(e.what(), "Error opening file");
    }
    EXPECT_EQ(Name(z.ArcType()), Name(atNA));
}

TEST(Setters, WritingArcTypeWithoutAFileDoesNothing)
{
    TUnZip z;
    EXPECT_NO_THROW(z.ArcType(atZip));
    EXPECT_EQ(Name(z.ArcType()), Name(atNA));
}

TEST(Setters, MissingFileIsNotIdentified)
{
    TTempDir tmp;
    TUnZip z;
    z.ArchiveFile((tmp / "none.zip").string());
    EXPECT_EQ(Name(z.ArcType()), Name(atNA));
}

TEST(Setters, ArchiveDateIsSetEvenForTinyFiles)
{
    TTempDir tmp;
    WriteFile(tmp / "tiny", Text("PK\3\4 tiny"));
    TIdentProbe z;
    z.ArchiveFile((tmp / "tiny").string());
    EXPECT_EQ(Name(z.ArcType()), Name(atNA));
    const uint32_t d = z.ArchiveDate();
    const unsigned month = (d >> 21) & 15, day = (d >> 16) & 31;
    EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1) << std::hex << d;
}

// ---------------------------------------------------------------------------------------
// Hostile input: whatever the bytes, identification ends, and a ZIP result starts its
// walk inside the file.

void ExpectSane(const fs::path& File, uint64_t Size)
{
    TUnZip z;
    ASSERT_NO_THROW(z.ArchiveFile(File.string()));
    if (IsZipType(z.ArcType())) {
        EXPECT_GE(z.WalkStart(), 0);
        EXPECT_LT(static_cast<uint64_t>(z.WalkStart()), Size) << Name(z.ArcType());
    } else if (z.ArcType() != atNA) {
        EXPECT_GE(z.WalkStart(), 0) << Name(z.ArcType());
    }
    EXPECT_EQ(z.HeaderState().Bits & ~0x1Fu, 0u);
}

TEST(HostileInput, TruncatedArchivesAreIdentifiedSafely)
{
    const TArchives& a = TArchives::Get();
    const std::pair<const char*, Bytes> sources[] = {
        {"zip", a.Zip},
        {"zip program", a.Zip.empty() ? Bytes{} : DosImage(1024) + a.Zip},
        {"zip stub", a.Zip.empty() ? Bytes{} : At(DosImage(600), 7612, a.Zip)},
        {"arj", a.Arj},
        {"lha", a.Lha},
        {"tar", a.Tar},
        {"rar", a.Rar},
    };
    TTempDir tmp;
    const fs::path file = tmp / "cut.bin";
    for (const auto& [what, data] : sources) {
        SCOPED_TRACE(what);
        for (size_t len = 0; len < data.size(); len += len < 64 ? 1 : 61) {
            SCOPED_TRACE(len);
            WriteFile(file, Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(len)));
            ExpectSane(file, len);
        }
    }
}

TEST(HostileInput, RandomBytesBehindSignaturesAreIdentifiedSafely)
{
    const std::string_view prefixes[] = {
        {"", 0},          {"MZ", 2},           {"PK\3\4", 4},   {"PK\1\2", 4},
        {"PK\7\x08", 4},  {"\x60\xEA", 2},     {"\x1F\x8B", 2}, {"Rar!", 4},
        {"\0\0\0\0", 4},  {"begin 644 x\n", 12}, {"1234567**ACE**", 14},
    };
    const size_t sizes[] = {20, 21, 133, 600, 5000, 40000, 400000};
    TTempDir tmp;
    const fs::path file = tmp / "random.bin";
    uint32_t seed = 1;
    for (const auto prefix : prefixes)
        for (const size_t size : sizes) {
            SCOPED_TRACE(std::to_string(size) + " bytes after prefix of " +
                         std::to_string(prefix.size()));
            Bytes data = RandomBytes(size, seed++);
            std::copy(prefix.begin(), prefix.end(), data.begin());
            WriteFile(file, data);
            ExpectSane(file, size);
        }
}

TEST(HostileInput, EndRecordClaimingHugeDirectory)
{
    const Bytes& zip = TArchives::Get().Zip;
    if (zip.empty()) GTEST_SKIP() << "zip is not installed";
    const int64_t end = FindBytes(zip, std::string_view("PK\5\6", 4));
    ASSERT_GT(end, 0);
    TTempDir tmp;
    const std::pair<uint32_t, uint32_t> claims[] = {
        {0xFFFFFFF0u, 0xFFFFFFF0u}, {0x7FFFFFFFu, 0}, {0x80000000u, 0x80000000u}, {0, 0}};
    for (const auto& [size, offset] : claims) {
        SCOPED_TRACE(size);
        Bytes data = zip;
        PutU32(&data[static_cast<size_t>(end) + 12], size);
        PutU32(&data[static_cast<size_t>(end) + 16], offset);
        WriteFile(tmp / "a.zip", data);
        // The directory cannot be used; the local headers can.
        ExpectIdentified(tmp / "a.zip", {atZip, 0, TState::LocalOnly});
    }
}

TEST(HostileInput, DamagedStringTablesAreSafe)
{
    std::string missing;
    if (!HaveMinGW(missing)) GTEST_SKIP() << missing << " is not installed";
    const Bytes& arc = TArchives::Get().Arc;
    if (arc.empty()) GTEST_SKIP() << "arc is not installed";
    TTempDir tmp;
    const Bytes program = BuildProgram(tmp.Path(), {"20000", "40960"});
    ASSERT_FALSE(program.empty());
    const Bytes good = At(program, 40960, arc);
    // The PE header and the resource section, found through the section table.
    const int64_t rsrc = FindBytes(good, std::string_view(".rsrc\0\0\0", 8));
    ASSERT_GT(rsrc, 0);
    const uint32_t rsrcAt = GetU32(&good[static_cast<size_t>(rsrc) + 20]);
    const uint32_t rsrcLen = GetU32(&good[static_cast<size_t>(rsrc) + 16]);
    ASSERT_LT(uint64_t{rsrcAt} + rsrcLen, good.size());
    std::vector<size_t> spots;
    for (size_t i = 0x3C; i < 0x40; ++i) spots.push_back(i);
    const size_t pe = GetU32(&good[0x3C]);
    for (size_t i = pe; i < static_cast<size_t>(rsrc) + 40; ++i) spots.push_back(i);
    for (size_t i = rsrcAt; i < size_t{rsrcAt} + std::min<uint32_t>(rsrcLen, 0x100); ++i)
        spots.push_back(i);
    const fs::path file = tmp / "damaged.exe";
    for (const size_t at : spots)
        for (const uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}}) {
            if (good[at] == v) continue;
            SCOPED_TRACE(std::to_string(at) + " := " + std::to_string(v));
            Bytes data = good;
            data[at] = v;
            WriteFile(file, data);
            ExpectSane(file, data.size());
        }
}

// A comment whose last bytes happen to be an end-record signature hides the real end
// record from the end-record search, which then takes a hit with no room for a record
// and gives up instead of looking further back. Disabled until the search skips such
// hits.
TEST(EndRecordSearch, CommentEndingInEndSignatureStillFindsDirectory)
{
    std::string missing;
    if (!HaveTools("zip unzip", missing)) GTEST_SKIP() << missing << " is not installed";
    TTempDir tmp;
    WriteInputs(tmp.Path());
    ASSERT_TRUE(RunIn(tmp.Path(), "zip -q a.zip readme.txt && printf 'note PK\\005\\006' | "
                                  "zip -q -z a.zip && unzip -tq a.zip"));
    // Python's zipfile trips over this comment too; unzip (above) and 7-Zip do not.
    const int64_t dir = FindBytes(ReadFile(tmp / "a.zip"), std::string_view("PK\1\2", 4));
    ExpectIdentified(tmp / "a.zip", {atZip, dir, TState::WithDirectory});
}

// When the directory is not where the end record's offset says but at the fallback
// position (end record - directory size), the search reads it there but still returns
// the first position, which may lie outside the file. Here a wide end record (the
// library's own form; no tool writes it) with a corrupt 64-bit directory offset.
// Disabled until the search returns the position it read the directory from.
TEST(EndRecordSearch, DirectoryFoundAtFallbackIsReturnedThere)
{
    std::vector<TZipEntrySpec> e(2);
    e[0].Name = "one.txt";
    e[0].Data = TextBytes(1000, 1);
    e[1].Name = "two.txt";
    e[1].Data = TextBytes(3000, 2);
    TZipBuildOptions o;
    o.WideEnd = true;
    Bytes zip = BuildZip(e, o);
    const int64_t end = FindBytes(zip, std::string_view("P[\5\6", 4));
    const int64_t dir = FindBytes(zip, std::string_view("PK\1\2", 4));
    ASSERT_GT(end, 0);
    ASSERT_GT(dir, 0);
    PutU32(&zip[static_cast<size_t>(end) + 16], static_cast<uint32_t>(zip.size() + 1000));
    TTempDir tmp;
    WriteFile(tmp / "a.zip", zip);
    ExpectIdentified(tmp / "a.zip", {atZip, dir, TState::WithDirectory});
}

// Data put in front of a ZIP64 archive: the fallback position (end record - directory
// size) does not allow for the ZIP64 end record and locator that lie between the
// directory and the end record, so the directory is missed and only the local headers
// are walked (unzip and Python's zipfile find it). Disabled until the search allows for
// them.
TEST(EndRecordSearch, Zip64WithPrependedDataKeepsItsDirectory)
{
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    TTempDir tmp;
    WriteInputs(tmp.Path());
    ASSERT_TRUE(RunIn(tmp.Path(), "zip -q -fz a.zip readme.txt small.txt && "
                                  "(head -c 300 /dev/zero; cat a.zip) > b.zip"));
    ExpectIdentified(tmp / "b.zip", {atZip, AtDirectory, TState::WithDirectory});
}

} // namespace

// ---------------------------------------------------------------------------------------
// Streams that hand out fewer bytes per read than asked: identification through one must
// find what it finds from the file.

namespace {

// What identification leaves behind, in words.
std::string Facts(const TUnZip& Z, TArcType T)
{
    std::ostringstream s;
    s << Name(T) << " walk " << Z.WalkStart() << " state " << int(Z.HeaderState().Bits)
      << " adjust " << Z.OffsetAdjust() << " end " << Z.EndRecordEnd() << " disks "
      << Z.EndDisk() << "/" << Z.DirDisk();
    return s.str();
}

// Identifies File from the file, then from its bytes through memory streams that hand
// out at most 1, 7 and 31 bytes per read; all must agree.
void ExpectSameThroughShortReads(const fs::path& File)
{
    SCOPED_TRACE(File.filename().string());
    TUnZip z;
    z.ArchiveFile(File.string());
    const std::string fromFile = Facts(z, z.ArcType());
    const Bytes data = ReadFile(File);
    for (const int32_t maxRead : {1, 7, 31}) {
        TMemoryStream32 mem(data, maxRead);
        const TArcType t = z.IdentifyArchive(mem);
        EXPECT_EQ(Facts(z, t), fromFile) << "at most " << maxRead << " bytes per read";
    }
}

} // namespace

TEST(ShortReads, CorpusIsIdentifiedAlikeFromAStream)
{
    int seen = 0;
    for (const TManifestRecord& r : Manifest()) {
        const fs::path file = CorpusDir() / r.File;
        if (!fs::is_regular_file(file)) continue;
        ExpectSameThroughShortReads(file);
        ++seen;
    }
    // The parts of split sets besides the last are not in the manifest.
    for (const auto& f : fs::directory_iterator(CorpusDir()))
        if (f.path().extension() == ".z01") {
            ExpectSameThroughShortReads(f.path());
            ++seen;
        }
    EXPECT_GE(seen, 45);
}

TEST(ShortReads, LayoutsAreIdentifiedAlikeFromAStream)
{
    SKIP_ON_WINDOWS("most layouts are archives made by tools through /bin/sh");
    // Programs, self-extractor stubs, the forward scan and the other layouts of the
    // identification table above.
    TTempDir tmp;
    int seen = 0;
    for (const TBuiltCase& c : BuiltCases) {
        Bytes data = c.Prefix();
        if (c.Archive) {
            const Bytes& archive = TArchives::Get().*c.Archive;
            if (archive.empty()) continue; // its tool is not installed
            if (c.Offset > 0) data.resize(c.Offset, 0);
            data = data + archive;
        }
        if (data.size() > c.Keep) data.resize(c.Keep);
        const fs::path file = tmp / (std::string(c.Name) + ".bin");
        WriteFile(file, data);
        ExpectSameThroughShortReads(file);
        ++seen;
    }
    EXPECT_GE(seen, 10);
    // A program naming its archive's offset in its string table.
    std::string missing;
    const Bytes& arc = TArchives::Get().Arc;
    if (!HaveMinGW(missing) || arc.empty()) return;
    const Bytes program = BuildProgram(tmp.Path(), {"20000", "40960"});
    ASSERT_FALSE(program.empty());
    WriteFile(tmp / "strings.exe", At(program, 40960, arc));
    ExpectSameThroughShortReads(tmp / "strings.exe");
}

// ---------------------------------------------------------------------------------------
// Case folding: ASCII letters only, whatever locale the host has set.

namespace {

#ifndef _WIN32
// A Turkish single-byte locale, whose tables fold 'I' to a dotless i and a dotted capital
// I to 'i': the installed one, or one compiled from the system's locale sources into Dir.
// Null when there is neither.
locale_t TurkishLocale(const fs::path& Dir)
{
#ifdef UNSPOOL_LEAK_CHECKED
    // The C library keeps a loaded locale's search path for the life of the process,
    // which the leak checker would count against this test.
    __lsan::ScopedDisabler keep;
#endif
    for (const char* name : {"tr_TR.ISO-8859-9", "tr_TR.iso88599"})
        if (locale_t l = newlocale(LC_CTYPE_MASK, name, locale_t{})) return l;
    if (!HaveTool("localedef")) return locale_t{};
    // localedef may report warnings with a non-zero status and still write the locale.
    Shell("localedef -i tr_TR -f ISO-8859-9 " + Quote((Dir / "tr_TR.ISO-8859-9").string()));
    if (!fs::is_directory(Dir / "tr_TR.ISO-8859-9")) return locale_t{};
    // The locale is looked up along LOCPATH only while it is being loaded.
    const char* was = std::getenv("LOCPATH");
    const std::string saved = was ? was : "";
    setenv("LOCPATH", Dir.c_str(), 1);
    const locale_t l = newlocale(LC_CTYPE_MASK, "tr_TR.ISO-8859-9", locale_t{});
    if (was)
        setenv("LOCPATH", saved.c_str(), 1);
    else
        unsetenv("LOCPATH");
    return l;
}

#endif

} // namespace

TEST(CaseFolding, IgnoresATurkishLocale)
{
    SKIP_ON_WINDOWS("per-thread C locales (uselocale) are POSIX");
#ifndef _WIN32
    TTempDir tmp;
    const locale_t turkish = TurkishLocale(tmp.Path());
    if (!turkish)
        GTEST_SKIP() << "no Turkish locale is installed and localedef cannot compile one";
    // The locale applies to this thread only.
    const locale_t before = uselocale(turkish);
    const bool localeFoldsOtherwise = std::tolower('I') != 'i' || std::toupper('i') != 'I';
    std::vector<int> wrong;
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : ch;
        const char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : ch;
        if (AsciiToLower(ch) != lower || AsciiToUpper(ch) != upper) wrong.push_back(c);
    }
    uselocale(before);
    freelocale(turkish);
    if (!localeFoldsOtherwise) GTEST_SKIP() << "this Turkish locale folds 'I' and 'i' as ASCII";
    std::ostringstream list;
    for (const int c : wrong) list << " 0x" << std::hex << c;
    EXPECT_TRUE(wrong.empty()) << "folded by the locale:" << list.str();
#endif
}

// Helpers shared by the test suites: temporary folders, files, external tools, the
// manifests of the corpus and of the legacy benchmark set, extraction of a corpus
// archive, and a builder for hand-made ZIP archives.
#pragma once

#include "qvrUnZip.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace test {

using Bytes = std::vector<uint8_t>;

// A fresh folder, removed with everything in it at the end of the test.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const fs::path& Path() const { return FPath; }
    fs::path operator/(const std::string& Name) const { return FPath / Name; }

private:
    fs::path FPath;
};

// A path in the component's own form ("\" separated).
std::string Inside(const fs::path& P);

// Files below Dir, as "a/b" paths relative to it, sorted; empty when Dir is missing.
std::vector<std::string> FilesBelow(const fs::path& Dir);
Bytes ReadFile(const fs::path& P);
std::string ReadText(const fs::path& P);
void WriteFile(const fs::path& P, const Bytes& Data);
void WriteText(const fs::path& P, const std::string& Text);
uint32_t Crc32Of(const Bytes& Data);
Bytes RandomBytes(size_t N, uint32_t Seed);
Bytes TextBytes(size_t N, uint32_t Seed);

// Whether the suites run as a Windows program (the MinGW build, under Wine or Windows).
constexpr bool OnWindows()
{
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}
// Skips the test that calls it (directly, or from a fixture's SetUp or SetUpTestSuite for
// the whole suite) in the Windows build, saying why it does not apply there.
#define SKIP_ON_WINDOWS(Why)                                                                \
    do {                                                                                    \
        if (::test::OnWindows()) GTEST_SKIP() << "not on Windows: " << (Why);               \
    } while (0)

// Why a test over non-ASCII names skips on Windows: the suites make paths from UTF-8 strings,
// which std::filesystem of MinGW reads in the ANSI code page (scripts/test-wine extracts
// such names through the command instead).
inline constexpr const char* Utf8PathsOnWindows =
    "the suites' UTF-8 strings become paths in the ANSI code page";

// Runs a shell command; returns its exit status and captures standard output and error.
struct TRunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};
TRunResult Shell(const std::string& Command);
bool HaveTool(const std::string& Name);
// Runs Command on a pseudo-terminal of its own (Python's pty module) and types the
// answers: each time the terminal shows Prompt once more, the next of Answers and Enter,
// or end-of-input once they are used up. Out holds everything the terminal showed: the
// command's output and whatever the terminal echoed of the typing.
TRunResult RunOnTerminal(const std::string& Command, const std::vector<std::string>& Answers,
                         const std::string& Prompt);
std::string Quote(const std::string& S);

// Paths of the corpus the repository carries (tests/data/corpus), the legacy benchmark
// set (../shared/bench-legacy, beside the repository and not always there), and the
// command under test.
fs::path CorpusDir();
fs::path LegacyBenchDir();
fs::path CliPath();
// Empty when the legacy benchmark set is there; otherwise the reason a test that needs it
// is skipped.
std::string LegacyBenchMissing();

// What a manifest expects of one archive.
struct TExpectedEntry {
    std::string Name;
    bool IsDir = false;
    uint64_t Size = 0;
    uint32_t Crc = 0;
    std::string Sha256; // empty when the manifest gives none
};
struct TManifestRecord {
    std::string File;
    std::string Kind;
    std::string ExpectedFormat;
    std::vector<std::string> Methods; // of the entries, as numbers
    std::vector<TExpectedEntry> Entries;
    std::string Password;
};
// The records of a MANIFEST.jsonl file (the corpus and the legacy benchmark set share
// the format); empty when it cannot be read.
std::vector<TManifestRecord> ReadManifest(const fs::path& File);
// The corpus manifest and the legacy benchmark manifest, each read once.
const std::vector<TManifestRecord>& Manifest();
const std::vector<TManifestRecord>& LegacyBenchManifest();
// The record of File in Records (the corpus manifest by default); null when absent.
const TManifestRecord* FindManifest(const std::vector<TManifestRecord>& Records,
                                    const std::string& File);
const TManifestRecord* FindManifest(const std::string& File);

// Checks that Dir holds exactly the files the record expects, with their sizes and
// CRCs; returns a description of every difference (empty when it matches).
std::string CompareWithManifest(const TManifestRecord& R, const fs::path& Dir);

// Builds ZIP archives byte by byte, for the cases no tool writes.
struct TZipEntrySpec {
    std::string Name;
    Bytes Data;          // stored as is (method 0) unless Raw is set
    uint16_t Method = 0;
    uint16_t Flags = 0;
    uint32_t ExternalAttr = 0;
    uint32_t DosTime = 0x5A8C6B2D; // 2025-04-12 13:25:26
    bool Raw = false;    // Data is already the compressed form
    uint32_t Crc = 0;    // used when Raw
    uint64_t UncompressedSize = 0; // used when Raw
    bool DataDescriptor = false;   // zero CRC and sizes in the local header
    bool Zip64 = false;            // saturated fields and a 0x0001 extra block
    bool BadCrc = false;           // store a wrong CRC
    bool UnsignedDescriptor = false; // a data descriptor without its signature
    std::string LocalName;         // the local header's name, when it is not Name
    // The local header offset the directory record holds, pointing at another entry's
    // header or into its data; only the directory record is written for such an entry.
    // -1: its own local header, written in turn.
    int64_t LocalOffset = -1;
    uint8_t Host = 3;              // high byte of "version made by": 3 Unix, 0 DOS, ...
    Bytes Extra;                   // extra fields for both headers, after any ZIP64 block
    Bytes LocalExtra, CentralExtra; // extra fields of one header alone, after Extra
};
struct TZipBuildOptions {
    Bytes Prefix;                  // bytes before the archive
    bool AdjustOffsets = true;     // offsets count the prefix
    std::string Comment;
    bool Zip64End = false;         // ZIP64 end record and locator
    bool NoCentral = false;        // local headers only
    bool EncipherRecords = false;  // the library's own enciphered header variants
    bool WideEnd = false;          // the 26-byte wide end record
    // The directory offset the end record (the ZIP64 one with Zip64End) holds instead of
    // the directory's real offset; -1 for the real one.
    int64_t EndDirOffset = -1;
    bool SaturatedEndDisks = false; // 0xFFFF in the plain end record's disk numbers
};
Bytes BuildZip(const std::vector<TZipEntrySpec>& Entries, const TZipBuildOptions& O = {});

// One extra field: Tag, the size of Body, Body.
Bytes Field(uint16_t Tag, const Bytes& Body);
// An extended timestamp field with Flags and, first, the modification time Seconds.
Bytes Ut(uint8_t Flags, uint32_t Seconds);
// A Unicode Path field naming Name, written for the stored name ForName.
Bytes UnicodePath(const std::string& ForName, const std::string& Name);

// Enciphers E's data (already set, with E.Crc) behind a 12-byte encryption header whose
// check byte is the high byte of the CRC, with the traditional cipher.
void Encrypt(TZipEntrySpec& E, const std::string& Password);
// A password other than Right that passes the check byte of E, encrypted with Right:
// one in 256 wrong passwords does, and only the data can tell it is wrong.
std::string CheckByteTwin(const TZipEntrySpec& E, const std::string& Right);

// Raw Deflate data of In (zlib, no wrapper).
Bytes RawDeflate(const Bytes& In, int Level = 6);
// A stored or deflated entry of the builder holding Data.
TZipEntrySpec Entry(const std::string& Name, const Bytes& Data, uint16_t Method = 0);
// One file of StoredFiles: Size bytes of TextBytes or, with Random, of RandomBytes.
struct TFileRow {
    std::string Name;
    size_t Size = 0;
    bool Random = false;
};
// Stored entries holding Files in turn, the first made from seed 1, the next from seed 2
// and so on: a small archive whose contents a test can compare with each entry's Data.
std::vector<TZipEntrySpec> StoredFiles(const std::vector<TFileRow>& Files);
// Zip cut off where its central directory starts: only local headers are left.
Bytes WithoutDirectory(const Bytes& Zip);
// Where the Index-th central header of Zip (an archive without comment) starts.
size_t CentralRecordOffset(const Bytes& Zip, size_t Index);
// Files entries named q0, q1, ... that all inflate from the one Deflate stream of
// Content: each entry's data is a stored block quoting the next entry's local header,
// followed by that entry's data. Entry i holds the local headers of entries i+1 and on,
// then Content; every CRC is right.
Bytes QuotedOverlapZip(int Files, const Bytes& Content);

// What one run of a component reported, gathered by its event handlers.
struct TRunLog {
    std::vector<std::pair<std::string, int32_t>> Errors; // leaf name, code
    std::vector<std::string> Extended;                   // of each error, in order
    std::vector<TReportSubject> Subjects;                // of each error, in order
    std::map<std::string, bool> Verdicts;                // leaf name, CRC verdict
    std::vector<int> ArchivePercents;
    std::vector<std::string> Volumes; // leaf names of the parts asked for, in order
    // Begin, error and end events, in the order raised: "begin a.txt", "error a.txt
    // 25151", "end a.txt 1".
    std::vector<std::string> Events;
    int32_t Count = 0;
    std::vector<int32_t> Codes() const;
    // The last code reported for each leaf name.
    std::map<std::string, int32_t> ErrorsByName() const;
};
// Runs Z (archive and options already set; every entry when no FileSpec is) into Out
// with handlers that fill the log (an OnProgress of Z's own is called as well); the
// parts of a split set are taken from where the component proposes, unless Z has its
// own OnNextVolume; with AnswerVolumes false, Z's own (or none) is left as it is.
TRunLog RunLogged(TUnZip& Z, const fs::path& Out, bool AnswerVolumes = true);

// Every file below Dir with its bytes, its modification time and its mode, and every
// folder ("name/") with its mode: a folder's time changes with what is made in it. A
// file's time of the last hour (the run's own, not an entry's) is taken as one time.
using TFileTree = std::map<std::string, std::tuple<Bytes, fs::file_time_type, fs::perms>>;
TFileTree TreeOf(const fs::path& Dir);
// What Got holds otherwise than Expected, a line a name ("bytes of a.txt"); empty when
// the two agree.
std::string TreeDifferences(const TFileTree& Got, const TFileTree& Expected);
// Extracts Archive with one thread into Dir/one and with Threads into Dir/four, Setup
// having set the host's handlers and properties on each (Prepare, when given, is called
// with each folder before its run: files already there, say): the events, the reports,
// the counts and the trees must agree. Returns the log of the run on Threads.
TRunLog ExpectThreadsAsOne(const fs::path& Archive, const fs::path& Dir,
                           const std::function<void(TUnZip&)>& Setup, int Threads = 4,
                           const std::function<void(const fs::path&)>& Prepare = {});

// Sets Archive as Z's archive: its file, or with ShortReads its bytes from memory at most
// 31 bytes per read, so that every reader meets a source that hands out short counts.
void OpenArchive(TUnZip& Z, const fs::path& Archive, bool ShortReads);
// Extracts Archive into Out with RunLogged: the entries Masks select (all when empty),
// trying Password when one is given.
TRunLog ExtractLogged(const fs::path& Archive, const fs::path& Out, bool ShortReads = false,
                      const TStringList& Masks = {}, const std::string& Password = "");
// Extracts every entry of Archive into a temporary folder and expects no report, one
// passing verdict for each file R lists, and the files R lists with their sizes and
// CRCs (CompareWithManifest).
void ExpectExtractsAsManifest(const fs::path& Archive, const TManifestRecord& R,
                              bool ShortReads);

} // namespace test

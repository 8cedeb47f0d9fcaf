// The unspool command as users run it: real archives, exit codes, error lines.
#include "TestSupport.h"
#include "qvrMethods.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

using namespace test;

namespace {

TRunResult Unspool(const std::string& Args) { return Shell(Quote(CliPath().string()) + " " + Args); }

fs::path StoredArchive(const TTempDir& Tmp)
{
    WriteFile(Tmp / "s.zip",
              BuildZip(StoredFiles({{"docs/a.txt", 1000}, {"b.bin", 3000, true}, {"c.txt", 10}})));
    return Tmp / "s.zip";
}

} // namespace

TEST(Cli, ExtractsAStoredCorpusArchiveByteExact)
{
    TTempDir tmp;
    const TRunResult r = Unspool("-q " + Quote((CorpusDir() / "c01_infozip_store.zip").string()) +
                                 " " + Quote((tmp / "out").string()));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(CompareWithManifest(*FindManifest("c01_infozip_store.zip"), tmp / "out"), "");
}

TEST(Cli, ArchivesFromRealToolsExtract)
{
    TTempDir tmp;
    WriteFile(tmp / "src/top.txt", TextBytes(4000, 1));
    WriteFile(tmp / "src/dir/inner.bin", RandomBytes(9000, 2));
    const std::string src = Quote((tmp / "src").string());
    struct TTool {
        const char* Tool;
        std::string Command;
    };
    const std::vector<TTool> tools = {
        {"zip", "cd " + src + " && zip -q -0 -r ../t.zip top.txt dir"},
        {"python3", "cd " + src + " && python3 -c \"import zipfile; z=zipfile.ZipFile('../t.zip','w'); z.write('top.txt'); z.write('dir/inner.bin'); z.close()\""},
        {"bsdtar", "cd " + src + " && bsdtar --format zip --options zip:compression=store -cf ../t.zip top.txt dir"},
        {"jar", "cd " + src + " && jar -c -0 -f ../t.zip top.txt dir"},
    };
    for (const auto& t : tools) {
        if (!HaveTool(t.Tool)) continue;
        fs::remove(tmp / "t.zip");
        ASSERT_EQ(Shell(t.Command).Status, 0) << t.Tool;
        const fs::path out = tmp / (std::string("out-") + t.Tool);
        const TRunResult r = Unspool("-q " + Quote((tmp / "t.zip").string()) + " " + Quote(out.string()));
        EXPECT_EQ(r.Status, 0) << t.Tool << ": " << r.Err;
        EXPECT_EQ(ReadFile(out / "top.txt"), TextBytes(4000, 1)) << t.Tool;
        EXPECT_EQ(ReadFile(out / "dir/inner.bin"), RandomBytes(9000, 2)) << t.Tool;
    }
}

TEST(Cli, MissingArchiveIsExitTwoWithItsCode)
{
    TTempDir tmp;
    const std::string missing = (tmp / "nope.zip").string();
    const TRunResult r = Unspool(Quote(missing) + " " + Quote((tmp / "out").string()));
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Err, "unspool: " + missing + ": File not found (25192)\n");
}

TEST(Cli, NotAZipArchiveIsExitTwo)
{
    TTempDir tmp;
    WriteText(tmp / "plain.txt", std::string(5000, 'x'));
    const TRunResult r = Unspool(Quote((tmp / "plain.txt").string()) + " " + Quote((tmp / "o").string()));
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("not a ZIP archive"), std::string::npos) << r.Err;
}

TEST(Cli, UsageErrorsAreExitThree)
{
    EXPECT_EQ(Unspool("").Status, 3);
    EXPECT_EQ(Unspool("--bogus a.zip").Status, 3);
    EXPECT_EQ(Unspool("a.zip b c").Status, 3);
    EXPECT_EQ(Unspool("--date=yesterday a.zip").Status, 3);
    EXPECT_EQ(Unspool("-p").Status, 3);
    const TRunResult help = Unspool("--help");
    EXPECT_EQ(help.Status, 0);
    EXPECT_NE(help.Out.find("usage: unspool"), std::string::npos);
}

TEST(Cli, EntryFailuresAreExitOneWithTheirCodes)
{
    TTempDir tmp;
    // A method no build has a row for, between two Deflate entries.
    std::vector<TZipEntrySpec> ppmd = {Entry("small.txt", TextBytes(18, 1), 8),
                                       Entry("readme.txt", TextBytes(3000, 2)),
                                       Entry("table.bin", RandomBytes(900, 3), 8)};
    ppmd[1].Method = 98;
    WriteFile(tmp / "ppmd.zip", BuildZip(ppmd));
    struct TCase {
        fs::path Archive;
        const char* Line;
    };
    const TCase cases[] = {
        {CorpusDir() / "bad_crc.zip", "small.txt: File fails CRC check (25151)"},
        {CorpusDir() / "bad_local_offset.zip", "random.bin: Bad file header (25114)"},
        {tmp / "ppmd.zip", "readme.txt: Unsupported compression method (25326): PPMd (98)"},
    };
    for (const auto& c : cases) {
        const fs::path out = tmp / "out" / c.Archive.filename();
        const TRunResult r = Unspool("-q " + Quote(c.Archive.string()) + " " +
                                     Quote(out.string()));
        EXPECT_EQ(r.Status, 1) << c.Archive << ": " << r.Err;
        EXPECT_NE(r.Err.find(c.Line), std::string::npos) << c.Archive << ": " << r.Err;
        EXPECT_EQ(r.Err.rfind("unspool: ", 0), 0u) << r.Err;
    }
}

TEST(Cli, IdentifyPrintsTheTypeAndWalkStart)
{
    TTempDir tmp;
    const TRunResult r = Unspool("--identify " + Quote(StoredArchive(tmp).string()));
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out.rfind("atZip ", 0), 0u) << r.Out;
    const TRunResult gz = Unspool("--identify " + Quote((CorpusDir() / "id_gzip.gz").string()));
    EXPECT_EQ(gz.Out.rfind("atGZip ", 0), 0u) << gz.Out;
}

TEST(Cli, OverwriteChoicesAndMasks)
{
    TTempDir tmp;
    const std::string arc = Quote(StoredArchive(tmp).string());
    const std::string out = Quote((tmp / "out").string());
    WriteText(tmp / "out/c.txt", "mine");
    EXPECT_EQ(Unspool("-q -n " + arc + " " + out).Status, 0);
    EXPECT_EQ(ReadText(tmp / "out/c.txt"), "mine");
    EXPECT_EQ(ReadFile(tmp / "out/b.bin"), RandomBytes(3000, 2));
    // Without a terminal on stdin nobody can be asked: without -o or -n every existing
    // file is kept and said once, and the status is 1.
    WriteText(tmp / "out/b.bin", "old");
    const TRunResult kept = Unspool("-q " + arc + " " + out);
    EXPECT_EQ(kept.Status, 1) << kept.Err;
    EXPECT_EQ(ReadText(tmp / "out/c.txt"), "mine");
    EXPECT_EQ(ReadText(tmp / "out/b.bin"), "old");
    for (const char* name : {"docs/a.txt", "b.bin", "c.txt"}) {
        const std::string line = "unspool: " + (tmp / "out" / name).string() +
                                 ": exists, not replaced; -o replaces (30001)\n";
        EXPECT_NE(kept.Err.find(line), std::string::npos) << kept.Err;
        EXPECT_EQ(kept.Err.find(line), kept.Err.rfind(line)) << kept.Err;
    }
    EXPECT_EQ(Unspool("-q -o " + arc + " " + out).Status, 0);
    EXPECT_EQ(ReadFile(tmp / "out/c.txt"), TextBytes(10, 3));
    EXPECT_EQ(ReadFile(tmp / "out/b.bin"), RandomBytes(3000, 2));

    EXPECT_EQ(Unspool("-q -f '*.txt' -j " + arc + " " + Quote((tmp / "txt").string())).Status, 0);
    EXPECT_TRUE(fs::exists(tmp / "txt/a.txt"));
    EXPECT_TRUE(fs::exists(tmp / "txt/c.txt"));
    EXPECT_FALSE(fs::exists(tmp / "txt/b.bin"));
    EXPECT_FALSE(fs::exists(tmp / "txt/docs"));
}

// With -o what holds an entry's name is replaced as the answer "y" replaces it, a
// read-only file too; what cannot be replaced, and a link that cannot be made, is named.
TEST(Cli, WhatStandsInAnEntrysWayIsReplacedOrNamed)
{
    TTempDir tmp;
    const auto link = [](const Bytes& Target) {
        TZipEntrySpec e = Entry("n", Target);
        e.ExternalAttr = 0120777u << 16;
        return e;
    };
    struct TCase {
        const char* What;
        TZipEntrySpec Entry;
        std::function<void(const fs::path&)> Before;
        std::string Line; // the report; empty: none, and the entry extracts
    };
    const TCase cases[] = {
        {"read-only file", Entry("n", TextBytes(50, 1)),
         [](const fs::path& O) {
             WriteText(O / "n", "old");
             fs::permissions(O / "n", fs::perms::owner_read);
         },
         ""},
        {"fifo", Entry("n", TextBytes(50, 1)),
         [](const fs::path& O) { ::mkfifo((O / "n").c_str(), 0644); },
         "n: Error opening file (25235): not a regular file (a device or a pipe is in the way)"},
        {"link over a folder", link({'x'}),
         [](const fs::path& O) { fs::create_directories(O / "n"); },
         "n: Error opening file (25235): a folder is in the way"},
        {"empty link target", link({}), {}, "n: Bad file header: empty link target (25114)"},
        {"link target past 4 KB", link(Bytes(4097, 'a')), {},
         "n: Bad file header: link target longer than 4096 bytes (25114)"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const fs::path out = tmp / c.What;
        fs::create_directories(out);
        if (c.Before) c.Before(out);
        WriteFile(tmp / "w.zip", BuildZip({c.Entry}));
        const TRunResult r = Unspool("-q -o " + Quote((tmp / "w.zip").string()) + " " +
                                     Quote(out.string()));
        EXPECT_EQ(r.Status, c.Line.empty() ? 0 : 1) << r.Err;
        if (c.Line.empty())
            EXPECT_EQ(ReadFile(out / "n"), c.Entry.Data);
        else
            EXPECT_NE(r.Err.find(c.Line + "\n"), std::string::npos) << r.Err;
    }
    // "*" and "?" are characters of a file's name like any other here.
    fs::copy_file(StoredArchive(tmp), tmp / "a*b?.zip");
    const TRunResult star = Unspool("-q " + Quote((tmp / "a*b?.zip").string()) + " " +
                                    Quote((tmp / "star").string()));
    EXPECT_EQ(star.Status, 0) << star.Err;
    EXPECT_EQ(ReadFile(tmp / "star/c.txt"), TextBytes(10, 3));
}

TEST(Cli, DefaultDestinationIsTheCurrentDirectory)
{
    TTempDir tmp;
    const std::string arc = Quote(StoredArchive(tmp).string());
    fs::create_directory(tmp / "here");
    EXPECT_EQ(Shell("cd " + Quote((tmp / "here").string()) + " && " + Quote(CliPath().string()) + " -q " + arc).Status, 0);
    EXPECT_EQ(ReadFile(tmp / "here/docs/a.txt"), TextBytes(1000, 1));
}

TEST(Cli, OnATerminalExistingFilesAreAskedAbout)
{
    if (!HaveTool("script")) GTEST_SKIP() << "script (util-linux) not installed";
    TTempDir tmp;
    const std::string arc = Quote(StoredArchive(tmp).string());
    const std::string out = (tmp / "out").string();
    WriteText(tmp / "out/c.txt", "mine");
    WriteText(tmp / "out/b.bin", "old");
    // script gives the command a terminal; the answers come through it in archive order
    // (b.bin, then c.txt): keep b.bin, rename c.txt.
    const std::string cmd = Quote(CliPath().string()) + " " + arc + " " + Quote(out);
    const TRunResult r = Shell("printf 'n\\nr\\nrenamed.txt\\n' | script -qec " + Quote(cmd) + " /dev/null");
    EXPECT_EQ(r.Status, 0) << r.Out;
    EXPECT_NE(r.Out.find("replace "), std::string::npos) << r.Out;
    // The progress line (bytes done of the total) is drawn, and cleared before a prompt.
    EXPECT_NE(r.Out.find(" / 4.0 kB"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("\rreplace "), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("files extracted"), std::string::npos) << r.Out;
    EXPECT_EQ(ReadText(tmp / "out/b.bin"), "old");
    EXPECT_EQ(ReadText(tmp / "out/c.txt"), "mine");
    EXPECT_EQ(ReadFile(tmp / "out/renamed.txt"), TextBytes(10, 3));
    EXPECT_EQ(ReadFile(tmp / "out/docs/a.txt"), TextBytes(1000, 1));
}

TEST(Cli, EveryCorpusArchiveOfKnownMethodsExtractsByteExact)
{
    // The command over the same corpus the component suite reads: archives whose entries
    // all use a method the component decodes must come out exact with exit status 0.
    int tested = 0;
    for (const TManifestRecord& r : Manifest()) {
        if (r.Kind != "zip" && r.Kind != "sfx") continue;
        bool known = true;
        for (const std::string& m : r.Methods) known &= m.empty() || m == "0" || m == "8" || m == "9";
        if (!known) continue;
        TTempDir tmp;
        std::string args = "-q ";
        if (!r.Password.empty()) args += "-p " + Quote(r.Password) + " ";
        const TRunResult run = Unspool(args + Quote((CorpusDir() / r.File).string()) + " " +
                                       Quote((tmp / "out").string()));
        EXPECT_EQ(run.Status, 0) << r.File << ": " << run.Err;
        EXPECT_EQ(CompareWithManifest(r, tmp / "out"), "") << r.File;
        ++tested;
    }
    EXPECT_GE(tested, 12);
}

TEST(Cli, AWriteThatFailsIsReportedAndTheOthersExtract)
{
    // A file-size limit makes writes past 64 KiB fail (with the signal ignored), the way
    // a quota would: the large entry is reported, the small one still written.
    TTempDir tmp;
    WriteFile(tmp / "src/big.bin", RandomBytes(300000, 1));
    WriteFile(tmp / "src/small.txt", TextBytes(100, 2));
    ASSERT_EQ(Shell("cd " + Quote((tmp / "src").string()) + " && zip -q ../w.zip big.bin small.txt").Status, 0);
    const TRunResult r = Shell("trap '' XFSZ; ulimit -f 64; " + Quote(CliPath().string()) + " -q " +
                               Quote((tmp / "w.zip").string()) + " " + Quote((tmp / "out").string()));
    EXPECT_EQ(r.Status, 1) << r.Err;
    // One report for the failed file, named as the output file, not one per chunk, with
    // the system's reason.
    const std::string line = "unspool: " + (tmp / "out/big.bin").string() +
                             ": Error writing to file (25136): File too large\n";
    EXPECT_NE(r.Err.find(line), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.find(line), r.Err.rfind(line)) << r.Err;
    EXPECT_EQ(ReadFile(tmp / "out/small.txt"), TextBytes(100, 2));
}

TEST(Cli, PasswordsOffATerminalAreDeclinedWithOneClearLine)
{
    struct TCase {
        const char* Args;
        int Status;
        const char* Expect;
    };
    const std::string archive = Quote((CorpusDir() / "c07_infozip_zipcrypto.zip").string());
    for (const TCase& c : {TCase{"", 1, "skipped, no password given (-p gives one) (26517)"},
                           TCase{"-p corpus-PW ", 1, "Invalid password (26517)"},
                           TCase{"-p corpus-pw ", 0, ""}}) {
        TTempDir tmp;
        const TRunResult r =
            Unspool(std::string("-q ") + c.Args + archive + " " + Quote((tmp / "out").string()) +
                    " < /dev/null");
        EXPECT_EQ(r.Status, c.Status) << c.Args << r.Err;
        // One line for the run's password search, nothing about CRCs or events.
        if (*c.Expect) {
            EXPECT_EQ(r.Err.find(c.Expect), r.Err.rfind(c.Expect)) << r.Err;
            EXPECT_NE(r.Err.find(c.Expect), std::string::npos) << r.Err;
        } else {
            EXPECT_EQ(r.Err, "");
        }
        EXPECT_EQ(r.Err.find("CRC"), std::string::npos) << r.Err;
        EXPECT_EQ(r.Err.find("25270"), std::string::npos) << r.Err;
    }
}

TEST(Cli, OptionsTable)
{
    TTempDir tmp;
    const std::string arc = Quote(StoredArchive(tmp).string());
    const std::string bad = Quote((CorpusDir() / "bad_crc.zip").string());
    // Names stored without the UTF-8 flag, in GBK and in Shift-JIS.
    std::vector<TZipEntrySpec> cjk = {Entry("\xB2\xE2\xCA\xD4.txt", TextBytes(5, 1)),
                                      Entry("\x83\x65\x83\x58\x83\x67.txt", TextBytes(6, 2))};
    WriteFile(tmp / "gbk.zip", BuildZip({cjk[0]}));
    WriteFile(tmp / "sjis.zip", BuildZip({cjk[1]}));
    // A FIFO never gets a writer: opening it must not wait for one.
    ASSERT_EQ(Shell("mkfifo " + Quote((tmp / "fifo").string())).Status, 0);
    WriteFile(tmp / "esc.zip", BuildZip({Entry("a\x1B[2Jb.txt", TextBytes(7, 3))}));
    // Flagged UTF-8 but holding bytes that are not: an invalid byte, DEL and a C1 CSI.
    std::vector<TZipEntrySpec> bad8 = {Entry("a\xFF\x7F\xC2\x9B.txt", TextBytes(4, 4))};
    bad8[0].Flags = 0x0800;
    WriteFile(tmp / "bad8.zip", BuildZip(bad8));
    WriteFile(tmp / "utf7.zip", BuildZip({Entry("a+AC8-b.txt", TextBytes(3, 5))}));
    // Made by Info-ZIP: t.txt deflated, r.bin stored.
    WriteFile(tmp / "dsrc/t.txt", TextBytes(3000, 6));
    WriteFile(tmp / "dsrc/r.bin", RandomBytes(100, 7));
    ASSERT_EQ(Shell("cd " + Quote((tmp / "dsrc").string()) +
                    " && zip -q -n .bin ../dfl.zip t.txt r.bin")
                  .Status,
              0);
    const std::string dfl = Quote((tmp / "dfl.zip").string());
    const std::string all[] = {"b.bin", "c.txt", "docs/a.txt"};
    struct TCase {
        std::string Args; // "OUT" stands for a fresh destination folder
        int Status;
        std::vector<std::string> Files; // what OUT holds afterwards
        std::string Stdout;             // a piece the standard output must hold
        std::string Stderr = {};        // a piece the error output must hold
    };
    const std::vector<TCase> cases = {
        // Masks: "*" and "?" cross "/", sets, case as typed unless -C.
        {"-q -f '*' " + arc + " OUT", 0, {all, all + 3}, ""},
        {"-q -f 'docs/*' " + arc + " OUT", 0, {"docs/a.txt"}, ""},
        {"-q -x 'docs/*' " + arc + " OUT", 0, {"b.bin", "c.txt"}, ""},
        {"-q -f '*.txt' " + arc + " OUT", 0, {"c.txt", "docs/a.txt"}, ""},
        {"-q -f '?.txt' " + arc + " OUT", 0, {"c.txt"}, ""},
        {"-q -f 'docs?a.txt' " + arc + " OUT", 0, {"docs/a.txt"}, ""},
        {"-q -f '[a-c].*' " + arc + " OUT", 0, {"b.bin", "c.txt"}, ""},
        {"-q -f '[!b]*' " + arc + " OUT", 0, {"c.txt", "docs/a.txt"}, ""},
        {"-q -f '[^bd]*' " + arc + " OUT", 0, {"c.txt"}, ""},
        {"-q -f 'C.TXT' " + arc + " OUT", 1, {}, "", "no entry matches 'C.TXT' (30002)"},
        {"-q -C -f 'C.TXT' " + arc + " OUT", 0, {"c.txt"}, ""},
        {"-q -f '*.txt' -f nothing " + arc + " OUT", 1, {"c.txt", "docs/a.txt"}, "",
         ": no entry matches 'nothing' (30002)"},
        {"-q -x '*.zzz' " + arc + " OUT", 1, {all, all + 3}, "", "no entry matches '*.zzz'"},
        {"-l -f 'nope' " + arc, 1, {}, "0 entries", "no entry matches 'nope'"},
        // Short options combine; a value follows its option's cluster, or ends it.
        {"-qod OUT " + arc, 0, {all, all + 3}, ""},
        {"-qjf '*.txt' " + arc + " OUT", 0, {"a.txt", "c.txt"}, ""},
        {"-ql " + arc, 0, {}, "3 entries"},
        {"-qx'*.txt' -d OUT " + arc, 0, {"b.bin"}, ""},
        {"-q --names 936 " + Quote((tmp / "gbk.zip").string()) + " OUT", 0, {"测试.txt"}, ""},
        {"-q --date now -d OUT " + arc, 0, {all, all + 3}, ""},
        {"-v " + dfl + " OUT", 0, {"r.bin", "t.txt"}, "   inflating: t.txt\n  extracting: r.bin\n"},
        {"--bogus " + arc, 3, {}, "", "unspool: unknown option --bogus\nTry 'unspool --help'"},
        {"-qZ " + arc, 3, {}, "", "unspool: unknown option -Z\nTry 'unspool --help'"},
        {"-lz " + arc, 3, {}, "", "exclude each other"},
        {"-qT1 " + arc + " OUT", 0, {all, all + 3}, ""},
        {"-q -T 64 " + arc + " OUT", 0, {all, all + 3}, ""},
        {"-q -T 0 " + arc + " OUT", 3, {}, "", "-T needs a number of threads, 1 to 64"},
        {"-q -T 65 " + arc + " OUT", 3, {}, "", "-T needs a number of threads"},
        {"-q -T two " + arc + " OUT", 3, {}, "", "-T needs a number of threads"},
        {"-q -f 'docs/*.*' " + arc + " OUT", 0, {"docs/a.txt"}, ""},
        {"-q -f 'docs\\*.*' " + arc + " OUT", 0, {"docs/a.txt"}, ""},
        {"-q -x 'docs/*.*' " + arc + " OUT", 0, {"b.bin", "c.txt"}, ""},
        {"-q -f '*.*' -x '*.bin' -d OUT " + arc, 0, {"c.txt", "docs/a.txt"}, ""},
        {"-l " + arc, 0, {}, "        4010         4010 3 entries"},
        {"-l -x '*.txt' " + arc, 0, {}, "b.bin\n        3000         3000 1 entry"},
        {"-t " + arc + " -d OUT", 0, {}, "3 files tested"},
        {"-t " + bad, 1, {}, "tested, "},
        {"-q -O 936 " + Quote((tmp / "gbk.zip").string()) + " OUT", 0, {"测试.txt"}, ""},
        {"-q --names=SJIS " + Quote((tmp / "sjis.zip").string()) + " OUT", 0, {"テスト.txt"}, ""},
        {"-q " + arc + " OUT -d OUT", 3, {}, ""},
        {"-O klingon " + arc, 3, {}, ""},
        {"-l -O '' " + arc, 3, {}, ""},
        {"-l --names= " + arc, 3, {}, ""},
        {"-q -O UTF-7 " + Quote((tmp / "utf7.zip").string()) + " OUT", 3, {}, ""},
        {"-q -O 1252 " + Quote((tmp / "utf7.zip").string()) + " OUT", 0, {"a+AC8-b.txt"}, ""},
        {"-q " + Quote((tmp / "bad8.zip").string()) + " OUT", 0, {"a%FF\x7F\xC2\x9B.txt"}, ""},
        {"-l --json " + Quote((tmp / "bad8.zip").string()), 0, {}, "\"a%FF\\u007f\\u009b.txt\""},
        {"--json " + arc, 3, {}, ""},
        {"-l -t " + arc, 3, {}, ""},
        {"--version", 0, {}, "unspool 0.2.0\n"},
        {"-q " + Quote((tmp / "fifo").string()) + " OUT", 2, {}, ""},
        {"-q /dev/zero OUT", 2, {}, ""},
        {"-l " + Quote((tmp / "esc.zip").string()), 0, {}, "a\\x1B[2Jb.txt"},
        {"-l --json " + Quote((tmp / "esc.zip").string()), 0, {}, "a\\u001b[2Jb.txt"},
    };
    int n = 0;
    for (const TCase& c : cases) {
        const fs::path out = tmp / ("out" + std::to_string(n++));
        std::string args = c.Args;
        for (size_t p; (p = args.find("OUT")) != std::string::npos;)
            args.replace(p, 3, Quote(out.string()));
        const TRunResult r = Unspool(args);
        EXPECT_EQ(r.Status, c.Status) << c.Args << "\n" << r.Err;
        EXPECT_EQ(FilesBelow(out), c.Files) << c.Args;
        EXPECT_NE(r.Out.find(c.Stdout), std::string::npos) << c.Args << "\n" << r.Out;
        EXPECT_NE(r.Err.find(c.Stderr), std::string::npos) << c.Args << "\n" << r.Err;
        // A usage error is one line and a hint, not the whole usage.
        if (c.Status == 3) {
            EXPECT_EQ(r.Err.find("usage:"), std::string::npos) << c.Args;
        }
        // Names from an archive never put a control character on the terminal.
        EXPECT_EQ((r.Out + r.Err).find('\x1B'), std::string::npos) << c.Args;
    }
}

TEST(Cli, JsonListingParsesBack)
{
    if (!HaveTool("python3") || !HaveTool("zip")) GTEST_SKIP() << "python3 or zip not installed";
    TTempDir tmp;
    // Names flagged UTF-8 that are not, and control characters JSON must escape. The last
    // two carry neither a time field nor a Unix mode: the second's mode bits come from a
    // DOS writer, which stores none.
    std::vector<TZipEntrySpec> odd = {Entry("a\xFF.txt", TextBytes(1, 1)),
                                      Entry("\xED\xA0\x80\xC0\xAF\x01\x7F.txt", TextBytes(2, 2)),
                                      Entry("q\"\\\xC2\x85\xE2\x82", TextBytes(3, 3))};
    for (TZipEntrySpec& e : odd) e.Flags = 0x0800;
    odd[1].Host = 0;
    odd[1].ExternalAttr = 0100644u << 16;
    WriteFile(tmp / "odd.zip", BuildZip(odd));
    // Info-ZIP zip stores the Unix mode and the extended-time field, and with -y a link
    // as its target.
    WriteFile(tmp / "in/a.txt", TextBytes(100, 4));
    ASSERT_EQ(Shell("cd " + Quote((tmp / "in").string()) +
                    " && chmod 0640 a.txt && ln -s a.txt ln &&"
                    " TZ=UTC0 touch -d '2020-06-15 13:45:10' a.txt &&"
                    " TZ=UTC0 touch -h -d '2021-01-02 03:04:05' ln && zip -qy ../unix.zip a.txt ln")
                  .Status,
              0);
    struct TCase {
        fs::path Archive;
        // entries, total size, encrypted entries, the last name; then mode, link and UTC
        // time of the last two entries
        std::string Expect;
    };
    for (const TCase& c : std::vector<TCase>{
             {CorpusDir() / "c07_infozip_zipcrypto.zip",
              "7 105230 5 sub/dir/nested.txt 0755|None|2021-03-04T05:06:08Z "
              "0644|None|2021-03-04T05:06:08Z"},
             {tmp / "odd.zip", "3 6 0 q\"/\\x85%E2%82 None|None|None None|None|None"},
             {tmp / "unix.zip",
              "2 105 0 ln 0640|None|2020-06-15T13:45:10Z 0777|a.txt|2021-01-02T03:04:05Z"},
         }) {
        // Each line must be UTF-8 (decoded strictly) holding one JSON object.
        const TRunResult r = Shell(
            Quote(CliPath().string()) + " -l --json " + Quote(c.Archive.string()) +
            " | python3 -c \"import sys, json; e = [json.loads(l.decode('utf-8')) for l in "
            "sys.stdin.buffer]; print(len(e), sum(x['size'] for x in e), "
            "sum(x['encrypted'] for x in e), ascii(e[-1]['name'])[1:-1], "
            "*('%s|%s|%s' % (x['mode'], x['link'], x['mtime_utc']) for x in e[-2:]))\"");
        EXPECT_EQ(r.Status, 0) << c.Archive << r.Err;
        EXPECT_EQ(r.Out, c.Expect + "\n") << c.Archive;
    }
}

TEST(Cli, SplitSetsExtractAndAMissingPartIsNamed)
{
    TTempDir tmp;
    for (const char* part : {"c15_split.z01", "c15_split.z02", "c15_split.zip"})
        fs::copy_file(CorpusDir() / part, tmp / part);
    const std::string zip = Quote((tmp / "c15_split.zip").string());
    EXPECT_EQ(Unspool("--identify " + zip).Out.rfind("atZipMV ", 0), 0u);
    const TRunResult r = Unspool("-q " + zip + " " + Quote((tmp / "out").string()));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(CompareWithManifest(*FindManifest("c15_split.zip"), tmp / "out"), "");
    // Off a terminal nobody can be asked for the part: it is named, and the entries in
    // the parts at hand are still extracted.
    fs::remove(tmp / "c15_split.z02");
    const TRunResult m = Unspool("-q " + zip + " " + Quote((tmp / "miss").string()) + " </dev/null");
    EXPECT_EQ(m.Status, 1);
    EXPECT_NE(m.Err.find("c15_split.z02: part of the split set not found (25192)"),
              std::string::npos)
        << m.Err;
    EXPECT_EQ(m.Err.find("(25443)"), std::string::npos) << m.Err;
    EXPECT_TRUE(ReadFile(tmp / "miss/readme.txt") == ReadFile(tmp / "out/readme.txt"));
    EXPECT_TRUE(ReadFile(tmp / "miss/sub/dir/nested.txt") == ReadFile(tmp / "out/sub/dir/nested.txt"));
}

TEST(Cli, PiecesOfOneArchiveAndAFirstPartStandForTheWholeSet)
{
    if (!HaveTool("7z")) GTEST_SKIP() << "7z is not installed";
    TTempDir tmp;
    const Bytes big = RandomBytes(200000, 7), text = TextBytes(150000, 8);
    WriteFile(tmp / "in/big.bin", big);
    WriteFile(tmp / "in/text.txt", text);
    // 7-Zip's volumes are pieces cut from one ZIP file: a.zip.001, a.zip.002, ...
    ASSERT_EQ(Shell("cd " + Quote((tmp / "in").string()) +
                    " && 7z a -tzip -v64k ../a.zip big.bin text.txt >/dev/null").Status, 0);
    ASSERT_TRUE(fs::exists(tmp / "a.zip.004"));
    const TRunResult r = Unspool("-q " + Quote((tmp / "a.zip.001").string()) + " " +
                                 Quote((tmp / "out").string()));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_TRUE(ReadFile(tmp / "out/big.bin") == big);
    EXPECT_TRUE(ReadFile(tmp / "out/text.txt") == text);
    // The first part of a ZIP split set names the set.
    for (const char* part : {"c15_split.z01", "c15_split.z02", "c15_split.zip"})
        fs::copy_file(CorpusDir() / part, tmp / part);
    const TRunResult z = Unspool("-q " + Quote((tmp / "c15_split.z01").string()) + " " +
                                 Quote((tmp / "c15").string()));
    EXPECT_EQ(z.Status, 0) << z.Err;
    EXPECT_EQ(CompareWithManifest(*FindManifest("c15_split.zip"), tmp / "c15"), "");
    // Without its last part a set is read from its first part on through the parts there
    // are, and the run says it had no directory.
    if (!HaveTool("zip")) return;
    ASSERT_EQ(Shell("cd " + Quote((tmp / "in").string()) +
                    " && zip -q -0 -s 64k ../s.zip big.bin text.txt").Status, 0);
    fs::remove(tmp / "s.zip");
    const TRunResult s = Unspool("-q " + Quote((tmp / "s.z01").string()) + " " +
                                 Quote((tmp / "s").string()));
    EXPECT_NE(s.Status, 0);
    EXPECT_NE(s.Err.find("no central directory"), std::string::npos) << s.Err;
    EXPECT_TRUE(ReadFile(tmp / "s/big.bin") == big);
}

TEST(Cli, ArchivesWithoutTheirDirectoryAreNeverSilent)
{
    if (!HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
    TTempDir tmp;
    // Eight entries, six of them files, written to a pipe (data descriptors), encrypted,
    // stored; the end record cut short.
    for (const char* name : {"a.txt", "b.txt", "d/c.txt", "d/e.txt", "d/f/g.txt", "h.txt"})
        WriteFile(tmp / "in" / name, TextBytes(4000, static_cast<uint32_t>(name[0])));
    const std::string in = "cd " + Quote((tmp / "in").string()) + " && ";
    ASSERT_EQ(Shell(in + "zip -q -r -0 -P pw - . | cat > ../st.zip").Status, 0);
    const Bytes st = ReadFile(tmp / "st.zip");
    WriteFile(tmp / "st.zip", Bytes(st.begin(), st.end() - 5));
    // A split set whose last part starts with a local header: its end record gives a
    // directory size that does not fit (read as the set), or it is cut in its directory.
    WriteFile(tmp / "set/a.bin", RandomBytes(65487, 1));
    WriteFile(tmp / "set/b.bin", RandomBytes(1000, 2));
    ASSERT_EQ(Shell("cd " + Quote((tmp / "set").string()) +
                    " && zip -q -0 -X -s 64k ../big.zip a.bin b.bin && zip -q -0 -X -s 64k "
                    "../cut.zip a.bin b.bin")
                  .Status,
              0);
    Bytes big = ReadFile(tmp / "big.zip");
    PutU32(&big[big.size() - 22 + 12], 0x7FFFFF00u);
    WriteFile(tmp / "big.zip", big);
    const Bytes cut = ReadFile(tmp / "cut.zip");
    WriteFile(tmp / "cut.zip", Bytes(cut.begin(), cut.end() - 40));
    const std::string scan = ": Bad file header: no central directory: ";
    const struct {
        const char* Args;
        const char* Archive;
        int Status;
        std::string Line; // in the error output; empty: none at all
    } cases[] = {
        {"-p pw", "st.zip", 1, "st.zip" + scan + "8 entries found by scanning (25114)"},
        {"-l", "st.zip", 1, "st.zip" + scan + "8 entries found by scanning (25114)"},
        {"--identify", "big.zip", 0, ""},
        {"", "big.zip", 0,
         "big.zip: Archive read around damage: the end record gives the directory 2147483392 "
         "bytes; it holds"},
        {"", "cut.zip", 1, "cut.zip" + scan + "1 entries found by scanning (25114)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Args) + " " + c.Archive);
        const fs::path out = tmp / "out" / c.Archive;
        const TRunResult r = Unspool("-q " + std::string(c.Args) + " " +
                                     Quote((tmp / c.Archive).string()) + " " + Quote(out.string()));
        EXPECT_EQ(r.Status, c.Status) << r.Err;
        if (c.Line.empty()) {
            EXPECT_EQ(r.Err, "");
        } else {
            EXPECT_NE(r.Err.find(c.Line), std::string::npos) << r.Err;
            EXPECT_EQ(r.Err.find(c.Line), r.Err.rfind(c.Line)) << "said more than once";
        }
        if (std::string(c.Args) == "--identify") {
            EXPECT_EQ(r.Out.rfind("atZipMV ", 0), 0u) << r.Out;
        }
    }
    for (const char* name : {"a.txt", "b.txt", "d/c.txt", "d/e.txt", "d/f/g.txt", "h.txt"})
        EXPECT_TRUE(ReadFile(tmp / "out/st.zip" / name) == ReadFile(tmp / "in" / name)) << name;
    EXPECT_TRUE(ReadFile(tmp / "out/big.zip/a.bin") == RandomBytes(65487, 1));
    EXPECT_TRUE(ReadFile(tmp / "out/cut.zip/b.bin") == RandomBytes(1000, 2));
}

// -c writes the selected entries' bytes to standard output and nothing else; reports go
// to standard error, and no file is made.
TEST(Cli, StdoutCarriesTheEntriesBytesAndNothingElse)
{
    TTempDir tmp;
    StoredArchive(tmp);
    TZipEntrySpec bad = Entry("bad.txt", TextBytes(500, 4));
    bad.BadCrc = true;
    WriteFile(tmp / "bad.zip", BuildZip({Entry("ok.txt", TextBytes(20, 5)), bad}));
    const auto text = [](std::vector<Bytes> Parts) {
        std::string all;
        for (const Bytes& p : Parts) all.append(p.begin(), p.end());
        return all;
    };
    struct TCase {
        std::string Args;
        int Status;
        std::string Out;
        std::string ErrHas;
    };
    const TCase cases[] = {
        {"-c s.zip docs/a.txt", 0, text({TextBytes(1000, 1)}), ""},
        {"--stdout s.zip c.txt docs/a.txt", 0, text({TextBytes(1000, 1), TextBytes(10, 3)}), ""},
        {"-c s.zip", 0, text({TextBytes(1000, 1), RandomBytes(3000, 2), TextBytes(10, 3)}), ""},
        {"-c bad.zip", 1, text({TextBytes(20, 5), TextBytes(500, 4)}),
         "bad.txt: File fails CRC check (25151)"},
        {"-c -d out s.zip", 3, "", "no -d"},
        {"-c -l s.zip", 3, "", "exclude each other"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Args);
        const TRunResult r =
            Shell("cd " + Quote(tmp.Path().string()) + " && " + Quote(CliPath().string()) + " " + c.Args);
        EXPECT_EQ(r.Status, c.Status) << r.Err;
        EXPECT_EQ(r.Out, c.Out);
        if (c.ErrHas.empty())
            EXPECT_EQ(r.Err, "");
        else
            EXPECT_NE(r.Err.find(c.ErrHas), std::string::npos) << r.Err;
        EXPECT_EQ(FilesBelow(tmp.Path()), (std::vector<std::string>{"bad.zip", "s.zip"}));
    }
}

TEST(Cli, TheArchiveCommentIsShownByZByListingAndByExtraction)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 not installed";
    TTempDir tmp;
    // A comment in code page 437 (0x82 is e acute there, a low comma in 1252), with the
    // CR LF line ends of DOS and an escape sequence that must not reach the terminal.
    ASSERT_EQ(Shell("cd " + Quote(tmp.Path().string()) +
                    " && python3 -c \"import zipfile; z = zipfile.ZipFile('c.zip', 'w'); "
                    "z.writestr('f.txt', 'x'); z.comment = b'caf\\x82 ok\\r\\nline 2 "
                    "\\x1b[2J'; z.close()\"")
                  .Status,
              0);
    const std::string arc = Quote((tmp / "c.zip").string());
    const std::string shown = "caf\xC3\xA9 ok\nline 2 \\x1B[2J\n";
    const struct {
        std::string Args;
        std::string Out; // the standard output, whole ("*" and what follows: its end)
    } cases[] = {
        {"-z " + arc, shown},
        {"-z -O 1252 " + arc, "caf\xE2\x80\x9A ok\nline 2 \\x1B[2J\n"},
        {"-l " + arc, "*1 entry\n" + shown},
        {"-l --json " + arc, "*\"mtime_utc\":null}\n"},
        {"-q -o -d " + Quote((tmp / "q").string()) + " " + arc, ""},
        {"-o -d " + Quote((tmp / "e").string()) + " " + arc, shown + "1 file extracted"},
        {"-z " + Quote(StoredArchive(tmp).string()), ""},
    };
    for (const auto& c : cases) {
        const TRunResult r = Unspool(c.Args);
        EXPECT_EQ(r.Status, 0) << c.Args << "\n" << r.Err;
        if (c.Out.rfind("*", 0) == 0) {
            const std::string tail = c.Out.substr(1);
            EXPECT_TRUE(r.Out.size() >= tail.size() &&
                        r.Out.compare(r.Out.size() - tail.size(), tail.size(), tail) == 0)
                << c.Args << "\n" << r.Out;
        } else if (c.Out.find("file extracted") != std::string::npos) {
            EXPECT_EQ(r.Out.rfind(c.Out, 0), 0u) << c.Args << "\n" << r.Out;
        } else {
            EXPECT_EQ(r.Out, c.Out) << c.Args;
        }
    }
}

TEST(Cli, PasswordsOnATerminalAreHiddenAskedAgainAndDeclinedOneEntryAtATime)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 not installed";
    // Five encrypted files, all under the same password.
    const std::string archive = Quote((CorpusDir() / "c07_infozip_zipcrypto.zip").string());
    const struct {
        std::vector<std::string> Answers; // typed at each prompt; then end-of-input
        int Status;
        size_t Files;     // extracted
        int Prompts;      // questions asked
        int WrongLines;   // "Invalid password (26517)" lines
        int DeclineLines; // "skipped, no password given" lines
        std::string Summary;
    } cases[] = {
        // A wrong password is said once and asked again; the right one serves the rest.
        {{"wrong-pw", "corpus-pw"}, 0, 5, 2, 1, 0, "5 files extracted, "},
        // An empty answer skips that entry alone: the next one is asked for.
        {{"", "corpus-pw"}, 1, 4, 2, 0, 1, "4 files extracted, 1 skipped (no password), "},
        // Three wrong answers give the entry up; every later one is asked for again.
        {{"pw-a", "pw-b", "pw-c"}, 1, 0, 7, 3, 4, "0 files extracted, 5 skipped (no password), "},
    };
    for (const auto& c : cases) {
        TTempDir tmp;
        const TRunResult r = RunOnTerminal(Quote(CliPath().string()) + " " + archive + " " +
                                               Quote((tmp / "out").string()),
                                           c.Answers, "password for ");
        SCOPED_TRACE(r.Out);
        EXPECT_EQ(r.Status, c.Status);
        EXPECT_EQ(FilesBelow(tmp / "out").size(), c.Files);
        const auto count = [&](const std::string& Piece) {
            int n = 0;
            for (size_t p = r.Out.find(Piece); p != std::string::npos; p = r.Out.find(Piece, p + 1))
                ++n;
            return n;
        };
        EXPECT_EQ(count("password for "), c.Prompts);
        EXPECT_EQ(count("Invalid password (26517)"), c.WrongLines);
        EXPECT_EQ(count("skipped, no password given (26517)"), c.DeclineLines);
        EXPECT_EQ(count(c.Summary), 1);
        // What was typed never shows.
        for (const std::string& a : c.Answers)
            if (!a.empty()) {
                EXPECT_EQ(r.Out.find(a), std::string::npos) << a;
            }
    }
}

namespace {

// An archive written by Python's zipfile with Entries (name, text) in this order; names
// go in as they are, duplicates included.
void PythonZip(const fs::path& Zip, const std::vector<std::pair<std::string, std::string>>& Entries)
{
    std::string script = "import zipfile, warnings\nwarnings.simplefilter('ignore')\n"
                         "z = zipfile.ZipFile(" + Quote(Zip.string()) + ", 'w')\n";
    for (const auto& [name, text] : Entries)
        script += "z.writestr(" + Quote(name) + ", " + Quote(text) + ")\n";
    script += "z.close()\n";
    WriteText(Zip.string() + ".py", script);
    ASSERT_EQ(Shell("python3 " + Quote(Zip.string() + ".py")).Status, 0);
}

// Every file and folder below Dir, "/" separated, files with their text.
std::map<std::string, std::string> Tree(const fs::path& Dir)
{
    std::map<std::string, std::string> tree;
    if (!fs::exists(Dir)) return tree;
    for (const auto& e : fs::recursive_directory_iterator(Dir)) {
        const std::string rel = fs::relative(e.path(), Dir).generic_string();
        if (e.is_directory()) {
            tree[rel + "/"] = "";
        } else {
            const Bytes b = ReadFile(e.path());
            tree[rel] = std::string(b.begin(), b.end());
        }
    }
    return tree;
}

} // namespace

TEST(Cli, NamesAreKeptWholeOrRefusedAndEntriesThatMeetAreReported)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 not installed";
    // 8 folders of 49 characters and deep.txt: 408 bytes, each step well within 255.
    std::string deep;
    for (char c = 'a'; c < 'i'; ++c) deep += std::string(49, c) + "/";
    deep += "deep.txt";
    const std::string step256(256, 's');
    struct TCase {
        const char* Name;
        std::vector<std::pair<std::string, std::string>> Entries;
        const char* Options;
        int Status;
        std::map<std::string, std::string> Tree; // everything below the destination
        std::vector<std::string> Lines;          // stderr lines, the destination as "OUT/"
    };
    auto folders = [](std::map<std::string, std::string> Files) {
        std::map<std::string, std::string> tree = Files;
        for (const auto& [name, text] : Files)
            for (size_t p = name.find('/'); p != std::string::npos; p = name.find('/', p + 1))
                tree[name.substr(0, p + 1)] = "";
        return tree;
    };
    const TCase cases[] = {
        {"LongNameKeptWhole", {{deep, "deep"}, {"top.txt", "top"}}, "", 0,
         folders({{deep, "deep"}, {"top.txt", "top"}}), {}},
        // A step the file system cannot hold fails its entry with the system's reason,
        // and no folder is made for it.
        {"FolderStepOver255Bytes", {{"a/" + step256 + "/x.txt", "x"}, {"ok.txt", "ok"}}, "", 1,
         {{"ok.txt", "ok"}},
         {"OUT/a/" + step256 + "/x.txt: Error opening file (25235): File name too long"}},
        {"FileNameOver255Bytes", {{"b/" + step256, "x"}}, "", 1, {},
         {"OUT/b/" + step256 + ": Error opening file (25235): File name too long"}},
        {"FileInAFoldersPlace", {{"x", "file"}, {"x/y.txt", "y"}}, "", 1, {{"x", "file"}},
         {"OUT/x/y.txt: Error opening file (25235): Not a directory"}},
        // Two entries on one file: the second is reported with the first one's name, and
        // the overwrite policy decides which stays.
        {"SameFileReplaced", {{"t.txt", "first"}, {"t.txt", "second"}}, "-o", 1,
         {{"t.txt", "second"}},
         {"OUT/t.txt: Same file as an earlier entry of this archive: t.txt (25236)"}},
        {"SameFileKept", {{"t.txt", "first"}, {"./t.txt", "second"}}, "-n", 1,
         {{"t.txt", "first"}},
         {"OUT/t.txt: Same file as an earlier entry of this archive: t.txt (25236)"}},
        // POSIX compares names byte for byte, and a colon is a character like any other.
        {"CaseMakesAnotherFile", {{"A.txt", "upper"}, {"a.txt", "lower"}}, "-o", 0,
         {{"A.txt", "upper"}, {"a.txt", "lower"}}, {}},
        {"ColonInAFolder", {{"dir:str/x", "x"}}, "", 0, {{"dir:str/", ""}, {"dir:str/x", "x"}},
         {}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir tmp;
        PythonZip(tmp / "n.zip", c.Entries);
        const std::string out = (tmp / "out").string();
        // The destination exists before the run: only what the entries made is below it.
        fs::create_directories(tmp / "out");
        const TRunResult r =
            Unspool(std::string("-q ") + c.Options + " " + Quote((tmp / "n.zip").string()) + " " +
                    Quote(out) + " < /dev/null");
        EXPECT_EQ(r.Status, c.Status) << r.Err;
        EXPECT_EQ(Tree(tmp / "out"), c.Tree);
        for (std::string line : c.Lines) {
            line.replace(0, 3, out);
            EXPECT_NE(r.Err.find("unspool: " + line + "\n"), std::string::npos) << r.Err;
        }
        if (c.Lines.empty()) {
            EXPECT_EQ(r.Err, "");
        }
        // The listing and the masks see the whole names.
        const TRunResult list = Unspool("-l " + Quote((tmp / "n.zip").string()));
        for (const auto& [name, text] : c.Entries)
            EXPECT_NE(list.Out.find(" " + name + "\n"), std::string::npos) << list.Out;
        const std::string& last = c.Entries.back().first;
        const TRunResult masked =
            Unspool("-l -f " + Quote(last) + " " + Quote((tmp / "n.zip").string()));
        EXPECT_NE(masked.Out.find(" " + last + "\n"), std::string::npos) << masked.Out;
    }
}

// `-l` names every method the format names, decoded here or not, and a method without a
// row is reported with its name after the code; the codec libraries' rows extract.
TEST(Cli, MethodNamesInListingAndReports)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 not installed";
    TTempDir tmp;
    const std::string zipped = Quote((tmp / "z.zip").string());
    ASSERT_EQ(Shell("cd " + Quote(tmp.Path().string()) + " && python3 -c \"import zipfile; "
                    "z = zipfile.ZipFile('z.zip', 'w'); "
                    "z.writestr('b.txt', 'bzip2 ' * 400, zipfile.ZIP_BZIP2); "
                    "z.writestr('l.txt', 'lzma ' * 400, zipfile.ZIP_LZMA); z.close()\"")
                  .Status, 0);
    TZipEntrySpec ppmd = Entry("p.txt", TextBytes(100, 4));
    ppmd.Method = 98;
    WriteFile(tmp / "p.zip", BuildZip({ppmd}));
    const std::string p = Quote((tmp / "p.zip").string());
    struct TCase {
        std::string Args;
        int Status;
        std::string Out; // found in standard output
        std::string Err; // found in standard error
    };
    const bool codecs = FindMethod(12) && FindMethod(14);
    std::vector<TCase> cases = {
        {"-l " + p, 0, " PPMd ", ""},
        {"-q -t " + p, 1, "", "p.txt: Unsupported compression method (25326): PPMd (98)"},
        {"-l " + zipped, 0, " bzip2 ", ""},
        {"-l " + zipped, 0, " LZMA ", ""},
    };
    if (codecs) cases.push_back({"-q -t " + zipped, 0, "", ""});
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Args);
        const TRunResult r = Unspool(c.Args);
        EXPECT_EQ(r.Status, c.Status) << r.Err;
        EXPECT_NE(r.Out.find(c.Out), std::string::npos) << r.Out;
        EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
    }
}

namespace {

// Starts the command on Args with its output in Log, and the pid.
pid_t StartUnspool(const std::vector<std::string>& Args, const fs::path& Log)
{
    std::vector<std::string> all{CliPath().string()};
    all.insert(all.end(), Args.begin(), Args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int log = ::open(Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int none = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(none, 0);
        dup2(log, 1);
        dup2(log, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(log);
    ::close(none);
    return pid;
}

// Waits (up to a deadline) until Seen says yes.
bool PollUntil(const std::function<bool()>& Seen)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Seen()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

bool HasTemporaryFile(const fs::path& Dir)
{
    for (const auto& e : fs::directory_iterator(Dir))
        if (e.path().filename().string().rfind(".qvr", 0) == 0) return true;
    return false;
}

} // namespace

// A signal while a large entry is written: the run stops, withdraws its temporary file,
// keeps the file it would have replaced byte for byte, keeps a new file cut short
// without the entry's date and says so, and the command ends by the signal itself.
TEST(Cli, ASignalStopsTheRunAndEndsTheCommandByIt)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 not installed";
    TTempDir tmp;
    // 200 MB of zeros, deflated to under a megabyte: the run is stopped long before its end.
    ASSERT_EQ(Shell("python3 -c \"import zipfile\nwith zipfile.ZipFile('" + (tmp / "big.zip").string() +
                    "','w',zipfile.ZIP_DEFLATED,compresslevel=1) as z:\n"
                    " with z.open('big.bin','w') as f:\n"
                    "  for i in range(200): f.write(bytes(1<<20))\"")
                  .Status,
              0);
    const struct {
        int Signal;
        bool Existing;
        const char* Threads;
    } cases[] = {{SIGINT, true, "1"}, {SIGTERM, true, "3"}, {SIGINT, false, "3"}, {SIGHUP, false, "1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "signal " << c.Signal << (c.Existing ? " replacing" : " new")
                                        << " -T " << c.Threads);
        const fs::path out = tmp / "out", file = out / "big.bin";
        fs::remove_all(out);
        fs::create_directories(out);
        const Bytes old = TextBytes(5000, 3);
        if (c.Existing) WriteFile(file, old);
        const pid_t pid = StartUnspool({"-o", "-T", c.Threads, (tmp / "big.zip").string(), "-d", out.string()},
                                       tmp / "log.txt");
        // Once the entry's bytes are on their way.
        const bool begun = PollUntil([&] {
            return c.Existing ? HasTemporaryFile(out) : fs::exists(file) && fs::file_size(file) > 0;
        });
        kill(pid, c.Signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(begun);
        const std::string log = ReadText(tmp / "log.txt");
        SCOPED_TRACE(log);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), c.Signal);
        EXPECT_FALSE(HasTemporaryFile(out));
        EXPECT_EQ(FilesBelow(out), std::vector<std::string>{"big.bin"});
        if (c.Existing) {
            EXPECT_EQ(ReadFile(file), old);
        } else {
            EXPECT_LT(fs::file_size(file), uintmax_t{200} << 20);
            EXPECT_LT(fs::file_time_type::clock::now() - fs::last_write_time(file), std::chrono::hours(1));
            EXPECT_NE(log.find("Cut short, the file is incomplete (26904)"), std::string::npos);
        }
    }
}

// Ctrl-C at the hidden password prompt: the terminal's echo is back on once the command
// has ended by the signal.
TEST(Cli, CtrlCAtThePasswordPromptRestoresTheTerminal)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 not installed";
    TTempDir tmp;
    // The prompt is out, then the command sleeps in its read of the answer: the signal
    // comes then, with echo off.
    WriteText(tmp / "ctrl_c.py", R"(import os, pty, select, signal, sys, termios, time
master, slave = pty.openpty()
pid = os.fork()
if pid == 0:
    os.setsid()
    for fd in (0, 1, 2): os.dup2(slave, fd)
    os.execv(sys.argv[1], sys.argv[1:])
shown, deadline = b'', time.time() + 20
while b'password for' not in shown and time.time() < deadline:
    if select.select([master], [], [], 0.1)[0]: shown += os.read(master, 4096)
def state():
    with open('/proc/%d/stat' % pid) as f: return f.read().rsplit(')', 1)[1].split()[0]
while state() != 'S' and time.time() < deadline: time.sleep(0.001)
off = not termios.tcgetattr(slave)[3] & termios.ECHO
os.kill(pid, signal.SIGINT)
status = os.waitpid(pid, 0)[1]
on = bool(termios.tcgetattr(slave)[3] & termios.ECHO)
print(off, on, os.waitstatus_to_exitcode(status))
)");
    const TRunResult r = Shell("python3 " + Quote((tmp / "ctrl_c.py").string()) + " " +
                               Quote(CliPath().string()) + " " +
                               Quote((CorpusDir() / "c07_infozip_zipcrypto.zip").string()) + " " +
                               Quote((tmp / "out").string()));
    // Echo was off at the prompt, is on again after, and the command ended by SIGINT.
    EXPECT_EQ(r.Out, "True True -2\n");
}

TEST(Cli, SummariesAndVerdictsSayWhatBecameOfEachFile)
{
    TTempDir tmp;
    // Two entries of one name, the second failing its CRC; two failing entries; a plain
    // archive; an archive of an end record alone; a gzip file.
    std::vector<TZipEntrySpec> dup = {Entry("one.txt", TextBytes(40, 1)),
                                      Entry("one.txt", TextBytes(50, 2)),
                                      Entry("two.txt", TextBytes(60, 3))};
    dup[1].BadCrc = true;
    WriteFile(tmp / "dup.zip", BuildZip(dup));
    std::vector<TZipEntrySpec> bad = {Entry("a.txt", TextBytes(70, 4)), Entry("b.txt", TextBytes(80, 5))};
    for (auto& e : bad) e.BadCrc = true;
    WriteFile(tmp / "bad.zip", BuildZip(bad));
    const fs::path plain = StoredArchive(tmp);
    Bytes empty(22, 0);
    PutU32(empty.data(), 0x06054B50u);
    WriteFile(tmp / "empty.zip", empty);
    WriteFile(tmp / "file", TextBytes(10, 6));
    ASSERT_EQ(Shell("gzip -c " + Quote((tmp / "file").string()) + " > " +
                    Quote((tmp / "p.gz").string())).Status, 0);
    const auto arc = [&tmp](const char* Name) { return Quote((tmp / Name).string()) + " "; };
    const std::string out = Quote((tmp / "out").string());
    const struct {
        std::string Args;
        int Status;
        std::string Err; // a line of the error output ("": none at all)
        std::string Out; // a piece of the standard output
    } cases[] = {
        // Every failure is printed, a second name for one file included, and the summary
        // counts the files written whole apart from those that failed or were kept.
        {"-o " + arc("dup.zip") + out, 1, "one.txt: File fails CRC check (25151)",
         "2 files extracted, 1 failed, 100 B in"},
        {"-o " + arc("bad.zip") + out, 1, "b.txt: File fails CRC check (25151)",
         "0 files extracted, 2 failed, 0 B in"},
        {"-o " + arc("s.zip") + out, 0, "", "3 files extracted, 4.0 kB in"},
        {"-n " + arc("s.zip") + out, 0, "", "0 files extracted, 3 kept (existing), 0 B in"},
        {"-t " + arc("bad.zip"), 1, "a.txt: File fails CRC check (25151)", "0 files tested, 2 failed"},
        {arc("empty.zip") + out, 0, "", "0 files extracted, 0 B in"},
        {"-l " + arc("empty.zip"), 0, "", "0 entries\n"},
        // Standard output that cannot be written fails the run, with the system's reason.
        {"-c " + arc("s.zip") + "> /dev/full", 1, "standard output: No space left on device", ""},
        {"-l " + arc("s.zip") + "> /dev/full", 2, "standard output: No space left on device", ""},
        {"--help > /dev/full", 1, "standard output: No space left on device", ""},
        // Reasons that say what is wrong.
        {arc("s.zip") + Quote((tmp / "file/sub").string()), 2, "Not a directory", ""},
        {arc("p.gz"), 2, "not a ZIP archive (gzip)", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args);
        const TRunResult r = Unspool(c.Args + " < /dev/null");
        EXPECT_EQ(r.Status, c.Status) << r.Err;
        if (c.Err.empty())
            EXPECT_EQ(r.Err, "");
        else
            EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
        EXPECT_NE(r.Out.find(c.Out), std::string::npos) << r.Out;
    }
}

TEST(Cli, StdoutAndListingsTakeTheRightPasswordAndTime)
{
    if (!HaveTool("zip")) GTEST_SKIP() << "no zip";
    TTempDir tmp;
    const Bytes text = TextBytes(30000, 7);
    WriteFile(tmp / "nums.txt", text);
    // A wrong password that passes the check byte of the entry's encryption header, put
    // before the right one: nothing can be taken back from standard output.
    const std::string dir = "cd " + Quote(tmp.Path().string()) + " && ";
    ASSERT_EQ(Shell(dir + "touch -d @1592228710 nums.txt && zip -q -P right e.zip nums.txt").Status, 0);
    const TRunResult found = Shell(dir + R"(python3 -c "
import struct, zlib
d = open('e.zip', 'rb').read()
n, x = struct.unpack('<HH', d[26:30])
crc = struct.unpack('<I', d[14:18])[0]
check = d[11] if d[6] & 8 else crc >> 24
c = lambda k, b: ~zlib.crc32(bytes([b]), ~k & 0xffffffff) & 0xffffffff
def keys(p):
    k = [0x12345678, 0x23456789, 0x34567890]
    for b in p: step(k, b)
    return k
def step(k, b):
    k[0] = c(k[0], b); k[1] = ((k[1] + (k[0] & 255)) * 134775813 + 1) & 0xffffffff
    k[2] = c(k[2], k[1] >> 24)
def last(p):
    k = keys(p)
    for b in d[30 + n + x:42 + n + x]:
        t = (k[2] | 2) & 0xffff; p = b ^ ((t * (t ^ 1)) >> 8) & 255; step(k, p)
    return p
print(next('w%d' % i for i in range(100000) if last(b'w%d' % i) == check))
")");
    ASSERT_EQ(found.Status, 0) << found.Err;
    const std::string wrong = found.Out.substr(0, found.Out.find('\n'));
    const TRunResult r = Unspool("-c -p " + wrong + " -p right " + Quote((tmp / "e.zip").string()));
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_TRUE(Bytes(r.Out.begin(), r.Out.end()) == text);
    // The listing shows the time the file gets: its UTC time in the local zone (a zone
    // nine hours east here), not the DOS time stored beside it.
    const TRunResult l = Shell("TZ=JST-9 " + Quote(CliPath().string()) + " -l " +
                               Quote((tmp / "e.zip").string()));
    EXPECT_NE(l.Out.find("2020-06-15 22:45"), std::string::npos) << l.Out;
}

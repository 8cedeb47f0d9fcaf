// Hostile destinations and names: links and hard links already in the destination are
// never written through, a mode is never set through a name another process can swap,
// a failed entry never costs the file it would have replaced, and the names Windows
// reserves for devices are changed, on Windows only.
#include "OutputFaults.h"
#include "TestSupport.h"
#include "qvrGbls.h"
#include "qvrUnZip.h"

#include <gtest/gtest.h>

#include <map>

using namespace test;

namespace {

enum class TAnswer { NoQuestions, Never, Yes };

struct TLinkCase {
    const char* Title;
    std::vector<std::pair<std::string, std::string>> Links; // below the destination: target
    std::vector<std::string> Entries;                       // each holds "data of <name>"
    TAnswer Answer;
    std::vector<std::pair<std::string, int32_t>> Reports; // leaf name, code
    std::vector<std::string> Files; // entries that must be plain files with their data
    // Hard links below the destination to files outside it: name, outside file.
    std::vector<std::pair<std::string, std::string>> HardLinks = {};
};

const TLinkCase LinkCases[] = {
    {"folder link to outside", {{"link", "../else"}}, {"link/x", "ok.txt"},
     TAnswer::NoQuestions, {{"x", E_OPENERR}}, {"ok.txt"}},
    {"file link to outside victim", {{"f", "../else/victim"}}, {"f"}, TAnswer::NoQuestions, {},
     {"f"}},
    {"dangling link", {{"d", "../else/new"}}, {"d"}, TAnswer::NoQuestions, {}, {"d"}},
    {"link in a deeper step", {{"real/l", "../../else"}}, {"real/l/y", "real/z"},
     TAnswer::NoQuestions, {{"y", E_OPENERR}}, {"real/z"}},
    {"stored folder through a link", {{"link", "../else"}}, {"link/sub/"}, TAnswer::NoQuestions,
     {{"", E_OPENERR}}, {}},
    {"never overwrite, folder link", {{"link", "../else"}}, {"link/x", "link/victim"},
     TAnswer::Never, {{"x", E_OPENERR}, {"victim", E_OPENERR}}, {}},
    {"overwrite confirmed through a folder link", {{"link", "../else"}}, {"link/locked"},
     TAnswer::Yes, {{"locked", E_OPENERR}}, {}},
    {"overwrite confirmed on a file link", {{"f", "../else/locked"}}, {"f"}, TAnswer::Yes, {},
     {"f"}},
    {"hard link to an outside file", {}, {"h"}, TAnswer::NoQuestions, {}, {"h"}, {{"h", "victim"}}},
    {"overwrite confirmed on a hard link to a read-only file", {}, {"h"}, TAnswer::Yes, {}, {"h"},
     {{"h", "locked"}}},
};

std::string DataOf(const std::string& Name) { return "data of " + Name; }

// Everything below Dir except Skip, without following links: a link's target, or a
// file's permissions, size and CRC.
std::map<std::string, std::string> Snapshot(const fs::path& Dir, const fs::path& Skip)
{
    std::map<std::string, std::string> m;
    for (auto it = fs::recursive_directory_iterator(Dir); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path& p = it->path();
        if (p == Skip) {
            it.disable_recursion_pending();
            continue;
        }
        const fs::file_status st = fs::symlink_status(p);
        std::string what = std::to_string(static_cast<int>(st.type())) + " " +
                           std::to_string(static_cast<unsigned>(st.permissions())) + " ";
        if (fs::is_symlink(st))
            what += fs::read_symlink(p).string();
        else if (fs::is_regular_file(st))
            what += std::to_string(fs::file_size(p)) + " " + std::to_string(Crc32Of(ReadFile(p)));
        m[fs::relative(p, Dir).string()] = what;
    }
    return m;
}

} // namespace

TEST(HostileOutput, LinksInTheDestinationAreNeverFollowed)
{
    SKIP_ON_WINDOWS("the output faults interpose POSIX C library calls");
    for (const TLinkCase& c : LinkCases) {
        SCOPED_TRACE(c.Title);
        TTempDir tmp;
        const fs::path dest = tmp / "dest";
        WriteText(tmp / "else/victim", "victim");
        WriteText(tmp / "else/locked", "locked");
        fs::permissions(tmp / "else/locked", fs::perms::owner_read | fs::perms::group_read);
        for (const auto& [link, target] : c.Links) {
            fs::create_directories((dest / link).parent_path());
            fs::create_symlink(target, dest / link);
        }
        for (const auto& [link, target] : c.HardLinks) {
            fs::create_directories((dest / link).parent_path());
            fs::create_hard_link(tmp / "else" / target, dest / link);
        }
        std::vector<TZipEntrySpec> entries;
        for (const std::string& name : c.Entries) {
            const std::string data = name.back() == '/' ? "" : DataOf(name);
            entries.push_back(Entry(name, Bytes(data.begin(), data.end())));
        }
        WriteFile(tmp / "a.zip", BuildZip(entries));
        const auto before = Snapshot(tmp.Path(), dest);

        TUnZip z;
        z.ArchiveFile((tmp / "a.zip").string());
        z.CreateStoredDirs(true);
        z.ConfirmOverwrites(c.Answer != TAnswer::NoQuestions);
        z.OnFileExists = [&c](TZipCommon&, const std::string&, std::string&, TOverwriteMode& m) {
            m = c.Answer == TAnswer::Yes ? omOverwrite : omSkip;
        };
        const TRunLog log = RunLogged(z, dest);

        EXPECT_EQ(log.Errors, c.Reports);
        EXPECT_EQ(Snapshot(tmp.Path(), dest), before) << "a change outside the destination";
        for (const std::string& name : c.Files) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dest / name))) << name;
            EXPECT_EQ(ReadText(dest / name), DataOf(name)) << name;
            EXPECT_EQ(fs::hard_link_count(dest / name), 1u) << name;
        }
    }
}

// Another process swaps the new file's name for a link to a private key just when the
// entry's read-only attribute is applied: the key keeps its mode and its bytes, whatever
// the other process leaves under the name.
TEST(HostileOutput, AModeIsNeverSetThroughANameSwappedForALink)
{
    SKIP_ON_WINDOWS("the output faults interpose POSIX C library calls");
    TTempDir tmp;
    const fs::path key = tmp / "home/id_rsa";
    WriteText(key, "private");
    fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write);
    TZipEntrySpec e = Entry("id.txt", Bytes{'p', 'u', 'b'});
    e.ExternalAttr = 0x21; // read-only
    WriteFile(tmp / "a.zip", BuildZip({e}));
    TRunLog log;
    bool swapped = false;
    {
        TLinkSwapAtChmod swap(tmp / "out/id.txt", key);
        log = ExtractLogged(tmp / "a.zip", tmp / "out");
        swapped = swap.Swapped();
    }
    ASSERT_TRUE(swapped) << "no mode was set: the race was not run";
    EXPECT_TRUE(log.Errors.empty());
    EXPECT_EQ(fs::status(key).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadText(key), "private");
}

namespace {

// Ways an entry can fail after its file was begun.
enum class TFailure { BadCrc, CutStream, SizeLie, Cancelled, WrongPasswordPassingCheck };

const std::pair<const char*, TFailure> FailedEntryCases[] = {
    {"bad CRC", TFailure::BadCrc},
    {"stream cut short", TFailure::CutStream},
    {"declared size too small", TFailure::SizeLie},
    {"cancelled", TFailure::Cancelled},
    {"wrong password passing the check byte", TFailure::WrongPasswordPassingCheck},
};

// The entry "f.txt" failing as C says, then "next.txt", which extracts; the password to
// give in Password.
Bytes FailingArchive(TFailure F, std::string& Password)
{
    const Bytes data = TextBytes(300000, 7);
    TZipEntrySpec e = Entry("f.txt", data, 8);
    switch (F) {
    case TFailure::BadCrc: e.Crc ^= 1; break;
    case TFailure::CutStream: e.Data.resize(e.Data.size() / 2); break;
    case TFailure::SizeLie: e.UncompressedSize -= 1000; break;
    case TFailure::Cancelled: break;
    case TFailure::WrongPasswordPassingCheck:
        Encrypt(e, "right");
        Password = CheckByteTwin(e, "right");
        break;
    }
    return BuildZip({e, Entry("next.txt", Bytes{'n'})});
}

std::vector<std::string> TemporaryFilesBelow(const fs::path& Dir)
{
    std::vector<std::string> found;
    for (const std::string& f : FilesBelow(Dir))
        if (fs::path(f).filename().string().rfind(".qvr", 0) == 0) found.push_back(f);
    return found;
}

} // namespace

TEST(HostileOutput, AFailedEntryNeverCostsTheFileItWouldReplace)
{
    SKIP_ON_WINDOWS("the output faults interpose POSIX C library calls");
    for (const auto& [title, failure] : FailedEntryCases) {
        for (const bool existing : {true, false}) {
            SCOPED_TRACE(std::string(title) + (existing ? ", file exists" : ", new file"));
            TTempDir tmp;
            std::string password;
            WriteFile(tmp / "a.zip", FailingArchive(failure, password));
            if (existing) WriteText(tmp / "out/f.txt", "the user's own");
            TUnZip z;
            z.ArchiveFile((tmp / "a.zip").string());
            if (!password.empty()) z.Passwords({password});
            const bool cancel = failure == TFailure::Cancelled;
            if (cancel) z.OnProgress = [](TZipCommon& s, uint8_t, uint8_t) { s.SetCancel(true); };
            const TRunLog log = RunLogged(z, tmp / "out");

            ASSERT_TRUE(log.Verdicts.count("f.txt"));
            EXPECT_FALSE(log.Verdicts.at("f.txt"));
            if (existing) {
                EXPECT_EQ(ReadText(tmp / "out/f.txt"), "the user's own");
                // The notice follows the entry's own report; a cancelled run stays quiet.
                const auto reports = log.ErrorsByName();
                EXPECT_EQ(reports.count("f.txt") ? reports.at("f.txt") : 0,
                          cancel ? 0 : E_KEPTEXISTING);
            } else {
                // What was written of a new file is kept: part of it is still worth having.
                EXPECT_TRUE(fs::is_regular_file(tmp / "out/f.txt"));
                // Cut short by a cancel, it is said so, and it does not look complete: it
                // keeps the time it was written at, not the entry's (2025).
                if (cancel) {
                    EXPECT_EQ(log.ErrorsByName()["f.txt"], E_CUTSHORT);
                }
                const auto age = fs::file_time_type::clock::now() - fs::last_write_time(tmp / "out/f.txt");
                EXPECT_EQ(age < std::chrono::hours(1), cancel);
            }
            EXPECT_EQ(TemporaryFilesBelow(tmp / "out"), std::vector<std::string>{});
            EXPECT_EQ(fs::exists(tmp / "out/next.txt"), !cancel);
        }
    }
}
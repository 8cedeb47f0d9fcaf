// Hostile destinations: links already in the destination are never followed.
#include "TestSupport.h"
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
        }
    }
}

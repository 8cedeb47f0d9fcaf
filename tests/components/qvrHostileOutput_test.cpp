// Hostile destinations and names: links already in the destination are never followed,
// and the names Windows reserves for devices are changed, on Windows only.
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

TEST(HostileOutput, DeviceNamesAreRecognisedInEveryForm)
{
    const std::pair<const char*, bool> cases[] = {
        {"CON", true},          {"con", true},          {"nul.txt", true},
        {"Nul .tar.gz", true},  {"AUX. ", true},        {"prn...", true},
        {"aux  ", true},        {"COM1", true},         {"com9.log", true},
        {"LPT1", true},         {"lpt9", true},         {"COM\xC2\xB9", true},
        {"lpt\xC2\xB3.txt", true}, {"COM0", false},     {"COM10", false},
        {"LPT", false},         {"CONSOLE", false},     {"nul_", false},
        {"_nul", false},        {" nul", false},        {"xnul.txt", false},
        {"", false},            {"COM\xC2\xB4", false}, {"con\xC3\xA9", false},
    };
    for (const auto& [name, device] : cases) EXPECT_EQ(IsDeviceName(name), device) << name;

    EXPECT_EQ(AvoidDeviceNames("sub\\NUL.txt"), "sub\\_NUL.txt");
    EXPECT_EQ(AvoidDeviceNames("aux\\con\\x.txt"), "_aux\\_con\\x.txt");
    EXPECT_EQ(AvoidDeviceNames("lpt1\\"), "_lpt1\\");
    EXPECT_EQ(AvoidDeviceNames("a\\console\\"), "a\\console\\");
    EXPECT_EQ(AvoidDeviceNames(""), "");
}

// Only Windows takes these names for devices: elsewhere they are ordinary names, kept
// as stored and not reported.
TEST(HostileOutput, DeviceNamesStayAsStoredWhereTheyAreOrdinaryNames)
{
    if (qvrOS::DeviceNamesReserved()) GTEST_SKIP() << "a system that reserves device names";
    TTempDir tmp;
    const std::vector<std::string> names = {"sub/NUL.txt", "aux", "CON", "com1.txt", "lpt9"};
    std::vector<TZipEntrySpec> entries;
    for (const std::string& name : names) {
        const std::string data = DataOf(name);
        entries.push_back(Entry(name, Bytes(data.begin(), data.end())));
    }
    WriteFile(tmp / "a.zip", BuildZip(entries));
    const TRunLog log = ExtractLogged(tmp / "a.zip", tmp / "out");
    EXPECT_TRUE(log.Errors.empty());
    for (const std::string& name : names) EXPECT_EQ(ReadText(tmp / "out" / name), DataOf(name));
}

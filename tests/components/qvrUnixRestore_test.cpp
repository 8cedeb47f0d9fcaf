// What a POSIX extraction restores of what Unix writers store: permission modes of files
// and folders (a folder without write permission still gets its files), symbolic links
// (never written through), UTF-8 and Unicode Path names, and true UTC times. Archives
// come from Info-ZIP zip, bsdtar, 7-Zip and Python's zipfile at test time, and what the
// component and the command make of them is compared with bsdtar's own extraction.
#include "TestSupport.h"

#include "qvrEntryFacts.h"
#include "qvrMessages.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <ostream>
#include <thread>

using namespace test;

namespace {

// 2020-03-04 05:06:07 UTC, the time of the 0600 file of the source tree.
constexpr int64_t KnownTime = 1583298367;

// One thing in an extracted tree: type, permission bits, link target, modification
// time. A link's own mode and time are the system's, not the archive's.
struct TNode {
    char Type = '?';
    unsigned Mode = 0;
    std::string Target;
    int64_t Sec = 0;
    long Nsec = 0;
    bool operator==(const TNode&) const = default;
};
std::ostream& operator<<(std::ostream& Os, const TNode& N)
{
    return Os << N.Type << ' ' << std::oct << N.Mode << std::dec << " '" << N.Target << "' "
              << N.Sec << '.' << N.Nsec;
}
using TTree = std::map<std::string, TNode>;

TTree Snapshot(const fs::path& Dir)
{
    TTree tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(Dir, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0) continue;
        TNode n;
        if (S_ISLNK(st.st_mode)) {
            n.Type = 'l';
            n.Target = fs::read_symlink(it->path()).string();
        } else {
            n.Type = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : 'p';
            n.Mode = st.st_mode & 07777;
            n.Sec = st.st_mtim.tv_sec;
            n.Nsec = st.st_mtim.tv_nsec;
        }
        tree[it->path().lexically_relative(Dir).string()] = n;
    }
    return tree;
}

// Folders without write permission are opened up again, so that the temporary folder
// can go whoever runs the tests.
void OpenUp(const fs::path& Dir) { Shell("chmod -R u+rwx " + Quote(Dir.string())); }

// Runs Fn on a thread of its own under the time zone Tz: the platform keeps a day's
// local midnight per thread, so each zone gets a fresh thread.
template <typename F> void UnderZone(const char* Tz, F Fn)
{
    std::thread([&] {
        const char* before = std::getenv("TZ");
        const std::optional<std::string> saved =
            before ? std::optional<std::string>(before) : std::nullopt;
        ::setenv("TZ", Tz, 1);
        ::tzset();
        Fn();
        if (saved)
            ::setenv("TZ", saved->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }).join();
}

TRunLog ComponentExtract(const char* Tz, const fs::path& Zip, const fs::path& Out,
                         const std::function<void(TUnZip&)>& Setup = {})
{
    TRunLog log;
    UnderZone(Tz, [&] {
        TUnZip z;
        OpenArchive(z, Zip, false);
        z.CreateStoredDirs(true);
        if (Setup) Setup(z);
        log = RunLogged(z, Out);
    });
    return log;
}

// Python's zipfile as a writer: modes and links through external_attr, the 0600 file
// with an extended timestamp and everything else with a DOS time only. "append" adds
// the entry that lies under the absolute link's name.
constexpr const char* PythonWriter = R"PY(
import os, stat, struct, sys, zipfile
mode, src, out = sys.argv[1], sys.argv[2], sys.argv[3]
def info(name, st_mode):
    i = zipfile.ZipInfo(name, (2021, 5, 6, 7, 8, 10))
    i.create_system = 3
    i.external_attr = (st_mode << 16) | (0x10 if stat.S_ISDIR(st_mode) else 0)
    return i
if mode == 'append':
    with zipfile.ZipFile(out, 'a') as z:
        z.writestr(info('abs/escape.txt', 0o100644), b'escaped')
    sys.exit(0)
with zipfile.ZipFile(out, 'w') as z:
    for root, dirs, files in os.walk(src):
        for name in sorted(dirs + files):
            p = os.path.join(root, name)
            rel = os.path.relpath(p, src)
            st = os.lstat(p)
            if stat.S_ISLNK(st.st_mode):
                z.writestr(info(rel, st.st_mode), os.readlink(p).encode())
            elif stat.S_ISDIR(st.st_mode):
                z.writestr(info(rel + '/', st.st_mode), b'')
            else:
                i = info(rel, st.st_mode)
                if rel == 'f600':
                    i.extra = struct.pack('<HHBI', 0x5455, 5, 1, int(st.st_mtime))
                with open(p, 'rb') as f:
                    z.writestr(i, f.read())
)PY";

struct TWriter {
    const char* Name;
    const char* Tool;
    // Run in the source folder; {ZIP} is the archive, {PY} the script, {ESC} a folder
    // holding abs/escape.txt, the entry that lies under the absolute link's name and is
    // added last (by the writer itself: a rewrite by another tool may change the names).
    const char* Command;
    // The writer keeps NTFS times (100 ns), which bsdtar does not read: the times to
    // expect are then the source tree's own.
    bool NtfsTimes;
};
const TWriter Writers[] = {
    {"InfoZip", "zip", "zip -qry {ZIP} . && cd {ESC} && zip -qr {ZIP} abs/escape.txt", false},
    {"Bsdtar", "bsdtar", "bsdtar --format zip -cf {ZIP} . -C {ESC} abs/escape.txt", false},
    {"SevenZip", "7zz",
     "7zz a -tzip -snl {ZIP} . >/dev/null && cd {ESC} && 7zz a -tzip {ZIP} abs/escape.txt >/dev/null",
     true},
    {"SevenZipP7", "7z",
     "7z a -tzip -snl {ZIP} . >/dev/null && cd {ESC} && 7z a -tzip {ZIP} abs/escape.txt >/dev/null",
     true},
    {"Python", "python3", "python3 {PY} make . {ZIP} && python3 {PY} append . {ZIP}", false},
};

// Expected with the times of Source, to the 100 ns an NTFS time keeps.
TTree WithTimesOf(TTree Expected, const TTree& Source)
{
    for (auto& [name, node] : Expected) {
        const auto s = Source.find(name);
        if (node.Type == 'l' || s == Source.end()) continue;
        node.Sec = s->second.Sec;
        node.Nsec = s->second.Nsec / 100 * 100;
    }
    return Expected;
}

std::string Fill(std::string Command, const std::string& Key, const std::string& Value)
{
    for (size_t at; (at = Command.find(Key)) != std::string::npos;)
        Command.replace(at, Key.size(), Value);
    return Command;
}

// The source tree: a 0700 folder, a 0600 file with a known time, a 0755 script, a 0500
// folder with a file inside, a relative and an absolute link, a name beyond ASCII.
void MakeSource(const fs::path& Src, const fs::path& Outside)
{
    fs::create_directories(Src / "priv");
    fs::create_directories(Src / "ro");
    fs::create_directories(Outside);
    WriteText(Src / "f600", "secret\n");
    WriteText(Src / "run.sh", "#!/bin/sh\necho run\n");
    WriteText(Src / "ro/inner", "inside a read-only folder\n");
    WriteText(Src / "r\xC3\xA9sum\xC3\xA9 \xC3\xBC.txt", "accents\n");
    fs::create_symlink("f600", Src / "rel");
    fs::create_symlink(Outside, Src / "abs");
    const struct timespec known[2] = {{KnownTime, 0}, {KnownTime, 0}};
    ::utimensat(AT_FDCWD, (Src / "f600").c_str(), known, 0);
    ::chmod((Src / "f600").c_str(), 0600);
    ::chmod((Src / "run.sh").c_str(), 0755);
    ::chmod((Src / "priv").c_str(), 0700);
    ::chmod((Src / "ro").c_str(), 0500);
}

void PrintTo(const TWriter& W, std::ostream* Os) { *Os << W.Name; }

class UnixRestore : public ::testing::TestWithParam<TWriter> {};

// What every writer stores, whoever extracts it.
void ExpectRestored(const TTree& T, const fs::path& Outside, const std::string& Who)
{
    SCOPED_TRACE(Who);
    ASSERT_TRUE(T.count("f600") && T.count("run.sh") && T.count("priv") && T.count("ro") &&
                T.count("rel") && T.count("abs"));
    EXPECT_EQ(T.at("f600").Type, 'f');
    EXPECT_EQ(T.at("f600").Mode, 0600u);
    EXPECT_EQ(T.at("f600").Sec, KnownTime);
    EXPECT_EQ(T.at("run.sh").Mode, 0755u);
    EXPECT_EQ(T.at("priv").Type, 'd');
    EXPECT_EQ(T.at("priv").Mode, 0700u);
    EXPECT_EQ(T.at("ro").Mode, 0500u);
    EXPECT_EQ(T.count("ro/inner"), 1u);
    EXPECT_EQ(T.at("rel"), (TNode{'l', 0, "f600", 0, 0}));
    EXPECT_EQ(T.at("abs"), (TNode{'l', 0, Outside.string(), 0, 0}));
    EXPECT_EQ(T.count("r\xC3\xA9sum\xC3\xA9 \xC3\xBC.txt"), 1u);
    // The entry under the absolute link's name never reaches the link's target.
    EXPECT_FALSE(fs::exists(Outside / "escape.txt"));
}

} // namespace

TEST_P(UnixRestore, ComponentAndCommandRestoreWhatBsdtarRestores)
{
    const TWriter& w = GetParam();
    if (!HaveTool(w.Tool) || !HaveTool("bsdtar")) GTEST_SKIP() << w.Tool << " is not installed";
    TTempDir tmp;
    const fs::path src = tmp / "src", outside = tmp / "outside", zip = tmp / "a.zip";
    MakeSource(src, outside);
    WriteText(tmp / "writer.py", PythonWriter);
    WriteText(tmp / "esc/abs/escape.txt", "escaped\n");
    std::string make = Fill(w.Command, "{ZIP}", Quote(zip.string()));
    make = Fill(Fill(make, "{PY}", Quote((tmp / "writer.py").string())), "{ESC}",
                Quote((tmp / "esc").string()));
    const TRunResult made = Shell("cd " + Quote(src.string()) + " && " + make);
    ASSERT_EQ(made.Status, 0) << made.Err;

    std::map<std::string, TTree> byZone;
    for (const char* zone : {"UTC", "Asia/Tokyo"}) {
        const std::string z = zone;
        const fs::path ref = tmp / ("bsdtar-" + z.substr(0, 3));
        fs::create_directories(ref);
        Shell("cd " + Quote(ref.string()) + " && TZ=" + z + " bsdtar -xpf " + Quote(zip.string()));
        const TTree expected =
            w.NtfsTimes ? WithTimesOf(Snapshot(ref), Snapshot(src)) : Snapshot(ref);

        const fs::path mine = tmp / ("component-" + z.substr(0, 3));
        const TRunLog log = ComponentExtract(zone, zip, mine);
        // The one failure: the entry that would have gone through the link.
        EXPECT_EQ(log.Errors, (std::vector<std::pair<std::string, int32_t>>{
                                  {"escape.txt", E_OPENERR}}));
        const TTree got = Snapshot(mine);
        ExpectRestored(got, outside, "component under " + z);
        EXPECT_EQ(got, expected) << "component under " << z;
        byZone[z] = got;

        const fs::path cli = tmp / ("command-" + z.substr(0, 3));
        const TRunResult r = Shell("TZ=" + z + " " + Quote(CliPath().string()) + " -q -o " +
                                   Quote(zip.string()) + " " + Quote(cli.string()));
        EXPECT_EQ(r.Status, 1) << r.Err; // the escape entry fails
        const TTree viaCommand = Snapshot(cli);
        ExpectRestored(viaCommand, outside, "command under " + z);
        EXPECT_EQ(viaCommand, expected) << "command under " << z;
    }
    // UTC times do not move with the zone; a DOS time (Python's script) is local time,
    // read in each zone as its own.
    const int64_t shift = std::string(w.Name) == "Python" ? 9 * 3600 : 0;
    EXPECT_EQ(byZone["UTC"].at("f600").Sec, byZone["Asia/Tokyo"].at("f600").Sec);
    EXPECT_EQ(byZone["UTC"].at("run.sh").Sec - byZone["Asia/Tokyo"].at("run.sh").Sec, shift);
    OpenUp(tmp.Path());
}

INSTANTIATE_TEST_SUITE_P(Writers, UnixRestore, ::testing::ValuesIn(Writers),
                         [](const auto& Info) { return std::string(Info.param.Name); });

namespace {

void Put(Bytes& B, uint64_t V, int Size)
{
    for (int i = 0; i < Size; ++i) B.push_back(static_cast<uint8_t>(V >> (8 * i)));
}
Bytes Ntfs(int64_t Seconds, uint32_t Nanos)
{
    Bytes body;
    Put(body, 0, 4);
    Put(body, 1, 2);
    Put(body, 24, 2);
    const uint64_t ticks = static_cast<uint64_t>(Seconds + 11644473600LL) * 10000000u + Nanos / 100;
    for (int i = 0; i < 3; ++i) Put(body, ticks, 8);
    return Field(0x000A, body);
}
Bytes OldUnix(uint32_t Access, uint32_t Modified)
{
    Bytes body;
    Put(body, Access, 4);
    Put(body, Modified, 4);
    return Field(0x5855, body);
}
Bytes operator+(Bytes A, const Bytes& B)
{
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

constexpr uint32_t Unix(uint32_t Mode) { return Mode << 16; }
// Times to expect besides a plain number.
constexpr int64_t DosTime = -1; // the entry's DOS date-time, read in UTC
constexpr int64_t Now = -2;     // the time of the run (DateAttribute daSysDate)
// The mode a new file gets from the system: 0666 less the umask.
constexpr unsigned SystemMode = 0xFFFF;

struct THeaderCase {
    const char* What;
    std::string Name; // as stored
    uint8_t Host;
    uint32_t Attr;
    Bytes Extra;
    std::function<void(TUnZip&)> Setup;
    std::string Out;  // the name in the destination; empty: nothing is made
    char Type = 'f';
    unsigned Mode = 0644;
    int64_t Sec = DosTime;
    long Nsec = 0;
    Bytes Data = Bytes{'f', '6', '0', '0'};
    bool BadCrc = false;
    int32_t Error = 0; // the one report expected, 0 for none
    const char* Why = ""; // its extended text
};

const std::string Cp437Name = "\x82t\x82.txt";        // "été.txt" in CP437
const std::string Utf8Name = "caf\xC3\xA9.txt";       // "café.txt" in UTF-8
const std::string Cp437OfUtf8 = "caf\xE2\x94\x9C\xE2\x8C\x90.txt"; // its bytes read as CP437

const THeaderCase HeaderCases[] = {
    {"NtfsTimeTo100ns", "n.txt", 3, Unix(0100644), Ntfs(1600000000, 123456789), {}, "n.txt",
     'f', 0644, 1600000000, 123456700},
    {"NtfsTimeBeatsExtendedTimestamp", "n.txt", 3, Unix(0100644),
     Ut(1, 1500000000) + Ntfs(1600000000, 0), {}, "n.txt", 'f', 0644, 1600000000},
    {"OldUnixField", "o.txt", 3, Unix(0100644), OldUnix(1, 1500000000), {}, "o.txt", 'f', 0644,
     1500000000},
    {"TimestampWithoutModificationTimeLeavesDosTime", "u.txt", 3, Unix(0100644), Ut(2, 1500000000),
     {}, "u.txt"},
    {"DosTimeWithoutFields", "d.txt", 0, 0x20, {}, {}, "d.txt", 'f', SystemMode},
    {"SystemDateOverridesTimestamp", "s.txt", 3, Unix(0100644), Ut(1, 1500000000),
     [](TUnZip& Z) { Z.DateAttribute(daSysDate); }, "s.txt", 'f', 0644, Now},
    {"ExtendedTimesOffKeepsDosTime", "x.txt", 3, Unix(0100644), Ut(1, 1500000000),
     [](TUnZip& Z) { Z.UseExtendedTimes(false); }, "x.txt"},
    {"UnicodePathForThisName", Cp437Name, 0, 0x20, UnicodePath(Cp437Name, "unicode.txt"), {},
     "unicode.txt", 'f', SystemMode},
    {"UnicodePathForAnotherName", Cp437Name, 0, 0x20, UnicodePath("other", "unicode.txt"), {},
     "\xC3\xA9t\xC3\xA9.txt", 'f', SystemMode},
    {"UnixUtf8NameWithoutFlag", Utf8Name, 3, Unix(0100644), {}, {}, "caf\xC3\xA9.txt"},
    {"DosHostNameStaysCp437", Utf8Name, 0, 0x20, {}, {}, Cp437OfUtf8, 'f', SystemMode},
    {"NamedCodePageStillRules", Utf8Name, 3, Unix(0100644), {},
     [](TUnZip& Z) { Z.NameCodePage("1252"); }, "caf\xC3\x83\xC2\xA9.txt"},
    {"SetuidDropped", "s.sh", 3, Unix(0104755), {}, {}, "s.sh", 'f', 0755},
    {"SetuidKeptWhenAsked", "s.sh", 3, Unix(0104755), {},
     [](TUnZip& Z) { Z.RestoreSpecialModes(true); }, "s.sh", 'f', 04755},
    {"ModeBitsOfDosHostIgnored", "m.txt", 0, Unix(0100600), {}, {}, "m.txt", 'f', SystemMode},
    {"NoAttributesKeepsSystemMode", "m.txt", 3, Unix(0100600), {},
     [](TUnZip& Z) { Z.RestoreFileAttr(false); }, "m.txt", 'f', SystemMode},
    {"FolderModeAndTime", "d/", 3, Unix(040750) | 0x10, Ut(1, 1400000000), {}, "d", 'd', 0750,
     1400000000},
    {"FolderWithoutPermissions", "z/", 3, Unix(040000) | 0x10, {}, {}, "z", 'd', 0},
    {"LinkFromUnix", "l", 3, Unix(0120777), {}, {}, "l", 'l'},
    {"LinkKeepsItsTime", "l", 3, Unix(0120777), Ut(1, 1500000000), {}, "l", 'l', 0, 1500000000},
    {"LinkFromOsx", "l", 19, Unix(0120777), {}, {}, "l", 'l'},
    {"LinkModeFromDosHostIsAFile", "l", 0, Unix(0120777), {}, {}, "l", 'f', SystemMode},
    {"LinksOffMakeFiles", "l", 3, Unix(0120777), {}, [](TUnZip& Z) { Z.CreateLinks(false); }, "l",
     'f', 0777},
    {"LinkTargetTooLong", "l", 3, Unix(0120777), {}, {}, "", 'l', 0, DosTime, 0,
     Bytes(MaxLinkTarget + 1, 'a'), false, E_BADHEADER, "link target longer than 4096 bytes"},
    {"LinkTargetPastTheSystem", "l", 3, Unix(0120777), {}, {}, "", 'l', 0, DosTime, 0,
     Bytes(MaxLinkTarget, 'a'), false, E_BADHEADER, "link target longer than the system allows"},
    {"LinkTargetEmpty", "l", 3, Unix(0120777), {}, {}, "", 'l', 0, DosTime, 0, Bytes{}, false,
     E_BADHEADER, "empty link target"},
    {"LinkTargetWithNul", "l", 3, Unix(0120777), {}, {}, "", 'l', 0, DosTime, 0,
     Bytes{'a', 0, 'b'}, false, E_BADHEADER, "link target holds a NUL byte"},
    {"LinkWithBadCrcIsNotMade", "l", 3, Unix(0120777), {}, {}, "", 'l', 0, DosTime, 0,
     Bytes{'f', '6', '0', '0'}, true},
};

void PrintTo(const THeaderCase& C, std::ostream* Os) { *Os << C.What; }

class HeaderFacts : public ::testing::TestWithParam<THeaderCase> {};

int64_t DosSeconds(uint32_t Dos)
{
    std::tm t{};
    t.tm_year = static_cast<int>(Dos >> 25) + 80;
    t.tm_mon = static_cast<int>((Dos >> 21) & 15) - 1;
    t.tm_mday = static_cast<int>((Dos >> 16) & 31);
    t.tm_hour = static_cast<int>((Dos >> 11) & 31);
    t.tm_min = static_cast<int>((Dos >> 5) & 63);
    t.tm_sec = static_cast<int>(Dos & 31) * 2;
    return ::timegm(&t);
}

unsigned NewFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666u & ~static_cast<unsigned>(mask);
}

} // namespace

TEST_P(HeaderFacts, EntryComesOutAsItsHeadersSay)
{
    const THeaderCase& c = GetParam();
    TTempDir tmp;
    TZipEntrySpec e = Entry(c.Name, c.Data);
    e.Host = c.Host;
    e.ExternalAttr = c.Attr;
    e.Extra = c.Extra;
    e.BadCrc = c.BadCrc;
    if (c.Name.back() == '/') e.Data.clear();
    WriteFile(tmp / "h.zip", BuildZip({e}));
    const int64_t before = ::time(nullptr);
    const TRunLog log = ComponentExtract("UTC", tmp / "h.zip", tmp / "out", c.Setup);
    const auto errors = log.Codes();
    EXPECT_EQ(errors, c.Error ? std::vector<int32_t>{c.Error} : std::vector<int32_t>{});
    if (c.Error) {
        EXPECT_EQ(log.Extended, std::vector<std::string>{c.Why});
    }
    const TTree t = Snapshot(tmp / "out");
    if (c.Out.empty()) {
        EXPECT_TRUE(t.empty()) << t.begin()->first;
        if (c.BadCrc) {
            EXPECT_FALSE(log.Verdicts.at("l"));
        }
        return;
    }
    ASSERT_EQ(t.count(c.Out), 1u) << (t.empty() ? "nothing" : t.begin()->first);
    const TNode& n = t.at(c.Out);
    EXPECT_EQ(n.Type, c.Type);
    const int64_t sec = c.Sec == DosTime ? DosSeconds(e.DosTime) : c.Sec;
    if (c.Type == 'l') {
        EXPECT_EQ(n.Target, "f600");
        // The link's own time, never its target's.
        struct stat st {};
        ASSERT_EQ(::lstat((tmp / "out" / c.Out).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, sec);
        return;
    }
    EXPECT_EQ(n.Mode, c.Mode == SystemMode ? NewFileMode() : c.Mode);
    if (c.Sec == Now) {
        EXPECT_GE(n.Sec, before - 2);
    } else {
        EXPECT_EQ(n.Sec, sec);
        EXPECT_EQ(n.Nsec, c.Nsec);
    }
    if (c.Type == 'f' && c.Mode == 0777) {
        EXPECT_EQ(ReadText(tmp / "out" / c.Out), "f600");
    }
}

INSTANTIATE_TEST_SUITE_P(Headers, HeaderFacts, ::testing::ValuesIn(HeaderCases),
                         [](const auto& Info) { return std::string(Info.param.What); });

namespace {

// What the command's options change of an archive from a Unix writer.
struct TCommandCase {
    const char* Args;
    const char* Path; // below the destination
    char Type;        // '-' for nothing there
    unsigned Mode;
};
const TCommandCase CommandCases[] = {
    {"", "empty", 'd', 0700},        // empty stored folders are made by default
    {"-D", "empty", 'd', 0700},      // still accepted
    {"-j", "empty", '-', 0},         // no stored folders at all
    {"", "s.sh", 'f', 0755},         // setuid dropped
    {"-K", "s.sh", 'f', 04755},      // and kept when asked
    {"", "f.txt", 'f', 0600},
    {"--no-attributes", "f.txt", 'f', SystemMode},
    {"", "rel", 'l', 0},
};

} // namespace

TEST(UnixRestoreCommand, OptionsDecideFoldersModesAndLinks)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e = {Entry("empty/", {}), Entry("s.sh", TextBytes(20, 1)),
                                    Entry("f.txt", TextBytes(30, 2)),
                                    Entry("rel", Bytes{'s', '.', 's', 'h'})};
    e[0].ExternalAttr = Unix(040700) | 0x10;
    e[1].ExternalAttr = Unix(0104755);
    e[2].ExternalAttr = Unix(0100600);
    e[3].ExternalAttr = Unix(0120777);
    WriteFile(tmp / "c.zip", BuildZip(e));
    const std::string cli = Quote(CliPath().string()), zip = Quote((tmp / "c.zip").string());
    int run = 0;
    for (const TCommandCase& c : CommandCases) {
        SCOPED_TRACE(std::string(c.Args) + " " + c.Path);
        const fs::path out = tmp / ("out" + std::to_string(run++));
        const TRunResult r = Shell(cli + " -q " + c.Args + " " + zip + " " + Quote(out.string()));
        EXPECT_EQ(r.Status, 0) << r.Err;
        const TTree t = Snapshot(out);
        if (c.Type == '-') {
            EXPECT_EQ(t.count(c.Path), 0u);
            continue;
        }
        ASSERT_EQ(t.count(c.Path), 1u);
        EXPECT_EQ(t.at(c.Path).Type, c.Type);
        if (c.Type == 'l')
            EXPECT_EQ(t.at(c.Path).Target, "s.sh");
        else
            EXPECT_EQ(t.at(c.Path).Mode, c.Mode == SystemMode ? NewFileMode() : c.Mode);
    }
    // A listing shows where a link leads, and nothing of the kind for the others.
    const TRunResult list = Shell(cli + " -l " + zip);
    EXPECT_EQ(list.Status, 0) << list.Err;
    EXPECT_NE(list.Out.find(" rel -> s.sh\n"), std::string::npos) << list.Out;
    EXPECT_EQ(list.Out.find("f.txt ->"), std::string::npos) << list.Out;
    OpenUp(tmp.Path());
}

namespace {

// What stands under a link entry's name before the run.
struct TTakenCase {
    const char* What;
    std::function<void(const fs::path& Out, const fs::path& Outside)> Before;
    char Type;     // what the name holds afterwards
    int32_t Error; // the one report expected, 0 for none
    const char* Why = ""; // its extended text
};
const TTakenCase TakenCases[] = {
    {"FileReplaced", [](const fs::path& O, const fs::path&) { WriteText(O / "l", "old"); }, 'l',
     0},
    {"LinkReplaced",
     [](const fs::path& O, const fs::path& X) { fs::create_symlink(X / "victim", O / "l"); },
     'l', 0},
    {"FolderKept", [](const fs::path& O, const fs::path&) { fs::create_directories(O / "l"); },
     'd', E_OPENERR, "a folder is in the way"},
    {"FifoKept", [](const fs::path& O, const fs::path&) { ::mkfifo((O / "l").c_str(), 0644); },
     'p', E_OPENERR, "not a regular file (a device or a pipe is in the way)"},
    {"ReadOnlyFileReplaced",
     [](const fs::path& O, const fs::path&) {
         WriteText(O / "l", "old");
         fs::permissions(O / "l", fs::perms::owner_read);
     },
     'l', 0},
};

void PrintTo(const TTakenCase& C, std::ostream* Os) { *Os << C.What; }

class LinkOverTakenName : public ::testing::TestWithParam<TTakenCase> {};

} // namespace

TEST_P(LinkOverTakenName, NothingInItsPlaceIsFollowed)
{
    const TTakenCase& c = GetParam();
    TTempDir tmp;
    TZipEntrySpec e = Entry("l", Bytes{'f', '6', '0', '0'});
    e.ExternalAttr = Unix(0120777);
    WriteFile(tmp / "l.zip", BuildZip({e}));
    fs::create_directories(tmp / "out");
    fs::create_directories(tmp / "outside");
    WriteText(tmp / "outside/victim", "untouched");
    c.Before(tmp / "out", tmp / "outside");
    const TRunLog log = ComponentExtract("UTC", tmp / "l.zip", tmp / "out");
    EXPECT_EQ(log.Codes(), c.Error ? std::vector<int32_t>{c.Error} : std::vector<int32_t>{});
    EXPECT_EQ(log.Extended, c.Error ? std::vector<std::string>{c.Why} : std::vector<std::string>{});
    const TTree t = Snapshot(tmp / "out");
    ASSERT_EQ(t.count("l"), 1u);
    EXPECT_EQ(t.at("l").Type, c.Type);
    if (c.Type == 'l') {
        EXPECT_EQ(t.at("l").Target, "f600");
    }
    // Only the link itself is there: no temporary name is left behind.
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(ReadText(tmp / "outside/victim"), "untouched");
}

INSTANTIATE_TEST_SUITE_P(Taken, LinkOverTakenName, ::testing::ValuesIn(TakenCases),
                         [](const auto& Info) { return std::string(Info.param.What); });

// A link and a file that come to one name meet as two files do: the later one is
// reported, on one thread or many.
TEST(UnixRestoreLinks, ALinkAndAFileOfOneNameAreTheSameFile)
{
    TTempDir tmp;
    TZipEntrySpec link = Entry("x", Bytes{'t'});
    link.ExternalAttr = Unix(0120777);
    const TZipEntrySpec file = Entry("x", TextBytes(40, 1));
    int run = 0;
    for (const auto& entries : {std::vector<TZipEntrySpec>{link, file}, {file, link}}) {
        const fs::path dir = tmp / std::to_string(run++);
        WriteFile(dir / "s.zip", BuildZip(entries));
        const TRunLog log = ExpectThreadsAsOne(dir / "s.zip", dir, [](TUnZip&) {});
        EXPECT_EQ(log.Codes(), std::vector<int32_t>{E_SAMEFILE});
    }
}

TEST(UnixRestoreListing, ListingGivesLinkTargetsOnly)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e = {Entry("rel", Bytes{'a', '/', 'b'}), Entry("plain", Bytes{'x'}),
                                    Entry("long", Bytes(MaxLinkTarget + 1, 'a'))};
    e[0].ExternalAttr = Unix(0120777);
    e[1].ExternalAttr = Unix(0100644);
    e[2].ExternalAttr = Unix(0120777);
    WriteFile(tmp / "l.zip", BuildZip(e));
    TUnZip z;
    OpenArchive(z, tmp / "l.zip", true);
    z.FileSpec({"*.*"});
    std::map<std::string, std::string> targets;
    z.OnListEntry = [&](TZipCommon&, const TEntryListing& L) { targets[L.Name] = L.LinkTarget; };
    EXPECT_EQ(z.ListFiles(), 3);
    // A target past the bound is not read: the listing shows the name alone.
    EXPECT_EQ(targets, (std::map<std::string, std::string>{{"rel", "a/b"}, {"plain", ""},
                                                           {"long", ""}}));
}

// The contract with host programs, on one thread and on four: a handler that throws,
// starts a run of its own or changes the archive; a cancel from another thread; archive
// sources whose streams lie; settings changed inside events; and the smaller promises
// (an empty FileSpec, a name stored twice, code pages, a host's output stream).
#include "TestSupport.h"
#include "qvrMessages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>

using namespace test;

namespace {

// Something for every handler: small files, one with a wrong CRC (OnError), one
// encrypted with a password nobody gives (OnGetPassword), and the even files already in
// the destination, asked about (OnFileExists).
fs::path HostArchive(const TTempDir& Tmp)
{
    std::vector<TZipEntrySpec> e = StoredFiles({{"f0.txt", 300},  {"f1.txt", 400},  {"f2.txt", 500},
                                                {"f3.txt", 600},  {"f4.txt", 700},  {"f5.txt", 800},
                                                {"f6.txt", 900},  {"f7.txt", 1000}, {"f8.txt", 1100},
                                                {"f9.txt", 1200}, {"fa.txt", 1300}, {"fb.txt", 1400}});
    e[5].BadCrc = true;
    TZipEntrySpec secret = Entry("secret.txt", TextBytes(900, 40), 8);
    Encrypt(secret, "nobody knows");
    e.insert(e.begin() + 3, secret);
    const fs::path p = Tmp / "host.zip";
    WriteFile(p, BuildZip(e));
    return p;
}

using TAction = std::function<void(TUnZip&)>;

// Wraps the handler in Slot so that the At-th call runs Act after it.
template <class... A>
void Hook(std::function<void(TZipCommon&, A...)>& Slot, int At, const TAction& Act)
{
    auto previous = Slot;
    auto calls = std::make_shared<int>(0);
    Slot = [previous, calls, At, Act](TZipCommon& S, A... Args) {
        if (previous) previous(S, Args...);
        if (++*calls == At) Act(static_cast<TUnZip&>(S));
    };
}

struct THandlerRow {
    const char* Name;
    std::function<void(TUnZip&, const TAction&)> Install;
    bool Listing = false; // the handler is one of a listing
};

const std::vector<THandlerRow>& HandlerRows()
{
    static const std::vector<THandlerRow> rows = {
        {"OnActivate", [](TUnZip& z, const TAction& a) { Hook(z.OnActivate, 1, a); }},
        {"OnSelectEntry", [](TUnZip& z, const TAction& a) { Hook(z.OnSelectEntry, 2, a); }},
        {"OnBegin", [](TUnZip& z, const TAction& a) { Hook(z.OnBegin, 2, a); }},
        {"OnFileExists", [](TUnZip& z, const TAction& a) { Hook(z.OnFileExists, 2, a); }},
        {"OnProgress", [](TUnZip& z, const TAction& a) { Hook(z.OnProgress, 2, a); }},
        {"OnGetPassword", [](TUnZip& z, const TAction& a) { Hook(z.OnGetPassword, 1, a); }},
        {"OnError", [](TUnZip& z, const TAction& a) { Hook(z.OnError, 1, a); }},
        {"OnEnd", [](TUnZip& z, const TAction& a) { Hook(z.OnEnd, 2, a); }},
        {"OnElapsedTime", [](TUnZip& z, const TAction& a) { Hook(z.OnElapsedTime, 1, a); }},
        {"OnDeactivate", [](TUnZip& z, const TAction& a) { Hook(z.OnDeactivate, 1, a); }},
        {"OnListEntry", [](TUnZip& z, const TAction& a) { Hook(z.OnListEntry, 2, a); }, true},
    };
    return rows;
}

struct TOutcome {
    int32_t Count = 0;
    std::vector<int32_t> Codes;
    std::vector<std::string> Extended;
    std::string Thrown; // what left the run, if anything did
    std::vector<std::string> Files;
    std::map<std::string, Bytes> Contents;
    int Busy() const { return static_cast<int>(std::count(Codes.begin(), Codes.end(), E_BUSY)); }
};

// One run over a fresh copy of the destination, with the even files in place; Install
// (when given) sets the row's handler after the host's own.
TOutcome RunHost(const fs::path& Zip, const fs::path& Out, int Threads, bool Listing,
                 const std::function<void(TUnZip&)>& Install)
{
    fs::remove_all(Out);
    for (const char* name : {"f0.txt", "f2.txt", "f4.txt"}) WriteText(Out / name, "old");
    TOutcome o;
    TUnZip z;
    z.ArchiveFile(Zip.string());
    z.ExtractDir(Out.string());
    z.FileSpec({"*.*"});
    z.Threads(Threads);
    z.ConfirmOverwrites(true);
    z.OnError = [&o](TZipCommon&, const std::string&, const std::string& Ext, const std::string&,
                     int32_t Code) {
        o.Codes.push_back(Code);
        o.Extended.push_back(Ext);
    };
    z.OnFileExists = [](TZipCommon&, const std::string&, std::string&, TOverwriteMode& M) {
        M = omOverwrite;
    };
    z.OnGetPassword = [](TZipCommon&, const std::string&, std::string&, bool& Again) {
        Again = false;
    };
    if (Install) Install(z);
    try {
        o.Count = Listing ? z.ListFiles() : z.ExtractFiles();
    } catch (const std::exception& e) {
        o.Thrown = e.what();
    }
    o.Files = FilesBelow(Out);
    for (const std::string& f : o.Files) o.Contents[f] = ReadFile(Out / f);
    return o;
}

} // namespace

// A handler that throws ends the run with one report naming it and what it threw (from
// OnError, which cannot carry its own report, the exception reaches the caller); the
// files begun are withdrawn and the object extracts again as if nothing had happened.
TEST(HostContract, AnExceptionFromEveryHandlerIsReportedOnce)
{
    TTempDir tmp;
    const fs::path zip = HostArchive(tmp);
    for (const THandlerRow& row : HandlerRows()) {
        std::map<std::string, Bytes> oneThread;
        for (const int threads : {1, 4}) {
            SCOPED_TRACE(std::string(row.Name) + " on " + std::to_string(threads));
            const fs::path out = tmp / "out";
            // The same handler doing nothing: an assigned OnEnd, say, changes the reports.
            const TOutcome clean = RunHost(zip, out, threads, row.Listing, [&](TUnZip& z) {
                row.Install(z, [](TUnZip&) {});
            });
            auto once = std::make_shared<bool>(true);
            const TOutcome o = RunHost(zip, out, threads, row.Listing, [&](TUnZip& z) {
                row.Install(z, [once](TUnZip&) {
                    if (std::exchange(*once, false)) throw std::runtime_error("host failure");
                });
            });
            for (const std::string& f : o.Files) EXPECT_EQ(f.find(".qvr"), std::string::npos) << f;
            // The files are those of one thread, but where progress comes at other
            // moments: a worker's entry shows its progress when it is done.
            if (threads == 1) {
                oneThread = o.Contents;
            } else if (std::string(row.Name) != "OnProgress") {
                EXPECT_EQ(o.Contents, oneThread);
            }
            if (std::string(row.Name) == "OnError") {
                EXPECT_EQ(o.Thrown, "host failure");
                continue;
            }
            EXPECT_EQ(o.Thrown, "");
            ASSERT_FALSE(o.Codes.empty());
            EXPECT_EQ(o.Codes.back(), E_HANDLERFAILED);
            EXPECT_EQ(o.Extended.back(), std::string(row.Name) + ": host failure");
            EXPECT_EQ(std::count(o.Codes.begin(), o.Codes.end(), E_HANDLERFAILED), 1);
            EXPECT_LE(o.Count, clean.Count);
        }
    }
}

// A handler that starts a run of the same object, reads from it or changes its archive
// gets a refusal for each call, and the run under way goes on as if they were not made.
TEST(HostContract, ARunInsideARunIsRefused)
{
    TTempDir tmp;
    const fs::path zip = HostArchive(tmp);
    WriteFile(tmp / "other.zip", BuildZip(StoredFiles({{"other.txt", 100}})));
    for (const THandlerRow& row : HandlerRows()) {
        for (const int threads : {1, 4}) {
            SCOPED_TRACE(std::string(row.Name) + " on " + std::to_string(threads));
            const fs::path out = tmp / "out";
            // The same handler doing nothing: an assigned OnEnd, say, changes the reports.
            const TOutcome clean = RunHost(zip, out, threads, row.Listing, [&](TUnZip& z) {
                row.Install(z, [](TUnZip&) {});
            });
            auto refused = std::make_shared<int>(0);
            const TOutcome o = RunHost(zip, out, threads, row.Listing, [&](TUnZip& z) {
                row.Install(z, [&, refused](TUnZip& s) {
                    TStringOutput32 sink;
                    *refused += s.ExtractFiles() == 0;
                    *refused += s.TestFiles() == 0;
                    *refused += s.Entries().empty();
                    *refused += !s.ReadEntry("f1.txt", sink) && sink.Text().empty();
                    s.ArchiveFile((tmp / "other.zip").string());
                    *refused += ExtractFileName(s.ArchiveFile()) == "host.zip";
                });
            });
            EXPECT_EQ(*refused, 5);
            EXPECT_EQ(o.Busy(), 5);
            EXPECT_EQ(o.Count, clean.Count);
            EXPECT_EQ(o.Files, clean.Files);
            std::vector<int32_t> rest = o.Codes;
            rest.erase(std::remove(rest.begin(), rest.end(), E_BUSY), rest.end());
            EXPECT_EQ(rest, clean.Codes);
        }
    }
}

// A host's Cancel button runs on its own thread while the run goes on: whenever it comes,
// the run stops, every event comes on the thread that called the run, the cancel is
// reported once at most, and no file begun ahead is left behind.
TEST(Concurrency, ACancelFromAnotherThreadIsReportedOnTheRunsThread)
{
    TTempDir tmp;
    std::vector<TFileRow> rows;
    for (int i = 0; i < 300; ++i) rows.push_back({"d" + std::to_string(i % 7) + "/f" + std::to_string(i), 3000});
    rows.push_back({"big.bin", 3 << 20, true});
    WriteFile(tmp / "a.zip", BuildZip(StoredFiles(rows)));
    int n = 0;
    for (const int threads : {1, 4})
        for (const int delay : {0, 20, 100, 300, 1000, 3000, 8000, 20000}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, cancel after " + std::to_string(delay) + " us");
            TUnZip z;
            z.ArchiveFile((tmp / "a.zip").string());
            z.ExtractDir((tmp / std::to_string(n++)).string());
            z.FileSpec({"*.*"});
            z.Threads(threads);
            const std::thread::id caller = std::this_thread::get_id();
            std::atomic<int> foreign{0};
            int cancels = 0;
            // A cancel that comes once the run is over is reported where it is made.
            const auto here = [&] { foreign += z.Running() && std::this_thread::get_id() != caller; };
            z.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                            int32_t Code) {
                here();
                cancels += Code == E_USERCANCELED;
            };
            z.OnBegin = [&](TZipCommon&, const std::string&, int32_t, bool&) { here(); };
            z.OnEnd = [&](TZipCommon&, const std::string&, bool) { here(); };
            z.OnProgress = [&](TZipCommon&, uint8_t, uint8_t) { here(); };
            std::thread button([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(delay));
                z.SetCancel(true);
            });
            z.ExtractFiles();
            button.join();
            EXPECT_EQ(foreign.load(), 0);
            EXPECT_LE(cancels, 1);
            for (const std::string& f : FilesBelow(tmp / std::to_string(n - 1)))
                EXPECT_EQ(f.find(".qvr"), std::string::npos) << f;
        }
}

namespace {

// An archive source's stream that misbehaves in one way once the archive has been
// identified (Armed): what its calls return and whether they throw.
class TLyingStream : public TMemoryStream32 {
public:
    enum TLie { lNone, lReadsMore, lReadsNegative, lNoSize, lSeekFails, lSeekThrows, lReadThrows };
    TLyingStream(std::vector<uint8_t> Data, TLie Lie, const bool& Armed)
        : TMemoryStream32(std::move(Data)), FLie(Lie), FArmed(Armed)
    {
    }
    int32_t Read(void* Buffer, int32_t Count) override
    {
        const int32_t n = TMemoryStream32::Read(Buffer, Count);
        if (!FArmed || n <= 0) return n;
        if (FLie == lReadsMore) return n + 4096;
        if (FLie == lReadsNegative) return -7;
        if (FLie == lReadThrows) throw std::runtime_error("read broke");
        return n;
    }
    int64_t Seek(int64_t Offset, int Origin) override
    {
        if (FArmed && FLie == lSeekFails && Offset != 0) return -1;
        if (FArmed && FLie == lSeekThrows && Offset != 0) throw std::runtime_error("seek broke");
        return TMemoryStream32::Seek(Offset, Origin);
    }
    int64_t GetSize() override { return FArmed && FLie == lNoSize ? -1 : TMemoryStream32::GetSize(); }

private:
    TLie FLie;
    const bool& FArmed;
};

} // namespace

// Host streams are not trusted: a count outside 0..asked, no size, a seek that does not
// land and an exception each end the run with a report, never a read outside a buffer.
TEST(HostContract, ArchiveSourcesThatLieAreReported)
{
    const Bytes zip = BuildZip(StoredFiles({{"a.txt", 3000}, {"b.txt", 70000}, {"c.txt", 10}}));
    const struct {
        const char* Name;
        TLyingStream::TLie Lie;
        int32_t Code;
        std::string Extended;
    } cases[] = {
        {"ReadsMore", TLyingStream::lReadsMore, E_NOTACCESSIBLE, "the archive source failed: a read of"},
        {"ReadsNegative", TLyingStream::lReadsNegative, E_NOTACCESSIBLE,
         "the archive source failed: a read of"},
        {"NoSize", TLyingStream::lNoSize, E_NOTACCESSIBLE, "the archive source failed: its size is -1"},
        {"SeekFails", TLyingStream::lSeekFails, E_NOTACCESSIBLE, "the archive source failed: a seek to"},
        {"SeekThrows", TLyingStream::lSeekThrows, E_HANDLERFAILED, "ArchiveSource: seek broke"},
        {"ReadThrows", TLyingStream::lReadThrows, E_HANDLERFAILED, "ArchiveSource: read broke"},
    };
    TTempDir tmp;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        bool armed = false;
        TUnZip z;
        z.ArchiveSource("lies.zip", [&] { return std::make_unique<TLyingStream>(zip, c.Lie, armed); });
        ASSERT_TRUE(IsZipWalkType(z.ArcType()));
        armed = true;
        const TRunLog log = RunLogged(z, tmp / c.Name);
        const std::vector<int32_t> codes = log.Codes();
        const auto at = std::find(codes.begin(), codes.end(), c.Code);
        ASSERT_NE(at, codes.end());
        const std::string& extended = log.Extended[static_cast<size_t>(at - codes.begin())];
        EXPECT_EQ(extended.rfind(c.Extended, 0), 0u) << extended;
        // One report of the source's fault, whichever way it failed.
        EXPECT_EQ(std::count(codes.begin(), codes.end(), E_NOTACCESSIBLE) +
                      std::count(codes.begin(), codes.end(), E_HANDLERFAILED),
                  1);
        EXPECT_LT(log.Count, 3);
    }
}

// What the walk reads is taken when the run starts: a handler that changes the
// destination or the selection halfway changes the next run, on every thread count;
// one that changes the archive is refused. An empty FileSpec selects every entry.
TEST(HostContract, SettingsChangedInEventsTakeEffectAsDocumented)
{
    TTempDir tmp;
    std::vector<TFileRow> rows;
    for (int i = 0; i < 40; ++i) rows.push_back({"f" + std::to_string(i) + ".txt", 700});
    WriteFile(tmp / "a.zip", BuildZip(StoredFiles(rows)));
    const TRunLog log = ExpectThreadsAsOne(tmp / "a.zip", tmp / "dir", [&](TUnZip& z) {
        auto begun = std::make_shared<int>(0);
        z.OnBegin = [&tmp, begun](TZipCommon& s, const std::string&, int32_t, bool&) {
            if (++*begun != 5) return;
            s.ExtractDir((tmp / "elsewhere").string());
            s.FileSpec({"f1*"});
            s.UseStoredDirs(false);
        };
    });
    EXPECT_EQ(log.Count, 40);
    EXPECT_FALSE(fs::exists(tmp / "elsewhere"));
    // The selection and the stored folders: every entry when FileSpec is empty, in
    // every mode.
    for (const bool testing : {false, true}) {
        TUnZip z;
        z.ArchiveFile((tmp / "a.zip").string());
        z.ExtractDir((tmp / "all").string());
        EXPECT_EQ(testing ? z.TestFiles() : z.ExtractFiles(), 40) << testing;
    }
    EXPECT_EQ(FilesBelow(tmp / "all").size(), 40u);
}

// The smaller promises: no password attempts is said; a name stored twice reads the
// first entry of that name; a code page nobody knows is refused; a host's output stream
// that takes less than it is given is reported with its counts; the events name files
// as the system writes paths, and take a new name back in that form.
TEST(HostContract, SmallerPromises)
{
    TTempDir tmp;
    std::vector<TZipEntrySpec> e = StoredFiles({{"twice.txt", 500}, {"twice.txt", 900}, {"c.txt", 300}});
    WriteFile(tmp / "a.zip", BuildZip(e));
    TUnZip z;
    z.ArchiveFile((tmp / "a.zip").string());
    TStringOutput32 text;
    EXPECT_TRUE(z.ReadEntry("twice.txt", text));
    EXPECT_EQ(text.Text(), std::string(e[0].Data.begin(), e[0].Data.end()));

    z.NameCodePage("CP936");
    z.NameCodePage("no-such-code-page-at-all");
    EXPECT_EQ(z.NameCodePage(), "CP936");

    class TShort : public TStream32 {
    public:
        int32_t Read(void*, int32_t) override { return 0; }
        int32_t Write(const void*, int32_t Count) override { return Count / 2; }
        int64_t Seek(int64_t, int) override { return 0; }
    } half;
    std::vector<std::string> extended;
    z.OnError = [&](TZipCommon&, const std::string&, const std::string& Ext, const std::string&,
                    int32_t Code) {
        if (Code == E_WRITEERR) extended.push_back(Ext);
    };
    EXPECT_FALSE(z.ReadEntry("c.txt", half));
    ASSERT_FALSE(extended.empty());
    EXPECT_EQ(extended.front(), "the output stream took 150 of 300 bytes");

    TUnZip named;
    named.ArchiveFile((tmp / "a.zip").string());
    named.ExtractDir((tmp / "named").string());
    std::vector<std::string> begun;
    named.OnBegin = [&](TZipCommon&, const std::string& Name, int32_t, bool&) { begun.push_back(Name); };
    named.OnRenameFile = [&](TZipCommon&, const std::string& Name, std::string& NewName) {
        if (Name == (tmp / "named" / "c.txt").string()) NewName = (tmp / "named" / "sub" / "d.txt").string();
    };
    EXPECT_EQ(named.ExtractFiles(), 3);
    EXPECT_EQ(named.ExtractDir(), (tmp / "named" / "").string());
    ASSERT_EQ(begun.size(), 3u);
    EXPECT_EQ(begun.front(), (tmp / "named" / "twice.txt").string());
    EXPECT_EQ(begun.back(), (tmp / "named" / "sub" / "d.txt").string());
    EXPECT_EQ(ReadFile(tmp / "named/sub/d.txt"), e[2].Data);
}

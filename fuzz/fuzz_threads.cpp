// One thread against three on arbitrary bytes: each input is extracted from a file with
// one thread and again with three, by the same host, and the two runs must agree on
// every event and report in order, the count, and every file (name, bytes, mode and
// time) they leave. The host tries two passwords and, by the input's size, takes every
// entry, declines every other one, cancels at the third, or has files already in place
// and turns OverwriteMode to skip at the first begin step.
#include "FuzzScratch.h"
#include "qvrUnZip.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

using TTree = std::map<std::string, std::tuple<std::string, fs::perms, fs::file_time_type>>;

// Since: when the run began. A file whose archive gives it no valid time keeps the time
// it was written at, which is no run's own: all such times compare equal.
TTree TreeOf(const fs::path& Dir, fs::file_time_type Since)
{
    TTree tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(Dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path rel = fs::relative(it->path(), Dir, ec);
        if (it->is_symlink(ec)) {
            tree[rel.string()] = {"-> " + fs::read_symlink(it->path(), ec).string(), {}, {}};
        } else if (it->is_directory(ec)) {
            tree[rel.string() + "/"] = {};
        } else {
            std::ifstream in(it->path(), std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const fs::file_time_type t = fs::last_write_time(it->path(), ec);
            tree[rel.string()] = {bytes, it->status(ec).permissions(),
                                  t >= Since ? fs::file_time_type::max() : t};
        }
    }
    return tree;
}

struct TOutcome {
    std::vector<std::string> Events;
    int32_t Count = 0;
    TTree Tree;
    bool operator==(const TOutcome&) const = default;
};

// Files the host had in place before the run, with a time of their own.
void PlaceUserFiles(const fs::path& Out)
{
    fs::create_directories(Out);
    for (const char* name : {"a.txt", "b", "readme.txt", "pw.txt"}) {
        std::ofstream(Out / name) << "user's own";
        std::error_code ec;
        fs::last_write_time(Out / name, fs::file_time_type{}, ec);
    }
}

TOutcome Extract(const fs::path& Archive, const fs::path& Out, int Threads, size_t Host)
{
    // File times are kept in the kernel's coarse clock, a few milliseconds behind.
    const fs::file_time_type since = fs::file_time_type::clock::now() - std::chrono::seconds(2);
    if (Host == 3) PlaceUserFiles(Out);
    TOutcome o;
    TUnZip z;
    z.ArchiveFile(Archive.string());
    z.Threads(Threads);
    z.ExtractDir(Out.string());
    z.FileSpec({"*.*"});
    z.Passwords({"pw", "second"});
    z.CreateStoredDirs(true);
    int begun = 0;
    z.OnBegin = [&](TZipCommon& s, const std::string& Name, int32_t, bool& Take) {
        o.Events.push_back("begin " + Name);
        ++begun;
        if (Host == 1) Take = begun % 2;
        if (Host == 2 && begun == 3) s.SetCancel(true);
        if (Host == 3 && begun == 1) static_cast<TUnZip&>(s).OverwriteMode(omSkip);
    };
    z.OnEnd = [&](TZipCommon&, const std::string& Name, bool Pass) {
        o.Events.push_back("end " + Name + (Pass ? " 1" : " 0"));
    };
    z.OnError = [&](TZipCommon&, const std::string& Name, const std::string& Ext,
                    const std::string&, int32_t Code) {
        o.Events.push_back("error " + Name + " " + std::to_string(Code) + " " + Ext);
    };
    o.Count = z.ExtractFiles();
    o.Tree = TreeOf(Out, since);
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static const TFuzzScratch scratch("fuzz-threads");
    if (scratch.Path().empty()) std::abort();
    const fs::path& root = scratch.Path();
    const fs::path file = root / "in.zip";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
    const size_t host = Size % 4;
    // Both runs write into the same folder, one after the other, so that every name
    // they report is the same.
    const fs::path out = root / "out";
    std::error_code ec;
    const TOutcome one = Extract(file, out, 1, host);
    fs::remove_all(out, ec);
    const TOutcome three = Extract(file, out, 3, host);
    if (!(one == three)) {
        // What differs, for the one who reads the finding.
        for (const auto* o : {&one, &three}) {
            std::fprintf(stderr, "== %s thread(s), count %d\n", o == &one ? "one" : "three", o->Count);
            for (const std::string& e : o->Events) std::fprintf(stderr, "  %s\n", e.c_str());
            for (const auto& [name, node] : o->Tree)
                std::fprintf(stderr, "  file %s (%zu bytes, sum %zu, mode %o, time %lld)\n",
                             name.c_str(), std::get<0>(node).size(),
                             std::hash<std::string>()(std::get<0>(node)),
                             static_cast<unsigned>(std::get<1>(node)),
                             static_cast<long long>(std::get<2>(node).time_since_epoch().count()));
        }
        std::abort();
    }
    // Everything written must be under the output folder.
    for (const auto& e : fs::directory_iterator(root))
        if (e.path() != file && e.path() != out) std::abort();
    fs::remove_all(out, ec);
    return 0;
}

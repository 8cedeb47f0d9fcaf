// Inflate throughput: our engine against zlib and libdeflate on the same raw Deflate data.
//
// The corpus is made at start-up from files any Debian system has (documentation text,
// C headers, shared libraries), a few MB of each kind, compressed by zlib at levels 6 and 9,
// and 1 MB of the text as 1500-byte files compressed one by one (tiny).
// Ours and zlib are driven the way the extraction driver drives the engine: input handed
// over in 32 KB pieces, output pulled in 32 KB chunks. libdeflate decompresses the whole
// buffer in one call, which is its only mode; "whole" is our engine's whole-buffer call
// (InflateWhole), the same job.
//
// After the benchmark table a summary gives MB/s (10^6 bytes per second of output) and the
// ratios ours/zlib and ours/libdeflate.

#include "qvrInflate.h"

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr size_t CorpusSize = 4 << 20;
constexpr uint32_t Chunk = 32768;

using TBytes = std::vector<uint8_t>;

void AppendFile(TBytes& out, const fs::path& p, size_t limit)
{
    std::ifstream f(p, std::ios::binary);
    if (!f)
        return;
    TBytes buf((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t n = std::min(buf.size(), limit - out.size());
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(n));
}

// Files under dir whose name passes keep, in name order (stable across runs), until
// limit bytes are gathered.
TBytes Gather(const std::vector<std::string>& dirs, bool (*keep)(const fs::path&),
              size_t limit, bool recurse)
{
    std::vector<fs::path> files;
    for (const auto& d : dirs) {
        std::error_code ec;
        if (recurse) {
            for (auto it = fs::recursive_directory_iterator(d, ec);
                 !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
                if (it->is_regular_file(ec) && !it->is_symlink(ec) && keep(it->path()))
                    files.push_back(it->path());
        } else {
            for (auto it = fs::directory_iterator(d, ec);
                 !ec && it != fs::directory_iterator(); it.increment(ec))
                if (it->is_regular_file(ec) && !it->is_symlink(ec) && keep(it->path()))
                    files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    TBytes out;
    for (const auto& p : files) {
        if (out.size() >= limit)
            break;
        AppendFile(out, p, limit);
    }
    return out;
}

bool IsText(const fs::path& p)
{
    const std::string n = p.filename().string();
    return n == "copyright" || p.extension() == ".h" || n == "README" || p.extension() == ".txt";
}

bool IsSharedLib(const fs::path& p)
{
    const std::string n = p.filename().string();
    return n.find(".so") != std::string::npos;
}

TBytes DeflateRaw(const TBytes& in, int level)
{
    z_stream s{};
    deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    TBytes out(deflateBound(&s, in.size()));
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// One corpus: one stream, or (tiny) many small files compressed one by one, where each
// stream's block header and table building weigh as they do in an archive of small files.
struct TPiece {
    size_t PlainAt, PlainSize, PackedAt, PackedSize;
};
struct TCase {
    TBytes Plain;   // the pieces' data, one after another
    TBytes Packed;  // each piece compressed on its own, one after another
    std::vector<TPiece> Pieces;
};

// Piece 0: the whole of Plain as one stream.
TCase Compress(const TBytes& plain, int level, size_t piece = 0)
{
    TCase c;
    c.Plain = plain;
    for (size_t at = 0; at < plain.size();) {
        const size_t n = piece ? std::min(piece, plain.size() - at) : plain.size();
        const TBytes p = DeflateRaw(TBytes(plain.begin() + static_cast<ptrdiff_t>(at),
                                           plain.begin() + static_cast<ptrdiff_t>(at + n)),
                                    level);
        c.Pieces.push_back({at, n, c.Packed.size(), p.size()});
        c.Packed.insert(c.Packed.end(), p.begin(), p.end());
        at += n;
    }
    return c;
}

std::map<std::string, TCase>& Cases()
{
    static std::map<std::string, TCase> cases = [] {
        std::map<std::string, TCase> m;
        const TBytes text = Gather({"/usr/share/doc", "/usr/share/common-licenses", "/usr/include"},
                                   IsText, CorpusSize, true);
        const TBytes bin = Gather({"/usr/lib/x86_64-linux-gnu"}, IsSharedLib, CorpusSize, false);
        // Mixed: 64 KB of text and 64 KB of binary taking turns.
        TBytes mixed;
        auto piece = [&mixed](const TBytes& from, size_t at) {
            const size_t a = std::min(at, from.size()), e = std::min(at + 65536, from.size());
            mixed.insert(mixed.end(), from.begin() + static_cast<ptrdiff_t>(a),
                         from.begin() + static_cast<ptrdiff_t>(e));
        };
        for (size_t i = 0; i < CorpusSize / 2; i += 65536) {
            piece(text, i);
            piece(bin, i);
        }
        for (int level : {6, 9}) {
            const std::string l = "/l" + std::to_string(level);
            m["text" + l] = Compress(text, level);
            m["binary" + l] = Compress(bin, level);
            m["mixed" + l] = Compress(mixed, level);
        }
        // Tiny: 1 MB of text as files of 1500 bytes.
        m["tiny/l6"] = Compress(TBytes(text.begin(), text.begin() + (1 << 20)), 6, 1500);
        return m;
    }();
    return cases;
}

// Pulls one stream through 32 KB output chunks, input in 32 KB pieces.
size_t RunOurs(const uint8_t* packed, size_t size, TInflateStream& z, uint8_t* out)
{
    InflateReset(z);
    size_t in = 0, total = 0;
    z.NextIn = packed;
    z.AvailIn = 0;
    for (;;) {
        if (z.AvailIn == 0) {
            z.NextIn = packed + in;
            z.AvailIn = static_cast<uint32_t>(std::min<size_t>(Chunk, size - in));
            in += z.AvailIn;
        }
        z.NextOut = out;
        z.AvailOut = Chunk;
        const int32_t r = Inflate(z, InflateNoFlush);
        total += Chunk - z.AvailOut;
        if (r != InflateOk)
            return r == InflateStreamEnd ? total : 0;
    }
}

size_t RunZlib(const uint8_t* packed, size_t size, z_stream& z, uint8_t* out)
{
    inflateReset(&z);
    size_t in = 0, total = 0;
    z.avail_in = 0;
    for (;;) {
        if (z.avail_in == 0) {
            z.next_in = const_cast<Bytef*>(packed + in);
            z.avail_in = static_cast<uInt>(std::min<size_t>(Chunk, size - in));
            in += z.avail_in;
        }
        z.next_out = out;
        z.avail_out = Chunk;
        const int r = inflate(&z, Z_NO_FLUSH);
        total += Chunk - z.avail_out;
        if (r != Z_OK)
            return r == Z_STREAM_END ? total : 0;
    }
}

// Runs Decode (packed piece, its size, the piece's plain size; returns the bytes made)
// over every piece of the corpus per iteration.
template <typename F>
void RunPieces(benchmark::State& state, const std::string& name, F&& decode)
{
    const TCase& c = Cases().at(name);
    for (auto _ : state) {
        for (const TPiece& p : c.Pieces) {
            if (decode(c.Packed.data() + p.PackedAt, p.PackedSize, p.PlainSize) != p.PlainSize) {
                state.SkipWithError("wrong output size");
                return;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.Plain.size()));
}

void BM_Ours(benchmark::State& state, const std::string& name)
{
    TInflateStream z;
    InflateInit2(z, -15, InflateRecordSize);
    TBytes out(Chunk);
    RunPieces(state, name, [&](const uint8_t* in, size_t size, size_t) {
        const size_t n = RunOurs(in, size, z, out.data());
        benchmark::DoNotOptimize(out.data());
        return n;
    });
    InflateEnd(z);
}

// The whole-buffer call: all input at once into one output buffer, as libdeflate runs.
void BM_Whole(benchmark::State& state, const std::string& name)
{
    TBytes out(Cases().at(name).Plain.size() + InflateWholeSlack);
    RunPieces(state, name, [&](const uint8_t* in, size_t size, size_t plain) {
        size_t n = 0, used = 0;
        if (InflateWhole(in, size, out.data(), plain, n, used) != InflateStreamEnd)
            return size_t{0};
        benchmark::DoNotOptimize(out.data());
        return n;
    });
}

void BM_Zlib(benchmark::State& state, const std::string& name)
{
    z_stream z{};
    inflateInit2(&z, -15);
    TBytes out(Chunk);
    RunPieces(state, name, [&](const uint8_t* in, size_t size, size_t) {
        const size_t n = RunZlib(in, size, z, out.data());
        benchmark::DoNotOptimize(out.data());
        return n;
    });
    inflateEnd(&z);
}

void BM_Libdeflate(benchmark::State& state, const std::string& name)
{
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    TBytes out(Cases().at(name).Plain.size());
    RunPieces(state, name, [&](const uint8_t* in, size_t size, size_t plain) {
        size_t n = 0;
        if (libdeflate_deflate_decompress(d, in, size, out.data(), plain, &n) !=
            LIBDEFLATE_SUCCESS)
            return size_t{0};
        benchmark::DoNotOptimize(out.data());
        return n;
    });
    libdeflate_free_decompressor(d);
}

// Console output as usual, plus the MB/s of every run kept for the summary.
class TSummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration)
                continue;
            const auto it = r.counters.find("bytes_per_second");
            if (it == r.counters.end())
                continue;
            // Names are "<engine>/<corpus>/<level>".
            const std::string name = r.benchmark_name();
            const size_t slash = name.find('/');
            auto& v = FResults[name.substr(slash + 1)][name.substr(0, slash)];
            v.first += it->second.value / 1e6;
            v.second++;
        }
    }

    void PrintSummary() const
    {
        std::printf("\n%-14s %10s %10s %10s %12s %10s %14s %15s\n", "corpus", "ours MB/s",
                    "whole MB/s", "zlib MB/s", "libdefl MB/s", "ours/zlib", "ours/libdefl",
                    "whole/libdefl");
        for (const auto& [corpus, engines] : FResults) {
            auto mean = [&](const char* e) {
                const auto it = engines.find(e);
                return it == engines.end() || it->second.second == 0
                           ? 0.0
                           : it->second.first / it->second.second;
            };
            const double ours = mean("ours"), whole = mean("whole"), zl = mean("zlib"),
                         ld = mean("libdeflate");
            std::printf("%-14s %10.1f %10.1f %10.1f %12.1f %10.2f %14.2f %15.2f\n",
                        corpus.c_str(), ours, whole, zl, ld, zl > 0 ? ours / zl : 0.0,
                        ld > 0 ? ours / ld : 0.0, ld > 0 ? whole / ld : 0.0);
        }
    }

private:
    std::map<std::string, std::map<std::string, std::pair<double, int>>> FResults;
};

}  // namespace

int main(int argc, char** argv)
{
    for (const auto& [name, c] : Cases()) {
        std::printf("%-12s %8zu -> %8zu bytes\n", name.c_str(), c.Plain.size(), c.Packed.size());
        benchmark::RegisterBenchmark(("ours/" + name).c_str(), BM_Ours, name);
        benchmark::RegisterBenchmark(("whole/" + name).c_str(), BM_Whole, name);
        benchmark::RegisterBenchmark(("zlib/" + name).c_str(), BM_Zlib, name);
        benchmark::RegisterBenchmark(("libdeflate/" + name).c_str(), BM_Libdeflate, name);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TSummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}

// CRC-32 throughput: the dispatched UpdateCrc32, each of its implementations, and zlib's
// crc32 as the yardstick, over buffers that fit L1/L2 (4 KB, 64 KB) and one that does not
// (16 MB).
#include "qvrCrc.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

// One 16 MB random buffer; the smaller sizes read its start.
const uint8_t* Buffer()
{
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> v(16 << 20);
        std::mt19937 gen(1);
        for (auto& b : v)
            b = static_cast<uint8_t>(gen());
        return v;
    }();
    return data.data();
}

void Run(benchmark::State& state, detail::TCrc32Proc proc)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const uint8_t* p = Buffer();
    uint32_t crc = 0xFFFFFFFF;
    for (auto _ : state) {
        crc = proc(p, n, crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_UpdateCrc32(benchmark::State& state)
{
    const int32_t n = static_cast<int32_t>(state.range(0));
    const uint8_t* p = Buffer();
    uint32_t crc = 0xFFFFFFFF;
    for (auto _ : state) {
        UpdateCrc32(p, n, crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Slicing16(benchmark::State& state) { Run(state, &detail::Crc32Slicing16); }
void BM_Bytewise(benchmark::State& state) { Run(state, &detail::Crc32Bytewise); }

#ifdef UNSPOOL_HAVE_CRC32_CLMUL
void BM_Clmul(benchmark::State& state)
{
    if (!detail::CpuHasClmul()) {
        state.SkipWithError("processor has no PCLMULQDQ");
        return;
    }
    Run(state, &detail::Crc32Clmul);
}
#endif

void BM_ZlibCrc32(benchmark::State& state)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const uint8_t* p = Buffer();
    uLong crc = 0;
    for (auto _ : state) {
        crc = crc32(crc, p, static_cast<uInt>(n));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// 2,055 bytes: a small file, whose last 7 bytes do not fill a 16-byte block.
#define CRC_SIZES Arg(2055)->Arg(4 << 10)->Arg(64 << 10)->Arg(16 << 20)

BENCHMARK(BM_UpdateCrc32)->CRC_SIZES;
#ifdef UNSPOOL_HAVE_CRC32_CLMUL
BENCHMARK(BM_Clmul)->CRC_SIZES;
#endif
BENCHMARK(BM_Slicing16)->CRC_SIZES;
BENCHMARK(BM_Bytewise)->CRC_SIZES;
BENCHMARK(BM_ZlibCrc32)->CRC_SIZES;

} // namespace

BENCHMARK_MAIN();

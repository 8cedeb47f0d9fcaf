// qvrCrc: CRC-32 and CRC-16 over caller-owned registers.
//
// Three CRC-32 implementations compute the same function:
//
// - Crc32Bytewise: one table lookup per byte, the textbook loop. Used for short tails.
// - Crc32Slicing16: sixteen bytes per iteration through sixteen 1 KB tables. Table k holds
//   the CRC contribution of a byte followed by k zero bytes, so the sixteen lookups of one
//   block are independent and the processor overlaps them. Portable; little-endian hosts
//   only use the wide loop, others fall back to bytewise.
// - Crc32Clmul (x86 with PCLMULQDQ and SSE4.1): the buffer is treated as a polynomial and
//   folded 512 bits at a time with carry-less multiplications by x^n mod P, then reduced
//   128 -> 64 -> 32 bits, the last step by Barrett reduction. The constants are derived
//   below at compile time from the polynomial rather than copied in as magic numbers.
//
// The clmul path is compiled with a function-level target attribute, so the rest of the
// library builds for the baseline processor; UpdateCrc32 picks the path once per process in
// a function-local static, which the language initialises thread-safely.
#include "qvrCrc.h"

#include <algorithm>
#include <bit>
#include <cstring>

#ifdef UNSPOOL_HAVE_CRC32_CLMUL
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

using TSliceTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr TSliceTables MakeSliceTables()
{
    TSliceTables t{};
    t[0] = Crc32Table;
    for (std::size_t k = 1; k < t.size(); ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ Crc32Table[t[k - 1][i] & 0xFF];
    return t;
}

constexpr TSliceTables SliceTables = MakeSliceTables();

inline uint32_t Load32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

} // namespace

namespace detail {

uint32_t Crc32Bytewise(const uint8_t* p, std::size_t n, uint32_t crc)
{
    while (n-- > 0)
        crc = Crc32Step(*p++, crc);
    return crc;
}

uint32_t Crc32Slicing16(const uint8_t* p, std::size_t n, uint32_t crc)
{
    if constexpr (std::endian::native == std::endian::little) {
        const TSliceTables& t = SliceTables;
        while (n >= 16) {
            const uint32_t a = Load32(p) ^ crc;
            const uint32_t b = Load32(p + 4);
            const uint32_t c = Load32(p + 8);
            const uint32_t d = Load32(p + 12);
            crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF]
                ^ t[12][a >> 24] ^ t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF]
                ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^ t[7][c & 0xFF]
                ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24]
                ^ t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF]
                ^ t[0][d >> 24];
            p += 16;
            n -= 16;
        }
    }
    return Crc32Bytewise(p, n, crc);
}

} // namespace detail

#ifdef UNSPOOL_HAVE_CRC32_CLMUL

namespace {

// Folding constants. The register holds bits in reflected order (bit 0 is the highest power),
// so a constant x^n mod P enters the multiplier bit-reversed and shifted left by one: the
// product of two reflected 64-bit operands comes out one bit short of the reflected product.
constexpr uint64_t CrcPoly = 0x104C11DB7; // P(x), normal order, x^32 term included

constexpr uint32_t XPowModP(unsigned n)
{
    uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & (uint64_t{1} << 32))
            r ^= CrcPoly;
    }
    return static_cast<uint32_t>(r);
}

constexpr uint64_t Reverse64(uint64_t v)
{
    uint64_t r = 0;
    for (int i = 0; i < 64; ++i, v >>= 1)
        r = (r << 1) | (v & 1);
    return r;
}

constexpr uint64_t Reverse33(uint64_t v) { return Reverse64(v) >> 31; }

constexpr uint64_t FoldConstant(unsigned n) { return Reverse33(XPowModP(n)); }

// floor(x^64 / P(x)), the Barrett multiplier.
constexpr uint64_t BarrettMu()
{
    uint64_t r = 0, q = 0;
    for (int i = 64; i >= 0; --i) {
        r = (r << 1) | (i == 64 ? 1 : 0);
        if (r & (uint64_t{1} << 32)) {
            r ^= CrcPoly;
            q |= uint64_t{1} << i;
        }
    }
    return q;
}

// Folding a 128-bit lane forward by d bits multiplies its low half by x^(d+32) mod P and
// its high half by x^(d-32) mod P (the 32 accounts for the CRC's x^32 scaling).
constexpr uint64_t K1 = FoldConstant(4 * 128 + 32); // four lanes, 512 bits ahead
constexpr uint64_t K2 = FoldConstant(4 * 128 - 32);
constexpr uint64_t K3 = FoldConstant(128 + 32);     // one lane, 128 bits ahead
constexpr uint64_t K4 = FoldConstant(128 - 32);
constexpr uint64_t K5 = FoldConstant(64);           // 96 -> 64 bits
constexpr uint64_t PolyR = Reverse33(CrcPoly);
constexpr uint64_t MuR = Reverse33(BarrettMu());

#if defined(__i386__)
// Win32 only promises a 4-byte aligned stack; realign it for the vector spills.
#define UNSPOOL_CLMUL_TARGET __attribute__((target("pclmul,sse4.1"), force_align_arg_pointer))
#else
#define UNSPOOL_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))
#endif

// Byte selectors for the last partial block: 16 bytes read from ShiftTable + k move a
// register up by 16 - k bytes (0x80 clears a byte), and from ShiftTable + k + 16 down by k
// bytes, marking with 0x80 the bytes the data fills.
alignas(16) constexpr uint8_t ShiftTable[48] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
};

UNSPOOL_CLMUL_TARGET inline __m128i Load128(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// x * x^d + data, for the distance d encoded in k (low qword: low-half multiplier).
UNSPOOL_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i data)
{
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), data);
}

} // namespace

namespace detail {

UNSPOOL_CLMUL_TARGET uint32_t Crc32Clmul(const uint8_t* p, std::size_t n, uint32_t crc)
{
    // Below four lanes the set-up and reduction cost more than the table loop.
    if (n < 64)
        return Crc32Slicing16(p, n, crc);

    const __m128i k1k2 = _mm_set_epi64x(static_cast<long long>(K2), static_cast<long long>(K1));
    const __m128i k3k4 = _mm_set_epi64x(static_cast<long long>(K4), static_cast<long long>(K3));
    const __m128i k5 = _mm_set_epi64x(0, static_cast<long long>(K5));
    const __m128i poly = _mm_set_epi64x(static_cast<long long>(MuR),
                                        static_cast<long long>(PolyR));
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

    // The incoming register is xored into the first four bytes: a CRC is linear, and the
    // register is exactly the remainder the message so far contributes to the next bits.
    __m128i x1 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = Load128(p + 16);
    __m128i x3 = Load128(p + 32);
    __m128i x4 = Load128(p + 48);
    p += 64;
    n -= 64;

    while (n >= 64) {
        x1 = Fold(x1, k1k2, Load128(p));
        x2 = Fold(x2, k1k2, Load128(p + 16));
        x3 = Fold(x3, k1k2, Load128(p + 32));
        x4 = Fold(x4, k1k2, Load128(p + 48));
        p += 64;
        n -= 64;
    }

    // Four lanes into one, then the remaining whole 16-byte blocks.
    x1 = Fold(x1, k3k4, x2);
    x1 = Fold(x1, k3k4, x3);
    x1 = Fold(x1, k3k4, x4);
    while (n >= 16) {
        x1 = Fold(x1, k3k4, Load128(p));
        p += 16;
        n -= 16;
    }
    // A last partial block is folded too, rather than left to a byte loop whose steps
    // each wait for the one before. The register's first n bytes are moved to the top of
    // a block of their own (zeros below them add nothing), and the last 16 bytes of the
    // message, the register's other 16 - n bytes then the n left, make the block after
    // it. Sixty-four bytes at least lie before p, so the load ending at p + n is inside
    // the buffer.
    if (n > 0) {
        const __m128i up = Load128(ShiftTable + n);      // byte i takes i - (16 - n), or 0
        const __m128i down = Load128(ShiftTable + n + 16); // byte i takes i + n, or the data
        const __m128i head = _mm_shuffle_epi8(x1, up);
        const __m128i rest =
            _mm_blendv_epi8(_mm_shuffle_epi8(x1, down), Load128(p + n - 16), down);
        x1 = Fold(head, k3k4, rest);
    }

    // 128 -> 96 bits: the low qword moves up by 64 bits (times x^96 mod P).
    __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    // 96 -> 64 bits.
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), t);
    // Barrett: q = floor(x1 * mu / x^64), remainder = x1 - q * P.
    t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    x1 = _mm_xor_si128(x1, t);
    crc = static_cast<uint32_t>(_mm_extract_epi32(x1, 1));

    return crc;
}

} // namespace detail

#endif // UNSPOOL_HAVE_CRC32_CLMUL

namespace detail {

bool CpuHasClmul()
{
#ifdef UNSPOOL_HAVE_CRC32_CLMUL
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    constexpr unsigned Pclmulqdq = 1u << 1, Sse41 = 1u << 19; // CPUID.1:ECX
    return (c & Pclmulqdq) && (c & Sse41);
#else
    return false;
#endif
}

TCrc32Proc Crc32Impl()
{
    static const TCrc32Proc proc = [] {
#ifdef UNSPOOL_HAVE_CRC32_CLMUL
        if (CpuHasClmul())
            return &Crc32Clmul;
#endif
        return &Crc32Slicing16;
    }();
    return proc;
}

} // namespace detail

void UpdateCrc32(const void* Buffer, int32_t Count, uint32_t& Crc)
{
    if (Count <= 0 || Buffer == nullptr)
        return;
    Crc = detail::Crc32Impl()(static_cast<const uint8_t*>(Buffer),
                              static_cast<std::size_t>(Count), Crc);
}

void UpdateCrc32(const void* Buffer, int64_t Count, uint32_t& Crc)
{
    if (Count <= 0 || Buffer == nullptr)
        return;
    const detail::TCrc32Proc proc = detail::Crc32Impl();
    const uint8_t* p = static_cast<const uint8_t*>(Buffer);
    // Chunked so that a 32-bit size_t never sees a truncated length.
    constexpr int64_t Chunk = int64_t{1} << 30;
    while (Count > 0) {
        const int64_t n = std::min(Count, Chunk);
        Crc = proc(p, static_cast<std::size_t>(n), Crc);
        p += n;
        Count -= n;
    }
}

void UpdateCrc16(const void* Buffer, int32_t Count, uint32_t& Crc)
{
    if (Count <= 0 || Buffer == nullptr)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(Buffer);
    uint32_t crc = Crc;
    for (int32_t i = 0; i < Count; ++i)
        crc = Crc16Table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    Crc = crc;
}

// qvrCrc: the CRC-32 of the ZIP format and the CRC-16/ARC of older archive headers.
//
// Both checksums are kept as the raw running register: a caller starts CRC-32 at 0xFFFFFFFF,
// folds every block in order and complements the register after the last byte, which gives
// the value stored in ZIP headers. Nothing here holds state between calls; the component owns
// its accumulators and passes them in by reference.
//
// The byte step (Crc32Step) is the definition. UpdateCrc32 computes the same function faster:
// slicing-by-16 over compile-time tables everywhere, and on x86 processors that have it, a
// carry-less-multiply folding path chosen once at run time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define UNSPOOL_HAVE_CRC32_CLMUL 1
#endif

namespace detail {

// The byte table of a reflected CRC whose register is as wide as T: entry i is what one
// byte i does to a zero register, so a byte step is one lookup and one shift.
template <typename T>
constexpr std::array<T, 256> MakeReflectedTable(T poly)
{
    std::array<T, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        T c = static_cast<T>(i);
        for (int k = 0; k < 8; ++k)
            c = static_cast<T>((c & 1) ? (c >> 1) ^ poly : c >> 1);
        t[i] = c;
    }
    return t;
}

} // namespace detail

// CRC-32/ISO-HDLC, reflected polynomial 0xEDB88320.
inline constexpr std::array<uint32_t, 256> Crc32Table =
    detail::MakeReflectedTable(uint32_t{0xEDB88320});

// CRC-16/ARC, reflected polynomial 0xA001.
inline constexpr std::array<uint16_t, 256> Crc16Table =
    detail::MakeReflectedTable(uint16_t{0xA001});

// One byte of CRC-32: the reference every faster path must agree with.
constexpr uint32_t Crc32Step(uint8_t Value, uint32_t Crc)
{
    return Crc32Table[(Crc ^ Value) & 0xFF] ^ (Crc >> 8);
}

// Folds Count bytes of Buffer into Crc, first byte first. A Count of zero or less (or a null
// Buffer) leaves Crc as it was.
void UpdateCrc32(const void* Buffer, int32_t Count, uint32_t& Crc);

// The same for buffers whose size does not fit 32 bits.
void UpdateCrc32(const void* Buffer, int64_t Count, uint32_t& Crc);

// CRC-16/ARC byte steps over the whole 32-bit register: new = Crc16Table[(Crc ^ b) & 0xFF]
// xor (Crc >> 8). Only the low 16 bits are meaningful once the register started below 0x10000.
void UpdateCrc16(const void* Buffer, int32_t Count, uint32_t& Crc);

namespace detail {

// The individual CRC-32 implementations, exposed so that tests and benchmarks can reach
// each one. All take and return the raw register and accept any length, including zero.
using TCrc32Proc = uint32_t (*)(const uint8_t* p, std::size_t n, uint32_t crc);

uint32_t Crc32Bytewise(const uint8_t* p, std::size_t n, uint32_t crc);
uint32_t Crc32Slicing16(const uint8_t* p, std::size_t n, uint32_t crc);
#ifdef UNSPOOL_HAVE_CRC32_CLMUL
// Only to be called when CpuHasClmul() is true.
uint32_t Crc32Clmul(const uint8_t* p, std::size_t n, uint32_t crc);
#endif

// True when this processor has PCLMULQDQ and SSE4.1 (always false without the clmul path).
bool CpuHasClmul();

// The implementation UpdateCrc32 uses, chosen once per process.
TCrc32Proc Crc32Impl();

} // namespace detail

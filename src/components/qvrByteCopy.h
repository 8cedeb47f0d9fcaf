// Word loads and copies the decoders share: a little-endian 64-bit load for bit
// buffers, and copies of matches (bytes from some distance back in the output) in 8- and
// 16-byte words. A copy may write up to CopyOverrun - 1 bytes past the end of its match:
// every caller's buffer has that much room after the point it may write to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr uint32_t CopyOverrun = 32; // a word copy writes less than this past its end

// Little-endian 64-bit load for the bit buffer.
inline uint64_t LoadLE64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Forward copy in 16-byte words where the source lies at least 16 bytes ahead of the
// destination or at least 16 bytes behind it.
inline void CopyWords16(uint8_t* dst, const uint8_t* src, size_t len)
{
    uint8_t* const end = dst + len;
    do {
        std::memcpy(dst, src, 16);
        dst += 16;
        src += 16;
    } while (dst < end);
}

// Copies len bytes from dist back, the source wholly inside the buffer before dst.
// Overlapping matches repeat the last dist bytes, so short distances need care: a word
// may only be read once all of its bytes have been written.
inline void CopyBack(uint8_t* dst, size_t len, size_t dist)
{
    const uint8_t* src = dst - dist;
    uint8_t* const end = dst + len;
    if (dist >= 16) {
        // Most matches are short: two words without a test, then a loop for the rest.
        std::memcpy(dst, src, 16);
        std::memcpy(dst + 16, src + 16, 16);
        if (len > 32)
            CopyWords16(dst + 32, src + 32, len - 32);
    } else if (dist >= 8) {
        do {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
        } while (dst < end);
    } else if (dist == 1) {
        const uint64_t v = src[0] * 0x0101010101010101ull;
        do {
            std::memcpy(dst, &v, 8);
            dst += 8;
        } while (dst < end);
    } else {
        // Period 2..7: lay down eight bytes one at a time, then copy words from the
        // smallest multiple of the period that is at least 8 back; the output repeats
        // with that multiple too.
        for (int i = 0; i < 8; i++)
            dst[i] = dst[i - static_cast<ptrdiff_t>(dist)];
        static constexpr uint8_t Far[8] = {0, 0, 8, 9, 8, 10, 12, 14};
        const size_t far = Far[dist];
        dst += 8;
        src = dst - far;
        while (dst < end) {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
        }
    }
}

// WinZip AES encryption (method 99), read side: the keys a password gives for one
// entry, and the cipher layer of its byte path.
//
// An AES entry's data is laid out as
//
//   salt (8, 12 or 16 bytes for AES-128, -192, -256) | password verifier (2 bytes)
//   | encrypted data | authentication code (10 bytes)
//
// and its compressed size counts all four. PBKDF2-HMAC-SHA1 of the password and the
// salt over 1000 rounds gives the AES key, an HMAC-SHA1 key of the same length and the
// verifier, in that order. The data is AES in counter mode whose counter block is a
// little-endian integer starting at 1, and the code is the first 10 bytes of the
// HMAC-SHA1 of the encrypted data alone. The verifier only screens passwords (one wrong
// password in 65,536 passes it); the code is what proves the data and the key right.
//
// The entry's window ends before the code, so that no decoder reads it as data; the
// layer reads the code from behind the window once the decoder is done.
#pragma once

#include "qvrEntryFacts.h"
#include "qvrStreams.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr size_t AesVerifierSize = 2;
inline constexpr size_t AesCodeSize = 10;
// The AES key (and HMAC key) and the salt of a strength of 1, 2 or 3.
inline constexpr size_t AesKeySize(uint8_t Strength) { return 8 + 8 * size_t{Strength}; }
inline constexpr size_t AesSaltSize(uint8_t Strength) { return 4 + 4 * size_t{Strength}; }
// The bytes before an AES entry's encrypted data: its salt and verifier.
inline constexpr size_t AesHeaderSize(uint8_t Strength)
{
    return AesSaltSize(Strength) + AesVerifierSize;
}
inline constexpr size_t AesMaxHeaderSize = AesHeaderSize(3);

// Why an entry of method 99 with Facts (Encrypted: its flag bit 0) cannot be
// deciphered, for a report naming the method; empty when it can.
std::string AesFieldProblem(const TAesFacts& Facts, bool Encrypted);
// "AES-256/Deflated": the strength and the method beneath the cipher, for listings.
std::string AesMethodName(uint8_t Strength, uint16_t Method);

// The keys one password gives for one entry's salt. Copies are independent; each is
// wiped when it goes.
class TAesKeys {
public:
    TAesKeys() = default;
    TAesKeys(const TAesKeys&) = default;
    TAesKeys& operator=(const TAesKeys&) = default;
    ~TAesKeys();

    // Derives the keys of Password for the Strength's salt in Header (salt, then the
    // stored verifier); true when the derived verifier matches the stored one.
    bool Derive(const std::string& Password, uint8_t Strength, const uint8_t* Header);
    // Wipes the keys (the entry is done with them).
    void Clear();

    size_t KeySize() const { return FKeySize; }
    const uint8_t* CipherKey() const { return FBytes; }
    const uint8_t* MacKey() const { return FBytes + FKeySize; }

private:
    size_t FKeySize = 0;
    uint8_t FBytes[2 * 32 + AesVerifierSize] = {};
};

// Deciphers what it reads from Window, the entry's encrypted data, and feeds the
// encrypted bytes to the HMAC in order. The counter follows the window's position, so a
// seek (the give-back of unused input at the end) keeps the keystream in step; bytes
// read again are not fed twice.
class TAesStream : public TStream32 {
public:
    // MacBeside: the HMAC is computed on a thread of its own (worth it for large entries).
    TAesStream(TStream32& Window, const TAesKeys& Keys, bool MacBeside = false);
    ~TAesStream() override;

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void*, int32_t) override { return 0; }
    int64_t Seek(int64_t Offset, int Origin) override { return FWindow.Seek(Offset, Origin); }

    // Whether the authentication code matches: feeds what the decoder left unread of the
    // window to the HMAC, then reads the code from Source, the archive stream the window
    // was cut from, where the window ends.
    bool Authentic(TStream32& Source);

private:
    // XORs Count bytes at Buf with the keystream from window position Pos.
    bool ApplyKeystream(uint8_t* Buf, int32_t Count, int64_t Pos);
    void Feed(const uint8_t* Buf, int32_t Count, int64_t Pos);

    struct TCrypto;
    TStream32& FWindow;
    std::unique_ptr<TCrypto> FCrypto;
    int64_t FFed = 0;      // window bytes given to the HMAC, from the start
    bool FBroken = false;  // the crypto library failed: nothing is authentic
};

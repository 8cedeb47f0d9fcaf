// The traditional PKWARE stream cipher, read side (and the encipher step the write
// path uses). One TZipCipher holds one key state: the component owns one per run, so
// two components never share keys.
#pragma once

#include <cstdint>
#include <string>

class TZipCipher {
public:
    static constexpr uint32_t InitialKeys[3] = {0x12345678u, 0x23456789u, 0x34567890u};

    void UpdateKeys(uint8_t C);
    uint8_t CipherByte() const;
    void LoadPassword(const std::string& Password);
    // The fixed key state that enciphers record bodies of the library's own header
    // variants: each word the AND of two initial words.
    void LoadHeaderKeys();
    void DecipherBuffer(uint8_t* Buf, int64_t Len);
    uint8_t EncipherByte(uint8_t P);
    void EncipherBuffer(uint8_t* Buf, int64_t Len);

    uint32_t Keys[3] = {InitialKeys[0], InitialKeys[1], InitialKeys[2]};
};

// Deciphers Header[12..23] into Header[0..11] with Password and compares the check byte
// with the high byte of the DOS time (Flags bit 3) or of the CRC. On success Cipher
// stands just past the encryption header, ready for the entry's data.
bool CheckHeader(TZipCipher& Cipher, uint8_t Header[24], uint16_t Flags, uint32_t Crc,
                 const std::string& Password, uint32_t DosDateTime);

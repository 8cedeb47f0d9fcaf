#include "qvrCrypt.h"

#include "qvrCrc.h"

void TZipCipher::UpdateKeys(uint8_t C)
{
    Keys[0] = Crc32Table[(Keys[0] ^ C) & 0xFF] ^ (Keys[0] >> 8);
    Keys[1] = (Keys[1] + (Keys[0] & 0xFF)) * 134775813u + 1u;
    Keys[2] = Crc32Table[(Keys[2] ^ (Keys[1] >> 24)) & 0xFF] ^ (Keys[2] >> 8);
}

uint8_t TZipCipher::CipherByte() const
{
    const uint16_t t = static_cast<uint16_t>((Keys[2] & 0xFFFF) | 2);
    return static_cast<uint8_t>((static_cast<uint32_t>(t) * (t ^ 1u)) >> 8);
}

void TZipCipher::LoadPassword(const std::string& Password)
{
    Keys[0] = InitialKeys[0];
    Keys[1] = InitialKeys[1];
    Keys[2] = InitialKeys[2];
    for (unsigned char c : Password) UpdateKeys(c);
}

void TZipCipher::LoadHeaderKeys()
{
    Keys[0] = InitialKeys[0] & InitialKeys[2];
    Keys[1] = InitialKeys[1] & InitialKeys[0];
    Keys[2] = InitialKeys[2] & InitialKeys[1];
}

void TZipCipher::DecipherBuffer(uint8_t* Buf, int64_t Len)
{
    for (int64_t i = 0; i < Len; ++i) {
        const uint8_t p = Buf[i] ^ CipherByte();
        UpdateKeys(p);
        Buf[i] = p;
    }
}

uint8_t TZipCipher::EncipherByte(uint8_t P)
{
    const uint8_t k = CipherByte();
    UpdateKeys(P);
    return P ^ k;
}

void TZipCipher::EncipherBuffer(uint8_t* Buf, int64_t Len)
{
    for (int64_t i = 0; i < Len; ++i) Buf[i] = EncipherByte(Buf[i]);
}

bool CheckHeader(TZipCipher& Cipher, uint8_t Header[24], uint16_t Flags, uint32_t Crc,
                 const std::string& Password, uint32_t DosDateTime)
{
    if (Password.empty()) return false;
    Cipher.LoadPassword(Password);
    for (int i = 0; i < 12; ++i) {
        const uint8_t p = Header[12 + i] ^ Cipher.CipherByte();
        Cipher.UpdateKeys(p);
        Header[i] = p;
    }
    const uint8_t want = (Flags & 0x0008) ? static_cast<uint8_t>(DosDateTime >> 8)
                                          : static_cast<uint8_t>(Crc >> 24);
    return Header[11] == want;
}

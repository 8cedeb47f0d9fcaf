// The crypto door on POSIX: OpenSSL's libcrypto. AES runs through an EVP cipher
// context in ECB mode without padding, HMAC through the EVP_MAC interface of
// OpenSSL 3, PBKDF2 through PKCS5_PBKDF2_HMAC_SHA1; OPENSSL_cleanse does the wiping.
#include "qvrPlatform.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <climits>
#include <cstring>

namespace qvrOS {

void WipeMemory(void* P, size_t Size)
{
    if (P && Size) OPENSSL_cleanse(P, Size);
}

bool DerivePbkdf2Sha1(std::string_view Password, const uint8_t* Salt, size_t SaltSize,
                      uint32_t Iterations, uint8_t* Out, size_t OutSize)
{
    if (Password.size() > INT_MAX || SaltSize > INT_MAX || OutSize > INT_MAX ||
        Iterations > INT_MAX)
        return false;
    return PKCS5_PBKDF2_HMAC_SHA1(Password.data(), static_cast<int>(Password.size()), Salt,
                                  static_cast<int>(SaltSize), static_cast<int>(Iterations),
                                  static_cast<int>(OutSize), Out) == 1;
}

// ---------------------------------------------------------------------------------
// AES blocks

struct TAesBlocks::TBody {
    EVP_CIPHER_CTX* Ctx = EVP_CIPHER_CTX_new();
    ~TBody() { EVP_CIPHER_CTX_free(Ctx); } // the free wipes the key schedule
};

TAesBlocks::TAesBlocks(const uint8_t* Key, size_t KeySize)
{
    const EVP_CIPHER* cipher = KeySize == 16   ? EVP_aes_128_ecb()
                               : KeySize == 24 ? EVP_aes_192_ecb()
                               : KeySize == 32 ? EVP_aes_256_ecb()
                                               : nullptr;
    if (!cipher) return;
    auto body = std::make_unique<TBody>();
    if (!body->Ctx || EVP_EncryptInit_ex(body->Ctx, cipher, nullptr, Key, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(body->Ctx, 0) != 1)
        return;
    FBody = std::move(body);
}

TAesBlocks::~TAesBlocks() = default;

bool TAesBlocks::Encipher(const uint8_t* In, uint8_t* Out, size_t Count)
{
    const size_t bytes = Count * BlockSize;
    int made = 0;
    if (FBody && bytes <= INT_MAX &&
        EVP_EncryptUpdate(FBody->Ctx, Out, &made, In, static_cast<int>(bytes)) == 1 &&
        static_cast<size_t>(made) == bytes)
        return true;
    std::memset(Out, 0, bytes);
    return false;
}

// ---------------------------------------------------------------------------------
// HMAC-SHA1

struct THmacSha1::TBody {
    EVP_MAC* Mac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
    EVP_MAC_CTX* Ctx = Mac ? EVP_MAC_CTX_new(Mac) : nullptr;
    bool Failed = false;
    ~TBody()
    {
        EVP_MAC_CTX_free(Ctx); // wipes the keyed state
        EVP_MAC_free(Mac);
    }
};

THmacSha1::THmacSha1(const uint8_t* Key, size_t KeySize)
{
    auto body = std::make_unique<TBody>();
    if (!body->Ctx) return;
    char digest[] = "SHA1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
    if (EVP_MAC_init(body->Ctx, Key, KeySize, params) != 1) return;
    FBody = std::move(body);
}

THmacSha1::~THmacSha1() = default;

void THmacSha1::Update(const uint8_t* P, size_t Size)
{
    if (FBody && Size && EVP_MAC_update(FBody->Ctx, P, Size) != 1) FBody->Failed = true;
}

bool THmacSha1::Final(uint8_t Code[20])
{
    size_t made = 0;
    if (FBody && !FBody->Failed && EVP_MAC_final(FBody->Ctx, Code, &made, CodeSize) == 1 &&
        made == CodeSize)
        return true;
    std::memset(Code, 0, CodeSize);
    return false;
}

} // namespace qvrOS
